// Events, threads, critical sections and interlocked operations, in real
// time and in simulation.
#include "platform/host.h"
#include "platform/own_calls.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

enum class Mode { Real, Sim };

class KernelTest : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override
    {
        if (GetParam() == Mode::Sim)
            plat::BeginSimulation(11);
        else
            plat::UseRealTime();
    }
    void TearDown() override
    {
        if (GetParam() == Mode::Sim) plat::EndSimulation();
    }
    bool Sim() const { return GetParam() == Mode::Sim; }
};

INSTANTIATE_TEST_SUITE_P(Modes, KernelTest, ::testing::Values(Mode::Real, Mode::Sim),
                         [](const ::testing::TestParamInfo<Mode>& i) {
                             return i.param == Mode::Real ? "Real" : "Sim";
                         });

HANDLE Spawn(DWORD (*fn)(LPVOID), void* arg)
{
    HANDLE h = CreateThread(NULL, 0, fn, arg, 0, NULL);
    EXPECT_NE(h, (HANDLE)NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
}

void Join(HANDLE h)
{
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    CloseHandle(h);
}

TEST_P(KernelTest, AutoAndManualReset)
{
    HANDLE autoEv = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE manualEv = CreateEventW(NULL, TRUE, TRUE, NULL);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(autoEv));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT) << "an auto-reset event is consumed";

    EXPECT_EQ(WaitForSingleObject(manualEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manualEv, 0), WAIT_OBJECT_0) << "a manual event stays set";
    EXPECT_TRUE(ResetEvent(manualEv));
    EXPECT_EQ(WaitForSingleObject(manualEv, 10), WAIT_TIMEOUT);

    // A pulse with nobody waiting is lost, and leaves the event unsignalled.
    EXPECT_TRUE(PulseEvent(autoEv));
    EXPECT_TRUE(SetEvent(manualEv));
    EXPECT_TRUE(PulseEvent(manualEv));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manualEv, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(autoEv));
    EXPECT_TRUE(CloseHandle(manualEv));
}

struct Handoff {
    HANDLE ev;
    std::atomic<int> released{0};
};

DWORD WINAPI WaitOnce(LPVOID p)
{
    auto* h = static_cast<Handoff*>(p);
    if (WaitForSingleObject(h->ev, INFINITE) == WAIT_OBJECT_0) ++h->released;
    return 0;
}

TEST_P(KernelTest, SetEventWakesBlockedWaiter)
{
    Handoff h;
    h.ev = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE t = Spawn(WaitOnce, &h);
    Sleep(20);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    SetEvent(h.ev);
    Join(t);
    EXPECT_EQ(h.released.load(), 1);
    EXPECT_EQ(WaitForSingleObject(h.ev, 0), WAIT_TIMEOUT) << "the waiter took the signal";
    CloseHandle(h.ev);
}

TEST_P(KernelTest, NamedEventsAreSharedUntilLastHandleCloses)
{
    SetLastError(0);
    HANDLE a = CreateEventW(NULL, TRUE, FALSE, TEXT("KernelTestShared"));
    ASSERT_NE(a, (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE b = CreateEventW(NULL, TRUE, FALSE, TEXT("KernelTestShared"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_NE(a, b);
    HANDLE other = CreateEventW(NULL, TRUE, FALSE, TEXT("KernelTestOther"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);

    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0) << "both handles are one event";
    EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_TIMEOUT);

    CloseHandle(a);
    HANDLE c = CreateEventW(NULL, TRUE, FALSE, TEXT("KernelTestShared"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS) << "b still holds it";
    EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0);
    CloseHandle(b);
    CloseHandle(c);

    HANDLE d = CreateEventW(NULL, TRUE, FALSE, TEXT("KernelTestShared"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS) << "the last close ended the event";
    EXPECT_EQ(WaitForSingleObject(d, 0), WAIT_TIMEOUT);
    CloseHandle(d);
    CloseHandle(other);
}

TEST_P(KernelTest, BadHandles)
{
    EXPECT_EQ(WaitForSingleObject(NULL, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
    HANDLE ev = CreateEventW(NULL, FALSE, FALSE, NULL);
    EXPECT_TRUE(CloseHandle(ev));
    // The use of a closed handle is the point here: the check that reports
    // it stays off for the two calls.
    plat::SetClosedHandleCheck(false);
    EXPECT_FALSE(CloseHandle(ev));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(ev));
    plat::SetClosedHandleCheck(true);
}

// Every other use of a handle after its close is a fault of the caller: it is
// reported with the object, the thread and the stacks of the use and of the
// close, and the process aborts, so that any test that does it fails.
TEST_P(KernelTest, UseAfterCloseIsReportedWithItsContext)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            HANDLE ev = CreateEventW(NULL, FALSE, FALSE, TEXT("Closed"));
            CloseHandle(ev);
            WaitForSingleObject(ev, 0);
        },
        "handle 0x[0-9a-f]+ used after close \\(use\\) by thread '[^']+' at:.*it was event 'Closed', "
        "closed by thread '[^']+' at:");
    EXPECT_DEATH(
        {
            HANDLE ev = CreateEventW(NULL, FALSE, FALSE, NULL);
            CloseHandle(ev);
            CloseHandle(ev);
        },
        "used after close \\(CloseHandle\\)");
    // Values that were never handed out are plain failures, as before.
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x7FFFFFF0)));
}

// The abort banner of a simulated run leaves a SIGABRT handler installed
// before it (a fuzzer's, which records the input) in the chain.
void PreviousAbortHandler(int)
{
    const char text[] = "previous handler ran\n";
    ssize_t r = write(2, text, sizeof text - 1);
    (void)r;
}

TEST(AbortBanner, ChainsToThePreviousHandler)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            struct sigaction sa;
            memset(&sa, 0, sizeof sa);
            sa.sa_handler = PreviousAbortHandler;
            sigemptyset(&sa.sa_mask);
            sigaction(SIGABRT, &sa, nullptr);
            plat::BeginSimulation(77);
            abort();
        },
        "simulated run aborted; seed 77\n.*previous handler ran");
}

struct ThreadInfo {
    HANDLE go;
    int priorityInside = -1;
    DWORD lastErrorInside = 0;
    DWORD id = 0;
};

DWORD WINAPI Worker(LPVOID p)
{
    auto* info = static_cast<ThreadInfo*>(p);
    PlatformSetThreadNameW(TEXT("Worker"));
    info->id = GetCurrentThreadId();
    SetLastError(ERROR_NOT_READY);
    CeSetThreadPriority(GetCurrentThread(), 249);
    info->priorityInside = CeGetThreadPriority(GetCurrentThread());
    WaitForSingleObject(info->go, INFINITE);
    info->lastErrorInside = GetLastError();
    return 42;
}

TEST_P(KernelTest, ThreadLifecycle)
{
    ThreadInfo info;
    info.go = CreateEventW(NULL, FALSE, FALSE, NULL);
    SetLastError(ERROR_NOT_SUPPORTED);
    DWORD tid = 0;
    HANDLE t = CreateThread(NULL, 0, Worker, &info, 0, &tid);
    ASSERT_NE(t, (HANDLE)NULL);
    EXPECT_NE(tid, 0u);
    EXPECT_NE(tid, GetCurrentThreadId());
    while (CeGetThreadPriority(t) != 249) Sleep(1);
    EXPECT_EQ(plat::ThreadName(t), "Worker");

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 5), WAIT_TIMEOUT);
    SetEvent(info.go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "a thread handle stays signalled";
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(info.id, tid);
    EXPECT_EQ(info.priorityInside, 249);
    EXPECT_EQ(info.lastErrorInside, (DWORD)ERROR_NOT_READY);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED) << "last error is per thread";

    EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), CE_THREAD_PRIO_256_NORMAL);
    EXPECT_FALSE(CeSetThreadPriority(GetCurrentThread(), 256));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CeSetThreadPriority(info.go, 100)) << "an event is not a thread";
    CloseHandle(t);
    CloseHandle(info.go);
}

struct CsShared {
    CRITICAL_SECTION cs;
    HANDLE step;
    HANDLE done;
    BOOL triedWhileHeld = TRUE;
    BOOL triedWhileHeldOnce = TRUE;
    BOOL triedAfterRelease = FALSE;
};

DWORD WINAPI TryFromOtherThread(LPVOID p)
{
    auto* s = static_cast<CsShared*>(p);
    s->triedWhileHeld = TryEnterCriticalSection(&s->cs);
    SetEvent(s->done);
    WaitForSingleObject(s->step, INFINITE);
    s->triedWhileHeldOnce = TryEnterCriticalSection(&s->cs);
    SetEvent(s->done);
    WaitForSingleObject(s->step, INFINITE);
    s->triedAfterRelease = TryEnterCriticalSection(&s->cs);
    if (s->triedAfterRelease) LeaveCriticalSection(&s->cs);
    return 0;
}

TEST_P(KernelTest, CriticalSectionIsRecursiveAndTryEnterRespectsOwner)
{
    CsShared s;
    InitializeCriticalSection(&s.cs);
    s.step = CreateEventW(NULL, FALSE, FALSE, NULL);
    s.done = CreateEventW(NULL, FALSE, FALSE, NULL);
    EnterCriticalSection(&s.cs);
    EXPECT_TRUE(TryEnterCriticalSection(&s.cs)) << "the owner may enter again";
    EXPECT_EQ(s.cs.LockCount, 2);
    EXPECT_EQ(s.cs.OwnerThread, GetCurrentThreadId());
    HANDLE t = Spawn(TryFromOtherThread, &s);
    WaitForSingleObject(s.done, INFINITE);
    LeaveCriticalSection(&s.cs);
    SetEvent(s.step);
    WaitForSingleObject(s.done, INFINITE);
    LeaveCriticalSection(&s.cs);
    EXPECT_EQ(s.cs.OwnerThread, 0u);
    SetEvent(s.step);
    Join(t);
    EXPECT_FALSE(s.triedWhileHeld);
    EXPECT_FALSE(s.triedWhileHeldOnce) << "one Leave of two does not release";
    EXPECT_TRUE(s.triedAfterRelease);
    DeleteCriticalSection(&s.cs);
    CloseHandle(s.step);
    CloseHandle(s.done);
}

struct Counter {
    CRITICAL_SECTION cs;
    int value = 0;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    LONG volatile atomicValue = 0;
};

DWORD WINAPI CountUnderLock(LPVOID p)
{
    auto* c = static_cast<Counter*>(p);
    for (int i = 0; i < 300; ++i) {
        EnterCriticalSection(&c->cs);
        EnterCriticalSection(&c->cs);
        if (c->inside.fetch_add(1) != 0) ++c->overlaps;
        int v = c->value;
        GetTickCount();  // a platform call inside the lock: the simulation may switch here
        c->value = v + 1;
        --c->inside;
        LeaveCriticalSection(&c->cs);
        LeaveCriticalSection(&c->cs);
        InterlockedIncrement(&c->atomicValue);
    }
    return 0;
}

TEST_P(KernelTest, CriticalSectionExcludesOtherThreads)
{
    Counter c;
    InitializeCriticalSection(&c.cs);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i) threads.push_back(Spawn(CountUnderLock, &c));
    for (HANDLE t : threads) Join(t);
    EXPECT_EQ(c.value, 1200);
    EXPECT_EQ(c.overlaps.load(), 0);
    EXPECT_EQ(c.atomicValue, 1200);
    DeleteCriticalSection(&c.cs);
}

TEST(Interlocked, ReturnValues)
{
    LONG volatile v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9) << "no swap when unequal";
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
}

}  // namespace
