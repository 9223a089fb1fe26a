// Simulated threads as fibers. Every thread of a simulated world runs on one
// OS thread, the world's host (the first OS thread that enters the world),
// each on a stack of its own; the baton passes by a jump between stacks
// (Boost.Context's fcontext), so a hand-over makes no system call. Only the
// thread holding the baton runs, as before; which thread gets it is still the
// scheduler's choice (kernel.cpp), so a seed gives the same schedule.
//
// The kernel lock is released before the jump and taken again after it, as
// the condition variable wait did when simulated threads were OS threads.
// Handing the lock's count over instead would have the resumed thread run on a
// count its Lock objects never took (and ThreadSanitizer, which sees each
// fiber as a thread, report an unlock by the wrong thread). Between the unlock
// and the jump nothing else can run in the world: an OS thread other than the
// host that enters it is stopped (SimSelf), and an OS thread outside any world
// that takes the lock there finds the world's state as the last thread left it.
//
// The stacks of ended threads are kept for the next threads (no allocation
// once a world has had as many threads at once); the stacks of threads still
// blocked when their world ends stay allocated and reachable from the world,
// which is never freed, so that what only they refer to is not a leak.
#include "platform/kernel/kernel_internal.h"

#include <boost/context/detail/fcontext.hpp>
#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define MUX_FIBER_ASAN 1
#elif defined(__SANITIZE_THREAD__)
#define MUX_FIBER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MUX_FIBER_ASAN 1
#elif __has_feature(thread_sanitizer)
#define MUX_FIBER_TSAN 1
#endif
#endif
#if defined(MUX_FIBER_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#elif defined(MUX_FIBER_TSAN)
#include <sanitizer/tsan_interface.h>
#endif
#if defined(__has_include)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define MUX_FIBER_VALGRIND 1
#endif
#endif

namespace plat {
namespace kcore {

namespace ctx = boost::context::detail;

struct FiberStack {
    char* base = nullptr;
    size_t size = 0;
    // The thread running on it, kept alive until its last jump is over.
    std::shared_ptr<ThreadRec> rec;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID param = nullptr;
};

namespace {

// The sanitizers' frames are several times larger; a thread's deepest call
// chain (the driver's log formatting under a client call) stays far below.
#if defined(MUX_FIBER_ASAN) || defined(MUX_FIBER_TSAN)
constexpr size_t kStackSize = 1024 * 1024;
#else
constexpr size_t kStackSize = 256 * 1024;
#endif
constexpr size_t kGuard = 4096;

// On the heap rather than mapped, so that LeakSanitizer scans an abandoned
// thread's stack for the blocks it refers to. A plain build puts a guard page
// at the bottom, so that an overflow faults rather than writes over the heap
// (the sanitizer builds have their own checks, and LeakSanitizer would fault
// reading a protected page).
FiberStack* NewStack()
{
    void* mem = std::aligned_alloc(kGuard, kStackSize);
    if (!mem) return nullptr;
    auto* s = new FiberStack;
    s->base = static_cast<char*>(mem);
    s->size = kStackSize;
#if !defined(MUX_FIBER_ASAN) && !defined(MUX_FIBER_TSAN)
    mprotect(s->base, kGuard, PROT_NONE);
#endif
#if defined(MUX_FIBER_VALGRIND)
    VALGRIND_STACK_REGISTER(s->base, s->base + s->size);
#endif
    return s;
}

void BeforeJump(ThreadRec* self, ThreadRec* pick, bool ending)
{
#if defined(MUX_FIBER_ASAN)
    __sanitizer_start_switch_fiber(ending ? nullptr : &self->sanitizer.fakeStack,
                                   pick->sanitizer.bottom, pick->sanitizer.size);
#elif defined(MUX_FIBER_TSAN)
    (void)self;
    (void)ending;
    __tsan_switch_to_fiber(pick->sanitizer.tsanFiber, 0);
#else
    (void)self;
    (void)pick;
    (void)ending;
#endif
}

// On the thread that resumed: completes the switch and keeps where the thread
// that switched away will resume.
void AfterJump(World* w, ThreadRec* self, ctx::transfer_t t)
{
#if defined(MUX_FIBER_ASAN)
    const void* fromBottom = nullptr;
    size_t fromSize = 0;
    __sanitizer_finish_switch_fiber(self->sanitizer.fakeStack, &fromBottom, &fromSize);
    ThreadRec* from = w->switchedFrom;
    // The host's own stack is learnt at its first switch.
    if (from && !from->sanitizer.bottom) {
        from->sanitizer.bottom = fromBottom;
        from->sanitizer.size = fromSize;
    }
#else
    (void)self;
#endif
    if (w->switchedFrom) w->switchedFrom->context = t.fctx;
    w->switchedFrom = nullptr;
}

// With the kernel lock held: the stack of a thread that ended goes back to the
// pool, and with it the stack's hold on the thread's record.
void ReclaimEndedStack(World* w)
{
    FiberStack* s = w->endedStack;
    if (!s) return;
    w->endedStack = nullptr;
#if defined(MUX_FIBER_TSAN)
    __tsan_destroy_fiber(s->rec->sanitizer.tsanFiber);
#endif
    s->rec.reset();
    K().freeStacks.push_back(s);
}

void FiberMain(ctx::transfer_t t)
{
    World* w = static_cast<World*>(t.data);
    ThreadRec* self = w->running;
    AfterJump(w, self, t);
    FiberStack* s = self->stack;
    {
        Lock lk(K().mutex);
        ReclaimEndedStack(w);
    }
    RunSimThread(self, s->start, s->param);
    // RunSimThread hands the baton on for good.
    abort();
}

}  // namespace

void HostWorld(World* w, ThreadRec* rec)
{
    w->host = pthread_self();
    w->hosted = true;
    w->running = rec;
#if defined(MUX_FIBER_TSAN)
    rec->sanitizer.tsanFiber = __tsan_get_current_fiber();
#endif
}

bool StartFiber(const std::shared_ptr<ThreadRec>& rec, LPTHREAD_START_ROUTINE start, LPVOID param)
{
    Kernel& k = K();
    FiberStack* s = nullptr;
    if (!k.freeStacks.empty()) {
        s = k.freeStacks.back();
        k.freeStacks.pop_back();
#if defined(MUX_FIBER_ASAN)
        // The frames of the thread that ended there never returned: their
        // red zones are still marked.
        ASAN_UNPOISON_MEMORY_REGION(s->base, s->size);
#endif
    } else {
        s = NewStack();
        if (!s) return false;
    }
    s->rec = rec;
    s->start = start;
    s->param = param;
    rec->stack = s;
    rec->context = ctx::make_fcontext(s->base + s->size, s->size - kGuard, FiberMain);
    rec->sanitizer.bottom = s->base + kGuard;
    rec->sanitizer.size = s->size - kGuard;
#if defined(MUX_FIBER_TSAN)
    rec->sanitizer.tsanFiber = __tsan_create_fiber(0);
#endif
    return true;
}

void SwitchTo(Lock& lk, World* w, ThreadRec* self, ThreadRec* pick)
{
    const bool ending = self->state == State::Done;
    w->switchedFrom = ending ? nullptr : self;
    if (ending) w->endedStack = self->stack;
    lk.unlock();
    BeforeJump(self, pick, ending);
    ctx::transfer_t t = ctx::jump_fcontext(pick->context, w);
    // `self` has the baton again.
    AfterJump(w, self, t);
    lk.lock();
    ReclaimEndedStack(w);
}

}  // namespace kcore
}  // namespace plat
