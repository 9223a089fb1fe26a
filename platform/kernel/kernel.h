// The platform's kernel core, for the parts of the platform that stand in for
// hardware (serial port, interrupts, register block) and for the simulated
// module. Everything here runs under one kernel lock; in simulation, waiting
// here is what lets the scheduler run another thread or move virtual time.
#ifndef MUX_PLATFORM_KERNEL_H
#define MUX_PLATFORM_KERNEL_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace plat::kernel {

constexpr uint64_t kForever = UINT64_MAX;

// The kernel lock. Hold it (through Lock) while touching any state that a
// waiter's predicate reads.
std::recursive_mutex& Mutex();
using Lock = std::unique_lock<std::recursive_mutex>;

// Blocks the calling platform thread, with the kernel lock held by `lock`,
// until ready() is true or NowMs() reaches deadlineMs. Returns ready().
// `what` names the wait in deadlock reports ("WaitCommEvent(COM9:)") and
// must stay valid for the whole wait.
// ready() is evaluated with the lock held, after every Notify(); in
// simulation the scheduling thread evaluates it, so it must not depend on
// which thread runs it. The lock must be held once, not recursively: the wait
// releases it once. Must not be called from a CallAt callback.
bool WaitUntil(Lock& lock, const std::function<bool()>& ready, uint64_t deadlineMs,
               const char* what);
// The same, for a wait whose name is built from its circumstances: describe()
// is called only if a deadlock report needs it, so that waiting builds no
// text. It must stay valid for the whole wait.
bool WaitUntil(Lock& lock, const std::function<bool()>& ready, uint64_t deadlineMs,
               const std::function<std::string()>& describe);

// Tells waiters that state their predicates read may have changed. Call
// with the lock held.
void Notify();

// Runs fn at platform time atMs (virtual time in simulation), with the kernel
// lock held, on whatever thread the kernel chooses. fn must not block; it may
// change state, call Notify() and schedule further calls. Returns an id.
uint64_t CallAt(uint64_t atMs, std::function<void()> fn);
void Cancel(uint64_t id);
// The OS name of the real-mode thread that runs them.
constexpr char kTimerThreadName[] = "platform-timers";

// A point at which the simulation may switch threads (every platform call
// makes one). No-op in real mode and inside CallAt callbacks. Call it
// without the kernel lock held.
void YieldPoint();

}  // namespace plat::kernel

#endif
