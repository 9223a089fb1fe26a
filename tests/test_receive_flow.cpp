// Flow control with the simulated module, the whole driver between: a port
// whose client does not read holds the module's data for that DLCI only
// (MSC FC), while another port goes on at full speed; a module that ignores
// it meets the full-buffer pause as the last resort; the module's FCoff
// holds every port's writes until its FCon.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "ioctl_calls.h"
#include "sim/frame_record.h"
#include "test_channel.h"

#include <string>
#include <vector>

namespace {

constexpr char kFullPause[] = "MUX: CDispatcher::ParseRecBytes() -> Channel buffer space is not enough.";
constexpr size_t kInfo = 127;

// Frame i: DLCI 3 (never read) every 20th frame, DLCI 1 the others; 127
// octets whose first two count the frames of that DLCI.
struct Traffic {
    unsigned sent1 = 0, sent3 = 0;
    std::vector<uint8_t> Frame(unsigned i)
    {
        const int dlci = i % 20 == 19 ? 3 : 1;
        unsigned& n = dlci == 3 ? sent3 : sent1;
        std::vector<uint8_t> info(kInfo, static_cast<uint8_t>('a' + dlci));
        info[0] = static_cast<uint8_t>(n >> 8);
        info[1] = static_cast<uint8_t>(n);
        ++n;
        return sim::BuildFrame(dlci, false, 0xEF, info);
    }
};

// Reads "MUX1:" every 3 ms until told to stop; counts what it got.
struct Reader {
    volatile bool stop = false;
    size_t got = 0;
    HANDLE thread = NULL;
    void Start(DWORD_PTR open)
    {
        thread = RunAsync([this, open] {
            BYTE buf[4096];
            while (!stop) {
                DWORD n = MUX_Read(open, buf, sizeof buf);
                if (n != (DWORD)-1) got += n;
                SleepMs(3);
            }
        });
    }
    void Stop()
    {
        stop = true;
        Join(thread);
    }
};

size_t ReadEverything(DWORD_PTR open)
{
    BYTE buf[4096];
    size_t total = 0;
    for (;;) {
        DWORD n = MUX_Read(open, buf, sizeof buf);
        if (n == 0 || n == (DWORD)-1) return total;
        total += n;
    }
}

// Three seconds of the module's traffic with "MUX1:" read all along and
// "MUX3:" never; returns what "MUX1:" got.
size_t RunTraffic(DriverRig& rig, Traffic* traffic)
{
    Reader reader;
    reader.Start(rig.open[1]);
    // 133 octets every 3 ms: just below the line's 46 octets a millisecond.
    rig.Modem().StartTraffic(3, [traffic](unsigned i) { return traffic->Frame(i); });
    SleepMs(3000);
    rig.Modem().StopTraffic();
    SleepMs(50);
    reader.Stop();
    return reader.got + ReadEverything(rig.open[1]);
}

class ReceiveFlow : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ReceiveFlow, UnreadPortHoldsItsOwnDataAndNobodyElseWaits)
{
    DriverRig rig(GetParam());
    rig.StartThree();
    Traffic traffic;
    const size_t got1 = RunTraffic(rig, &traffic);

    EXPECT_TRUE(rig.Modem().HostStoppedFlow(3));
    EXPECT_GT(rig.Modem().HeldOctets(3), 0u);
    EXPECT_EQ(rig.Modem().HeldFramesDropped(3), 0u);
    EXPECT_TRUE(rig.D().Logged(kFullPause).empty()) << "the parser paused for the unread port";
    EXPECT_EQ(got1, traffic.sent1 * kInfo) << "the busy port lost data";
    EXPECT_FALSE(rig.Modem().HostStoppedFlow(1));

    // Read at last: the module is let go and sends what it held.
    size_t got3 = ReadEverything(rig.open[3]);
    ASSERT_TRUE(rig.D().WaitFor([&] { return !rig.Modem().HostStoppedFlow(3); }, 1000));
    for (int i = 0; i < 50; i++) {
        SleepMs(20);
        got3 += ReadEverything(rig.open[3]);
    }
    EXPECT_EQ(got3, traffic.sent3 * kInfo) << "the unread port lost data";
    EXPECT_EQ(rig.Modem().HeldOctets(3), 0u);
}

TEST_P(ReceiveFlow, ModuleHoldBufferOverflowIsSaidAndCostsOnlyThatPort)
{
    sim::ModuleSettings m = DispatcherRig::DefaultModule();
    m.serial.flowHoldLimit = 1000;
    DriverRig rig(GetParam(), m);
    rig.StartThree();
    Traffic traffic;
    const size_t got1 = RunTraffic(rig, &traffic);
    EXPECT_GT(rig.Modem().HeldFramesDropped(3), 0u);
    ASSERT_FALSE(rig.Modem().Notices().empty());
    EXPECT_NE(rig.Modem().Notices()[0].find("DLCI 3: hold buffer full"), std::string::npos);
    EXPECT_EQ(got1, traffic.sent1 * kInfo);
    EXPECT_TRUE(rig.D().Logged(kFullPause).empty());
}

TEST_P(ReceiveFlow, ModuleThatIgnoresTheHoldMeetsTheFullBufferPause)
{
    sim::ModuleSettings m = DispatcherRig::DefaultModule();
    m.serial.honourHostFlow = false;
    DriverRig rig(GetParam(), m);
    rig.StartThree();
    Traffic traffic;
    rig.Modem().StartTraffic(3, [&](unsigned i) { return traffic.Frame(i); });
    SleepMs(3000);
    rig.Modem().StopTraffic();
    // Nobody reads either port here: the host asked for both to be held.
    EXPECT_TRUE(rig.Modem().HostStoppedFlow(1)) << "the host did not ask";
    EXPECT_FALSE(rig.D().Logged(kFullPause).empty());
}

TEST_P(ReceiveFlow, ModuleFcOffHoldsEveryPortUntilFcOn)
{
    DriverRig rig(GetParam());
    rig.StartThree();
    rig.Modem().SendFcOff(true);
    SleepMs(20);
    const size_t before1 = rig.Modem().DataFromHost(1).size();
    const size_t before3 = rig.Modem().DataFromHost(3).size();
    DWORD r1 = 0, r3 = 0;
    const std::string text(300, 'w');
    HANDLE w1 = RunAsync([&] { r1 = MUX_Write(rig.open[1], text.data(), (DWORD)text.size()); });
    HANDLE w3 = RunAsync([&] { r3 = MUX_Write(rig.open[3], text.data(), (DWORD)text.size()); });
    SleepMs(2000);
    EXPECT_EQ(rig.Modem().DataFromHost(1).size(), before1) << "MUX1: sent during FCoff";
    EXPECT_EQ(rig.Modem().DataFromHost(3).size(), before3) << "MUX3: sent during FCoff";
    // The control channel goes on: a modem-status query is answered.
    DWORD status = 0;
    EXPECT_TRUE(Control(rig.open[1], IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, 4).ok);
    rig.Modem().SendFcOff(false);
    Join(w1);
    Join(w3);
    EXPECT_EQ(r1, text.size());
    EXPECT_EQ(r3, text.size());
    EXPECT_EQ(rig.Modem().DataFromHost(1).size(), before1 + text.size());
    EXPECT_EQ(rig.Modem().FramesAgainstFlow(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReceiveFlow, ::testing::Values(1u, 2u));

}  // namespace
