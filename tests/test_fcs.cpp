// The FCS table and the frame check sequence of the frames this side builds.
#include "framing/frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// The table rule, computed independently of the stored table.
uint8_t TableEntryByRule(unsigned i)
{
    unsigned r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xE0 : r >> 1;
    return static_cast<uint8_t>(r);
}

// The bitwise reversed CRC-8 (x^8 + x^2 + x + 1, reflected 0xE0) over the
// octets, without the table: a second way to the same FCS.
uint8_t BitwiseFcs(const std::vector<uint8_t>& octets)
{
    unsigned reg = 0xFF;
    for (uint8_t o : octets) {
        reg ^= o;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0xE0 : reg >> 1;
    }
    return static_cast<uint8_t>(0xFF - reg);
}

}  // namespace

TEST(FcsTable, EveryEntryFollowsTheRule)
{
    for (unsigned i = 0; i < 256; ++i) {
        EXPECT_EQ(g_fcsTable[i], TableEntryByRule(i)) << "entry " << i;
    }
    const uint8_t first[8] = {0x00, 0x91, 0xE3, 0x72, 0x07, 0x96, 0xE4, 0x75};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(g_fcsTable[i], first[i]);
    EXPECT_EQ(g_fcsTable[255], 0xCF);
}

// Address, control, length and the FCS they must give.
struct GoldenHeader {
    const char* what;
    uint8_t address, control, length, fcs;
};

const GoldenHeader kGolden[] = {
    {"SABM on DLCI 0", 0x03, 0x3F, 0x01, 0x1C},
    {"SABM on DLCI 1", 0x07, 0x3F, 0x01, 0xDE},
    {"DISC on DLCI 1", 0x07, 0x53, 0x01, 0x3F},
    {"UA response on DLCI 0", 0x01, 0x73, 0x01, 0xB6},
    {"UIH on DLCI 1 with 2 octets", 0x07, 0xEF, 0x05, 0x30},
};

TEST(ComputeFCS, GoldenHeaders)
{
    for (const auto& g : kGolden) {
        const BYTE octets[3] = {g.address, g.control, g.length};
        EXPECT_EQ(ComputeFCS(octets, 3), g.fcs) << g.what;
    }
}

TEST(ComputeFCS, AgreesWithBitwiseCrcOverAllHeaders)
{
    // Every address of every DLCI with both C/R values, each control octet
    // the channels use and a spread of lengths.
    const uint8_t controls[] = {0x3F, 0x53, 0x73, 0xEF, 0x1F, 0x0F, 0x63, 0xFF};
    for (unsigned address = 0; address < 256; address += 1) {
        for (uint8_t control : controls) {
            for (unsigned length = 1; length < 256; length += 18) {
                const BYTE octets[3] = {static_cast<BYTE>(address), control, static_cast<BYTE>(length)};
                ASSERT_EQ(ComputeFCS(octets, 3),
                          BitwiseFcs({static_cast<uint8_t>(address), control, static_cast<uint8_t>(length)}))
                    << address << " " << int(control) << " " << length;
            }
        }
    }
}
