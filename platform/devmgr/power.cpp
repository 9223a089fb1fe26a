// Power services: the system idle timer, the events to be signalled at the
// next resume (CeSetPowerOnEvent), and the suspend and resume of the system
// as the device manager's drivers see them.
//
// What is kept here belongs to one simulated world: a new world starts with
// no idle timer resets and no pending power-on events. The event objects
// themselves are kept (not their handles), so the caller may close its
// handle before the resume.
#include "platform/devmgr/devmgr.h"

#include "platform/devmgr/devmgr_impl.h"
#include "platform/host.h"
#include "platform/kernel/object.h"

#include <mutex>
#include <vector>

namespace plat {
namespace {

struct PowerState {
    std::mutex mutex;
    uint64_t world = 0;
    unsigned idleResets = 0;
    uint64_t lastIdleResetMs = 0;
    std::vector<Object*> powerOnEvents;  // one reference each
};

PowerState& P()
{
    static PowerState* p = new PowerState;
    return *p;
}

// Forgets what an earlier world left; under the mutex. Returns the events
// to release (after the mutex is left).
std::vector<Object*> EnterWorldLocked(PowerState& p)
{
    std::vector<Object*> stale;
    const uint64_t world = WorldId();
    if (p.world == world) return stale;
    p.world = world;
    p.idleResets = 0;
    p.lastIdleResetMs = 0;
    stale.swap(p.powerOnEvents);
    return stale;
}

void ReleaseAll(const std::vector<Object*>& objects)
{
    for (Object* o : objects) o->Release();
}

}  // namespace

unsigned IdleTimerResetCount()
{
    PowerState& p = P();
    std::vector<Object*> stale;
    unsigned count;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        stale = EnterWorldLocked(p);
        count = p.idleResets;
    }
    ReleaseAll(stale);
    return count;
}

uint64_t LastIdleTimerResetMs()
{
    PowerState& p = P();
    std::vector<Object*> stale;
    uint64_t at;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        stale = EnterWorldLocked(p);
        at = p.lastIdleResetMs;
    }
    ReleaseAll(stale);
    return at;
}

void SignalPowerOnEvents()
{
    PowerState& p = P();
    std::vector<Object*> events;
    std::vector<Object*> stale;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        stale = EnterWorldLocked(p);
        events.swap(p.powerOnEvents);
    }
    ReleaseAll(stale);
    for (Object* ev : events) SetEventObject(ev);
    ReleaseAll(events);
}

void SystemSuspend()
{
    devmgr::PowerAll(false);
}

void SystemResume()
{
    devmgr::PowerAll(true);
    SignalPowerOnEvents();
}

}  // namespace plat

using namespace plat;

void WINAPI SystemIdleTimerReset(void)
{
    const uint64_t now = NowMs();
    PowerState& p = P();
    std::vector<Object*> stale;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        stale = EnterWorldLocked(p);
        ++p.idleResets;
        p.lastIdleResetMs = now;
    }
    ReleaseAll(stale);
}

BOOL WINAPI CeSetPowerOnEvent(HANDLE hEvt)
{
    Object* ev = ReferenceHandle(hEvt);
    if (!ev) return FALSE;
    if (ev->Kind() != ObjectKind::Event) {
        ev->Release();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    PowerState& p = P();
    std::vector<Object*> stale;
    bool known = false;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        stale = EnterWorldLocked(p);
        for (Object* o : p.powerOnEvents) known = known || o == ev;
        if (!known) p.powerOnEvents.push_back(ev);
    }
    if (known) ev->Release();  // handed twice before a resume: signalled once
    ReleaseAll(stale);
    return TRUE;
}
