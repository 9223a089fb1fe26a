// The kernel core of the POSIX platform: execution mode, the kernel lock,
// waits and timers (kernel.h), the simulated worlds and their scheduler.
// Threads and time are in kernel_threads.cpp; events, waits, critical
// sections and interlocked operations in kernel_sync.cpp; what host.h
// offers (real or simulated time, worlds, their clock) in kernel_host.cpp.
//
// Real mode: platform threads are free-running OS threads; a wait sleeps on
// a condition variable of its own, and Notify wakes the waiters whose
// predicates it finds true (one condition variable for all would wake every
// waiting thread of the process on every change); timers fire on a timer
// thread.
//
// Simulated mode: platform threads are fibers on one OS thread, the world's
// host (kernel_fiber.cpp), and only the one holding the baton
// (World::running) runs. Every platform call is a yield point at which the
// next thread is drawn from a seeded PRNG; a blocked thread hands the baton
// on; when nothing can run, virtual time jumps to the earliest deadline.
// Predicates of blocked threads are evaluated by whichever thread is
// scheduling, under the kernel lock, while their owners are parked.
#include "platform/kernel/kernel_internal.h"

#include <pthread.h>

namespace plat {
namespace kcore {

// Never destroyed: real-mode threads may still wait on its condition
// variables while the process ends, and the worlds it keeps hold the stacks
// of their abandoned threads.
Kernel& K()
{
    static Kernel* k = new Kernel;
    return *k;
}

thread_local std::shared_ptr<ThreadRec> tlsRec;

namespace {

// splitmix64: fixed, so that a seed gives the same schedule everywhere.
uint64_t NextRandom(World* w)
{
    uint64_t z = (w->rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// --- abort banner -----------------------------------------------------------

char gAbortBanner[160];
volatile sig_atomic_t gAbortBannerArmed = 0;
// The SIGABRT handler that was installed before ours (a fuzzer's, a crash
// reporter's): called after the banner, so that it still sees the abort.
struct sigaction gPreviousAbort;

void OnAbort(int sig, siginfo_t* info, void* context)
{
    if (gAbortBannerArmed) {
        ssize_t r = write(2, gAbortBanner, strlen(gAbortBanner));
        (void)r;
    }
    const struct sigaction& prev = gPreviousAbort;
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction != nullptr) {
            prev.sa_sigaction(sig, info, context);
            return;
        }
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler != nullptr) {
        prev.sa_handler(sig);
        return;
    }
    // No handler before ours: the default action follows (SA_RESETHAND
    // restored it, and abort() raises the signal again).
}

void ArmAbortBanner(uint64_t seed)
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = OnAbort;
        sa.sa_flags = SA_RESETHAND | SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        memset(&gPreviousAbort, 0, sizeof gPreviousAbort);
        sigaction(SIGABRT, &sa, &gPreviousAbort);
    });
    snprintf(gAbortBanner, sizeof gAbortBanner,
             "platform: simulated run aborted; seed %llu\n", (unsigned long long)seed);
    gAbortBannerArmed = 1;
}

}  // namespace

void DisarmAbortBanner() { gAbortBannerArmed = 0; }

// --- mode -------------------------------------------------------------------

Mode ResolveMode()
{
    Kernel& k = K();
    Mode m = k.mode.load(std::memory_order_acquire);
    if (m != Mode::Unset) return m;
    Lock lk(k.mutex);
    m = k.mode.load();
    if (m != Mode::Unset) return m;
    const char* env = std::getenv("MUX_SIM_SEED");
    if (env && *env) {
        k.seed = std::strtoull(env, nullptr, 0);
        m = Mode::Sim;
    } else {
        m = Mode::Real;
    }
    k.modeOutsideWorld = m;
    k.mode.store(m, std::memory_order_release);
    return m;
}

// --- simulated worlds ---------------------------------------------------------

std::shared_ptr<ThreadRec> NewRec(World* w, const std::string& name)
{
    auto rec = std::make_shared<ThreadRec>();
    rec->id = K().nextThreadId.fetch_add(1);
    rec->world = w;
    rec->name = name;
    return rec;
}

namespace {

// At exit, a process that has run simulated stays in simulated time: the
// static destructors run after the last world ended, and a pause of theirs
// (the dispatcher's) is then taken in virtual time rather than paid in real
// time by every test process.
void StaySimulatedAtExit()
{
    Kernel& k = K();
    Lock lk(k.mutex);
    if (k.world.load()) return;
    k.modeOutsideWorld = Mode::Sim;
    k.mode.store(Mode::Sim);
}

}  // namespace

World* StartWorld(uint64_t seed)
{
    Kernel& k = K();
    static const bool atExit = std::atexit(StaySimulatedAtExit) == 0;
    (void)atExit;
    World* w = new World;
    w->id = k.worlds.size() + 1;
    w->seed = seed;
    w->rng = seed;
    k.worlds.push_back(w);
    k.world.store(w);
    k.lastWorld = w;
    ArmAbortBanner(seed);
    return w;
}

// The calling thread's record in the current world. The first OS thread to
// enter a world becomes its host and its thread "main"; every other thread of
// the world is a fiber on the host, so the running one is World::running.
ThreadRec* SimSelf(Lock& lk)
{
    (void)lk;
    Kernel& k = K();
    World* w = k.world.load();
    if (!w) w = StartWorld(k.seed);
    if (w->hosted) {
        if (pthread_equal(w->host, pthread_self())) return w->running;
        // Its threads are fibers of the host: another OS thread could only
        // run beside them, outside the schedule the seed gives.
        fprintf(stderr,
                "platform: an OS thread that is not the host of simulated world %llu "
                "(seed %llu) made a platform call in it; only the world's own threads "
                "(CreateThread) may\n",
                (unsigned long long)w->id, (unsigned long long)w->seed);
        abort();
    }
    auto rec = NewRec(w, "main");
    w->threads.push_back(rec);
    HostWorld(w, rec.get());
    return rec.get();
}

ThreadRec* RunningSimThread()
{
    World* w = K().world.load();
    if (!w || !w->hosted || !pthread_equal(w->host, pthread_self())) return nullptr;
    return w->running;
}

// Real mode: the calling thread's record, made at its first platform call.
ThreadRec* RealSelf()
{
    ThreadRec* r = tlsRec.get();
    if (r) return r;
    bool isMain = getpid() == (pid_t)syscall(SYS_gettid);
    auto rec = NewRec(nullptr, "");
    rec->name = isMain ? std::string("main") : "thread-" + std::to_string(rec->id);
    tlsRec = rec;
    return rec.get();
}

ThreadRec* Self()
{
    if (Simulated()) {
        if (ThreadRec* r = RunningSimThread()) return r;
        Lock lk(K().mutex);
        return SimSelf(lk);
    }
    return RealSelf();
}

namespace {

[[noreturn]] void Deadlock(World* w)
{
    std::string report = "platform: deadlock in simulation (seed " + std::to_string(w->seed) +
                         ") at virtual time " + std::to_string(w->now) + " ms:\n";
    for (auto& t : w->threads) {
        if (t->state != State::Blocked) continue;
        report += "  thread '" + t->name + "' waits in " +
                  (t->describe ? (*t->describe)() : std::string(t->what)) + "\n";
    }
    fputs(report.c_str(), stderr);
    fflush(stderr);
    if (K().deadlockHandler) K().deadlockHandler(report);
    gAbortBannerArmed = 0;  // the report already names the seed
    abort();
}

// Records that `pick` got the baton. The trace keeps name indexes, not
// text, so that a hand-over costs no allocation once the vector has grown.
void TraceSwitch(World* w, ThreadRec* pick)
{
    if (w->trace.size() >= kMaxTraceLines) {
        w->traceTruncated = true;
        return;
    }
    if (pick->traceName < 0) {
        pick->traceName = (int)w->traceNames.size();
        w->traceNames.push_back(pick->name);
    }
    w->trace.push_back(TraceEntry{w->now, pick->traceName});
}

void FireDueTimers(World* w)
{
    while (!w->timers.empty() && w->timers.begin()->first.first <= w->now) {
        auto it = w->timers.begin();
        std::function<void()> fn = std::move(it->second);
        w->timerAt.erase(it->first.second);
        w->timers.erase(it);
        w->inTimer = true;
        fn();
        w->inTimer = false;
    }
}

}  // namespace

// Chooses the next thread to run and hands it the baton. `self` is the
// running thread: still runnable (a yield), blocked, or done. Returns when
// `self` has the baton again (never for a done thread).
void Reschedule(Lock& lk, ThreadRec* self)
{
    World* w = self->world;
    ThreadRec* pick = nullptr;
    std::vector<ThreadRec*>& ready = w->ready;
    for (;;) {
        FireDueTimers(w);
        ready.clear();
        uint64_t next = kForever;
        for (auto& sp : w->threads) {
            ThreadRec* t = sp.get();
            if (t->state == State::Blocked) {
                if (t->deadline <= w->now || (*t->ready)())
                    t->state = State::Runnable;
                else if (t->deadline < next)
                    next = t->deadline;
            }
            if (t->state == State::Runnable) ready.push_back(t);
        }
        if (!ready.empty()) {
            pick = ready.size() == 1 ? ready[0] : ready[NextRandom(w) % ready.size()];
            break;
        }
        if (!w->timers.empty() && w->timers.begin()->first.first < next)
            next = w->timers.begin()->first.first;
        if (next == kForever) Deadlock(w);
        w->now = next;
    }
    if (pick != w->running) TraceSwitch(w, pick);
    w->running = pick;
    if (pick == self) return;
    SwitchTo(lk, w, self, pick);
}

void Leave(World* w, ThreadRec* rec)
{
    auto& ts = w->threads;
    for (auto it = ts.begin(); it != ts.end(); ++it) {
        if (it->get() == rec) {
            w->endedNames[rec->id] = rec->name;
            ts.erase(it);  // in order: the order is part of the schedule a seed gives
            return;
        }
    }
}

std::string ThreadNameById(World* w, DWORD id)
{
    for (auto& t : w->threads)
        if (t->id == id) return t->name;
    auto it = w->endedNames.find(id);
    return it != w->endedNames.end() ? it->second : std::string();
}

uint64_t NowLocked()
{
    Kernel& k = K();
    if (k.mode.load() == Mode::Sim) {
        World* w = k.world.load();
        return w ? w->now : 0;
    }
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - k.start)
        .count();
}

namespace {

// Wakes the real-mode waiters whose predicates are now true. Under the
// kernel lock, so that every waiter is either still evaluating its predicate
// itself or registered and asleep.
void NotifyRealWaiters()
{
    for (RealWaiter* w : K().realWaiters) {
        if (!w->woken && (*w->ready)()) {
            w->woken = true;
            w->cv.notify_one();
        }
    }
}

// --- real-mode timers -------------------------------------------------------------

void RealTimerThread()
{
    // By name in top -H and in the benchmarks' per-thread accounts: what
    // runs here is the simulated hardware's, not a program's.
    pthread_setname_np(pthread_self(), kernel::kTimerThreadName);
    Kernel& k = K();
    Lock lk(k.mutex);
    for (;;) {
        if (k.realTimers.empty()) {
            k.timerCv.wait(lk);
            continue;
        }
        auto it = k.realTimers.begin();
        uint64_t at = it->first.first;
        if (NowLocked() >= at) {
            std::function<void()> fn = std::move(it->second);
            k.realTimerAt.erase(it->first.second);
            k.realTimers.erase(it);
            fn();
            NotifyRealWaiters();
        } else {
            k.timerCv.wait_until(lk, k.start + std::chrono::milliseconds(at));
        }
    }
}

}  // namespace

}  // namespace kcore

using namespace kcore;

// --- kernel.h -------------------------------------------------------------------

namespace kernel {

std::recursive_mutex& Mutex() { return K().mutex; }

namespace {

bool Wait(Lock& lock, const std::function<bool()>& ready, uint64_t deadlineMs, const char* what,
          const std::function<std::string()>* describe)
{
    Kernel& k = K();
    if (Simulated()) {
        ThreadRec* self = SimSelf(lock);
        World* w = self->world;
        while (!ready()) {
            if (w->now >= deadlineMs) return false;
            if (w->inTimer) {
                fprintf(stderr, "platform: blocking wait '%s' inside a timer callback\n",
                        describe ? (*describe)().c_str() : what);
                abort();
            }
            self->state = State::Blocked;
            self->ready = &ready;
            self->deadline = deadlineMs;
            self->what = what;
            self->describe = describe;
            Reschedule(lock, self);
            self->ready = nullptr;
            self->deadline = kForever;
            self->what = "";
            self->describe = nullptr;
        }
        return true;
    }
    RealWaiter self;
    self.ready = &ready;
    k.realWaiters.push_back(&self);
    bool result = true;
    while (!ready()) {
        self.woken = false;
        if (deadlineMs == kForever) {
            while (!self.woken) self.cv.wait(lock);
        } else {
            if (NowLocked() >= deadlineMs) {
                result = false;
                break;
            }
            self.cv.wait_until(lock, k.start + std::chrono::milliseconds(deadlineMs));
        }
    }
    k.realWaiters.erase(std::find(k.realWaiters.begin(), k.realWaiters.end(), &self));
    return result;
}

}  // namespace

bool WaitUntil(Lock& lock, const std::function<bool()>& ready, uint64_t deadlineMs,
               const char* what)
{
    return Wait(lock, ready, deadlineMs, what, nullptr);
}

bool WaitUntil(Lock& lock, const std::function<bool()>& ready, uint64_t deadlineMs,
               const std::function<std::string()>& describe)
{
    return Wait(lock, ready, deadlineMs, "", &describe);
}

void Notify()
{
    if (K().mode.load() == Mode::Sim) return;
    Lock lk(K().mutex);
    NotifyRealWaiters();
}

uint64_t CallAt(uint64_t atMs, std::function<void()> fn)
{
    Kernel& k = K();
    uint64_t id = k.nextTimerId.fetch_add(1);
    Lock lk(k.mutex);
    if (Simulated()) {
        World* w = k.world.load();
        if (!w) w = StartWorld(k.seed);
        w->timers.emplace(TimerKey(atMs, id), std::move(fn));
        w->timerAt[id] = atMs;
        return id;
    }
    k.realTimers.emplace(TimerKey(atMs, id), std::move(fn));
    k.realTimerAt[id] = atMs;
    if (!k.timerThreadStarted) {
        k.timerThreadStarted = true;
        std::thread(RealTimerThread).detach();
    }
    k.timerCv.notify_all();
    return id;
}

void Cancel(uint64_t id)
{
    Kernel& k = K();
    Lock lk(k.mutex);
    if (World* w = k.world.load()) {
        auto it = w->timerAt.find(id);
        if (it != w->timerAt.end()) {
            w->timers.erase(TimerKey(it->second, id));
            w->timerAt.erase(it);
        }
    }
    auto it = k.realTimerAt.find(id);
    if (it != k.realTimerAt.end()) {
        k.realTimers.erase(TimerKey(it->second, id));
        k.realTimerAt.erase(it);
    }
}

void YieldPoint()
{
    if (!Simulated()) return;
    Lock lk(K().mutex);
    ThreadRec* self = SimSelf(lk);
    if (self->world->inTimer) return;
    Reschedule(lk, self);
}

}  // namespace kernel

}  // namespace plat
