#include "module_lines.h"

#include "platform/host.h"
#include "platform/hw/ioport_sim.h"
#include "platform/kernel/kernel.h"


namespace sim {
namespace {

// The module's pins on the host's register block.
constexpr DWORD kPortB = 0x14, kPortC = 0x24, kPortD = 0x34, kPortF = 0x54, kPortH = 0x74;
constexpr DWORD kDtr = 0x08, kB4 = 0x10, kC8 = 0x100, kD1 = 0x02, kRfOk = 0x20, kH8 = 0x100;

constexpr int kPinB4 = 0;
constexpr int kPinH8 = 1;
constexpr uint32_t kWakePeriodMs = 50;

using plat::kernel::Lock;
using plat::kernel::Mutex;

bool Near(uint64_t actual, uint64_t nominal, uint64_t tolerance)
{
    uint64_t diff = actual > nominal ? actual - nominal : nominal - actual;
    return diff <= tolerance;
}

HostPower ReadHost()
{
    if (!plat::ioport::IsOutput(kPortB, kDtr)) return HostPower::Unknown;
    return plat::ioport::DrivenHigh(kPortB, kDtr) ? HostPower::Suspended : HostPower::Awake;
}

}  // namespace

const char* ToString(ModuleState state)
{
    switch (state) {
    case ModuleState::Off: return "off";
    case ModuleState::Booting: return "booting";
    case ModuleState::Running: return "running";
    case ModuleState::Crashed: return "crashed";
    }
    return "?";
}

const char* ToString(HostPower power)
{
    switch (power) {
    case HostPower::Unknown: return "unknown";
    case HostPower::Awake: return "awake";
    case HostPower::Suspended: return "suspended";
    }
    return "?";
}

ModuleLines::ModuleLines(const LineSettings& settings) : settings_(settings)
{
    Lock lock(Mutex());
    b4_ = plat::ioport::DrivenHigh(kPortB, kB4);
    h8_ = plat::ioport::DrivenHigh(kPortH, kH8);
    c8_ = plat::ioport::DrivenHigh(kPortC, kC8);
    host_ = ReadHost();
    hostHistory_.push_back({plat::NowMs(), host_});
    DriveSleep(false);
    DriveRfOk(false);
    listener_ = plat::ioport::AddListener([this](const plat::ioport::Access& a) {
        if (a.kind == plat::ioport::AccessKind::Modify) OnAccess();
    });
    if (settings_.startRunning) EnterRunning(plat::NowMs());
}

ModuleLines::~ModuleLines()
{
    Lock lock(Mutex());
    plat::ioport::RemoveListener(listener_);
    CancelTimers();
    for (uint64_t id : commandTimers_) plat::kernel::Cancel(id);
    plat::ioport::ReleaseInput(kPortF, kRfOk);
    plat::ioport::ReleaseInput(kPortD, kD1);
}

ModuleState ModuleLines::State() const
{
    Lock lock(Mutex());
    return state_;
}

bool ModuleLines::Booted() const
{
    Lock lock(Mutex());
    return state_ == ModuleState::Running;
}

bool ModuleLines::Asleep() const
{
    Lock lock(Mutex());
    return asleep_;
}

HostPower ModuleLines::Host() const
{
    Lock lock(Mutex());
    return host_;
}

std::vector<HostPowerChange> ModuleLines::HostPowerHistory() const
{
    Lock lock(Mutex());
    return hostHistory_;
}

unsigned ModuleLines::ResetsSeen() const
{
    Lock lock(Mutex());
    return resets_;
}

unsigned ModuleLines::BadResetSequences() const
{
    Lock lock(Mutex());
    return badResets_;
}

unsigned ModuleLines::WakePulses() const
{
    Lock lock(Mutex());
    return wakePulses_;
}

void ModuleLines::SetObserver(std::function<void()> observer)
{
    Lock lock(Mutex());
    observer_ = std::move(observer);
}

// --- the host's lines -------------------------------------------------------------

void ModuleLines::OnAccess()
{
    uint64_t now = plat::NowMs();
    bool b4 = plat::ioport::DrivenHigh(kPortB, kB4);
    bool h8 = plat::ioport::DrivenHigh(kPortH, kH8);
    bool c8 = plat::ioport::DrivenHigh(kPortC, kC8);
    HostPower host = ReadHost();
    if (b4 != b4_) {
        b4_ = b4;
        OnResetEdge(kPinB4, b4, now);
    }
    if (h8 != h8_) {
        h8_ = h8;
        OnResetEdge(kPinH8, h8, now);
    }
    if (c8 != c8_) {
        c8_ = c8;
        OnWakeEdge(c8, now);
    }
    if (host != host_) OnHostPower(host, now);
}

void ModuleLines::OnResetEdge(int pin, bool high, uint64_t now)
{
    edges_.push_back({pin, high, now});
    if (edges_.size() > 6) edges_.erase(edges_.begin());
    if (pin != kPinB4 || high) return;
    if (ResetSequenceComplete()) {
        edges_.clear();
        EnterReset(now);
    } else {
        ++badResets_;
    }
}

bool ModuleLines::ResetSequenceComplete() const
{
    struct Step {
        int pin;
        bool high;
        uint64_t afterMs;  // nominal time since the previous edge
    };
    static const Step kSequence[6] = {
        {kPinB4, true, 0},   {kPinH8, true, 600}, {kPinH8, false, 100},
        {kPinB4, false, 200}, {kPinB4, true, 300}, {kPinB4, false, 600},
    };
    if (edges_.size() != 6) return false;
    for (size_t i = 0; i < 6; ++i) {
        const Edge& e = edges_[i];
        if (e.pin != kSequence[i].pin || e.high != kSequence[i].high) return false;
        if (i > 0 && !Near(e.atMs - edges_[i - 1].atMs, kSequence[i].afterMs,
                           settings_.resetToleranceMs)) {
            return false;
        }
    }
    return true;
}

void ModuleLines::OnWakeEdge(bool high, uint64_t now)
{
    if (high) {
        c8RoseAt_ = now;
        return;
    }
    uint64_t width = now - c8RoseAt_;
    if (width < settings_.wakePulseMinMs || width > settings_.wakePulseMaxMs) return;
    ++wakePulses_;
    if (state_ != ModuleState::Running) return;
    if (!asleep_) {
        RestartIdleTimer(now);
        return;
    }
    if (settings_.neverWake || wakeTimer_ != 0) return;
    uint32_t periods = settings_.wakePeriods;
    if (periods == 0) {
        WakeUp(now);
        return;
    }
    uint64_t at = now + uint64_t(periods) * kWakePeriodMs - kWakePeriodMs / 2;
    wakeTimer_ = plat::kernel::CallAt(at, [this] {
        wakeTimer_ = 0;
        if (state_ == ModuleState::Running && asleep_) WakeUp(plat::NowMs());
    });
}

void ModuleLines::OnHostPower(HostPower power, uint64_t now)
{
    host_ = power;
    hostHistory_.push_back({now, power});
    Changed();
}

// --- module states ----------------------------------------------------------------

void ModuleLines::EnterReset(uint64_t now)
{
    ++resets_;
    CancelTimers();
    state_ = ModuleState::Booting;
    DriveSleep(false);
    DriveRfOk(false);
    Changed();
    if (!settings_.bootAfterReset) return;
    if (settings_.rfOkDelayMs == 0) {
        EnterRunning(now);
        return;
    }
    bootTimer_ = plat::kernel::CallAt(now + settings_.rfOkDelayMs, [this] {
        bootTimer_ = 0;
        if (state_ == ModuleState::Booting) EnterRunning(plat::NowMs());
    });
}

void ModuleLines::EnterRunning(uint64_t now)
{
    CancelTimers();
    state_ = ModuleState::Running;
    DriveSleep(false);
    DriveRfOk(true);
    RestartIdleTimer(now);
    Changed();
}

void ModuleLines::EnterCrashed()
{
    CancelTimers();
    state_ = ModuleState::Crashed;
    DriveSleep(false);
    DriveRfOk(false);
    Changed();
}

void ModuleLines::FallAsleep()
{
    if (state_ != ModuleState::Running || asleep_) return;
    if (idleTimer_ != 0) {
        plat::kernel::Cancel(idleTimer_);
        idleTimer_ = 0;
    }
    DriveSleep(true);
    Changed();
}

void ModuleLines::WakeUp(uint64_t now)
{
    DriveSleep(false);
    RestartIdleTimer(now);
    Changed();
}

void ModuleLines::RestartIdleTimer(uint64_t now)
{
    if (idleTimer_ != 0) {
        plat::kernel::Cancel(idleTimer_);
        idleTimer_ = 0;
    }
    if (settings_.sleepAfterIdleMs == 0 || state_ != ModuleState::Running || asleep_) return;
    idleTimer_ = plat::kernel::CallAt(now + settings_.sleepAfterIdleMs, [this] {
        idleTimer_ = 0;
        FallAsleep();
    });
}

void ModuleLines::CancelTimers()
{
    for (uint64_t* id : {&bootTimer_, &wakeTimer_, &idleTimer_, &glitchTimer_}) {
        if (*id != 0) plat::kernel::Cancel(*id);
        *id = 0;
    }
}

void ModuleLines::DriveRfOk(bool high)
{
    plat::ioport::SetInput(kPortF, kRfOk, high);
}

void ModuleLines::DriveSleep(bool asleep)
{
    asleep_ = asleep;
    plat::ioport::SetInput(kPortD, kD1, asleep);
}

void ModuleLines::Changed()
{
    if (observer_) observer_();
}

// --- commands ---------------------------------------------------------------------

void ModuleLines::Crash()
{
    Lock lock(Mutex());
    EnterCrashed();
}

void ModuleLines::CrashAt(uint64_t atMs)
{
    Lock lock(Mutex());
    commandTimers_.push_back(plat::kernel::CallAt(atMs, [this] { EnterCrashed(); }));
}

void ModuleLines::Glitch()
{
    Lock lock(Mutex());
    if (state_ != ModuleState::Running || glitchTimer_ != 0) return;
    DriveRfOk(false);
    glitchTimer_ = plat::kernel::CallAt(plat::NowMs() + settings_.glitchLowMs, [this] {
        glitchTimer_ = 0;
        if (state_ == ModuleState::Running) DriveRfOk(true);
    });
}

void ModuleLines::GlitchAt(uint64_t atMs)
{
    Lock lock(Mutex());
    commandTimers_.push_back(plat::kernel::CallAt(atMs, [this] { Glitch(); }));
}

void ModuleLines::GoToSleep()
{
    Lock lock(Mutex());
    FallAsleep();
}

void ModuleLines::NoteActivity()
{
    Lock lock(Mutex());
    if (state_ == ModuleState::Running && !asleep_) RestartIdleTimer(plat::NowMs());
}

void ModuleLines::SetNeverWake(bool never)
{
    Lock lock(Mutex());
    settings_.neverWake = never;
}

void ModuleLines::SetSleepAfterIdle(uint32_t ms)
{
    Lock lock(Mutex());
    settings_.sleepAfterIdleMs = ms;
    if (state_ == ModuleState::Running && !asleep_) RestartIdleTimer(plat::NowMs());
}

void ModuleLines::PowerOnRunning()
{
    Lock lock(Mutex());
    EnterRunning(plat::NowMs());
}

}  // namespace sim
