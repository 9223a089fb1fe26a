// The simulated module as the driver's peer, checked from outside: every frame
// the test sends is built here with an FCS computed here (from the generator
// polynomial, most significant bit first on the mirrored octets), so that
// neither the driver's table nor the module's own routine vouches for itself.
#include "sim_bench.h"

#include "sim/frame_record.h"

#include <gtest/gtest.h>

namespace {

uint8_t Mirror(uint8_t v)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (v & (1u << i)) r = static_cast<uint8_t>(r | (0x80u >> i));
    return r;
}

// CRC-8 with x^8 + x^2 + x + 1 (0x07) on bit-mirrored octets, preset all
// ones, result mirrored back and complemented.
uint8_t TestFcs(const Bytes& covered)
{
    uint8_t crc = 0xFF;
    for (uint8_t o : covered) {
        crc ^= Mirror(o);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return static_cast<uint8_t>(~Mirror(crc));
}

// A frame as the host sends it: C/R = 1, one length octet.
Bytes Frame(int dlci, uint8_t control, const Bytes& info = Bytes(), int fcsDelta = 0)
{
    Bytes f = {0xF9, static_cast<uint8_t>((dlci << 2) | 3), control,
               static_cast<uint8_t>((info.size() << 1) | 1)};
    Bytes covered(f.begin() + 1, f.end());
    if ((control & 0xEF) != 0xEF) covered.insert(covered.end(), info.begin(), info.end());
    f.insert(f.end(), info.begin(), info.end());
    f.push_back(static_cast<uint8_t>(TestFcs(covered) + fcsDelta));
    f.push_back(0xF9);
    return f;
}

// The module's UA on a DLCI (C/R = 1, F = 1), built here.
Bytes Ua(int dlci)
{
    Bytes f = {0xF9, static_cast<uint8_t>((dlci << 2) | 3), 0x73, 0x01};
    f.push_back(TestFcs(Bytes(f.begin() + 1, f.end())));
    f.push_back(0xF9);
    return f;
}

}  // namespace

TEST(SimPeer, TheTestsFcsMatchesTheWorkedFrames)
{
    EXPECT_EQ(Frame(0, 0x3F), Bytes({0xF9, 0x03, 0x3F, 0x01, 0x1C, 0xF9}));
    EXPECT_EQ(Frame(1, 0x3F), Bytes({0xF9, 0x07, 0x3F, 0x01, 0xDE, 0xF9}));
    EXPECT_EQ(Frame(1, 0x53), Bytes({0xF9, 0x07, 0x53, 0x01, 0x3F, 0xF9}));
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
