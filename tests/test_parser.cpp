// The receive parser: deliveries, control-octet queue, wakes and the log
// lines of every irregularity.
#include "diag/log.h"
#include "framing/frame.h"
#include "log_capture.h"
#include "sim_world.h"
#include "test_channel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>

namespace {

bool Woken(TestChannel& ch)
{
    return WaitForSingleObject(ch.wakeEvent, 0) == WAIT_OBJECT_0;
}

std::string T()
{
    return std::to_string(GetTickCount());
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Queue(const TestChannel& ch)
{
    return Bytes(ch.ctlQueue, ch.ctlQueue + MUX_CTL_QUEUE_SIZE);
}

const Bytes kAB = {0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x30, 0xF9};  // UIH "AB" on DLCI 1

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override { ResetDispatcherForTest(); }
    void TearDown() override { ResetDispatcherForTest(); }
    SimWorld world{7};
};

}  // namespace

TEST_F(ParserTest, UihFrameInOneNode)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode(kAB);

    EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42}));
    EXPECT_EQ(ch.rxLast, ch.rxWrite - 1);
    EXPECT_EQ(ch.ctlQueue[0], 0xEF);
    EXPECT_EQ(ch.ctlQueueWrite, 1);
    EXPECT_TRUE(Woken(ch));
    EXPECT_FALSE(Woken(ch));  // once
    EXPECT_EQ(g_dispatcher.parse.state, PS_FLAG);
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(ParserTest, SabmWithoutInformationWakesWithoutTouchingTheBuffer)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();

    ParseNode({0xF9, 0x07, 0x3F, 0x01, 0xDE, 0xF9});

    EXPECT_TRUE(ch.Unread().empty());
    EXPECT_EQ(ch.rxWrite, ch.rxBase);
    EXPECT_EQ(ch.ctlQueue[0], 0x3F);
    EXPECT_TRUE(Woken(ch));
}

// The state left between two nodes is that of the step that ran out.
TEST_F(ParserTest, StateBetweenNodesForEveryCut)
{
    const LONG afterUih[] = {PS_FLAG, PS_ADDRESS, PS_CONTROL, PS_LENGTH, PS_DATA,
                             PS_DATA, PS_FCS,     PS_CLOSE,   PS_FLAG};
    for (size_t cut = 0; cut <= kAB.size(); ++cut) {
        ResetDispatcherForTest();
        TestChannel ch(1, u"MUX2:");
        ch.MakeReadyForParser();
        ParseNode(kAB.data(), cut);
        EXPECT_EQ(g_dispatcher.parse.state, afterUih[cut]) << "cut " << cut;
        ParseNode(kAB.data() + cut, kAB.size() - cut);
        EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42})) << "cut " << cut;
        EXPECT_EQ(ch.ctlQueueWrite, 1);
        EXPECT_TRUE(Woken(ch));
        EXPECT_FALSE(Woken(ch));
    }

    // Without information the frame passes PS_DATA only while an octet is
    // left: four octets end in PS_DATA.
    const Bytes sabm = {0xF9, 0x07, 0x3F, 0x01, 0xDE, 0xF9};
    const LONG afterSabm[] = {PS_FLAG, PS_ADDRESS, PS_CONTROL, PS_LENGTH, PS_DATA, PS_CLOSE, PS_FLAG};
    for (size_t cut = 0; cut <= sabm.size(); ++cut) {
        ResetDispatcherForTest();
        TestChannel ch(1, u"MUX2:");
        ch.MakeReadyForParser();
        ParseNode(sabm.data(), cut);
        EXPECT_EQ(g_dispatcher.parse.state, afterSabm[cut]) << "cut " << cut;
        ParseNode(sabm.data() + cut, sabm.size() - cut);
        EXPECT_EQ(ch.ctlQueue[0], 0x3F);
        EXPECT_TRUE(Woken(ch));
    }
}

namespace {

// What a stream did to two channels.
struct Outcome {
    Bytes data1, data49, queue1, queue49;
    LONG write1, write49;
    std::vector<size_t> wakeNodes1;  // indices of the nodes after which DLCI 1 was woken
    LONG finalState;
    bool operator==(const Outcome& o) const
    {
        return data1 == o.data1 && data49 == o.data49 && queue1 == o.queue1 && queue49 == o.queue49 &&
               write1 == o.write1 && write49 == o.write49 && finalState == o.finalState;
    }
};

Outcome RunStream(const Bytes& stream, const std::vector<size_t>& cuts)
{
    ResetDispatcherForTest();
    TestChannel a(1, u"MUX2:", 1024), b(49, u"MUX3:", 1024);
    a.MakeReadyForParser();
    b.MakeReadyForParser();
    Outcome o;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t to = i < cuts.size() ? cuts[i] : stream.size();
        ParseNode(stream.data() + from, to - from);
        if (Woken(a)) o.wakeNodes1.push_back(i);
        from = to;
    }
    o.data1 = a.Unread();
    o.data49 = b.Unread();
    o.queue1 = Queue(a);
    o.queue49 = Queue(b);
    o.write1 = a.ctlQueueWrite;
    o.write49 = b.ctlQueueWrite;
    o.finalState = g_dispatcher.parse.state;
    return o;
}

Bytes Info(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    // 0xF9 inside the information is fine (no transparency), keep one.
    if (n > 3) b[n / 2] = 0xF9;
    return b;
}

// Frames on DLCI 1 and 49: data, empty, maximum size.
Bytes MixedStream()
{
    return Concat({ModemFrame(Address(1, true), 0xEF, Info(3, 1)), ModemFrame(Address(49, true), 0x3F),
                   ModemFrame(Address(1, true), 0xEF, Info(127, 9)), ModemFrame(Address(49, true), 0xEF, Info(40, 3)),
                   ModemFrame(Address(1, false), 0x73), ModemFrame(Address(1, true), 0xEF, Info(1, 200))});
}

}  // namespace

TEST_F(ParserTest, SameResultWhereverTheStreamIsCut)
{
    const Bytes stream = MixedStream();
    const Outcome whole = RunStream(stream, {});
    ASSERT_EQ(whole.data1.size(), 3u + 127u + 1u);
    ASSERT_EQ(whole.data49.size(), 40u);
    EXPECT_EQ(whole.write1, 4);
    EXPECT_EQ(whole.write49, 2);
    EXPECT_EQ(whole.finalState, PS_FLAG);

    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Outcome split = RunStream(stream, {cut});
        ASSERT_TRUE(split == whole) << "cut at " << cut;
    }
    for (size_t a = 0; a <= stream.size(); a += 5) {
        for (size_t b = a; b <= stream.size(); b += 11) {
            ASSERT_TRUE(RunStream(stream, {a, b}) == whole) << "cuts at " << a << ", " << b;
        }
    }
}

TEST_F(ParserTest, ManyNodesWakeAfterEachNodeThatClosesAFrame)
{
    const Bytes stream = MixedStream();
    const Outcome whole = RunStream(stream, {});

    // Where each DLCI 1 frame ends in the stream.
    std::vector<size_t> ends1;
    {
        size_t pos = 0;
        for (const Bytes& f : {ModemFrame(Address(1, true), 0xEF, Info(3, 1)), ModemFrame(Address(49, true), 0x3F),
                               ModemFrame(Address(1, true), 0xEF, Info(127, 9)),
                               ModemFrame(Address(49, true), 0xEF, Info(40, 3)), ModemFrame(Address(1, false), 0x73),
                               ModemFrame(Address(1, true), 0xEF, Info(1, 200))}) {
            pos += f.size();
            if (f[1] >> 2 == 1) ends1.push_back(pos);
        }
        ASSERT_EQ(pos, stream.size());
    }

    std::mt19937 rng(2024);
    for (int round = 0; round < 200; ++round) {
        std::vector<size_t> cuts;
        size_t pos = 0;
        while (true) {
            pos += 1 + rng() % (round % 2 ? 3 : 60);
            if (pos >= stream.size()) break;
            cuts.push_back(pos);
        }
        Outcome o = RunStream(stream, cuts);
        ASSERT_TRUE(o == whole) << "round " << round;
        // Node i covers (cuts[i-1], cuts[i]]: it wakes DLCI 1 when a DLCI 1
        // frame's closing flag lies in it. The first "AB"-style frame finds
        // the buffer empty; later ones may skip a wake (bufferDrained), so
        // compare only the first one.
        size_t firstEnd = ends1[0];
        size_t expectNode = 0;
        while (expectNode < cuts.size() && cuts[expectNode] < firstEnd) ++expectNode;
        ASSERT_FALSE(o.wakeNodes1.empty());
        EXPECT_EQ(o.wakeNodes1[0], expectNode) << "round " << round;
    }
}

TEST_F(ParserTest, OneOctetNodes)
{
    const Bytes stream = MixedStream();
    const Outcome whole = RunStream(stream, {});
    std::vector<size_t> cuts;
    for (size_t i = 1; i < stream.size(); ++i) cuts.push_back(i);
    EXPECT_TRUE(RunStream(stream, cuts) == whole);
}

// ---------------------------------------------------------------------------
// The irregularities and their log lines.

TEST_F(ParserTest, SpareFlagBeforeTheAddress)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode(Concat({{0xF9}, kAB}));

    EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42}));
    EXPECT_TRUE(Woken(ch));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                  "MUX: CDispatcher::ParseRecBytes() -> Receive F9 in Address field ; Time=" + T() +
                                  "\r\n"}));
}

TEST_F(ParserTest, SpareFlagAtTheEndOfANode)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    // The second flag is the node's last octet: no line yet, the next
    // node's first octet is taken as the address.
    ParseNode({0xF9, 0xF9});
    EXPECT_EQ(g_dispatcher.parse.state, PS_ADDRESS);
    EXPECT_TRUE(log.Messages().empty());
    ParseNode(Bytes(kAB.begin() + 1, kAB.end()));
    EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42}));
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(ParserTest, OnlyOneSpareFlagIsSkipped)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    // F9 F9 F9 07 ...: the third flag becomes the address octet (DLCI 62).
    ParseNode({0xF9, 0xF9, 0xF9, 0x07, 0xEF});
    const auto m = log.Messages();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], "MUX: CDispatcher::ParseRecBytes() -> Receive F9 in Address field ; Time=" + T() + "\r\n");
    EXPECT_EQ(m[1], "MUX: CDispatcher::ParseRecBytes() -> ERROR , Invalid Address field (0xf9) ; Time=" + T() +
                        "\r\n");
    EXPECT_EQ(m[2], "0x7,");
    EXPECT_EQ(m[3], "0xef,");
}

TEST_F(ParserTest, TwoFramesSharingAFlagLoseTheSecond)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode({0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x30, 0xF9, 0x07, 0xEF, 0x05, 0x43, 0x44, 0x30, 0xF9});

    EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42}));
    EXPECT_EQ(ch.ctlQueueWrite, 1);
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"0x7,", "0xef,", "0x5,", "0x43,", "0x44,", "0x30,"}));
    EXPECT_EQ(g_dispatcher.parse.state, PS_ADDRESS);  // the last flag opened a frame
}

TEST_F(ParserTest, FourFlagsWhileHunting)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode(Concat({{0xF9, 0xF9, 0xF9, 0xF9}, kAB}));

    EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42}));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                  "MUX: CDispatcher::ParseRecBytes() -> Detect F9F9F9F9 frame ; Time = " + T() +
                                  "\r\n"}));
}

TEST_F(ParserTest, FourFlagsTestCountsOnlyOctetsOfTheNode)
{
    LogCapture log;
    // Three flags at the end of a node are not four: the first opens a
    // frame, the second is the spare flag, the third would be the address.
    ParseNode({0xF9, 0xF9, 0xF9});
    EXPECT_EQ(g_dispatcher.parse.state, PS_FLAG);
    const auto m = log.Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_NE(m[0].find("Receive F9 in Address field"), std::string::npos);
    EXPECT_NE(m[1].find("Invalid Address field (0xf9)"), std::string::npos);
}

TEST_F(ParserTest, TwoOctetLengthIsDropped)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode({0xF9, 0x07, 0xEF, 0x02, 0x41});

    EXPECT_EQ(ch.ctlQueueWrite, 0);  // nothing queued
    EXPECT_FALSE(Woken(ch));
    const auto m = log.Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], "MUX: CDispatcher::ParseRecBytes() -> SET_EA_MASK\r\n");
    EXPECT_EQ(m[1], "0x41,");  // hunting resumes after the length octet
}

TEST_F(ParserTest, UnknownAndStoppedDlci)
{
    TestChannel stopped(3, u"MUX4:");
    stopped.MakeReadyForParser();
    stopped.stopThread = 1;
    LogCapture log;

    ParseNode({0xF9, 0x0B, 0xEF, 0xF9, 0x0F, 0x3F});  // DLCI 2 (empty slot), then DLCI 3 (stopped)

    const auto m = log.Messages();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], "MUX: CDispatcher::ParseRecBytes() -> ERROR , Invalid Address field (0xb) ; Time=" + T() +
                        "\r\n");
    EXPECT_EQ(m[1], "0xef,");
    EXPECT_EQ(m[2], "MUX: CDispatcher::ParseRecBytes() -> ERROR , Invalid Address field (0xf) ; Time=" + T() +
                        "\r\n");
    EXPECT_EQ(m[3], "0x3f,");
    EXPECT_EQ(stopped.ctlQueueWrite, 0);
}

TEST_F(ParserTest, ChannelGoneWhenTheLengthArrives)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode({0xF9, 0x07, 0xEF});
    g_dispatcher.channels[1] = NULL;
    ParseNode({0x05, 0x41, 0x42, 0x30, 0xF9});

    auto m = log.Messages();
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[0], "MUX: CDispatcher::ParseRecBytes() -> ERROR , uninitialized channel ; Time=" + T() + "\r\n");
    EXPECT_EQ(m[1], "\t- header 0xf9, 0x7, 0xef, 0x5 ; Time=" + T() + "\r\n");
    EXPECT_EQ(m[2], "\t- current channel 0x0 ; Time=" + T() + "\r\n");
    EXPECT_EQ(ch.ctlQueueWrite, 0);
    EXPECT_TRUE(ch.Unread().empty());

    // A channel still in its slot but stopped prints its address.
    log.Clear();
    ResetDispatcherForTest();
    ch.MakeReadyForParser();
    ParseNode({0xF9, 0x07, 0xEF});
    ch.stopThread = 1;
    ParseNode({0x05, 0x41, 0x42, 0x30, 0xF9});
    m = log.Messages();
    ASSERT_GE(m.size(), 3u);
    char expect[64];
    snprintf(expect, sizeof expect, "\t- current channel 0x%x ; Time=",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(static_cast<CChannel*>(&ch))));
    EXPECT_EQ(m[2], expect + T() + "\r\n");
    ch.stopThread = 0;
}

// A wrong FCS: the frame is dumped once and counted; its data does not
// reach the buffer and its control octet is not queued, so a header garbled
// on the line neither feeds another port nor becomes another command.
TEST_F(ParserTest, WrongFcsIsNeitherDeliveredNorActedOn)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;
    const DWORD before = g_dispatcher.parse.badFcsFrames;

    ParseNode({0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x99, 0xF9});

    EXPECT_TRUE(ch.Unread().empty());
    EXPECT_FALSE(Woken(ch));
    EXPECT_EQ(ch.ctlQueueWrite, 0);
    EXPECT_EQ(g_dispatcher.parse.fcsOctet, 0x99);
    EXPECT_EQ(g_dispatcher.parse.badFcsFrames, before + 1);
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"MUX: Frame Data = F907EF054142" "99F9\r\n"}));

    // A DISC whose control octet was garbled from a UIH on the way: the FCS
    // (that of the UIH) gives it away, and the channel is not told.
    log.Clear();
    ParseNode({0xF9, 0x07, 0x53, 0x05, 0x41, 0x42, 0x30, 0xF9});
    EXPECT_EQ(ch.ctlQueueWrite, 0);
    EXPECT_FALSE(Woken(ch));
    EXPECT_EQ(g_dispatcher.parse.badFcsFrames, before + 2);

    // The next good frame is delivered as ever.
    ParseNode(kAB);
    EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42}));
    EXPECT_EQ(ch.ctlQueue[0], 0xEF);
    EXPECT_TRUE(Woken(ch));
}

TEST_F(ParserTest, WrongClosingOctetDropsTheFrame)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode({0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x30, 0x00, 0x55});

    EXPECT_TRUE(ch.Unread().empty());
    EXPECT_FALSE(Woken(ch));
    EXPECT_EQ(ch.ctlQueue[0], 0xEF);  // queued at the length octet, stays
    EXPECT_EQ(ch.ctlQueueWrite, 1);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{
                  "MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = " + T() + "\r\n",
                  "MUX: Frame Data = F907EF0541423000\r\n", "MUX: Cannot find F9.\r\n",
                  "0x55,"}));  // parsing goes on after the bad octet
}

TEST_F(ParserTest, WrongClosingOctetWithoutInformation)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode({0xF9, 0x07, 0x3F, 0x01, 0xDE, 0xF8});

    EXPECT_FALSE(Woken(ch));
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{
                  "MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = " + T() + "\r\n",
                  "MUX: Frame Data = F9073F01DEF8\r\n", "MUX: Cannot find F9.\r\n"}));
}

TEST_F(ParserTest, BackwardSearchFindsAFrameOfDlci49Or41)
{
    for (uint8_t dlci : {uint8_t(49), uint8_t(41)}) {
        ResetDispatcherForTest();
        TestChannel one(1, u"MUX2:"), target(dlci, u"MUX9:");
        one.MakeReadyForParser();
        target.MakeReadyForParser();
        LogCapture log;

        // A DLCI 1 frame of 5 octets whose last two are the start of a
        // frame for `dlci`; its FCS and closing positions hold that frame's
        // control and length octets, so the closing octet is wrong.
        const uint8_t addr = Address(dlci, true);
        const Bytes inner = ModemFrame(addr, 0xEF, {0x5A});  // F9 addr EF 03 5A fcs F9
        Bytes stream = {0xF9, 0x07, 0xEF, 0x0B, 0x11, 0x22, 0x33};
        stream.insert(stream.end(), inner.begin(), inner.end());

        ParseNode(stream);

        EXPECT_TRUE(one.Unread().empty());
        EXPECT_EQ(target.Unread(), (Bytes{0x5A}));
        EXPECT_TRUE(Woken(target));
        const auto m = log.Messages();
        ASSERT_EQ(m.size(), 3u);
        EXPECT_EQ(m[0], "MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = " + T() +
                            "\r\n");
        char dumpLine[80];
        snprintf(dumpLine, sizeof dumpLine, "MUX: Frame Data = F907EF0B112233F9%02XEF03\r\n", addr);
        EXPECT_EQ(m[1], dumpLine);
        EXPECT_EQ(m[2], "MUX: Reset pCurPtr to 0x00000007\r\n");  // offset of the flag in the node
    }
}

TEST_F(ParserTest, BackwardSearchStopsAtAFlagOfAnotherDlci)
{
    TestChannel one(1, u"MUX2:"), target(49, u"MUX9:");
    one.MakeReadyForParser();
    target.MakeReadyForParser();
    LogCapture log;

    // F9 0B (DLCI 2) nearer to the bad octet than F9 C7 (DLCI 49).
    ParseNode({0xF9, 0x07, 0xEF, 0x0B, 0xF9, 0xC7, 0x33, 0xF9, 0x0B, 0x44, 0x55});
    const auto m = log.Matching("MUX: ");
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[2], "MUX: Cannot find F9.\r\n");
    EXPECT_EQ(target.ctlQueueWrite, 0);
}

TEST_F(ParserTest, BackwardSearchIsLimitedToTheFrameLength)
{
    TestChannel one(1, u"MUX2:"), target(49, u"MUX9:");
    one.MakeReadyForParser();
    target.MakeReadyForParser();
    LogCapture log;

    // L = 2: the bad closing octet and the FCS are all it looks at; the
    // flag of DLCI 49 (last data octet, followed by the FCS octet C7) is
    // one octet beyond its reach.
    ParseNode({0xF9, 0x07, 0xEF, 0x05, 0x11, 0xF9, 0xC7, 0x00});
    EXPECT_EQ(log.Matching("Cannot find F9.").size(), 1u);
    EXPECT_TRUE(log.Matching("Reset pCurPtr").empty());
}

TEST_F(ParserTest, BackwardSearchNeverLeavesTheNode)
{
    TestChannel one(1, u"MUX2:"), target(49, u"MUX9:");
    one.MakeReadyForParser();
    target.MakeReadyForParser();
    LogCapture log;

    // A 20-octet frame whose data holds F9 C7 in the first node; the bad
    // closing octet is the second node's third octet.
    Bytes first = {0xF9, 0x07, 0xEF, 0x29};
    Bytes data(20, 0x11);
    data[16] = 0xF9;
    data[17] = 0xC7;
    first.insert(first.end(), data.begin(), data.begin() + 19);
    ParseNode(first);
    ParseNode({data[19], 0x30, 0x00});  // last data octet, FCS, bad close
    EXPECT_EQ(log.Matching("Cannot find F9.").size(), 1u);
    EXPECT_TRUE(target.Unread().empty());

    // The flag is the second node's first octet: found, at offset 0.
    log.Clear();
    ResetDispatcherForTest();
    one.MakeReadyForParser();
    target.MakeReadyForParser();
    ParseNode({0xF9, 0x07, 0xEF, 0x0B, 0x11, 0x22, 0x33});
    ParseNode(ModemFrame(Address(49, true), 0xEF, {0x5A}));
    EXPECT_EQ(log.Matching("Reset pCurPtr").size(), 1u);
    EXPECT_EQ(log.Matching("Reset pCurPtr")[0], "MUX: Reset pCurPtr to 0x00000000\r\n");
    EXPECT_EQ(target.Unread(), (Bytes{0x5A}));
}

TEST_F(ParserTest, FrameDumpOfAMaximumFrame)
{
    TestChannel ch(1, u"MUX2:");
    ch.MakeReadyForParser();
    LogCapture log;

    Bytes frame = ModemFrame(Address(1, true), 0xEF, Bytes(127, 0xAB));
    frame.back() = 0x7E;
    ParseNode(frame);

    const auto dump = log.Matching("Frame Data");
    ASSERT_EQ(dump.size(), 1u);
    std::string hex;
    char pair[3];
    for (uint8_t b : frame) {
        snprintf(pair, sizeof pair, "%02X", b);
        hex += pair;
    }
    EXPECT_EQ(hex.size(), 2u * 133u);
    EXPECT_EQ(dump[0], "MUX: Frame Data = " + hex + "\r\n");
}

TEST_F(ParserTest, NodeCountBeyondTheNodeIsCut)
{
    LogCapture log;
    std::unique_ptr<FFUARTDATA> node(new FFUARTDATA());
    memset(node->data, 0, sizeof node->data);
    node->count = 5000;
    pReadNode = node.get();
    g_dispatcher.ParseRecBytes();
    pReadNode = NULL;
    EXPECT_EQ(log.Matching("0x0,").size(), static_cast<size_t>(MUX_NODE_DATA_SIZE));
}

// ---------------------------------------------------------------------------
// Delivery: room in the buffer, the 200 ms retry, bufferDrained.

TEST_F(ParserTest, ExactlyFullBufferAcceptsTheFrame)
{
    TestChannel ch(1, u"MUX2:", 10);
    ch.MakeReadyForParser();
    LogCapture log;

    const DWORD t0 = GetTickCount();
    ParseNode(ModemFrame(Address(1, true), 0xEF, Info(10, 5)));
    EXPECT_EQ(GetTickCount(), t0);
    EXPECT_EQ(ch.Unread(), Info(10, 5));
    EXPECT_EQ(ch.rxWrite, ch.rxEnd);
    EXPECT_TRUE(Woken(ch));
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(ParserTest, OneOctetShortDropsAfterOnePause)
{
    TestChannel ch(1, u"MUX2:", 10);
    ch.MakeReadyForParser();
    LogCapture log;

    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x01}));
    ASSERT_TRUE(Woken(ch));
    const DWORD t0 = GetTickCount();
    bufferDrained = 0;  // the reader has not emptied it since
    ParseNode(ModemFrame(Address(1, true), 0xEF, Info(10, 5)));  // 10 octets, 9 of room

    EXPECT_EQ(GetTickCount() - t0, 200u);
    EXPECT_EQ(ch.Unread(), (Bytes{0x01}));  // earlier data stays
    EXPECT_FALSE(Woken(ch));
    EXPECT_EQ(ch.ctlQueueWrite, 2);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{
                  "MUX: CDispatcher::ParseRecBytes() -> Channel buffer space is not enough.\r\n",
                  "MUX: CDispatcher::ParseRecBytes() -> Channel buffer is not enough for MUX2:, ignore this frame ; "
                  "Time=" + std::to_string(t0 + 200) + "\r\n"}));

    // Still usable afterwards.
    ch.Drain();
    ParseNode(ModemFrame(Address(1, true), 0xEF, Info(10, 5)));
    EXPECT_EQ(ch.Unread(), Info(10, 5));
}

TEST_F(ParserTest, ReaderDrainingDuringThePauseSavesTheFrame)
{
    for (bool drainedFlag : {false, true}) {
        ResetDispatcherForTest();
        TestChannel ch(1, u"MUX2:", 10);
        ch.MakeReadyForParser();
        LogCapture log;

        ParseNode(ModemFrame(Address(1, true), 0xEF, {0x01}));
        ASSERT_TRUE(Woken(ch));
        bufferDrained = drainedFlag ? 1 : 0;
        Bytes drained;
        HANDLE reader = RunAsync([&] {
            Sleep(120);
            drained = ch.Drain();
        });
        const DWORD t0 = GetTickCount();
        ParseNode(ModemFrame(Address(1, true), 0xEF, Info(10, 5)));
        EXPECT_EQ(GetTickCount() - t0, 200u);
        Join(reader);

        EXPECT_EQ(drained, (Bytes{0x01}));
        EXPECT_EQ(ch.Unread(), Info(10, 5));
        // With bufferDrained set when the frame arrived (unread data
        // waiting), this frame's wake is the one that is skipped.
        EXPECT_EQ(Woken(ch), !drainedFlag);
        EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                      "MUX: CDispatcher::ParseRecBytes() -> Channel buffer space is not enough.\r\n"}));
    }
}

TEST_F(ParserTest, ChannelDestroyedDuringThePauseWaitsForTheParser)
{
    // The parser pauses 200 ms on a full buffer with the frame in hand; the
    // channel's owner destroys it meanwhile. The destruction must wait for
    // the parser to let go, and the parser must then drop the frame without
    // touching the freed lock or buffer (the sanitizer build checks that).
    {
        std::optional<TestChannel> ch;
        ch.emplace(1, u"MUX2:", 10);
        ch->MakeReadyForParser();
        ParseNode(ModemFrame(Address(1, true), 0xEF, {0x01}));
        bufferDrained = 0;

        const DWORD t0 = GetTickCount();
        DWORD parsedAt = 0;
        HANDLE parser = RunAsync([&] {
            ParseNode(ModemFrame(Address(1, true), 0xEF, Info(10, 5)));
            parsedAt = GetTickCount();
        });
        Sleep(50);  // the parser is now in its pause
        ch.reset();
        const DWORD destroyedAt = GetTickCount();
        Join(parser);

        EXPECT_EQ(parsedAt - t0, 200u);
        EXPECT_GE(destroyedAt, parsedAt);
        EXPECT_EQ(g_dispatcher.channels[1], nullptr);
        EXPECT_EQ(g_dispatcher.channelInUse[1], 0);
    }
}

// Frames of one node share one hold and one wake. The frames before one
// that does not fit are announced before the pause, so that the reader can
// make room; a channel destroyed during the pause is let go at the node's
// next frame for it and not touched again (the sanitizer build checks it).
TEST_F(ParserTest, RunOfFramesInOneNodeAroundAPause)
{
    const Bytes node = Concat({ModemFrame(Address(1, true), 0xEF, Info(4, 1)),
                               ModemFrame(Address(1, true), 0xEF, Info(10, 5)),
                               ModemFrame(Address(1, true), 0xEF, Info(2, 9))});
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed during the pause" : "drained during the pause");
        LogCapture log;
        std::optional<TestChannel> ch;
        ch.emplace(1, u"MUX2:", 12);
        ch->MakeReadyForParser();
        bool wokenBeforeDrain = false;
        Bytes drained;
        HANDLE helper = RunAsync([&] {
            Sleep(50);  // the parser is in its pause on the second frame
            wokenBeforeDrain = Woken(*ch);
            if (destroy) {
                ch.reset();
            } else {
                drained = ch->Drain();
            }
        });
        ParseNode(node);
        Join(helper);

        EXPECT_TRUE(wokenBeforeDrain);
        EXPECT_EQ(g_dispatcher.channelInUse[1], 0);
        if (destroy) {
            EXPECT_EQ(g_dispatcher.channels[1], nullptr);
            // The full line, the third frame refused, its octets hunted over.
            ASSERT_EQ(log.Messages().size(), 7u);
            EXPECT_NE(log.Messages()[1].find("Invalid Address field (0x7)"), std::string::npos);
        } else {
            EXPECT_EQ(drained, Info(4, 1));
            EXPECT_EQ(ch->Unread(), Concat({Info(10, 5), Info(2, 9)}));
            EXPECT_EQ(log.Messages().size(), 1u);
        }
    }
}

TEST_F(ParserTest, BufferDrainedSkipsExactlyOneWake)
{
    TestChannel ch(1, u"MUX2:", 100);
    ch.MakeReadyForParser();
    ASSERT_EQ(bufferDrained, 1);

    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x41}));
    EXPECT_TRUE(Woken(ch));  // buffer was empty
    EXPECT_EQ(bufferDrained, 1);
    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x42}));
    EXPECT_FALSE(Woken(ch));  // unread data and the flag set: skipped, flag cleared
    EXPECT_EQ(bufferDrained, 0);
    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x43}));
    EXPECT_TRUE(Woken(ch));
    ParseNode(ModemFrame(Address(1, true), 0x73));
    EXPECT_TRUE(Woken(ch));  // no information: always woken
    EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42, 0x43}));

    ch.Drain();  // the read sets the flag again
    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x44}));
    EXPECT_TRUE(Woken(ch));
    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x45}));
    EXPECT_FALSE(Woken(ch));
}

// Five untaken octets fill the ring; a sixth frame's octet never overwrites
// one: it is lost with a log line, while the frame's data is still delivered
// (the control channel walks all buffered data on every wake). A UA or DM,
// which a sender may be waiting for, is not lost: it is held beside the ring
// and taken after the ring's octets. Once the thread has taken octets, the
// ring goes round as before.
TEST_F(ParserTest, FullControlQueueDropsTheFrameAndOverwritesNothing)
{
    TestChannel ch(1, u"MUX2:", 100);
    ch.MakeReadyForParser();
    LogCapture log;

    const uint8_t controls[] = {0x3F, 0x53, 0xEF, 0x73, 0x1F};
    for (uint8_t c : controls) ParseNode(ModemFrame(Address(1, true), c));
    EXPECT_EQ(ch.ctlQueueWrite, 0);
    EXPECT_TRUE(log.Messages().empty());

    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x41, 0x42}));
    ParseNode(ModemFrame(Address(1, true), 0x0F));
    EXPECT_EQ(Queue(ch), (Bytes{0x3F, 0x53, 0xEF, 0x73, 0x1F}));
    EXPECT_EQ(ch.Drain(), (Bytes{0x41, 0x42}));
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"MUX: CDispatcher::ParseRecBytes() -> Control queue of MUX2: is full, "
                                        "control octet 0xef lost ; Time=" + T() + "\r\n"}));
    EXPECT_EQ(g_dispatcher.parse.state, PS_FLAG);

    // Every octet is taken in order, the held DM last; then there is room again.
    EXPECT_EQ(ch.TakeQueued(), (Bytes{0x3F, 0x53, 0xEF, 0x73, 0x1F, 0x0F}));
    EXPECT_TRUE(ch.TakeQueued().empty());
    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x43}));
    EXPECT_EQ(ch.ctlQueueWrite, 1);
    EXPECT_EQ(ch.TakeQueued(), (Bytes{0xEF}));
    EXPECT_EQ(ch.Unread(), (Bytes{0x43}));
    EXPECT_EQ(log.Messages().size(), 1u);

    // An index out of range is taken modulo the ring.
    ch.ctlQueueWrite = 9;
    ParseNode(ModemFrame(Address(1, true), 0x63));
    EXPECT_EQ(ch.ctlQueue[4], 0x63);
    EXPECT_EQ(ch.ctlQueueWrite, 0);
}

// ---------------------------------------------------------------------------
// Arbitrary octets and truncated frames: always inside the buffers, always
// back to hunting.

TEST_F(ParserTest, RandomStreamsNeverLeaveTheBuffersAndReturnToHunting)
{
    TestChannel small(1, u"MUX2:", 50), big(49, u"MUX3:", 4096), other(41, u"MUX4:", 300), stopped(5, u"MUX5:");
    small.MakeReadyForParser();
    big.MakeReadyForParser();
    other.MakeReadyForParser();
    stopped.MakeReadyForParser();
    stopped.stopThread = 1;
    g_logSwitch = 0;

    std::mt19937 rng(12345);
    const uint8_t addresses[] = {Address(1, true), Address(49, true), Address(41, false), Address(5, true),
                                 Address(7, true), 0xF9};
    for (int round = 0; round < 400; ++round) {
        Bytes stream;
        const int pieces = 1 + rng() % 12;
        for (int p = 0; p < pieces; ++p) {
            switch (rng() % 5) {
            case 0: {  // random octets, F9-rich
                int n = rng() % 40;
                for (int i = 0; i < n; ++i) stream.push_back(rng() % 3 == 0 ? 0xF9 : rng() & 0xFF);
                break;
            }
            case 1:
            case 2: {  // a whole frame
                Bytes info(rng() % 128);
                for (auto& b : info) b = rng() % 4 == 0 ? 0xF9 : rng() & 0xFF;
                Bytes f = ModemFrame(addresses[rng() % 6], rng() & 0xFF, info);
                stream.insert(stream.end(), f.begin(), f.end());
                break;
            }
            case 3: {  // a truncated frame
                Bytes info(rng() % 128);
                for (auto& b : info) b = rng() & 0xFF;
                Bytes f = ModemFrame(addresses[rng() % 6], rng() & 0xFF, info);
                f.resize(rng() % f.size());
                stream.insert(stream.end(), f.begin(), f.end());
                break;
            }
            case 4: {  // a frame with a corrupted octet
                Bytes info(rng() % 128);
                for (auto& b : info) b = rng() & 0xFF;
                Bytes f = ModemFrame(addresses[rng() % 6], rng() & 0xFF, info);
                f[rng() % f.size()] = rng() & 0xFF;
                stream.insert(stream.end(), f.begin(), f.end());
                break;
            }
            }
        }
        // Cut into nodes of random sizes, the last ones possibly full.
        size_t pos = 0;
        while (pos < stream.size()) {
            size_t n = std::min<size_t>(stream.size() - pos, 1 + rng() % (rng() % 4 == 0 ? 1000 : 30));
            ParseNode(stream.data() + pos, n);
            pos += n;
        }
        for (TestChannel* ch : {&small, &big, &other, &stopped}) {
            ASSERT_LE(ch->rxBase, ch->rxRead);
            ASSERT_LE(ch->rxRead, ch->rxWrite);
            ASSERT_LE(ch->rxWrite, ch->rxEnd);
            ASSERT_GE(ch->ctlQueueWrite, 0);
            ASSERT_LT(ch->ctlQueueWrite, MUX_CTL_QUEUE_SIZE);
            if (rng() % 3 == 0) ch->Drain();
            ch->TakeQueued();  // as the channel's thread would
        }
        ASSERT_EQ(stopped.ctlQueueWrite, 0);
        // Octets that never form a frame end any frame in progress.
        ParseNode(Bytes(140, 0x00));
        ASSERT_EQ(g_dispatcher.parse.state, PS_FLAG) << "round " << round;
        ASSERT_GE(pFrameBufPos, frameBuffer);
        ASSERT_LE(pFrameBufPos, frameBuffer + MUX_FRAME_BUF_SIZE);
    }
    // After all that, a good frame is still delivered.
    big.Drain();
    ParseNode(ModemFrame(Address(49, true), 0xEF, {1, 2, 3}));
    EXPECT_EQ(big.Unread(), (Bytes{1, 2, 3}));
}

// Each kind of malformed input costs itself only: with its own log line
// first, the frame after it (with its own flags) arrives whole, and nothing
// of the malformed one reaches the channel.
TEST_F(ParserTest, EachMalformedFrameCostsOnlyItself)
{
    TestChannel ch(1, u"MUX2:"), stopped(3, u"MUX4:");
    ch.MakeReadyForParser();
    stopped.MakeReadyForParser();
    stopped.stopThread = 1;
    const std::string parser = "MUX: CDispatcher::ParseRecBytes() -> ";
    const struct {
        Bytes octets;
        std::string firstLine;
    } cases[] = {
        {{0x41, 0x00}, "0x41,"},
        {{0xF9, 0xF9, 0xF9, 0xF9}, parser + "Detect F9F9F9F9 frame ; Time = " + T() + "\r\n"},
        {{0xF9, 0x07, 0xEF, 0x02, 0x41, 0xF9}, parser + "SET_EA_MASK\r\n"},
        {{0xF9, 0x0B, 0xEF, 0x03, 0x58, 0x30, 0xF9},  // DLCI 2: no channel
         parser + "ERROR , Invalid Address field (0xb) ; Time=" + T() + "\r\n"},
        {{0xF9, 0x0F, 0xEF, 0x03, 0x58, 0x30, 0xF9},  // DLCI 3: being closed
         parser + "ERROR , Invalid Address field (0xf) ; Time=" + T() + "\r\n"},
        {{0xF9, 0x07, 0xEF, 0x03, 0x58, 0x30, 0x00},
         "MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = " + T() + "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firstLine);
        LogCapture log;
        ParseNode(Concat({c.octets, kAB}));
        EXPECT_EQ(ch.Unread(), (Bytes{0x41, 0x42}));
        const auto m = log.Messages();
        ASSERT_FALSE(m.empty());
        EXPECT_EQ(m[0], c.firstLine);
        EXPECT_EQ(stopped.ctlQueueWrite, 0);
        EXPECT_EQ(g_dispatcher.parse.state, PS_FLAG);
        ch.Drain();
        ch.ctlQueueWrite = ch.ctlQueueRead = ch.ctlQueued = 0;  // as the channel's thread would take them
    }
}
