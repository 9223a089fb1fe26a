// Ending a data call before a re-initialisation: the PPP termination packet
// in the data port's stream and "3\r" in the notification port's, each with
// a wake of the channel's thread; nothing when no call is active, when the
// names are missing or too long, or when a buffer stays full for a second.
#include <gtest/gtest.h>

#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "platform/host.h"
#include "sim_world.h"
#include "test_channel.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace {

// The 16-bit frame check sequence of PPP's HDLC-like framing, bit by bit.
uint16_t PppFcs16(const uint8_t* p, size_t n)
{
    uint16_t fcs = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        fcs ^= p[i];
        for (int b = 0; b < 8; b++) fcs = (fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1;
    }
    return static_cast<uint16_t>(~fcs);
}

class TerminateCallTest : public ::testing::Test {
protected:
    TerminateCallTest()
    {
        plat::ClearRegistry();
        ResetDispatcherForTest();
        for (int dlci = 1; dlci <= 3; dlci++) {
            auto name = u"MUX" + std::u16string(1, char16_t(u'0' + dlci)) + u":";
            ports_.push_back(std::make_unique<TestChannel>(dlci, name, 256));
        }
        // After every construction: a channel built while the dispatcher is
        // not running empties the table.
        for (auto& p : ports_) p->MakeReadyForParser();
    }
    ~TerminateCallTest() override
    {
        ports_.clear();
        ResetDispatcherForTest();
        plat::ClearRegistry();
    }

    static void Configure(DWORD status, const std::u16string& dataPort, const std::u16string& notifyPort)
    {
        DriverRig::SetDword(u"System\\State\\Phone", u"Status", status);
        DriverRig::SetString(u"Software\\Microsoft\\RIL", u"DataPort", dataPort);
        DriverRig::SetString(u"Software\\Microsoft\\RIL", u"ComPortNotifications", notifyPort);
    }

    TestChannel& Port(int n) { return *ports_[n - 1]; }
    bool Woken(int n) { return WaitForSingleObject(Port(n).wakeEvent, 0) == WAIT_OBJECT_0; }

    SimWorld world_{1};
    std::vector<std::unique_ptr<TestChannel>> ports_;
};

TEST_F(TerminateCallTest, PacketToDataPortAndNoCarrierToNotifications)
{
    Configure(0x1000, u"MUX2:", u"MUX1:");
    g_dispatcher.TerminateDataCall();
    const Bytes packet = Port(2).Unread();
    ASSERT_EQ(packet.size(), 37u);
    const std::string text = "Normal Termination by NCP";
    const Bytes head = {0x7E, 0xFF, 0x03, 0xC0, 0x21, 0x05, 0x00, 0x00, 0x1D};
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 9), head);
    EXPECT_EQ(std::string(packet.begin() + 9, packet.begin() + 34), text);
    const uint16_t fcs = PppFcs16(packet.data() + 1, 33);
    EXPECT_EQ(fcs, 0x5421);
    EXPECT_EQ(packet[34], fcs & 0xFF);
    EXPECT_EQ(packet[35], fcs >> 8);
    EXPECT_EQ(packet[36], 0x7E);
    EXPECT_EQ(Port(2).rxLast, Port(2).rxWrite - 1);
    EXPECT_EQ(Port(1).Unread(), (Bytes{'3', '\r'}));
    EXPECT_EQ(Port(1).rxLast, Port(1).rxWrite - 1);
    EXPECT_TRUE(Woken(1));
    EXPECT_TRUE(Woken(2));
    EXPECT_FALSE(Woken(3));
    EXPECT_TRUE(Port(3).Unread().empty());
    // Nothing queued for the threads: only the wake.
    EXPECT_EQ(Port(2).ctlQueueWrite, 0);

    // The same octets on every call, behind what is already buffered.
    g_dispatcher.TerminateDataCall();
    const Bytes twice = Port(2).Unread();
    ASSERT_EQ(twice.size(), 74u);
    EXPECT_EQ(Bytes(twice.begin() + 37, twice.end()), packet);
}

TEST_F(TerminateCallTest, NothingWithoutAnActiveCallOrReadableNames)
{
    Configure(0xFFF, u"MUX2:", u"MUX1:");
    g_dispatcher.TerminateDataCall();
    // Names longer than their 20 bytes count as unreadable.
    Configure(0x1000, u"MUX2:", u"MUX1_with_a_long_name:");
    g_dispatcher.TerminateDataCall();
    plat::ClearRegistry();
    g_dispatcher.TerminateDataCall();
    DriverRig::SetDword(u"System\\State\\Phone", u"Status", 0x1000);
    g_dispatcher.TerminateDataCall();  // no RIL key
    for (int n = 1; n <= 3; n++) {
        EXPECT_TRUE(Port(n).Unread().empty()) << n;
        EXPECT_FALSE(Woken(n)) << n;
    }
}

TEST_F(TerminateCallTest, OnePortNamedForBothGetsThePacketOnly)
{
    Configure(0x1000, u"MUX3:", u"MUX3:");
    g_dispatcher.TerminateDataCall();
    EXPECT_EQ(Port(3).Unread().size(), 37u);
    EXPECT_TRUE(Port(1).Unread().empty());
    EXPECT_TRUE(Port(2).Unread().empty());
}

TEST_F(TerminateCallTest, UnknownDataPortStillEndsTheCallForTheRil)
{
    Configure(0x1000, u"MUX9:", u"MUX1:");
    g_dispatcher.TerminateDataCall();
    EXPECT_EQ(Port(1).Unread(), (Bytes{'3', '\r'}));
    EXPECT_TRUE(Port(2).Unread().empty());
}

TEST_F(TerminateCallTest, FullDataPortWaitsOneSecondAndInjectsNothing)
{
    Configure(0x1000, u"MUX2:", u"MUX1:");
    // 36 octets free: one short of the packet.
    Port(2).rxWrite = Port(2).rxEnd - 36;
    Port(2).rxRead = Port(2).rxWrite;
    const uint64_t t0 = plat::NowMs();
    g_dispatcher.TerminateDataCall();
    EXPECT_EQ(plat::NowMs() - t0, 1000u);
    EXPECT_EQ(Port(2).rxWrite, Port(2).rxEnd - 36);
    EXPECT_FALSE(Woken(2));
    EXPECT_TRUE(Port(1).Unread().empty());
    EXPECT_FALSE(Woken(1));
}

class TerminateCallSeeds : public ::testing::TestWithParam<uint64_t> {};

// A reader that drains the full data port during the pause makes room: the
// packet goes in after the second look, and the notification follows.
TEST_P(TerminateCallSeeds, ReaderMakesRoomDuringThePause)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    SimWorld world(GetParam());
    plat::ClearRegistry();
    ResetDispatcherForTest();
    TestChannel data(2, u"MUX2:", 64), notify(1, u"MUX1:", 64);
    data.MakeReadyForParser();
    notify.MakeReadyForParser();
    DriverRig::SetDword(u"System\\State\\Phone", u"Status", 0x1000);
    DriverRig::SetString(u"Software\\Microsoft\\RIL", u"DataPort", u"MUX2:");
    DriverRig::SetString(u"Software\\Microsoft\\RIL", u"ComPortNotifications", u"MUX1:");
    data.rxWrite = data.rxBase + 40;  // 24 free
    HANDLE reader = RunAsync([&] {
        SleepMs(static_cast<uint32_t>(GetParam() * 97 % 900) + 1);
        EXPECT_EQ(data.Drain().size(), 40u);
    });
    g_dispatcher.TerminateDataCall();
    Join(reader);
    EXPECT_EQ(data.Unread().size(), 37u);
    EXPECT_EQ(notify.Unread(), (Bytes{'3', '\r'}));
    ResetDispatcherForTest();
    plat::ClearRegistry();
}

INSTANTIATE_TEST_SUITE_P(Seeds, TerminateCallSeeds, ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
