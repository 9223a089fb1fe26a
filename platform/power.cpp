// Power services: the system idle timer and the events to signal on resume.
// State is kept per simulated world, so that every test starts from none.
#include "host.h"
#include "platform.h"

#include <mutex>
#include <vector>

namespace {

struct PowerState {
    uint64_t world = 0;
    unsigned idleResets = 0;
    uint64_t lastIdleResetMs = 0;
    // Handle values are never reused, so a handle closed meanwhile only
    // makes its SetEvent fail.
    std::vector<HANDLE> powerOnEvents;
};

std::mutex& PowerMutex()
{
    static std::mutex m;
    return m;
}

// The state of the current world; call with PowerMutex held.
PowerState& State()
{
    static PowerState* s = new PowerState;
    const uint64_t world = plat::WorldId();
    if (s->world != world) {
        *s = PowerState();
        s->world = world;
    }
    return *s;
}

}  // namespace

void WINAPI SystemIdleTimerReset(void)
{
    const uint64_t now = plat::NowMs();
    std::lock_guard<std::mutex> g(PowerMutex());
    PowerState& s = State();
    s.idleResets++;
    s.lastIdleResetMs = now;
}

BOOL WINAPI CeSetPowerOnEvent(HANDLE hEvt)
{
    if (hEvt == NULL || hEvt == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(PowerMutex());
    State().powerOnEvents.push_back(hEvt);
    return TRUE;
}

namespace plat {

unsigned IdleTimerResetCount()
{
    std::lock_guard<std::mutex> g(PowerMutex());
    return State().idleResets;
}

uint64_t LastIdleTimerResetMs()
{
    std::lock_guard<std::mutex> g(PowerMutex());
    return State().lastIdleResetMs;
}

void SignalPowerOnEvents()
{
    std::vector<HANDLE> events;
    {
        std::lock_guard<std::mutex> g(PowerMutex());
        events.swap(State().powerOnEvents);
    }
    for (HANDLE h : events) SetEvent(h);
}

}  // namespace plat
