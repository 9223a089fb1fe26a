// The module's faults on the control channel, seen from the host's side of
// the line with frames the test builds: responses repeated in one frame or
// duplicated late, a close of the multiplexer right after a response, UA and
// DM nobody asked for, bursts of UIH frames on DLCI 0.
#include "sim_bench.h"

#include <gtest/gtest.h>

namespace {

const Bytes kMscCommand = {0xE3, 0x05, 0x07, 0x01};  // MSC command, DLCI 1, V.24 EA only
const Bytes kMscResponse = {0xE1, 0x05, 0x07, 0x0D};  // its answer, the module's V.24

Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes Uih0(const Bytes& info) { return TestFrame(0, false, 0xEF, info); }

// A bench in multiplexer mode with DLCI 0 connected.
void Connect(Bench& b)
{
    b.SkipHandshake();
    b.Write(TestFrame(0, true, 0x3F));
    ASSERT_EQ(b.Collect(50), TestFrame(0, true, 0x73));
}

}  // namespace

TEST(ModuleCtrlFaults, ResponseRepeatedInOneFrameAndDuplicatedLate)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.repeatResponse[0xE0] = 2;
    s.serial.lateDuplicateMs[0xE0] = 300;
    Bench b(71, s);
    Connect(b);
    b.Write(TestFrame(0, true, 0xEF, kMscCommand));
    EXPECT_EQ(b.Collect(50), Uih0(Concat(kMscResponse, kMscResponse)));
    EXPECT_TRUE(b.Collect(200).empty());
    EXPECT_EQ(b.Collect(100), Uih0(Concat(kMscResponse, kMscResponse)));
    // Other commands are answered once.
    b.Write(TestFrame(0, true, 0xEF, {0x23, 0x03, 0x55}));
    EXPECT_EQ(b.Collect(500), Uih0({0x21, 0x03, 0x55}));
}

TEST(ModuleCtrlFaults, CloseAfterTheNthResponse)
{
    for (bool cld : {false, true}) {
        SCOPED_TRACE(cld ? "CLD" : "DISC");
        sim::ModuleSettings s = Bench::Defaults();
        s.serial.closeAfter.push_back(sim::CloseAfter{0xE0, cld, 2});
        Bench b(cld ? 72 : 73, s);
        Connect(b);
        b.Write(TestFrame(0, true, 0xEF, kMscCommand));
        EXPECT_EQ(b.Collect(50), Uih0(kMscResponse));
        b.Write(TestFrame(0, true, 0xEF, kMscCommand));
        const Bytes close = cld ? Uih0({0xC3, 0x01}) : TestFrame(0, false, 0x53);
        EXPECT_EQ(b.Collect(50), Concat(Uih0(kMscResponse), close));
        EXPECT_EQ(b.Serial().GetMode(), sim::ModuleSerial::Mode::Mux);
        // The host answers; the module goes back to AT commands at 115200.
        b.Write(cld ? TestFrame(0, true, 0xEF, {0xC1, 0x01}) : TestFrame(0, true, 0x73));
        Sleep(5);
        EXPECT_EQ(b.Serial().GetMode(), sim::ModuleSerial::Mode::AtCommand);
        EXPECT_EQ(b.Serial().Uart().PeerBaud(), 115200u);
    }
    // A host that never answers: the module leaves all the same, a second later.
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.closeAfter.push_back(sim::CloseAfter{0xE0, false, 1});
    Bench b(74, s);
    Connect(b);
    b.Write(TestFrame(0, true, 0xEF, kMscCommand));
    Sleep(900);
    EXPECT_EQ(b.Serial().GetMode(), sim::ModuleSerial::Mode::Mux);
    Sleep(200);
    EXPECT_EQ(b.Serial().GetMode(), sim::ModuleSerial::Mode::AtCommand);
}

TEST(ModuleCtrlFaults, StrayAnswersAndBurstsAtTheirTimes)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.strayUaAtMs = {200};
    s.serial.strayDmAtMs = {400};
    s.serial.uihBursts.push_back(sim::UihBurst{600, 3});
    s.serial.uihBursts.push_back(sim::UihBurst{50, 2});  // before the multiplexer: nothing
    Bench b(75, s);
    Sleep(100);
    Connect(b);
    Sleep(200 - plat::NowMs());
    EXPECT_EQ(b.Collect(10), TestFrame(0, true, 0x73));
    Sleep(400 - plat::NowMs());
    EXPECT_EQ(b.Collect(10), TestFrame(0, true, 0x1F));
    Sleep(600 - plat::NowMs());
    const Bytes burst = Uih0({0xE3, 0x05, 0x07, 0x0D});
    EXPECT_EQ(b.Collect(10), Concat(Concat(burst, burst), burst));
    EXPECT_TRUE(b.Collect(1000).empty());
}
