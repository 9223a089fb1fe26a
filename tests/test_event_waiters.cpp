// Several clients waiting for events on one port (WaitCommEvent on handles
// of their own): whatever ends one wait for a reason that holds for all
// (the modem's DISC, a mask change) ends every one of them.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "ioctl_calls.h"
#include "test_channel.h"

#include <memory>
#include <string>
#include <vector>

namespace {

struct Waiter {
    Result r;
    DWORD events = 0;
    volatile bool returned = false;
    HANDLE thread = NULL;
};

// Three clients waiting on `open`, each on a thread of its own.
std::vector<std::unique_ptr<Waiter>> StartWaiters(DWORD_PTR open, uint64_t seed)
{
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.push_back(std::make_unique<Waiter>());
        Waiter* w = waiters.back().get();
        w->thread = RunAsync([w, open] {
            w->r = Wait(open, &w->events);
            w->returned = true;
        });
        SleepMs(1 + static_cast<uint32_t>((seed + i) % 3) * 7);
    }
    // All three inside the wait before the test goes on.
    for (int i = 0; i < 200 && ReadWord(&Channel(open)->eventWaiters) != 3; i++) SleepMs(1);
    EXPECT_EQ(ReadWord(&Channel(open)->eventWaiters), 3);
    return waiters;
}

bool AllReturned(const std::vector<std::unique_ptr<Waiter>>& waiters)
{
    for (const auto& w : waiters)
        if (!w->returned) return false;
    return true;
}

size_t Occurrences(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

class EventWaiters : public ::testing::TestWithParam<uint64_t> {};

TEST_P(EventWaiters, ModemDiscReleasesEveryWaitingClient)
{
    DriverRig rig(GetParam());
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[3], EV_RXCHAR).ok);
    auto waiters = StartWaiters(rig.open[3], GetParam());
    EXPECT_FALSE(AllReturned(waiters));
    rig.Modem().SendDisc(3);
    EXPECT_TRUE(rig.D().WaitFor([&] { return AllReturned(waiters); }, 1000))
        << "a client still waits after the DLCI was disconnected";
    // A mask change from another handle while disconnected is turned away by
    // the gate; nobody is left waiting for it.
    EXPECT_FALSE(SetMask(rig.open[3], EV_RXCHAR).ok);
    if (!AllReturned(waiters)) rig.Deinit(rig.device[3]);
    for (auto& w : waiters) {
        Join(w->thread);
        EXPECT_FALSE(w->r.ok);
        EXPECT_EQ(w->r.error, static_cast<DWORD>(ERROR_NOT_READY));
    }
    // Counted in the whole log: lines that three clients write at the same
    // moment may share a time stamp.
    EXPECT_EQ(Occurrences(rig.D().Dump(), "MUX: WAIT_ON_MASK for MUX3: -> State is DISCONNECTED ; Time="), 3u)
        << rig.D().Dump();

    // Connected again by the modem, the port waits for new data again.
    rig.Modem().SendSabm(3);
    ASSERT_TRUE(rig.D().WaitFor([&] { return Channel(rig.open[3])->connected == 1; }, 1000));
    Waiter again;
    again.thread = RunAsync([&] {
        again.r = Wait(rig.open[3], &again.events);
        again.returned = true;
    });
    SleepMs(20);
    EXPECT_FALSE(again.returned) << "a wait on the reconnected DLCI ended without news";
    rig.Modem().SendUih(3, {'x'});
    Join(again.thread);
    EXPECT_TRUE(again.r.ok);
    EXPECT_EQ(again.events, static_cast<DWORD>(EV_RXCHAR));
}

TEST_P(EventWaiters, MaskChangeReleasesEveryWaitingClient)
{
    DriverRig rig(GetParam());
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    auto waiters = StartWaiters(rig.open[1], GetParam());
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    EXPECT_TRUE(rig.D().WaitFor([&] { return AllReturned(waiters); }, 1000))
        << "a client still waits after the mask changed";
    // The first to return may wait again at once: it is not released by the
    // change it has already seen.
    Waiter again;
    again.thread = RunAsync([&] {
        again.r = Wait(rig.open[1], &again.events);
        again.returned = true;
    });
    SleepMs(20);
    EXPECT_FALSE(again.returned);
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    Join(again.thread);
    for (auto& w : waiters) {
        Join(w->thread);
        EXPECT_TRUE(w->r.ok);
        EXPECT_EQ(w->events, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EventWaiters, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
