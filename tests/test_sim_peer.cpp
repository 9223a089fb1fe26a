// The simulated module as the driver's peer, checked from outside: every frame
// the test sends is built by the test with its own FCS (sim_bench.h), so
// that neither the driver's table nor the module's own routine vouches for
// itself.
#include "golden_frames.h"
#include "sim_bench.h"

#include "sim/frame_record.h"

#include <gtest/gtest.h>

namespace {

Bytes Frame(int dlci, uint8_t control, const Bytes& info = Bytes(), int fcsDelta = 0)
{
    return TestFrame(dlci, true, control, info, fcsDelta);
}

Bytes Ua(int dlci) { return TestFrame(dlci, true, 0x73); }

}  // namespace

TEST(SimPeer, TheTestsFcsMatchesTheWorkedFrames)
{
    EXPECT_EQ(Frame(0, 0x3F), golden::kSabmDlci0);
    EXPECT_EQ(Frame(1, 0x3F), golden::kSabmDlci1);
    EXPECT_EQ(Frame(1, 0x53), golden::kDiscDlci1);
    // The module's builder agrees with the test on frames with and without
    // information.
    EXPECT_EQ(sim::BuildFrame(5, true, 0xEF, {1, 2, 3}), Frame(5, 0xEF, {1, 2, 3}));
    const Bytes withInfo = sim::BuildFrame(2, true, 0x03, {0x41, 0x42});
    Bytes covered(withInfo.begin() + 1, withInfo.end() - 2);
    EXPECT_EQ(withInfo[withInfo.size() - 2], TestFcs(covered));
}

TEST(SimPeer, AnswersGoodFramesAndRefusesEveryWrongFcs)
{
    for (int delta = 1; delta < 256; delta += 37) {
        SCOPED_TRACE(delta);
        Bench b(static_cast<uint64_t>(delta));
        b.SkipHandshake();
        b.Write(Frame(0, 0x3F, Bytes(), delta));
        EXPECT_TRUE(b.Collect(100).empty());
        EXPECT_FALSE(b.Serial().DlciOpen(0));
        EXPECT_EQ(b.Serial().BadFcsFrames(), 1u);

        b.Write(Frame(0, 0x3F));
        EXPECT_EQ(b.Collect(100), Ua(0));
        EXPECT_TRUE(b.Serial().DlciOpen(0));

        // A UIH with a wrong FCS carries no data to the module.
        b.Write(Frame(1, 0x3F));
        EXPECT_EQ(b.Collect(100), Ua(1));
        b.Write(Frame(1, 0xEF, {'x'}, delta));
        b.Write(Frame(1, 0xEF, {'y'}));
        b.Collect(50);
        EXPECT_EQ(b.Serial().DataFromHost(1), Bytes({'y'}));
        EXPECT_EQ(b.Serial().BadFcsFrames(), 2u);
    }
}
