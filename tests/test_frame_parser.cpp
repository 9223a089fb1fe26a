// The receive parser's state machine on its own: golden streams through a
// sink that records what it is handed, with no channel, dispatcher or
// simulated world behind it.
#include "framing/frame.h"
#include "framing/parser.h"
#include "golden_frames.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n)
{
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02X", p[i]);
        s += two;
    }
    return s;
}

// Records every call as a line; answers for the DLCIs in `ready`.
class RecordingSink : public FrameSink {
public:
    std::set<int> ready{0, 1, 49};
    bool refuseHeader = false;
    bool refuseClosing = false;
    std::vector<std::string> calls;
    int ends = 0;

    BOOL Address(BYTE address) override
    {
        calls.push_back("address " + Hex(&address, 1));
        return ready.count(address >> 2) ? TRUE : FALSE;
    }
    BOOL Header(BYTE flag, BYTE address, BYTE control, BYTE length) override
    {
        const uint8_t h[4] = {flag, address, control, length};
        calls.push_back("header " + Hex(h, 4));
        return refuseHeader ? FALSE : TRUE;
    }
    BOOL Closing(BYTE address) override
    {
        calls.push_back("closing " + Hex(&address, 1));
        return refuseClosing ? FALSE : TRUE;
    }
    void Control(BYTE control) override { calls.push_back("control " + Hex(&control, 1)); }
    void Frame(const BYTE* info, DWORD n) override { calls.push_back("frame " + Hex(info, n)); }
    void OctetsEnd() override { ++ends; }
};

class FrameParserTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFrameParse(&parse); }

    // Each call gets a heap copy exactly as long as its octets, so that a
    // read outside them is caught by the sanitizers.
    void Feed(const uint8_t* p, size_t n)
    {
        std::vector<uint8_t> copy(p, p + n);
        ParseFrames(&parse, &sink, copy.data(), static_cast<DWORD>(n));
    }
    void Feed(const Bytes& b) { Feed(b.data(), b.size()); }

    FrameParseState parse{};
    RecordingSink sink;
};

std::vector<std::string> Calls(const Bytes& frame)
{
    const std::string a = Hex(&frame[1], 1);
    const size_t n = frame[3] >> 1;
    return {"address " + a, "header " + Hex(frame.data(), 4), "closing " + a,
            "control " + Hex(&frame[2], 1), "frame " + Hex(&frame[4], n)};
}

const std::vector<Bytes>& Golden()
{
    static const std::vector<Bytes> frames = {golden::kSabmDlci0, golden::kSabmDlci1,
                                              golden::kDiscDlci1, golden::kUaDlci0,
                                              golden::kUihDlci1AB};
    return frames;
}

}  // namespace

// Every golden frame, whole and cut at every point, gives the same calls,
// and the state between the two calls is the step that ran out.
TEST_F(FrameParserTest, GoldenFramesWholeAndCutAnywhere)
{
    for (const Bytes& f : Golden()) {
        for (size_t cut = 0; cut <= f.size(); ++cut) {
            SetUp();
            sink = RecordingSink();
            Feed(f.data(), cut);
            const LONG mid = parse.state;
            Feed(f.data() + cut, f.size() - cut);
            EXPECT_EQ(sink.calls, Calls(f)) << Hex(f.data(), f.size()) << " cut " << cut;
            EXPECT_EQ(sink.ends, 2);
            EXPECT_EQ(parse.state, PS_FLAG);
            if (cut == 0 || cut == f.size()) {
                EXPECT_EQ(mid, PS_FLAG);
            } else if (cut <= 4) {
                EXPECT_EQ(mid, cut);  // PS_ADDRESS .. PS_DATA after flag .. length
            } else if (cut == f.size() - 1) {
                EXPECT_EQ(mid, PS_CLOSE);
            }
        }
    }
}

// All golden frames back to back, cut at random points: the calls are those
// of the frames one after the other, whatever the cuts.
TEST_F(FrameParserTest, GoldenStreamUnderRandomCuts)
{
    Bytes stream;
    std::vector<std::string> expected;
    for (int round = 0; round < 3; ++round) {
        for (const Bytes& f : Golden()) {
            stream.insert(stream.end(), f.begin(), f.end());
            const auto c = Calls(f);
            expected.insert(expected.end(), c.begin(), c.end());
        }
    }
    std::mt19937 rng(25);
    for (int trial = 0; trial < 200; ++trial) {
        SetUp();
        sink = RecordingSink();
        size_t from = 0;
        while (from < stream.size()) {
            size_t n = std::min<size_t>(stream.size() - from, rng() % 9);
            Feed(stream.data() + from, n);
            from += n;
        }
        ASSERT_EQ(sink.calls, expected) << "trial " << trial;
        EXPECT_EQ(parse.state, PS_FLAG);
    }
}

// What the sink refuses the parser does not go on with; what it finds it
// logs in the order the driver's log has always had.
TEST_F(FrameParserTest, RefusalsAndIrregularities)
{
    LogCapture log;

    // No receiver for DLCI 2: hunting resumes right after the address, so
    // the rest of the frame is skipped octet by octet.
    Feed({0xF9, 0x0B, 0x3F, 0x01, 0xF9});
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"address 0B"}));
    auto m = log.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].rfind("MUX: CDispatcher::ParseRecBytes() -> ERROR , Invalid Address field (0xb) ; Time=", 0), 0u);
    EXPECT_EQ(m[1], "0x3f,");
    EXPECT_EQ(m[2], "0x1,");
    EXPECT_EQ(parse.state, PS_ADDRESS);  // the last flag opens a frame

    // A header the sink refuses: the information is not gathered.
    ResetFrameParse(&parse);
    sink = RecordingSink();
    sink.refuseHeader = true;
    log.Clear();
    Feed(golden::kUihDlci1AB);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"address 07", "header F907EF05"}));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"0x41,", "0x42,", "0x30,"}));

    // The receiver gone before the closing octet: nothing delivered, no line.
    ResetFrameParse(&parse);
    sink = RecordingSink();
    sink.refuseClosing = true;
    log.Clear();
    Feed(golden::kUihDlci1AB);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"address 07", "header F907EF05", "closing 07"}));
    EXPECT_TRUE(log.Messages().empty());

    // A two-octet length (EA clear) drops the frame before the sink hears of it.
    ResetFrameParse(&parse);
    sink = RecordingSink();
    log.Clear();
    Feed({0xF9, 0x07, 0xEF, 0x02});
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"address 07"}));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"MUX: CDispatcher::ParseRecBytes() -> SET_EA_MASK\r\n"}));
}

// A bad closing octet: the frame is dumped, and the backward search finds a
// DLCI 49 frame inside the dropped octets and parses it.
TEST_F(FrameParserTest, BadClosingOctetResynchronises)
{
    LogCapture log;
    const uint8_t innerHeader[3] = {0xC7, 0xEF, 0x03};
    const uint8_t innerFcs = ComputeFCS(innerHeader, 3);
    ASSERT_NE(innerFcs, MUX_FLAG);
    // The outer frame (DLCI 1, six octets) carries the head of a DLCI 49 UIH
    // frame; its own FCS and closing octets are the inner frame's "B" and
    // FCS, and the inner frame's closing flag follows.
    const Bytes stream = {0xF9, 0x07, 0xEF, 0x0D, 0x41, 0x42, 0xF9, 0xC7, 0xEF, 0x03, 0x42, innerFcs, 0xF9};
    Feed(stream);

    // The outer frame's FCS octet is wrong for its header: its control
    // octet is not handed on either.
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"address 07", "header F907EF0D", "closing 07",
                                                    "address C7", "header F9C7EF03", "closing C7",
                                                    "control EF", "frame 42"}));
    auto m = log.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].rfind("MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = ", 0), 0u);
    EXPECT_EQ(m[1], "MUX: Frame Data = F907EF0D4142F9C7EF0342" + Hex(&innerFcs, 1) + "\r\n");
    EXPECT_EQ(m[2], "MUX: Reset pCurPtr to 0x00000006\r\n");
    EXPECT_EQ(parse.state, PS_FLAG);
}

// The FCS over address, control and length is checked: a frame that fails
// is neither handed on nor acted on, is dumped once and counted; a flipped
// bit of the address, the control octet or the FCS itself is caught.
TEST_F(FrameParserTest, WrongFcsIsDumpedOnceAndCounted)
{
    LogCapture log;
    const Bytes& good = golden::kUihDlci1AB;
    DWORD bad = 0;
    for (size_t at : {1u, 2u, 3u, 6u}) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes f = good;
            f[at] ^= static_cast<uint8_t>(1u << bit);
            if (at == 1 && (f[1] & 1) == 0) continue;  // the address without EA is still taken
            if (at == 3 && (f[3] & 1) == 0) continue;  // a two-octet length is dropped before
            if (at == 3 && (f[3] >> 1) != 2) continue;  // another length moves the FCS
            ResetFrameParse(&parse);
            sink = RecordingSink();
            sink.ready = {};
            for (int d = 0; d < 64; ++d) sink.ready.insert(d);
            log.Clear();
            Feed(f);
            ++bad;
            ASSERT_EQ(sink.calls.size(), 3u) << "octet " << at << " bit " << bit;
            EXPECT_EQ(sink.calls[2].rfind("closing ", 0), 0u);
            EXPECT_EQ(log.Messages(), (std::vector<std::string>{"MUX: Frame Data = " + Hex(f.data(), f.size()) + "\r\n"}))
                << "octet " << at << " bit " << bit;
            EXPECT_EQ(parse.state, PS_FLAG);
            EXPECT_EQ(parse.badFcsFrames, bad);
        }
    }
    EXPECT_GE(bad, 20u);
    // The count stays over a reset of the state; the next good frame passes.
    ResetFrameParse(&parse);
    sink = RecordingSink();
    log.Clear();
    Feed(good);
    EXPECT_EQ(sink.calls, Calls(good));
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(parse.badFcsFrames, bad);
}
