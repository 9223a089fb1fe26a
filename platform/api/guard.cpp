// The fault guard around a worker thread's body. On the phone it is a
// structured exception handler; with mingw-w64 the unhandled-exception
// filter; on POSIX the fatal signals stand in for
// structured exceptions and are mapped to their exception codes. Either way
// the filter sees the exception first and the exception then goes on to the
// system as if no guard were there.
#include "platform/platform.h"
#include "platform/own_calls.h"

#if defined(_WIN32) && defined(_MSC_VER)

// The phone's compiler: a structured exception block.
DWORD PlatformRunGuarded(PLATFORM_EXCEPTION_FILTER guard, LPCWSTR threadName,
                         LPTHREAD_START_ROUTINE body, LPVOID arg)
{
    PlatformSetThreadNameW(threadName);
    __try {
        return body(arg);
    } __except (guard(GetExceptionCode(), threadName)) {
        return 0;
    }
}

#elif defined(_WIN32)

// mingw-w64 has no __try. The process's unhandled-exception filter stands
// in for the block's filter: it sees a fault exactly when no handler took
// it, which is when the block's filter would have seen it (the guarded body
// has no handlers of its own), finds the guard of the faulting thread and
// then hands the fault on to the filter that was there before, or to the
// system. A host that sets its own filter after the first guarded thread
// started takes this one's place.
namespace {

struct GuardFrame {
    PLATFORM_EXCEPTION_FILTER guard;
    LPCWSTR name;
};

// 0: not installed; 1: being installed; 2: installed.
volatile LONG s_installState = 0;
DWORD s_frameSlot = TLS_OUT_OF_INDEXES;
LPTOP_LEVEL_EXCEPTION_FILTER s_previousFilter = 0;

LONG WINAPI OnUnhandledException(PEXCEPTION_POINTERS info)
{
    GuardFrame* frame = (GuardFrame*)TlsGetValue(s_frameSlot);
    if (frame != 0) {
        TlsSetValue(s_frameSlot, 0);  // a fault inside the guard is not recorded again
        frame->guard(info->ExceptionRecord->ExceptionCode, frame->name);
    }
    if (s_previousFilter != 0) return s_previousFilter(info);
    return EXCEPTION_CONTINUE_SEARCH;
}

void Install()
{
    if (InterlockedCompareExchange(&s_installState, 1, 0) == 0) {
        s_frameSlot = TlsAlloc();
        s_previousFilter = SetUnhandledExceptionFilter(OnUnhandledException);
        InterlockedExchange(&s_installState, 2);
        return;
    }
    while (InterlockedCompareExchange(&s_installState, 2, 2) != 2) Sleep(0);
}

}  // namespace

DWORD PlatformRunGuarded(PLATFORM_EXCEPTION_FILTER guard, LPCWSTR threadName,
                         LPTHREAD_START_ROUTINE body, LPVOID arg)
{
    PlatformSetThreadNameW(threadName);
    Install();
    if (s_frameSlot == TLS_OUT_OF_INDEXES) return body(arg);
    GuardFrame frame;
    frame.guard = guard;
    frame.name = threadName;
    LPVOID outer = TlsGetValue(s_frameSlot);
    TlsSetValue(s_frameSlot, &frame);
    const DWORD result = body(arg);
    TlsSetValue(s_frameSlot, outer);
    return result;
}

#else  // POSIX: fatal signals stand in for structured exceptions.

#include <pthread.h>
#include <signal.h>

namespace {

const DWORD kAccessViolation = 0xC0000005u;
const DWORD kStackOverflow = 0xC00000FDu;
const DWORD kIllegalInstruction = 0xC000001Du;
const DWORD kPrivilegedInstruction = 0xC0000096u;
const DWORD kIntDivideByZero = 0xC0000094u;
const DWORD kIntOverflow = 0xC0000095u;
const DWORD kFltDivideByZero = 0xC000008Eu;
const DWORD kFltInexactResult = 0xC000008Fu;
const DWORD kFltInvalidOperation = 0xC0000090u;
const DWORD kFltOverflow = 0xC0000091u;
const DWORD kFltUnderflow = 0xC0000093u;

// A fault within this distance below the stack's lowest address is taken as
// a stack overflow (the thread ran into its guard area).
const size_t kStackGuardReach = 64 * 1024;
// The alternate signal stack, on which the guard runs even when the fault
// was a stack overflow.
const size_t kAltStackBytes = 128 * 1024;

struct GuardFrame {
    PLATFORM_EXCEPTION_FILTER guard;
    LPCWSTR name;
    GuardFrame* outer;
    char* stackLow;  // lowest address of the thread's stack, or null if unknown
};

// The innermost guard of this thread; null outside PlatformRunGuarded.
__thread GuardFrame* volatile t_guard = 0;

const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
const int kSignalCount = (int)(sizeof(kSignals) / sizeof(kSignals[0]));
struct sigaction s_previous[kSignalCount];
pthread_once_t s_installOnce = PTHREAD_ONCE_INIT;

DWORD ExceptionCodeFor(int sig, const siginfo_t* info, const GuardFrame* frame)
{
    switch (sig) {
    case SIGSEGV: {
        const char* addr = (const char*)info->si_addr;
        if (frame->stackLow != 0 && addr < frame->stackLow + 4096 &&
            addr + kStackGuardReach >= frame->stackLow) {
            return kStackOverflow;
        }
        return kAccessViolation;
    }
    case SIGBUS:
        return kAccessViolation;
    case SIGFPE:
        switch (info->si_code) {
        case FPE_INTDIV: return kIntDivideByZero;
        case FPE_INTOVF: return kIntOverflow;
        case FPE_FLTDIV: return kFltDivideByZero;
        case FPE_FLTOVF: return kFltOverflow;
        case FPE_FLTUND: return kFltUnderflow;
        case FPE_FLTRES: return kFltInexactResult;
        default: return kFltInvalidOperation;
        }
    case SIGILL:
        return info->si_code == ILL_PRVOPC ? kPrivilegedInstruction : kIllegalInstruction;
    }
    return kAccessViolation;
}

// Passes the signal on as if our handler had never been installed.
void PassOn(int index, int sig, siginfo_t* info, void* context)
{
    const struct sigaction& prev = s_previous[index];
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction != 0) {
            prev.sa_sigaction(sig, info, context);
            return;
        }
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler != 0) {
        prev.sa_handler(sig);
        return;
    }
    // The default action (or "ignore", which the system does not honour for
    // a real fault): put it back and return. A real fault recurs at once and
    // now takes that course; a signal that was sent rather than caused is
    // sent again.
    sigaction(sig, &prev, 0);
    if (info == 0 || info->si_code <= 0) raise(sig);
}

void OnFatalSignal(int sig, siginfo_t* info, void* context)
{
    int index = 0;
    while (index < kSignalCount && kSignals[index] != sig) ++index;
    if (index == kSignalCount) return;

    GuardFrame* frame = t_guard;
    if (frame != 0) {
        t_guard = 0;  // a fault inside the guard itself is not recorded again
        frame->guard(ExceptionCodeFor(sig, info, frame), frame->name);
    }
    PassOn(index, sig, info, context);
}

void InstallHandlers()
{
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(kSignals[i], &action, &s_previous[i]);
    }
}

char* StackLow()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* addr = 0;
    size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    return rc == 0 ? (char*)addr : 0;
}

// Gives the thread an alternate signal stack unless it has one already.
class AltStack {
public:
    AltStack() : memory_(0)
    {
        stack_t current;
        if (sigaltstack(0, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
        memory_ = HeapAlloc(GetProcessHeap(), 0, kAltStackBytes);
        if (memory_ == 0) return;
        stack_t ss;
        memset(&ss, 0, sizeof ss);
        ss.ss_sp = memory_;
        ss.ss_size = kAltStackBytes;
        if (sigaltstack(&ss, 0) != 0) {
            HeapFree(GetProcessHeap(), 0, memory_);
            memory_ = 0;
        }
    }
    ~AltStack()
    {
        if (memory_ == 0) return;
        stack_t ss;
        memset(&ss, 0, sizeof ss);
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, 0);
        HeapFree(GetProcessHeap(), 0, memory_);
    }

private:
    AltStack(const AltStack&);
    AltStack& operator=(const AltStack&);
    void* memory_;
};

}  // namespace

DWORD PlatformRunGuarded(PLATFORM_EXCEPTION_FILTER guard, LPCWSTR threadName,
                         LPTHREAD_START_ROUTINE body, LPVOID arg)
{
    PlatformSetThreadNameW(threadName);
    pthread_once(&s_installOnce, InstallHandlers);

    AltStack altStack;
    GuardFrame frame;
    frame.guard = guard;
    frame.name = threadName;
    frame.outer = t_guard;
    frame.stackLow = StackLow();

    t_guard = &frame;
    const DWORD result = body(arg);
    t_guard = frame.outer;
    return result;
}

#endif
