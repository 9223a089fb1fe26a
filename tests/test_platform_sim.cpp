// The simulated scheduler: virtual time, pulses, timers, traces, deadlock
// reports, abandoned worlds, and the threads' fibers.
#include "platform/host.h"
#include "platform/own_calls.h"
#include "platform/kernel/kernel.h"
#include "platform/platform.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

HANDLE Spawn(DWORD (*fn)(LPVOID), void* arg)
{
    HANDLE h = CreateThread(NULL, 0, fn, arg, 0, NULL);
    EXPECT_NE(h, (HANDLE)NULL);
    return h;
}

struct PulseCase {
    HANDLE ev;
    HANDLE late;  // for the waiter that arrives after the pulse
    int released = 0;
    int timedOut = 0;
};

DWORD WINAPI PulseWaiter(LPVOID p)
{
    auto* c = static_cast<PulseCase*>(p);
    if (WaitForSingleObject(c->ev, 1000) == WAIT_OBJECT_0)
        ++c->released;
    else
        ++c->timedOut;
    return 0;
}

int ReleasedByOnePulse(BOOL manual, uint64_t seed)
{
    SimWorld w(seed);
    PulseCase c;
    c.ev = CreateEventW(NULL, manual, FALSE, NULL);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 3; ++i) threads.push_back(Spawn(PulseWaiter, &c));
    Sleep(10);  // every waiter is now blocked
    PulseEvent(c.ev);
    HANDLE late = Spawn(PulseWaiter, &c);  // waits after the pulse: must time out
    for (HANDLE t : threads) WaitForSingleObject(t, INFINITE);
    WaitForSingleObject(late, INFINITE);
    EXPECT_EQ(c.released + c.timedOut, 4);
    EXPECT_EQ(WaitForSingleObject(c.ev, 0), WAIT_TIMEOUT) << "unsignalled after a pulse";
    EXPECT_EQ(GetTickCount(), 1010u) << "the unreleased waiters ran into their time-out";
    for (HANDLE t : threads) CloseHandle(t);
    CloseHandle(late);
    CloseHandle(c.ev);
    return c.released;
}

TEST(SimEvents, PulseReleasesOneAutoWaiterOrAllManualWaiters)
{
    for (uint64_t seed : {1u, 2u, 3u}) {
        EXPECT_EQ(ReleasedByOnePulse(FALSE, seed), 1) << "auto-reset, seed " << seed;
        EXPECT_EQ(ReleasedByOnePulse(TRUE, seed), 3) << "manual-reset, seed " << seed;
    }
}

TEST(SimTime, TimeOutsAreExactInVirtualTime)
{
    SimWorld w(5);
    HANDLE ev = CreateEventW(NULL, FALSE, FALSE, NULL);
    DWORD t0 = GetTickCount();
    EXPECT_EQ(t0, 0u);
    EXPECT_EQ(WaitForSingleObject(ev, 1234), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - t0, 1234u);
    Sleep(500);
    EXPECT_EQ(GetTickCount() - t0, 1734u);
    EXPECT_EQ(plat::NowMs(), 1734u);

    // A timer sets the event at 2000 ms: the wait ends then, not at its time-out.
    plat::kernel::CallAt(2000, [ev] { SetEvent(ev); });
    uint64_t cancelled = plat::kernel::CallAt(1800, [ev] { SetEvent(ev); });
    plat::kernel::Cancel(cancelled);
    EXPECT_EQ(WaitForSingleObject(ev, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(GetTickCount(), 2000u);
    CloseHandle(ev);
}

TEST(SimTime, KernelWaitUntilSeesTimerState)
{
    SimWorld w(6);
    bool ready = false;
    plat::kernel::CallAt(70, [&ready] {
        ready = true;
        plat::kernel::Notify();
    });
    plat::kernel::Lock lk(plat::kernel::Mutex());
    EXPECT_FALSE(plat::kernel::WaitUntil(lk, [&ready] { return ready; }, 50, "test wait"));
    EXPECT_EQ(plat::NowMs(), 50u);
    EXPECT_TRUE(plat::kernel::WaitUntil(lk, [&ready] { return ready; }, plat::kernel::kForever,
                                        "test wait"));
    EXPECT_EQ(plat::NowMs(), 70u);
}

TEST(SimTime, TickCountWrapsAndLocalTimeIsVirtual)
{
    SimWorld w(7);
    SYSTEMTIME st;
    GetLocalTime(&st);
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wMonth, 7);
    EXPECT_EQ(st.wDay, 12);
    EXPECT_EQ(st.wDayOfWeek, 0);  // a Sunday
    EXPECT_EQ(st.wHour, 14);
    EXPECT_EQ(st.wMinute, 3);
    EXPECT_EQ(st.wSecond, 59);
    EXPECT_EQ(st.wMilliseconds, 0);

    plat::SetTickCountNow(0xFFFFFF00u);
    EXPECT_EQ(GetTickCount(), 0xFFFFFF00u);
    Sleep(0x180);
    EXPECT_EQ(GetTickCount(), 0x80u);
    EXPECT_EQ(GetTickCount() - 0xFFFFFF00u, 0x180u) << "differences survive the wrap";

    GetLocalTime(&st);
    EXPECT_EQ(st.wSecond, 59);
    EXPECT_EQ(st.wMilliseconds, 384);
    Sleep(616);
    GetLocalTime(&st);
    EXPECT_EQ(st.wMinute, 4);
    EXPECT_EQ(st.wSecond, 0);
    EXPECT_EQ(st.wMilliseconds, 0);
}

DWORD WINAPI SleepyWorker(LPVOID p)
{
    for (int i = 0; i < 42; ++i) Sleep(400);
    *static_cast<DWORD*>(p) = GetTickCount();
    return 0;
}

TEST(SimTime, LongVirtualSleepCostsLittleRealTime)
{
    auto start = std::chrono::steady_clock::now();
    DWORD workerEnd = 0;
    {
        SimWorld w(8);
        HANDLE t = Spawn(SleepyWorker, &workerEnd);
        for (int i = 0; i < 33; ++i) Sleep(500);
        Sleep(300);
        EXPECT_EQ(GetTickCount(), 16800u);
        WaitForSingleObject(t, INFINITE);
        EXPECT_EQ(workerEnd, 16800u);
        CloseHandle(t);
    }
    double realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("16800 ms of virtual sleep took %.3f ms of real time\n", realMs);
    RecordProperty("real_ms_for_16800_virtual_ms", std::to_string(realMs));
}

struct Racer {
    LONG volatile* shared;
    HANDLE ev;
};

DWORD WINAPI RacerBody(LPVOID p)
{
    auto* r = static_cast<Racer*>(p);
    for (int i = 0; i < 20; ++i) {
        InterlockedIncrement(r->shared);
        if (i % 5 == 0) SetEvent(r->ev);
        if (i % 7 == 0) WaitForSingleObject(r->ev, 3);
    }
    return 0;
}

std::string RunRace(uint64_t seed)
{
    SimWorld w(seed);
    LONG volatile shared = 0;
    Racer r{&shared, CreateEventW(NULL, FALSE, FALSE, NULL)};
    HANDLE a = Spawn(RacerBody, &r);
    HANDLE b = Spawn(RacerBody, &r);
    HANDLE c = Spawn(RacerBody, &r);
    RacerBody(&r);
    for (HANDLE t : {a, b, c}) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    EXPECT_EQ(shared, 80);
    CloseHandle(r.ev);
    return plat::SchedulerTrace();
}

TEST(SimScheduler, SameSeedSameTraceOtherSeedOtherTrace)
{
    std::string first = RunRace(1234);
    std::string again = RunRace(1234);
    std::string other = RunRace(4321);
    EXPECT_GT(std::count(first.begin(), first.end(), '\n'), 20) << first;
    EXPECT_NE(first.find(" thread-2\n"), std::string::npos) << first;
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST(SimScheduler, ThreadNames)
{
    SimWorld w(9);
    EXPECT_EQ(plat::CurrentThreadName(), "main");
    plat::SetCurrentThreadName("Tester");
    EXPECT_EQ(plat::ThreadName(GetCurrentThread()), "Tester");
    EXPECT_NE(plat::SimFailureBanner().find("seed 9"), std::string::npos);
}

std::atomic<int> gAbandonedRan{0};

DWORD WINAPI AbandonedBody(LPVOID p)
{
    // Only the abandoned thread's stack refers to the block: the leak check
    // must find it reachable there, as it would on a blocked OS thread.
    void* volatile held = std::malloc(64);
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    ++gAbandonedRan;  // never reached: the world ends first
    std::free(held);
    return 0;
}

TEST(SimScheduler, EndedWorldAbandonsBlockedThreads)
{
    HANDLE ev;
    uint64_t oldWorld = 0;
    {
        plat::BeginSimulation(10);
        oldWorld = plat::WorldId();
        ev = CreateEventW(NULL, TRUE, FALSE, NULL);
        HANDLE t = Spawn(AbandonedBody, ev);
        Sleep(5);
        CloseHandle(t);
        EXPECT_EQ(plat::EndSimulation(), 1);
    }
    EXPECT_EQ(plat::WorldId(), 0u);
    SimWorld w(11);
    EXPECT_NE(plat::WorldId(), oldWorld);
    EXPECT_NE(plat::WorldId(), 0u);
    SetEvent(ev);  // the old thread's event, set in the new world
    Sleep(100);
    EXPECT_EQ(gAbandonedRan.load(), 0);
    EXPECT_EQ(GetTickCount(), 100u);
}

struct OwnState {
    int index;
    DWORD id;
    bool kept;
};

DWORD WINAPI KeepsItsOwn(LPVOID p)
{
    auto* o = static_cast<OwnState*>(p);
    o->id = GetCurrentThreadId();
    for (DWORD i = 0; i < 20; ++i) {
        const DWORD mine = 1000 * (o->index + 1) + i;
        SetLastError(mine);
        Sleep(1);  // the others run and set theirs meanwhile
        o->kept = o->kept && GetLastError() == mine && GetCurrentThreadId() == o->id;
    }
    return 0;
}

// The world's threads take turns on one OS thread: each keeps its own last
// error and id across the switches, and the threads of a second round run
// as well on the stacks the first round left.
TEST(SimFibers, EachThreadKeepsItsLastErrorAndIdAcrossSwitches)
{
    SimWorld w(21);
    SetLastError(7);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        OwnState own[3] = {{0, 0, true}, {1, 0, true}, {2, 0, true}};
        HANDLE t[3];
        for (int i = 0; i < 3; ++i) t[i] = Spawn(KeepsItsOwn, &own[i]);
        for (HANDLE h : t) WaitForSingleObject(h, INFINITE);
        for (HANDLE h : t) CloseHandle(h);
        for (const OwnState& o : own) EXPECT_TRUE(o.kept) << o.index;
        EXPECT_NE(own[0].id, own[1].id);
        EXPECT_NE(own[1].id, own[2].id);
        EXPECT_NE(own[0].id, GetCurrentThreadId());
    }
    EXPECT_EQ(GetLastError(), 7u) << "main's own, untouched by the others";
}

// Every thread of a world is a fiber of its host: another OS thread in it
// would run outside the schedule, so it is stopped with a message.
TEST(SimFibersDeathTest, AnotherOsThreadInAWorldIsStopped)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SimWorld w(22);
            std::thread([] { GetTickCount(); }).join();
        },
        "OS thread that is not the host of simulated world .* \\(seed 22\\)");
}

struct DeadlockPair {
    CRITICAL_SECTION cs;
    HANDLE ev;
};

DWORD WINAPI LockThenWait(LPVOID p)
{
    auto* d = static_cast<DeadlockPair*>(p);
    PlatformSetThreadNameW(TEXT("HolderThread"));
    EnterCriticalSection(&d->cs);
    WaitForSingleObject(d->ev, INFINITE);
    return 0;
}

void RunDeadlock()
{
    SimWorld w(77);
    static DeadlockPair d;
    InitializeCriticalSection(&d.cs);
    d.ev = CreateEventW(NULL, FALSE, FALSE, TEXT("NeverSet"));
    HANDLE holder = Spawn(LockThenWait, &d);
    Sleep(1);
    EnterCriticalSection(&d.cs);  // held by the other thread for ever
    CloseHandle(holder);
}

TEST(SimSchedulerDeathTest, DeadlockIsReportedWithThreadNames)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(RunDeadlock(),
                 "deadlock in simulation \\(seed 77\\) at virtual time 1 ms"
                 "(.|\n)*'main' waits in EnterCriticalSection \\(held by 'HolderThread'\\)"
                 "(.|\n)*'HolderThread' waits in WaitForSingleObject\\(event 'NeverSet'\\)");
}

DWORD WINAPI LockAndQuit(LPVOID p)
{
    PlatformSetThreadNameW(TEXT("Quitter"));
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(p));
    return 0;  // ends holding it
}

void RunAbandonedLock()
{
    SimWorld w(78);
    static CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    HANDLE quitter = Spawn(LockAndQuit, &cs);
    WaitForSingleObject(quitter, INFINITE);
    CloseHandle(quitter);
    EnterCriticalSection(&cs);
}

// An ended thread leaves the scheduler's list, but a lock it took with it
// still names it.
TEST(SimSchedulerDeathTest, DeadlockOnALockOfAnEndedThreadNamesIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(RunAbandonedLock(), "'main' waits in EnterCriticalSection \\(held by 'Quitter'\\)");
}

}  // namespace
