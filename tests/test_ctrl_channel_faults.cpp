// What a modem can do to the control channel from the wire, over many
// seeds: responses repeated or late, UA and DM nobody asked for, frames that
// arrive together, senders racing with the channel's teardown. The platform
// aborts on any use of a closed handle, so each such use fails the run.
#include "ctrl_channel_fixture.h"

namespace {

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

}  // namespace
