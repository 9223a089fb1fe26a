// The I/O port register block on the host: a simulated register file with
// the hardware's semantics (see ioport_sim.h), an access history and
// listeners for the simulated module.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/hw/ioport_sim.h"

#include <deque>
#include <map>
#include <utility>

namespace plat::ioport {
namespace {

struct Port {
    DWORD config = 0;
    DWORD latch = 0;
    DWORD pullUpOff = 0;
    DWORD driven = 0;      // pins whose level the module drives
    DWORD drivenLevel = 0;
};

struct Block {
    Port ports[kPortCount];
    std::deque<Access> history;
    size_t historyLimit = 200000;
    bool recordReads = false;
    std::map<uint64_t, Listener> listeners;
    uint64_t nextListener = 1;
    uint64_t world = 0;  // the simulated world the registers belong to
};

Block& B()
{
    static Block* block = new Block();  // lives for the whole process
    return *block;
}

bool Valid(DWORD offset)
{
    return offset < kPortCount * kPortStride && (offset % 4) == 0 && (offset % kPortStride) < 0xC;
}

Port& PortOf(DWORD offset)
{
    return B().ports[(offset / kPortStride) % kPortCount];
}

// Pins configured as outputs (field value 01): the low bit of each field
// set and the high bit clear, then the sixteen even bits packed together.
DWORD OutputMask(const Port& p)
{
    DWORD m = p.config & ~(p.config >> 1) & 0x55555555u;
    m = (m | (m >> 1)) & 0x33333333u;
    m = (m | (m >> 2)) & 0x0F0F0F0Fu;
    m = (m | (m >> 4)) & 0x00FF00FFu;
    return (m | (m >> 8)) & 0x0000FFFFu;
}

DWORD InputLevels(const Port& p)
{
    DWORD undriven = ~p.driven;
    DWORD pulledHigh = ~p.pullUpOff & undriven;
    return (p.drivenLevel & p.driven) | pulledHigh;
}

DWORD ReadValue(DWORD offset)
{
    if (!Valid(offset)) return 0;
    const Port& p = PortOf(offset);
    switch (offset % kPortStride) {
    case kConfig:
        return p.config;
    case kData: {
        DWORD out = OutputMask(p);
        return (p.latch & out) | (InputLevels(p) & ~out);
    }
    default:
        return p.pullUpOff;
    }
}

void ResetLocked()
{
    Block& b = B();
    for (Port& p : b.ports) p = Port();
    b.history.clear();
    interrupt::detail::ResetAll();
}

// A fresh simulated world starts from power-on values: the first access in
// a world other than the one the registers were last touched in resets them.
void CheckWorld(uint64_t /*now*/)
{
    Block& b = B();
    uint64_t world = plat::WorldId();
    if (world != 0 && world != b.world) ResetLocked();
    b.world = world;
}

void Record(Access a)
{
    Block& b = B();
    b.history.push_back(a);
    while (b.history.size() > b.historyLimit) b.history.pop_front();
    // Listeners may add or remove listeners; call a snapshot.
    std::vector<Listener> calls;
    calls.reserve(b.listeners.size());
    for (auto& entry : b.listeners) calls.push_back(entry.second);
    for (auto& fn : calls) fn(a);
}

DWORD DataOf(DWORD offset)
{
    return ReadValue(offset - (offset % kPortStride) + kData);
}

Access MakeAccess(AccessKind kind, DWORD offset, uint64_t now)
{
    Access a;
    a.dataBefore = DataOf(offset);
    a.atMs = now;
    a.kind = kind;
    a.offset = offset;
    a.thread = plat::CurrentThreadName();
    return a;
}

}  // namespace

void detail::CheckWorld()
{
    plat::ioport::CheckWorld(plat::NowMs());
}

void Reset()
{
    kernel::Lock lock(kernel::Mutex());
    ResetLocked();
    B().world = plat::WorldId();
}

std::vector<Access> History()
{
    kernel::Lock lock(kernel::Mutex());
    return std::vector<Access>(B().history.begin(), B().history.end());
}

void ClearHistory()
{
    kernel::Lock lock(kernel::Mutex());
    B().history.clear();
}

void SetHistoryLimit(size_t entries)
{
    kernel::Lock lock(kernel::Mutex());
    B().historyLimit = entries;
    while (B().history.size() > entries) B().history.pop_front();
}

void RecordReads(bool on)
{
    kernel::Lock lock(kernel::Mutex());
    B().recordReads = on;
}

size_t HistoryLimit()
{
    kernel::Lock lock(kernel::Mutex());
    return B().historyLimit;
}

size_t CountReads(DWORD offset)
{
    kernel::Lock lock(kernel::Mutex());
    size_t n = 0;
    for (const Access& a : B().history) {
        if (a.kind == AccessKind::Read && a.offset == offset) ++n;
    }
    return n;
}

std::vector<LevelChange> PinLevels(DWORD dataOffset, DWORD pinMask)
{
    kernel::Lock lock(kernel::Mutex());
    std::vector<LevelChange> out;
    const DWORD port = dataOffset - (dataOffset % kPortStride);
    for (const Access& a : B().history) {
        if (a.offset - (a.offset % kPortStride) != port) continue;
        bool before = (a.dataBefore & pinMask) != 0;
        bool after = (a.dataAfter & pinMask) != 0;
        if (out.empty()) out.push_back({a.atMs, before});
        if (after != out.back().high) out.push_back({a.atMs, after});
    }
    return out;
}

DWORD Peek(DWORD offset)
{
    kernel::Lock lock(kernel::Mutex());
    return ReadValue(offset);
}

bool IsOutput(DWORD dataOffset, DWORD pinMask)
{
    kernel::Lock lock(kernel::Mutex());
    return (OutputMask(PortOf(dataOffset)) & pinMask) == pinMask;
}

bool DrivenHigh(DWORD dataOffset, DWORD pinMask)
{
    kernel::Lock lock(kernel::Mutex());
    const Port& p = PortOf(dataOffset);
    return (OutputMask(p) & p.latch & pinMask) == pinMask;
}

bool InputLevel(DWORD dataOffset, DWORD pinMask)
{
    kernel::Lock lock(kernel::Mutex());
    return (InputLevels(PortOf(dataOffset)) & pinMask) == pinMask;
}

namespace {

void ChangeInputs(DWORD dataOffset, DWORD pinMask, bool drive, bool high)
{
    kernel::Lock lock(kernel::Mutex());
    uint64_t now = plat::NowMs();
    CheckWorld(now);
    Port& p = PortOf(dataOffset);
    DWORD beforeLevels = InputLevels(p);
    DWORD beforeRead = ReadValue(dataOffset);
    if (drive) {
        p.driven |= pinMask;
        if (high) {
            p.drivenLevel |= pinMask;
        } else {
            p.drivenLevel &= ~pinMask;
        }
    } else {
        p.driven &= ~pinMask;
        p.drivenLevel &= ~pinMask;
    }
    DWORD afterLevels = InputLevels(p);
    Access a = MakeAccess(AccessKind::Input, dataOffset, now);
    a.clearBits = pinMask;
    a.setBits = afterLevels & pinMask;
    a.before = beforeRead;
    a.dataBefore = beforeRead;
    a.after = ReadValue(dataOffset);
    a.dataAfter = a.after;
    if (beforeLevels != afterLevels) {
        interrupt::detail::OnInputLevels(dataOffset, beforeLevels, afterLevels);
    }
    Record(a);
    kernel::Notify();
}

}  // namespace

void SetInput(DWORD dataOffset, DWORD pinMask, bool high)
{
    ChangeInputs(dataOffset, pinMask, true, high);
}

void ReleaseInput(DWORD dataOffset, DWORD pinMask)
{
    ChangeInputs(dataOffset, pinMask, false, false);
}

uint64_t AddListener(Listener listener)
{
    kernel::Lock lock(kernel::Mutex());
    uint64_t id = B().nextListener++;
    B().listeners.emplace(id, std::move(listener));
    return id;
}

void RemoveListener(uint64_t id)
{
    kernel::Lock lock(kernel::Mutex());
    B().listeners.erase(id);
}

}  // namespace plat::ioport

using namespace plat::ioport;

DWORD IoPortRead(DWORD offset)
{
    plat::kernel::YieldPoint();
    plat::kernel::Lock lock(plat::kernel::Mutex());
    CheckWorld(0);
    // The driver polls the sleep status line before every frame: only the
    // tests that look for reads pay for recording them.
    if (!B().recordReads) return ReadValue(offset);
    uint64_t now = plat::NowMs();
    Access a = MakeAccess(AccessKind::Read, offset, now);
    a.before = a.after = ReadValue(offset);
    a.dataAfter = a.dataBefore;
    Record(a);
    return a.after;
}

void IoPortModify(DWORD offset, DWORD clearBits, DWORD setBits)
{
    plat::kernel::YieldPoint();
    plat::kernel::Lock lock(plat::kernel::Mutex());
    uint64_t now = plat::NowMs();
    CheckWorld(now);
    Access a = MakeAccess(AccessKind::Modify, offset, now);
    a.clearBits = clearBits;
    a.setBits = setBits;
    a.before = ReadValue(offset);
    if (Valid(offset)) {
        Port& p = PortOf(offset);
        DWORD value = (a.before & ~clearBits) | setBits;
        switch (offset % kPortStride) {
        case kConfig:
            p.config = value;
            break;
        case kData:
            p.latch = value;
            break;
        default:
            p.pullUpOff = value;
            break;
        }
    }
    a.after = ReadValue(offset);
    a.dataAfter = DataOf(offset);
    Record(a);
    plat::kernel::Notify();
}
