// Private to the platform's kernel (kernel.cpp: the scheduler, worlds and
// timers; kernel_fiber.cpp: simulated threads as fibers; kernel_threads.cpp:
// threads and time; kernel_sync.cpp: events, waits, critical sections and
// interlocked operations; kernel_host.cpp: the host's choice of time and its
// worlds): the records they share. Nothing outside the kernel*.cpp files includes it.
#ifndef MUX_PLATFORM_KERNEL_INTERNAL_H
#define MUX_PLATFORM_KERNEL_INTERNAL_H

#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"
#include "platform/platform.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plat {
namespace kcore {

using kernel::kForever;
using kernel::Lock;

enum class Mode : int { Unset, Real, Sim };
enum class State { Runnable, Blocked, Done };

struct World;
struct FiberStack;

// How the sanitizers see a simulated thread's stack (kernel_fiber.cpp); unused
// in a plain build.
struct FiberSanitizer {
    const void* bottom = nullptr;  // the stack's lowest address (AddressSanitizer)
    size_t size = 0;
    void* fakeStack = nullptr;  // AddressSanitizer's fake stack while switched out
    void* tsanFiber = nullptr;  // ThreadSanitizer's fiber
};

struct ThreadRec {
    DWORD id = 0;
    std::string name;
    int priority = CE_THREAD_PRIO_256_NORMAL;
    World* world = nullptr;  // the simulated world it belongs to; null in real mode

    // Simulation state, under the kernel lock.
    State state = State::Runnable;
    // A simulated thread is a fiber on its world's host OS thread: where it
    // resumes while it does not hold the baton (a Boost.Context fcontext_t),
    // and its own stack (none for the host's own thread, "main").
    void* context = nullptr;
    FiberStack* stack = nullptr;
    FiberSanitizer sanitizer;
    DWORD lastError = 0;  // GetLastError of a simulated thread
    const std::function<bool()>* ready = nullptr;
    uint64_t deadline = kForever;
    // What the thread waits in, for a deadlock report: `what`, or when
    // `describe` is set, the text it builds (only when a report needs it).
    const char* what = "";
    const std::function<std::string()>* describe = nullptr;
    // Index of the name in World::traceNames; -1 until traced (or renamed).
    int traceName = -1;

    // End of the thread, under the kernel lock.
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    std::vector<WaitBlock*> exitWaiters;
};

// One baton hand-over in the scheduler trace: time and who got it.
struct TraceEntry {
    uint64_t now;
    int name;  // index in World::traceNames
};

using TimerKey = std::pair<uint64_t, uint64_t>;  // (time, id): fires in time, then id order

struct World {
    uint64_t id = 0;
    uint64_t seed = 0;
    uint64_t rng = 0;
    uint64_t now = 0;
    DWORD tickBase = 0;
    // The threads that have not ended, in the order they joined: a thread
    // that ends leaves, so that a scheduling point walks the living only.
    std::vector<std::shared_ptr<ThreadRec>> threads;
    std::vector<ThreadRec*> ready;  // scratch of Reschedule, kept for its capacity
    std::unordered_map<DWORD, std::string> endedNames;  // by id, for deadlock reports
    ThreadRec* running = nullptr;
    // The OS thread all of the world's threads run on (the first to enter it).
    pthread_t host{};
    bool hosted = false;
    // Of the last switch, for the thread that resumes: who switched (null when
    // it ended) and the stack of a thread that ended, to go back to the pool.
    ThreadRec* switchedFrom = nullptr;
    FiberStack* endedStack = nullptr;
    std::map<TimerKey, std::function<void()>> timers;
    std::unordered_map<uint64_t, uint64_t> timerAt;
    std::vector<TraceEntry> trace;
    std::vector<std::string> traceNames;
    bool traceTruncated = false;
    int nextName = 1;
    bool inTimer = false;
};

constexpr size_t kMaxTraceLines = 200000;

// A real-mode wait: the waiter's predicate, evaluated by whoever notifies
// (under the kernel lock, as the simulation's scheduler does), and the
// condition variable that wakes this waiter alone.
struct RealWaiter {
    const std::function<bool()>* ready = nullptr;
    std::condition_variable_any cv;
    bool woken = false;
};

struct Kernel {
    std::recursive_mutex mutex;
    // Real mode: the threads waiting in kernel::WaitUntil, each woken on its
    // own when a Notify finds its predicate true.
    std::vector<RealWaiter*> realWaiters;
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
    std::vector<FiberStack*> freeStacks;  // stacks of ended threads, for the next ones
    std::function<void(const std::string&)> deadlockHandler;
    std::mutex nameMutex;  // guards event names
};

// The one kernel record (never destroyed).
Kernel& K();

// Real mode: the calling OS thread's record.
extern thread_local std::shared_ptr<ThreadRec> tlsRec;

Mode ResolveMode();
inline bool Simulated() { return ResolveMode() == Mode::Sim; }

std::shared_ptr<ThreadRec> NewRec(World* w, const std::string& name);
World* StartWorld(uint64_t seed);
// After the world has ended an abort no longer names its seed.
void DisarmAbortBanner();
// The calling thread's record in the current world, adopting the thread when
// it has none there yet.
ThreadRec* SimSelf(Lock& lk);
// Real mode: the calling thread's record, made at its first platform call.
ThreadRec* RealSelf();
ThreadRec* Self();
// Takes an ended thread out of its world's list (it keeps its record for the
// handles that still refer to it).
void Leave(World* w, ThreadRec* rec);
// The name of a thread of the world by id, living or ended ("" if unknown).
std::string ThreadNameById(World* w, DWORD id);
// Chooses the next thread to run and hands it the baton (simulation).
void Reschedule(Lock& lk, ThreadRec* self);
// The simulated thread running on the calling OS thread, or null when it is
// not in a world (no world, or not its host).
ThreadRec* RunningSimThread();

// --- fibers (kernel_fiber.cpp) ---
// Makes the calling OS thread the host of `w`, with `rec` as its own thread.
void HostWorld(World* w, ThreadRec* rec);
// Gives `rec` a stack on which it will run start(param) when first picked.
// False when no stack can be had.
bool StartFiber(const std::shared_ptr<ThreadRec>& rec, LPTHREAD_START_ROUTINE start, LPVOID param);
// Hands the baton from `self` (the running thread) to `pick`: releases the
// kernel lock, runs `pick`, and returns with the lock held again when `self`
// is picked. A thread that has ended never returns.
void SwitchTo(Lock& lk, World* w, ThreadRec* self, ThreadRec* pick);
// The body of a simulated thread, on its own stack (kernel_threads.cpp).
void RunSimThread(ThreadRec* rec, LPTHREAD_START_ROUTINE start, LPVOID param);
// Platform time in ms, with the kernel lock held.
uint64_t NowLocked();

// Waiters are kept in vectors rather than lists: a vector keeps its
// capacity, so that a wait allocates nothing once the object has been
// waited on before.
inline void RemoveWaiter(std::vector<WaitBlock*>& waiters, WaitBlock* w)
{
    waiters.erase(std::remove(waiters.begin(), waiters.end(), w), waiters.end());
}

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
    void EndWait(WaitBlock* w) override { RemoveWaiter(rec_->exitWaiters, w); }
    std::string Describe() const override { return "thread '" + rec_->name + "'"; }
    ThreadRec* Rec() const { return rec_.get(); }

private:
    std::shared_ptr<ThreadRec> rec_;
};

}  // namespace kcore
}  // namespace plat

#endif
