// The control channel on its own: the modem's side is played by feeding
// frames through the receive parser, and what the channel sends is read back
// from the port (a host file). The dispatcher runs only as far as the
// channels need it (WireFixture).
#include <gtest/gtest.h>

#include "channel/ctrl_channel.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"
#include "platform/host.h"
#include "log_capture.h"
#include "sim_world.h"
#include "test_channel.h"

#include <memory>
#include <string>
#include <vector>

// Channels have a non-virtual destructor by design and are always deleted
// through their concrete class.
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"

namespace {

const char kUnsupported[] = "MUX: CCtrlChannel::ParseUIH() -> Receive unsupported command (0x";
const char kNotAwaited[] =
    "MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive a response, but not waiting for it (0x";
const char kNotImplemented[] = "MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive not implemented response (0x";

const uint8_t kUIH = 0xEF;
const uint8_t kUA = 0x73;

uint8_t DlciOctet(uint8_t dlci) { return static_cast<uint8_t>(dlci * 4 + 3); }

std::string Hex(const Bytes& b)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : b) {
        if (!s.empty()) s += ' ';
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

class CtrlChannelTest : public ::testing::TestWithParam<uint64_t> {
protected:
    void SetUp() override
    {
        world_ = std::make_unique<SimWorld>(GetParam());
        log_ = std::make_unique<LogCapture>();
        wire_ = std::make_unique<WireFixture>();

        // The constructor connects DLCI 0: answer its SABM with UA.
        HANDLE t = RunAsync([this] { ctrl_ = new CCtrlChannel(0); });
        Sleep(5);
        ParseNode(ModemFrame(Address(0, false), kUA));
        Join(t);
        ASSERT_NE(ctrl_, nullptr);
        ASSERT_FALSE(ctrl_->IsNotReady());
        g_dispatcher.pCtrlChannel = ctrl_;
        framesBefore_ = wire_->Frames().size();
    }

    void TearDown() override
    {
        if (ctrl_ != nullptr) {
            // Not the multiplexer's end: the destructor's Deinit must not
            // run the dispatcher's Stop on the fixture.
            g_dispatcher.bRunning = FALSE;
            g_dispatcher.pCtrlChannel = NULL;
            delete ctrl_;
            ctrl_ = nullptr;
        }
        for (TestChannel* ch : users_) {
            delete ch;
        }
        users_.clear();
        wire_.reset();
        log_.reset();
        world_.reset();
    }

    // A UIH frame on DLCI 0 from the modem, then time for the channel thread.
    void FeedControl(const Bytes& info, DWORD settleMs = 20)
    {
        ParseNode(ModemFrame(Address(0, true), kUIH, info));
        Sleep(settleMs);
    }

    // Information fields of the UIH frames on DLCI 0 sent since SetUp (or the
    // last call of this).
    std::vector<Bytes> SentControl()
    {
        std::vector<Bytes> out;
        std::vector<Bytes> frames = wire_->Frames();
        for (size_t i = framesBefore_; i < frames.size(); i++) {
            const Bytes& f = frames[i];
            if (f.size() >= 6 && f[1] == DlciOctet(0) && f[2] == kUIH) {
                out.emplace_back(f.begin() + 4, f.end() - 2);
            }
        }
        framesBefore_ = frames.size();
        return out;
    }

    // A connected user channel on `dlci` (its SABM answered by UA).
    TestChannel* UserChannel(uint8_t dlci)
    {
        auto* ch = new TestChannel(dlci, u"MUX" + std::u16string(1, char16_t(u'0' + dlci)) + u":");
        users_.push_back(ch);
        BOOL ok = FALSE;
        HANDLE t = RunAsync([&] { ok = ch->Init(); });
        Sleep(5);
        ParseNode(ModemFrame(Address(dlci, false), kUA));
        Join(t);
        EXPECT_TRUE(ok);
        framesBefore_ = wire_->Frames().size();
        return ch;
    }

    std::unique_ptr<SimWorld> world_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<WireFixture> wire_;
    CCtrlChannel* ctrl_ = nullptr;
    std::vector<TestChannel*> users_;
    size_t framesBefore_ = 0;
};

// --- Commands from the modem ----------------------------------------------

TEST_P(CtrlChannelTest, MscWithFlowControlStopsTheDlciUntilCleared)
{
    TestChannel* ch2 = UserChannel(2);

    FeedControl({0xE3, 0x05, DlciOctet(2), 0x03});  // FC set
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0xE1, 0x05, DlciOctet(2), 0x0D}));
    EXPECT_EQ(ch2->flowStopped, 1);

    // A write on DLCI 2 now waits for the modem to lift the flow control.
    uint64_t start = plat::NowMs();
    uint64_t sentAt = 0;
    LONG result = 0;
    const BYTE data[2] = {'h', 'i'};
    HANDLE writer = RunAsync([&] {
        result = ch2->SendUIH(data, 2);
        sentAt = plat::NowMs();
    });
    Sleep(2000);
    EXPECT_EQ(sentAt, 0u) << "sent while the flow was stopped";
    FeedControl({0xE3, 0x05, DlciOctet(2), 0x01});  // FC clear
    Join(writer);
    EXPECT_EQ(result, 2);
    EXPECT_GE(sentAt - start, 2000u);
    EXPECT_LT(sentAt - start, 2100u);
    EXPECT_EQ(ch2->flowStopped, 0);
    sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);  // the UIH on DLCI 2 is not on DLCI 0
    EXPECT_EQ(Hex(sent[0]), Hex({0xE1, 0x05, DlciOctet(2), 0x0D}));
}

TEST_P(CtrlChannelTest, FlowNeverResumedCostsOneTenSecondWait)
{
    TestChannel* ch2 = UserChannel(2);
    FeedControl({0xE3, 0x05, DlciOctet(2), 0x03});
    ASSERT_EQ(ch2->flowStopped, 1);

    uint64_t start = plat::NowMs();
    const BYTE data[1] = {'x'};
    EXPECT_EQ(ch2->SendUIH(data, 1), 1);
    uint64_t waited = plat::NowMs() - start;
    EXPECT_GE(waited, 10000u);
    EXPECT_LT(waited, 10100u);
}

TEST_P(CtrlChannelTest, MscResponseAlwaysCarriesOwnSignals)
{
    // Whatever the command carried (DV, IC, RTR, RTC), the answer is 0x0D;
    // an MSC for a DLCI nobody holds is answered too.
    FeedControl({0xE3, 0x05, DlciOctet(5), 0xCD});
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0xE1, 0x05, DlciOctet(5), 0x0D}));
}

TEST_P(CtrlChannelTest, SeveralMessagesInOneFrameAreExaminedInOrder)
{
    TestChannel* ch2 = UserChannel(2);
    FeedControl({0xE3, 0x05, DlciOctet(2), 0x03,  // MSC, FC set
                 0x23, 0x05, 'A', 'B'});          // Test with two octets
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Hex(sent[0]), Hex({0xE1, 0x05, DlciOctet(2), 0x0D}));
    EXPECT_EQ(Hex(sent[1]), Hex({0x11, 0x03, 0x23}));
    EXPECT_EQ(ch2->flowStopped, 1);
    EXPECT_EQ(log_->Matching(std::string(kUnsupported) + "20) ; Time=").size(), 1u);
}

TEST_P(CtrlChannelTest, UnsupportedCommandsAreAnsweredWithNsc)
{
    // PN (0x83) with its eight value octets; then each other unsupported
    // type with the received type octet echoed (EA and C/R as received).
    FeedControl({0x83, 0x11, 0x02, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x03, 0x00});
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0x11, 0x03, 0x83}));
    EXPECT_EQ(log_->Matching(std::string(kUnsupported) + "80) ; Time=").size(), 1u);

    const uint8_t types[] = {0x13, 0x53, 0x63, 0x93, 0xA3, 0xD3, 0x43};
    for (uint8_t t : types) {
        FeedControl({t, 0x01});
        sent = SentControl();
        ASSERT_EQ(sent.size(), 1u) << std::hex << int(t);
        EXPECT_EQ(Hex(sent[0]), Hex({0x11, 0x03, t}));
        char expect[16];
        snprintf(expect, sizeof(expect), "%x) ; Time=", t & 0xFC);
        EXPECT_EQ(log_->Matching(std::string(kUnsupported) + expect).size(), 1u) << expect;
    }
    // Types outside every table are ignored.
    FeedControl({0x07, 0x01, 0xF3, 0x01});
    EXPECT_TRUE(SentControl().empty());
}

// --- Responses from the modem -----------------------------------------------

TEST_P(CtrlChannelTest, ResponseNobodyAwaitsIsLogged)
{
    FeedControl({0xE1, 0x05, DlciOctet(1), 0x8D});
    EXPECT_TRUE(SentControl().empty());
    EXPECT_EQ(log_->Matching(std::string(kNotAwaited) + "e0) ; Time=").size(), 1u);
}

TEST_P(CtrlChannelTest, SncExchange)
{
    // The command on the wire, then a matching response.
    BOOL ok = FALSE;
    HANDLE t = RunAsync([&] { ok = g_dispatcher.NegotiateService(3); });
    Sleep(5);
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0xD3, 0x07, DlciOctet(3), 0x03, 0x01}));
    // Only the DLCI bits of the DLCI octet count (here EA alone).
    FeedControl({0xD1, 0x07, 0x0D, 0x03, 0x01});
    Join(t);
    EXPECT_TRUE(ok);

    // A response naming another DLCI.
    t = RunAsync([&] { ok = ctrl_->SendSNC(3); });
    Sleep(5);
    FeedControl({0xD1, 0x07, DlciOctet(4), 0x03, 0x01});
    Join(t);
    EXPECT_FALSE(ok);

    // A response with another service octet.
    t = RunAsync([&] { ok = ctrl_->SendSNC(3); });
    Sleep(5);
    FeedControl({0xD1, 0x07, DlciOctet(3), 0x07, 0x01});
    Join(t);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log_->Matching(kNotAwaited).empty());
}

TEST_P(CtrlChannelTest, MscExchangeTranslatesTheSignals)
{
    struct Case {
        uint8_t v24;
        DWORD status;
    } cases[] = {{0x89, 0x90}, {0x8D, 0xB0}, {0x41, 0x40}, {0xCD, 0xF0}, {0x03, 0x00}};
    for (const Case& c : cases) {
        BOOL ok = FALSE;
        DWORD status = 0xFFFF;
        HANDLE t = RunAsync([&] { ok = g_dispatcher.QueryModemStatus(1, &status); });
        Sleep(5);
        std::vector<Bytes> sent = SentControl();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(Hex(sent[0]), Hex({0xE3, 0x05, DlciOctet(1), 0x0D}));
        FeedControl({0xE1, 0x05, DlciOctet(1), c.v24});
        Join(t);
        EXPECT_TRUE(ok);
        EXPECT_EQ(status, c.status) << std::hex << int(c.v24);
    }

    // The whole DLCI octet is compared: without C/R it is not our answer.
    BOOL ok = TRUE;
    DWORD status = 0xFFFF;
    HANDLE t = RunAsync([&] { ok = ctrl_->SendMSC(1, &status); });
    Sleep(5);
    FeedControl({0xE1, 0x05, 0x05, 0x89});
    Join(t);
    EXPECT_FALSE(ok);
    EXPECT_EQ(status, 0u);
}

TEST_P(CtrlChannelTest, NscAnsweringOurCommandTimesOut)
{
    BOOL ok = TRUE;
    DWORD status = 0xFFFF;
    uint64_t start = plat::NowMs();
    uint64_t end = 0;
    HANDLE t = RunAsync([&] {
        ok = ctrl_->SendMSC(1, &status);
        end = plat::NowMs();
    });
    Sleep(5);
    FeedControl({0x11, 0x03, 0xE3});
    Join(t);
    EXPECT_FALSE(ok);
    EXPECT_EQ(status, 0u);
    EXPECT_GE(end - start, 3000u);
    EXPECT_LT(end - start, 3100u);
    EXPECT_EQ(log_->Matching(std::string(kNotImplemented) + "10) ; Time=").size(), 1u);
}

TEST_P(CtrlChannelTest, ResponseAfterTimeOutIsNotAwaited)
{
    BOOL ok = TRUE;
    HANDLE t = RunAsync([&] { ok = ctrl_->SendSNC(1); });
    Join(t);  // nobody answers: 3000 ms
    EXPECT_FALSE(ok);
    size_t linesBefore = log_->Messages().size();
    FeedControl({0xD1, 0x07, DlciOctet(1), 0x03, 0x01});
    EXPECT_EQ(log_->Matching(std::string(kNotAwaited) + "d0) ; Time=").size(), 1u);
    // No message of its own from the failed command.
    EXPECT_EQ(log_->Messages().size(), linesBefore + 1);
}

// A hand-over that came just as a sender gave up leaves commandEvent set (the
// window is recreated by setting it, as the late hand-over does). It does
// not end the next command's wait: that one waits for its own response.
TEST_P(CtrlChannelTest, LateHandOverDoesNotSpoilTheNextCommand)
{
    SetEvent(ctrl_->commandEvent);
    BOOL ok = FALSE;
    DWORD status = 0;
    HANDLE t = RunAsync([&] { ok = ctrl_->SendMSC(1, &status); });
    Sleep(5);
    FeedControl({0xE1, 0x05, DlciOctet(1), 0x89});
    Join(t);
    EXPECT_TRUE(ok);
    EXPECT_EQ(status, 0x90u);
    EXPECT_TRUE(log_->Matching(kNotAwaited).empty());
}

TEST_P(CtrlChannelTest, SecondSenderWaitsForTheFirst)
{
    BOOL ok1 = FALSE, ok2 = FALSE;
    DWORD s1 = 0, s2 = 0;
    HANDLE t1 = RunAsync([&] { ok1 = ctrl_->SendMSC(1, &s1); });
    Sleep(5);
    HANDLE t2 = RunAsync([&] { ok2 = ctrl_->SendMSC(2, &s2); });
    Sleep(5);
    // Only the first command is on the wire.
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][2], DlciOctet(1));
    FeedControl({0xE1, 0x05, DlciOctet(1), 0x89});
    sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][2], DlciOctet(2));
    FeedControl({0xE1, 0x05, DlciOctet(2), 0x8D});
    Join(t1);
    Join(t2);
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(s1, 0x90u);
    EXPECT_EQ(s2, 0xB0u);
}

// --- The receive buffer -----------------------------------------------------

TEST_P(CtrlChannelTest, EmptyUihDoesNotReexamineOldMessages)
{
    FeedControl({0x83, 0x01});
    EXPECT_EQ(SentControl().size(), 1u);
    FeedControl({});
    EXPECT_TRUE(SentControl().empty());
    // And the buffer was rewound: the next message is read from its start.
    FeedControl({0x23, 0x01});
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0x11, 0x03, 0x23}));
    EXPECT_EQ(ctrl_->GetRxCount(), 0u);
}

TEST_P(CtrlChannelTest, LengthPastTheDataUsesWhatFollowsThenRewinds)
{
    TestChannel* ch2 = UserChannel(2);
    // MSC claiming 63 value octets with only two present: examined with the
    // octets that are there, then the buffer starts over.
    FeedControl({0xE3, 0x7F, DlciOctet(2), 0x03});
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0xE1, 0x05, DlciOctet(2), 0x0D}));
    EXPECT_EQ(ch2->flowStopped, 1);
    EXPECT_EQ(ctrl_->GetRxCount(), 0u);
    EXPECT_EQ(ctrl_->rxWrite, ctrl_->rxBase);

    FeedControl({0xE3, 0x05, DlciOctet(2), 0x01});
    sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(ch2->flowStopped, 0);
}

// Messages placed directly into the buffer, the way the receive parser
// appends several frames before the channel thread runs; the last message
// sits at the very end of the 254-octet buffer, its value octets beyond it.
// The sanitizer build catches a read past the heap block.
TEST_P(CtrlChannelTest, MessageRunningPastTheBufferIsReadOnlyInside)
{
    auto place = [&](const Bytes& content) {
        ASSERT_EQ(content.size(), size_t(MUX_CTRL_RX_SIZE));
        EnterCriticalSection(&ctrl_->rxLock);
        memcpy(ctrl_->rxBase, content.data(), content.size());
        ctrl_->rxRead = ctrl_->rxBase;
        ctrl_->rxWrite = ctrl_->rxBase + content.size();
        ctrl_->rxLast = ctrl_->rxWrite - 1;
        ctrl_->QueueControlOctet(kUIH);
        LeaveCriticalSection(&ctrl_->rxLock);
        ctrl_->WakeThread();
        Sleep(20);
    };

    // Two Test commands of 126 octets, then an MSC at offset 252 whose DLCI
    // and signal octets would be at 254 and 255: nothing to act on.
    Bytes content;
    for (int m = 0; m < 2; m++) {
        content.push_back(0x23);
        content.push_back(0xF9);  // 124 value octets
        content.insert(content.end(), 124, 0x55);
    }
    content.push_back(0xE3);
    content.push_back(0x05);
    place(content);
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Hex(sent[0]), Hex({0x11, 0x03, 0x23}));
    EXPECT_EQ(Hex(sent[1]), Hex({0x11, 0x03, 0x23}));
    EXPECT_EQ(ctrl_->GetRxCount(), 0u);

    // A type octet in the last octet, its length octet outside: still
    // answered by type; a Test command at 126 claiming 127 value octets
    // ends there.
    content.clear();
    content.push_back(0x23);
    content.push_back(0xF9);
    content.insert(content.end(), 124, 0x55);
    content.push_back(0x23);
    content.push_back(0xFB);  // 125 value octets: next message at 253
    content.insert(content.end(), 125, 0x66);
    content.push_back(0x83);
    place(content);
    sent = SentControl();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(Hex(sent[2]), Hex({0x11, 0x03, 0x83}));

    // Length octet 0xFF at offset 200: 127 value octets claimed, 52 inside.
    content.assign(MUX_CTRL_RX_SIZE, 0x00);
    content[0] = 0x23;
    content[1] = 0x8D;  // 70 value octets: next at 72
    content[72] = 0x23;
    content[73] = 0xF9;  // 124: next at 198
    content[198] = 0x23;
    content[199] = 0xFF;
    place(content);
    EXPECT_EQ(SentControl().size(), 3u);

    // After all this the channel still answers normally.
    FeedControl({0x83, 0x01});
    EXPECT_EQ(SentControl().size(), 1u);
}

// --- The end of the multiplexer -------------------------------------------

TEST_P(CtrlChannelTest, SabmOnDlciZeroIsAnsweredAndChangesNothing)
{
    ParseNode(ModemFrame(Address(0, true), 0x3F));
    Sleep(20);
    std::vector<Bytes> frames = wire_->Frames();
    ASSERT_GE(frames.size(), 1u);
    EXPECT_EQ(Hex(frames.back()), Hex({0xF9, 0x01, 0x73, 0x01, 0xB6, 0xF9}));
    EXPECT_FALSE(ctrl_->IsNotReady());
    EXPECT_EQ(ctrl_->connected, 1);
    EXPECT_EQ(ctrl_->stopThread, 0);
}

// --- What a modem can do to the control channel, over many seeds (issue 17) --

class CtrlChannelFaultTest : public CtrlChannelTest {};

// Two MSC responses in one frame while a command waits (a duplicate, or a
// late answer with the current one): the first is handed over, the second
// is logged as not awaited and dropped. The control thread never waits for
// the sender: it still answers afterwards, and the channel's teardown (which
// waits for that thread) returns.
TEST_P(CtrlChannelFaultTest, TwoResponsesInOneWalkNeverHangTheControlThread)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    BOOL ok = FALSE;
    DWORD status = 0;
    HANDLE t = RunAsync([&] { ok = ctrl_->SendMSC(1, &status); });
    Sleep(5);
    FeedControl({0xE1, 0x05, DlciOctet(1), 0x89, 0xE1, 0x05, DlciOctet(1), 0x8D});
    Join(t);
    EXPECT_TRUE(ok);
    EXPECT_EQ(status, 0x90u);
    EXPECT_EQ(log_->Matching(std::string(kNotAwaited) + "e0) ; Time=").size(), 1u);

    // Still at work: a Test command is answered, the next command succeeds.
    SentControl();
    FeedControl({0x23, 0x03, 0x41});
    EXPECT_EQ(SentControl(), (std::vector<Bytes>{{0x11, 0x03, 0x23}}));
    t = RunAsync([&] { ok = ctrl_->SendSNC(2); });
    Sleep(5);
    FeedControl({0xD1, 0x07, DlciOctet(2), 0x03, 0x01, 0xD1, 0x07, DlciOctet(2), 0x03, 0x01});
    Join(t);
    EXPECT_TRUE(ok);
    EXPECT_EQ(log_->Matching(std::string(kNotAwaited) + "d0) ; Time=").size(), 1u);
}

// A UA or DM on DLCI 0 that nobody asked for is logged and dropped; it does
// not end the wait of the next command, which gets its own response.
TEST_P(CtrlChannelFaultTest, StrayUaOrDmDoesNotSatisfyTheNextCommand)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    for (uint8_t stray : {uint8_t(0x73), uint8_t(0x1F)}) {
        SCOPED_TRACE(stray);
        ParseNode(ModemFrame(Address(0, false), stray));
        Sleep(5);
        BOOL ok = FALSE;
        DWORD status = 0;
        HANDLE t = RunAsync([&] { ok = ctrl_->SendMSC(1, &status); });
        Sleep(5);
        FeedControl({0xE1, 0x05, DlciOctet(1), 0x89});
        Join(t);
        EXPECT_TRUE(ok);
        EXPECT_EQ(status, 0x90u);
    }
    EXPECT_EQ(log_->Matching("MUX: CChannel::NoteResponse() for Ctrl -> ERROR, Receive a response, but not "
                             "waiting for it (0x")
                  .size(),
              2u);
    EXPECT_TRUE(log_->Matching(kNotAwaited).empty());
}

// The same on a user channel: a stray DM before a SABM (the reconnection of
// MUX_Open) does not answer it; the UA that follows does.
TEST_P(CtrlChannelFaultTest, StrayDmDoesNotAnswerTheNextSabm)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    TestChannel* ch = UserChannel(2);
    ParseNode(ModemFrame(Address(2, false), 0x1F));
    Sleep(5);
    BOOL ok = FALSE;
    HANDLE t = RunAsync([&] { ok = ch->SendSABM(); });
    Sleep(5);
    ParseNode(ModemFrame(Address(2, false), kUA));
    Join(t);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(log_->Matching("not UA resp").empty());
}

// Frames on DLCI 0 that arrive together (here an MSC command and a SABM in
// one read) are all handled on the wakes they bring: none is thrown away.
TEST_P(CtrlChannelFaultTest, EveryQueuedOctetIsTakenOnAWake)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    TestChannel* ch2 = UserChannel(2);
    Bytes node = ModemFrame(Address(0, true), kUIH, {0xE3, 0x05, DlciOctet(2), 0x0F});
    Bytes sabm = ModemFrame(Address(0, true), 0x3F);
    node.insert(node.end(), sabm.begin(), sabm.end());
    ParseNode(node);
    Sleep(20);
    EXPECT_EQ(ch2->flowStopped, 1);
    std::vector<Bytes> frames = wire_->Frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(Hex(frames[frames.size() - 2]), Hex(ModemFrame(Address(0, true), kUIH, {0xE1, 0x05, DlciOctet(2), 0x0D})));
    EXPECT_EQ(Hex(frames.back()), Hex({0xF9, 0x01, 0x73, 0x01, 0xB6, 0xF9})) << "the SABM was not answered";
}

// A command sender, a flow-control waiter and the modem's lifting of flow
// control, all racing with Deinit: every waiter is released and waited for
// before its event is closed (the platform aborts on any use of a closed
// handle), and none waits out its time-out.
TEST_P(CtrlChannelFaultTest, DeinitWaitsForEverySenderBeforeClosingItsEvents)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    TestChannel* ch2 = UserChannel(2);
    ch2->flowStopped = 1;
    BOOL ok = TRUE;
    LONG sent = 0;
    uint64_t start = plat::NowMs();
    uint64_t mscEnd = 0, uihEnd = 0;
    HANDLE msc = RunAsync([&] {
        ok = ctrl_->SendMSC(1, nullptr);
        mscEnd = plat::NowMs();
    });
    const BYTE data[3] = {'a', 'b', 'c'};
    HANDLE uih = RunAsync([&] {
        sent = ch2->SendUIH(data, 3);
        uihEnd = plat::NowMs();
    });
    // The modem lifts the flow control of DLCI 2 at about the same time.
    Bytes resume = ModemFrame(Address(0, true), kUIH, {0xE3, 0x05, DlciOctet(2), 0x0D});
    HANDLE modem = RunAsync([&] { ParseNode(resume); });
    Sleep(GetParam() % 3);
    // Not the multiplexer's end: no Stop from the channels' Release.
    g_dispatcher.bRunning = FALSE;
    ch2->MarkDisconnected();
    ctrl_->MarkDisconnected();
    ch2->Deinit();
    ctrl_->Deinit();
    Join(msc);
    Join(uih);
    Join(modem);
    EXPECT_FALSE(ok);
    EXPECT_LT(mscEnd - start, 3000u);
    EXPECT_LT(uihEnd - start, 10000u);
    (void)sent;
}

// A command sender that passed its check of the channel as Deinit begins:
// its wait must never meet a closed event (the platform aborts on that).
TEST_P(CtrlChannelFaultTest, CommandSenderRacingDeinitNeverUsesAClosedEvent)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    BOOL ok = TRUE;
    HANDLE msc = RunAsync([&] { ok = (GetParam() & 1) ? ctrl_->SendMSC(1, nullptr) : ctrl_->SendSNC(1); });
    Sleep(0);
    g_dispatcher.bRunning = FALSE;
    ctrl_->MarkDisconnected();
    ctrl_->Deinit();
    Join(msc);
    EXPECT_FALSE(ok);
}

INSTANTIATE_TEST_SUITE_P(ManySeeds, CtrlChannelFaultTest, ::testing::Range<uint64_t>(1, 101));

INSTANTIATE_TEST_SUITE_P(Seeds, CtrlChannelTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
