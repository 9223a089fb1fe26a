// System interrupts on the host. The only source is GSM_RF_OK (pin F5 of the
// I/O port register block): its falling edge raises the system interrupt
// 0x6000009F. As on Windows CE, InterruptInitialize binds an event and
// enables the interrupt; when it fires, the event is set and the interrupt
// stays disabled until InterruptDone; InterruptDisable disables it and
// deregisters the event, so that the identifier can be bound again.
#include "platform/platform.h"
#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/hw/ioport_sim.h"

#include <map>

namespace plat::interrupt {
namespace {

struct Source {
    DWORD dataOffset;
    DWORD pinMask;
};

struct Binding {
    HANDLE event = nullptr;
    bool bound = false;
    bool enabled = false;
    unsigned fired = 0;
    unsigned done = 0;
    unsigned disabled = 0;
};

std::map<DWORD, Binding>& Bindings()
{
    static auto* bindings = new std::map<DWORD, Binding>();
    return *bindings;
}

// The board's wiring of system interrupts to pins (falling edges).
bool SourceOf(DWORD sysIntr, Source* out)
{
    if (sysIntr == kSysIntrRfOk) {
        *out = Source{0x54, 0x20};
        return true;
    }
    return false;
}

}  // namespace

bool IsBound(DWORD sysIntr)
{
    kernel::Lock lock(kernel::Mutex());
    auto it = Bindings().find(sysIntr);
    return it != Bindings().end() && it->second.bound;
}

bool IsEnabled(DWORD sysIntr)
{
    kernel::Lock lock(kernel::Mutex());
    auto it = Bindings().find(sysIntr);
    return it != Bindings().end() && it->second.bound && it->second.enabled;
}

unsigned FireCount(DWORD sysIntr)
{
    kernel::Lock lock(kernel::Mutex());
    auto it = Bindings().find(sysIntr);
    return it == Bindings().end() ? 0 : it->second.fired;
}

unsigned DoneCount(DWORD sysIntr)
{
    kernel::Lock lock(kernel::Mutex());
    auto it = Bindings().find(sysIntr);
    return it == Bindings().end() ? 0 : it->second.done;
}

unsigned DisableCount(DWORD sysIntr)
{
    kernel::Lock lock(kernel::Mutex());
    auto it = Bindings().find(sysIntr);
    return it == Bindings().end() ? 0 : it->second.disabled;
}

namespace detail {

void OnInputLevels(DWORD dataOffset, DWORD before, DWORD after)
{
    for (auto& entry : Bindings()) {
        Source src;
        if (!SourceOf(entry.first, &src) || src.dataOffset != dataOffset) continue;
        bool fell = (before & src.pinMask) != 0 && (after & src.pinMask) == 0;
        Binding& b = entry.second;
        if (!fell || !b.bound || !b.enabled) continue;
        b.enabled = false;
        ++b.fired;
        // Signalled from a kernel timer at the same instant: the caller
        // holds the kernel lock and may be a module timer itself, and
        // SetEvent is a scheduling point. A handle closed meanwhile just
        // fails (handle values are never reused).
        HANDLE event = b.event;
        kernel::CallAt(plat::NowMs(), [event] { SetEvent(event); });
    }
}

void ResetAll()
{
    Bindings().clear();
}

}  // namespace detail
}  // namespace plat::interrupt

using plat::interrupt::Binding;

BOOL WINAPI InterruptInitialize(DWORD idInt, HANDLE hEvent, LPVOID pvData, DWORD cbData)
{
    (void)pvData;
    (void)cbData;
    plat::kernel::YieldPoint();
    plat::kernel::Lock lock(plat::kernel::Mutex());
    plat::ioport::detail::CheckWorld();
    plat::interrupt::Source src;
    if (!plat::interrupt::SourceOf(idInt, &src) || hEvent == nullptr ||
        hEvent == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Binding& b = plat::interrupt::Bindings()[idInt];
    if (b.bound) {
        // The identifier already has an event.
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    b.event = hEvent;
    b.bound = true;
    b.enabled = true;
    return TRUE;
}

void WINAPI InterruptDone(DWORD idInt)
{
    plat::kernel::YieldPoint();
    plat::kernel::Lock lock(plat::kernel::Mutex());
    plat::ioport::detail::CheckWorld();
    auto it = plat::interrupt::Bindings().find(idInt);
    if (it == plat::interrupt::Bindings().end()) return;
    ++it->second.done;
    if (it->second.bound) it->second.enabled = true;
}

void WINAPI InterruptDisable(DWORD idInt)
{
    plat::kernel::YieldPoint();
    plat::kernel::Lock lock(plat::kernel::Mutex());
    plat::ioport::detail::CheckWorld();
    auto it = plat::interrupt::Bindings().find(idInt);
    if (it == plat::interrupt::Bindings().end()) return;
    Binding& b = it->second;
    ++b.disabled;
    b.enabled = false;
    b.bound = false;
    b.event = nullptr;
}
