// The control channel on its own: the modem's side is played by feeding
// frames through the receive parser, and what the channel sends is read back
// from the port (a host file). The dispatcher runs only as far as the
// channels need it (WireFixture).
#include "ctrl_channel_fixture.h"
#include "diag/log.h"

namespace {

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

    // FCoff and FCon are answered with their own responses
    // (test_flow_control.cpp).
    const uint8_t types[] = {0x13, 0x53, 0x93, 0xD3, 0x43};
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

INSTANTIATE_TEST_SUITE_P(Seeds, CtrlChannelTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
