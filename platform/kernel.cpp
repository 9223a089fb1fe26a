// The kernel core of the POSIX platform: execution mode, the kernel lock,
// waits and timers (kernel.h), the simulated scheduler, threads, events,
// critical sections, interlocked operations and time.
//
// Real mode: platform threads are free-running OS threads; waits use one
// condition variable on the kernel lock; timers fire on a timer thread.
//
// Simulated mode: platform threads are still OS threads, but only the one
// holding the baton (World::running) runs. Every platform call is a yield
// point at which the next thread is drawn from a seeded PRNG; a blocked
// thread hands the baton on; when nothing can run, virtual time jumps to the
// earliest deadline. Predicates of blocked threads are evaluated by whichever
// thread is scheduling, under the kernel lock, while their owners are parked.
#include "host.h"
#include "kernel.h"
#include "object.h"
#include "platform.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plat {
namespace {

using kernel::kForever;
using kernel::Lock;

enum class Mode : int { Unset, Real, Sim };
enum class State { Runnable, Blocked, Done };

struct World;

struct ThreadRec {
    DWORD id = 0;
    std::string name;
    int priority = CE_THREAD_PRIO_256_NORMAL;
    World* world = nullptr;  // the simulated world it belongs to; null in real mode

    // Simulation state, under the kernel lock.
    State state = State::Runnable;
    std::condition_variable_any cv;  // wakes the thread when it gets the baton
    const std::function<bool()>* ready = nullptr;
    uint64_t deadline = kForever;
    const char* what = "";

    // End of the thread, under the kernel lock.
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    std::list<WaitBlock*> exitWaiters;
};

using TimerKey = std::pair<uint64_t, uint64_t>;  // (time, id): fires in time, then id order

struct World {
    uint64_t id = 0;
    uint64_t seed = 0;
    uint64_t rng = 0;
    uint64_t now = 0;
    DWORD tickBase = 0;
    std::vector<std::shared_ptr<ThreadRec>> threads;
    ThreadRec* running = nullptr;
    std::map<TimerKey, std::function<void()>> timers;
    std::unordered_map<uint64_t, uint64_t> timerAt;
    std::vector<std::string> trace;
    bool traceTruncated = false;
    int nextName = 1;
    bool inTimer = false;
};

constexpr size_t kMaxTraceLines = 200000;

struct Kernel {
    std::recursive_mutex mutex;
    std::condition_variable_any realCv;
    std::condition_variable_any timerCv;
    std::atomic<Mode> mode{Mode::Unset};
    Mode modeOutsideWorld = Mode::Unset;
    uint64_t seed = 0;
    std::atomic<World*> world{nullptr};
    World* lastWorld = nullptr;
    std::vector<World*> worlds;  // every world ever made; abandoned threads still point into them
    std::atomic<DWORD> nextThreadId{1};
    std::atomic<uint64_t> nextTimerId{1};
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    DWORD realTickBase = 0;
    std::map<TimerKey, std::function<void()>> realTimers;
    std::unordered_map<uint64_t, uint64_t> realTimerAt;
    bool timerThreadStarted = false;
    std::function<void(const std::string&)> deadlockHandler;
    std::mutex nameMutex;  // guards event names
};

// Never destroyed: parked threads of abandoned worlds wait on its condition
// variables until the process ends.
Kernel& K()
{
    static Kernel* k = new Kernel;
    return *k;
}

thread_local std::shared_ptr<ThreadRec> tlsRec;
thread_local DWORD tlsLastError = 0;

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

void OnAbort(int)
{
    if (gAbortBannerArmed) {
        ssize_t r = write(2, gAbortBanner, strlen(gAbortBanner));
        (void)r;
    }
}

void ArmAbortBanner(uint64_t seed)
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = OnAbort;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGABRT, &sa, nullptr);
    });
    snprintf(gAbortBanner, sizeof gAbortBanner,
             "platform: simulated run aborted; seed %llu\n", (unsigned long long)seed);
    gAbortBannerArmed = 1;
}

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

inline bool Simulated() { return ResolveMode() == Mode::Sim; }

// --- simulated worlds ---------------------------------------------------------

std::shared_ptr<ThreadRec> NewRec(World* w, const std::string& name)
{
    auto rec = std::make_shared<ThreadRec>();
    rec->id = K().nextThreadId.fetch_add(1);
    rec->world = w;
    rec->name = name;
    return rec;
}

World* StartWorld(uint64_t seed)
{
    Kernel& k = K();
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

// The calling thread's record in the current world, adopting the thread when
// it has none there yet (it then waits for the baton, unless it is the first).
ThreadRec* SimSelf(Lock& lk)
{
    Kernel& k = K();
    World* w = k.world.load();
    if (!w) w = StartWorld(k.seed);
    ThreadRec* r = tlsRec.get();
    if (r && r->world == w) return r;
    bool first = w->threads.empty();
    auto rec = NewRec(w, first ? "main" : "thread-" + std::to_string(w->nextName++));
    w->threads.push_back(rec);
    tlsRec = rec;
    r = rec.get();
    if (!w->running) w->running = r;
    while (!(k.world.load() == w && w->running == r)) r->cv.wait(lk);
    return r;
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
        ThreadRec* r = tlsRec.get();
        if (r && r->world == K().world.load()) return r;
        Lock lk(K().mutex);
        return SimSelf(lk);
    }
    return RealSelf();
}

[[noreturn]] void Deadlock(World* w)
{
    std::string report = "platform: deadlock in simulation (seed " + std::to_string(w->seed) +
                         ") at virtual time " + std::to_string(w->now) + " ms:\n";
    for (auto& t : w->threads) {
        if (t->state != State::Blocked) continue;
        report += "  thread '" + t->name + "' waits in " + t->what + "\n";
    }
    fputs(report.c_str(), stderr);
    fflush(stderr);
    if (K().deadlockHandler) K().deadlockHandler(report);
    gAbortBannerArmed = 0;  // the report already names the seed
    abort();
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

// Chooses the next thread to run and hands it the baton. `self` is the
// running thread: still runnable (a yield), blocked, or done. Returns when
// `self` has the baton again (at once for a done thread).
void Reschedule(Lock& lk, ThreadRec* self)
{
    Kernel& k = K();
    World* w = self->world;
    ThreadRec* pick = nullptr;
    std::vector<ThreadRec*> ready;
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
    if (pick != w->running) {
        if (w->trace.size() < kMaxTraceLines)
            w->trace.push_back(std::to_string(w->now) + " " + pick->name);
        else
            w->traceTruncated = true;
    }
    w->running = pick;
    if (pick == self) return;
    pick->cv.notify_one();
    if (self->state == State::Done) return;
    while (!(k.world.load() == w && w->running == self)) self->cv.wait(lk);
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

// --- real-mode timers -------------------------------------------------------------

void RealTimerThread()
{
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
            k.realCv.notify_all();
        } else {
            k.timerCv.wait_until(lk, k.start + std::chrono::milliseconds(at));
        }
    }
}

// --- objects ------------------------------------------------------------------

std::string NameOf(const ThreadRec* r) { return r ? r->name : std::string(); }

class ThreadObject : public Object {
public:
    explicit ThreadObject(std::shared_ptr<ThreadRec> rec)
        : Object(ObjectKind::Thread), rec_(std::move(rec))
    {
    }
    bool Waitable() const override { return true; }
    bool BeginWait(WaitBlock* w) override
    {
        if (rec_->finished) return true;
        rec_->exitWaiters.push_back(w);
        return false;
    }
    void EndWait(WaitBlock* w) override { rec_->exitWaiters.remove(w); }
    std::string Describe() const override { return "thread '" + rec_->name + "'"; }
    ThreadRec* Rec() const { return rec_.get(); }

private:
    std::shared_ptr<ThreadRec> rec_;
};

class EventObject;

std::map<std::u16string, EventObject*>& EventNames()
{
    static auto* names = new std::map<std::u16string, EventObject*>;
    return *names;
}

class EventObject : public Object {
public:
    EventObject(bool manual, bool initial, std::u16string name)
        : Object(ObjectKind::Event), manual_(manual), signalled_(initial), name_(std::move(name))
    {
    }
    // Under the kernel lock.
    bool Waitable() const override { return true; }
    bool BeginWait(WaitBlock* w) override
    {
        if (signalled_) {
            if (!manual_) signalled_ = false;
            return true;
        }
        waiters_.push_back(w);
        return false;
    }
    void EndWait(WaitBlock* w) override { waiters_.remove(w); }
    void Set()
    {
        if (manual_) {
            signalled_ = true;
            ReleaseAll();
        } else if (!waiters_.empty()) {
            ReleaseOne();
        } else {
            signalled_ = true;
        }
        kernel::Notify();
    }
    void Pulse()
    {
        if (manual_)
            ReleaseAll();
        else if (!waiters_.empty())
            ReleaseOne();
        signalled_ = false;
        kernel::Notify();
    }
    void Reset() { signalled_ = false; }
    BOOL Close() override
    {
        Lock lk(kernel::Mutex());
        if (--handles_ == 0 && !name_.empty()) {
            auto& names = EventNames();
            auto it = names.find(name_);
            if (it != names.end() && it->second == this) names.erase(it);
        }
        return TRUE;
    }
    std::string Describe() const override
    {
        return name_.empty() ? std::string("unnamed event") : "event '" + ToUtf8(name_) + "'";
    }
    void AddHandle() { ++handles_; }

private:
    void ReleaseAll()
    {
        for (WaitBlock* w : waiters_) w->released = true;
        waiters_.clear();
    }
    void ReleaseOne()
    {
        waiters_.front()->released = true;
        waiters_.pop_front();
    }

    const bool manual_;
    bool signalled_;
    const std::u16string name_;
    int handles_ = 1;
    std::list<WaitBlock*> waiters_;
};

// The thread behind a handle, or the caller for the GetCurrentThread()
// pseudo-handle. Holds a reference on the handle's object while alive.
struct ThreadRef {
    explicit ThreadRef(HANDLE h)
    {
        if (h == GetCurrentThread()) {
            rec = Self();
            return;
        }
        obj = ReferenceHandle(h);
        if (obj && obj->Kind() == ObjectKind::Thread)
            rec = static_cast<ThreadObject*>(obj)->Rec();
        else
            SetLastError(ERROR_INVALID_HANDLE);
    }
    ~ThreadRef()
    {
        if (obj) obj->Release();
    }
    Object* obj = nullptr;
    ThreadRec* rec = nullptr;
};

void ThreadMain(std::shared_ptr<ThreadRec> rec, LPTHREAD_START_ROUTINE start, LPVOID param)
{
    Kernel& k = K();
    tlsRec = rec;
    pthread_setname_np(pthread_self(), rec->name.substr(0, 15).c_str());
    World* w = rec->world;
    if (w) {
        Lock lk(k.mutex);
        while (!(k.world.load() == w && w->running == rec.get())) rec->cv.wait(lk);
    }
    DWORD code = start(param);
    Lock lk(k.mutex);
    rec->exitCode = code;
    rec->finished = true;
    for (WaitBlock* b : rec->exitWaiters) b->released = true;
    rec->exitWaiters.clear();
    kernel::Notify();
    if (w) {
        rec->state = State::Done;
        if (k.world.load() == w && w->running == rec.get()) Reschedule(lk, rec.get());
    }
}

constexpr uint64_t kLocalTimeBase = 1783865039;  // 2026-07-12 14:03:59 (as UTC, shown as local)

void FillSystemTime(LPSYSTEMTIME st, const struct tm& tm, unsigned ms)
{
    st->wYear = (WORD)(tm.tm_year + 1900);
    st->wMonth = (WORD)(tm.tm_mon + 1);
    st->wDayOfWeek = (WORD)tm.tm_wday;
    st->wDay = (WORD)tm.tm_mday;
    st->wHour = (WORD)tm.tm_hour;
    st->wMinute = (WORD)tm.tm_min;
    st->wSecond = (WORD)tm.tm_sec;
    st->wMilliseconds = (WORD)ms;
}

struct CsImpl {
    std::recursive_mutex m;
};

}  // namespace

// --- kernel.h -------------------------------------------------------------------

namespace kernel {

std::recursive_mutex& Mutex() { return K().mutex; }

bool WaitUntil(Lock& lock, const std::function<bool()>& ready, uint64_t deadlineMs,
               const char* what)
{
    Kernel& k = K();
    if (Simulated()) {
        ThreadRec* self = SimSelf(lock);
        World* w = self->world;
        while (!ready()) {
            if (w->now >= deadlineMs) return false;
            if (w->inTimer) {
                fprintf(stderr, "platform: blocking wait '%s' inside a timer callback\n", what);
                abort();
            }
            self->state = State::Blocked;
            self->ready = &ready;
            self->deadline = deadlineMs;
            self->what = what;
            Reschedule(lock, self);
            self->ready = nullptr;
            self->deadline = kForever;
            self->what = "";
        }
        return true;
    }
    while (!ready()) {
        if (deadlineMs == kForever) {
            k.realCv.wait(lock);
        } else {
            if (NowLocked() >= deadlineMs) return false;
            k.realCv.wait_until(lock, k.start + std::chrono::milliseconds(deadlineMs));
        }
    }
    return true;
}

void Notify()
{
    if (K().mode.load() != Mode::Sim) K().realCv.notify_all();
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

// --- host.h ---------------------------------------------------------------------

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
    w->running = rec.get();
    tlsRec = rec;
}

int EndSimulation()
{
    Kernel& k = K();
    Lock lk(k.mutex);
    World* w = k.world.load();
    if (!w) return 0;
    int alive = 0;
    ThreadRec* self = tlsRec.get();
    for (auto& t : w->threads)
        if (t->state != State::Done && t.get() != self) ++alive;
    k.world.store(nullptr);
    k.mode.store(k.modeOutsideWorld == Mode::Sim ? Mode::Sim : Mode::Real);
    gAbortBannerArmed = 0;
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
    for (const std::string& line : w->trace) {
        out += line;
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

std::string ThreadName(HANDLE thread)
{
    Lock lk(K().mutex);
    ThreadRef t(thread);
    return NameOf(t.rec);
}

std::string CurrentThreadName()
{
    ThreadRec* r = Self();
    Lock lk(K().mutex);
    return r->name;
}

void SetCurrentThreadName(const std::string& name)
{
    ThreadRec* r = Self();
    Lock lk(K().mutex);
    r->name = name;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace plat

// --- Win32: errors, threads, time -------------------------------------------------

using namespace plat;

DWORD WINAPI GetLastError(void) { return tlsLastError; }
void WINAPI SetLastError(DWORD dwErrCode) { tlsLastError = dwErrCode; }

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    kernel::YieldPoint();
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {
        // There is no ResumeThread here, so a suspended thread could never run.
        SetLastError(ERROR_NOT_SUPPORTED);
        return NULL;
    }
    Kernel& k = K();
    std::shared_ptr<ThreadRec> rec;
    {
        Lock lk(k.mutex);
        if (Simulated()) {
            World* w = SimSelf(lk)->world;
            rec = NewRec(w, "thread-" + std::to_string(w->nextName++));
            w->threads.push_back(rec);
        } else {
            rec = NewRec(nullptr, "");
            rec->name = "thread-" + std::to_string(rec->id);
        }
    }
    HANDLE h = NewHandle(new ThreadObject(rec));
    try {
        std::thread(ThreadMain, rec, lpStartAddress, lpParameter).detach();
    } catch (...) {
        {
            Lock lk(k.mutex);
            rec->finished = true;
            rec->state = State::Done;
        }
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    if (lpThreadId) *lpThreadId = rec->id;
    kernel::YieldPoint();
    return h;
}

HANDLE WINAPI GetCurrentThread(void) { return (HANDLE)(LONG_PTR)-2; }

DWORD WINAPI GetCurrentThreadId(void)
{
    kernel::YieldPoint();
    return Self()->id;
}

BOOL WINAPI CeSetThreadPriority(HANDLE hThread, int nPriority)
{
    kernel::YieldPoint();
    if (nPriority < 0 || nPriority > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ThreadRef t(hThread);
    if (!t.rec) return FALSE;
    Lock lk(K().mutex);
    t.rec->priority = nPriority;
    return TRUE;
}

int WINAPI CeGetThreadPriority(HANDLE hThread)
{
    kernel::YieldPoint();
    ThreadRef t(hThread);
    if (!t.rec) return THREAD_PRIORITY_ERROR_RETURN;
    Lock lk(K().mutex);
    return t.rec->priority;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    kernel::YieldPoint();
    ThreadRef t(hThread);
    if (!t.rec) return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Lock lk(K().mutex);
    *lpExitCode = t.rec->finished ? t.rec->exitCode : STILL_ACTIVE;
    return TRUE;
}

void PlatformSetThreadNameW(LPCWSTR name)
{
    kernel::YieldPoint();
    SetCurrentThreadName(name ? ToUtf8(name) : std::string());
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    kernel::YieldPoint();
    if (!Simulated()) {
        if (dwMilliseconds == INFINITE) {
            Lock lk(K().mutex);
            kernel::WaitUntil(lk, [] { return false; }, kForever, "Sleep(INFINITE)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
        return;
    }
    if (dwMilliseconds == 0) return;
    Lock lk(K().mutex);
    std::string what = "Sleep(" + std::to_string(dwMilliseconds) + ")";
    uint64_t deadline = dwMilliseconds == INFINITE ? kForever : NowLocked() + dwMilliseconds;
    kernel::WaitUntil(lk, [] { return false; }, deadline, what.c_str());
}

DWORD WINAPI GetTickCount(void)
{
    kernel::YieldPoint();
    Kernel& k = K();
    Lock lk(k.mutex);
    if (Simulated()) {
        World* w = k.world.load();
        return w ? (DWORD)(w->now + w->tickBase) : 0;
    }
    return (DWORD)(NowLocked() + k.realTickBase);
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    kernel::YieldPoint();
    if (!lpSystemTime) return;
    struct tm tm;
    if (Simulated()) {
        uint64_t now = NowMs();
        time_t t = (time_t)(kLocalTimeBase + now / 1000);
        gmtime_r(&t, &tm);
        FillSystemTime(lpSystemTime, tm, (unsigned)(now % 1000));
        return;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t t = ts.tv_sec;
    localtime_r(&t, &tm);
    FillSystemTime(lpSystemTime, tm, (unsigned)(ts.tv_nsec / 1000000));
}

// --- events and waits -------------------------------------------------------------------

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    kernel::YieldPoint();
    std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
    Lock lk(kernel::Mutex());
    if (!name.empty()) {
        auto& names = EventNames();
        auto it = names.find(name);
        if (it != names.end()) {
            it->second->AddRef();
            it->second->AddHandle();
            HANDLE h = NewHandle(it->second);
            SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
    }
    auto* ev = new EventObject(bManualReset != FALSE, bInitialState != FALSE, name);
    if (!name.empty()) EventNames()[name] = ev;
    HANDLE h = NewHandle(ev);
    SetLastError(ERROR_SUCCESS);
    return h;
}

namespace {

EventObject* EventFromHandle(HANDLE h, ObjectRef& ref)
{
    if (!ref) return nullptr;
    if (ref->Kind() != ObjectKind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    (void)h;
    return static_cast<EventObject*>(ref.get());
}

}  // namespace

// Set, reset and pulse: the event behind the handle, changed under the
// kernel lock after the call's scheduling point.
static BOOL OnEvent(HANDLE hEvent, void (EventObject::*change)())
{
    kernel::YieldPoint();
    ObjectRef ref(hEvent);
    EventObject* ev = EventFromHandle(hEvent, ref);
    if (!ev) return FALSE;
    Lock lk(kernel::Mutex());
    (ev->*change)();
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return OnEvent(hEvent, &EventObject::Set);
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return OnEvent(hEvent, &EventObject::Reset);
}

BOOL WINAPI PulseEvent(HANDLE hEvent)
{
    return OnEvent(hEvent, &EventObject::Pulse);
}

BOOL plat::SetEventObject(Object* obj)
{
    if (!obj || obj->Kind() != ObjectKind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Lock lk(kernel::Mutex());
    static_cast<EventObject*>(obj)->Set();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    kernel::YieldPoint();
    ObjectRef obj(hHandle);
    if (!obj) return WAIT_FAILED;
    if (!obj->Waitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    Lock lk(kernel::Mutex());
    WaitBlock wb;
    if (obj->BeginWait(&wb)) return WAIT_OBJECT_0;
    if (dwMilliseconds != 0) {
        uint64_t deadline = dwMilliseconds == INFINITE ? kForever : NowLocked() + dwMilliseconds;
        std::string what = "WaitForSingleObject(" + obj->Describe() + ")";
        kernel::WaitUntil(lk, [&wb] { return wb.released; }, deadline, what.c_str());
    }
    obj->EndWait(&wb);
    return wb.released ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// --- critical sections ------------------------------------------------------------------

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    cs->impl = new CsImpl;
    cs->OwnerThread = 0;
    cs->LockCount = 0;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    delete static_cast<CsImpl*>(cs->impl);
    cs->impl = nullptr;
    cs->OwnerThread = 0;
    cs->LockCount = 0;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    if (!Simulated()) {
        static_cast<CsImpl*>(cs->impl)->m.lock();
        cs->OwnerThread = RealSelf()->id;
        ++cs->LockCount;
        return;
    }
    kernel::YieldPoint();
    Lock lk(kernel::Mutex());
    DWORD me = Self()->id;
    while (cs->OwnerThread != 0 && cs->OwnerThread != me) {
        std::string holder;
        for (auto& t : K().world.load()->threads)
            if (t->id == cs->OwnerThread) holder = t->name;
        std::string what = "EnterCriticalSection (held by '" + holder + "')";
        kernel::WaitUntil(lk, [cs] { return cs->OwnerThread == 0; }, kForever, what.c_str());
    }
    cs->OwnerThread = me;
    ++cs->LockCount;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs)
{
    if (!Simulated()) {
        if (!static_cast<CsImpl*>(cs->impl)->m.try_lock()) return FALSE;
        cs->OwnerThread = RealSelf()->id;
        ++cs->LockCount;
        return TRUE;
    }
    kernel::YieldPoint();
    Lock lk(kernel::Mutex());
    DWORD me = Self()->id;
    if (cs->OwnerThread != 0 && cs->OwnerThread != me) return FALSE;
    cs->OwnerThread = me;
    ++cs->LockCount;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    if (!Simulated()) {
        if (--cs->LockCount == 0) cs->OwnerThread = 0;
        static_cast<CsImpl*>(cs->impl)->m.unlock();
        return;
    }
    kernel::YieldPoint();
    Lock lk(kernel::Mutex());
    if (cs->OwnerThread != Self()->id || cs->LockCount <= 0) return;  // not the owner
    if (--cs->LockCount == 0) {
        cs->OwnerThread = 0;
        kernel::Notify();
    }
}

// --- interlocked ------------------------------------------------------------------------

LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value)
{
    kernel::YieldPoint();
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedIncrement(LONG volatile* lpAddend)
{
    kernel::YieldPoint();
    return __atomic_add_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedDecrement(LONG volatile* lpAddend)
{
    kernel::YieldPoint();
    return __atomic_sub_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand)
{
    kernel::YieldPoint();
    LONG expected = Comperand;
    __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}
