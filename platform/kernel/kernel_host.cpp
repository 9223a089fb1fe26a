// The host's side of the kernel (host.h): choosing real or simulated time,
// starting and ending a simulated world, its clock, and what a failure or a
// deadlock report shows of it.
#include "platform/kernel/kernel_internal.h"

namespace plat {

using namespace kcore;

void UseRealTime()
{
    Kernel& k = K();
    Lock lk(k.mutex);
    k.modeOutsideWorld = Mode::Real;
    if (!k.world.load()) k.mode.store(Mode::Real);
}

void UseSimulation(uint64_t seed)
{
    Kernel& k = K();
    Lock lk(k.mutex);
    k.seed = seed;
    k.modeOutsideWorld = Mode::Sim;
    k.mode.store(Mode::Sim);
}

bool IsSimulated() { return Simulated(); }

uint64_t Seed()
{
    Kernel& k = K();
    Lock lk(k.mutex);
    if (World* w = k.world.load()) return w->seed;
    return k.seed;
}

void BeginSimulation(uint64_t seed)
{
    Kernel& k = K();
    ResolveMode();
    Lock lk(k.mutex);
    if (k.world.load()) EndSimulation();
    k.mode.store(Mode::Sim);
    World* w = StartWorld(seed);
    auto rec = NewRec(w, "main");
    w->threads.push_back(rec);
    HostWorld(w, rec.get());
}

int EndSimulation()
{
    Kernel& k = K();
    Lock lk(k.mutex);
    World* w = k.world.load();
    if (!w) return 0;
    int alive = 0;
    ThreadRec* self = RunningSimThread();
    for (auto& t : w->threads)
        if (t->state != State::Done && t.get() != self) ++alive;
    k.world.store(nullptr);
    k.mode.store(k.modeOutsideWorld == Mode::Sim ? Mode::Sim : Mode::Real);
    DisarmAbortBanner();
    return alive;
}

uint64_t WorldId()
{
    Lock lk(K().mutex);
    World* w = K().world.load();
    return w ? w->id : 0;
}

uint64_t NowMs()
{
    Lock lk(K().mutex);
    if (Simulated() && !K().world.load()) SimSelf(lk);
    return NowLocked();
}

void SetTickCountNow(DWORD ticks)
{
    Kernel& k = K();
    Lock lk(k.mutex);
    if (Simulated()) {
        SimSelf(lk);
        World* w = k.world.load();
        w->tickBase = (DWORD)(ticks - (DWORD)w->now);
    } else {
        k.realTickBase = (DWORD)(ticks - (DWORD)NowLocked());
    }
}

std::string SimFailureBanner()
{
    Kernel& k = K();
    Lock lk(k.mutex);
    World* w = k.world.load();
    if (!w) return std::string();
    return "simulation seed " + std::to_string(w->seed) + " at virtual time " +
           std::to_string(w->now) + " ms";
}

std::string SchedulerTrace()
{
    Kernel& k = K();
    Lock lk(k.mutex);
    World* w = k.world.load();
    if (!w) w = k.lastWorld;
    std::string out;
    if (!w) return out;
    for (const TraceEntry& e : w->trace) {
        out += std::to_string(e.now);
        out += ' ';
        out += w->traceNames[e.name];
        out += '\n';
    }
    if (w->traceTruncated) out += "...\n";
    return out;
}

void SetDeadlockHandler(std::function<void(const std::string& report)> handler)
{
    Lock lk(K().mutex);
    K().deadlockHandler = std::move(handler);
}

}  // namespace plat
