// Flow control on the control channel, both ways: the modem's FCoff and
// FCon, its MSC FC for DLCI 0, and our own MSC FC towards the module when a
// user channel's receive buffer fills up and is read again.
#include "ctrl_channel_fixture.h"
#include "channel/rx_buffer.h"
#include "diag/log.h"

namespace {

constexpr uint8_t kFcSet = 0x0F;    // EA, FC, RTC, RTR
constexpr uint8_t kFcClear = 0x0D;  // EA, RTC, RTR

// The MSC commands for `dlci` among the control messages sent.
std::vector<Bytes> MscCommandsFor(const std::vector<Bytes>& sent, uint8_t dlci)
{
    std::vector<Bytes> out;
    for (const Bytes& m : sent)
        if (m.size() == 4 && m[0] == 0xE3 && m[2] == DlciOctet(dlci)) out.push_back(m);
    return out;
}

TEST_P(CtrlChannelTest, FcOffAndFcOnAreAnsweredAndHoldEveryUserDlci)
{
    TestChannel* ch1 = UserChannel(1);
    TestChannel* ch2 = UserChannel(2);

    FeedControl({0x63, 0x01});  // FCoff
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0x61, 0x01}));
    EXPECT_TRUE(log_->Matching(kUnsupported).empty());

    // Both user DLCIs wait; the control channel still answers at once.
    const uint64_t start = plat::NowMs();
    uint64_t at1 = 0, at2 = 0;
    const BYTE data[3] = {'a', 'b', 'c'};
    HANDLE w1 = RunAsync([&] {
        EXPECT_EQ(ch1->SendUIH(data, 3), 3);
        at1 = plat::NowMs();
    });
    HANDLE w2 = RunAsync([&] {
        EXPECT_EQ(ch2->SendUIH(data, 3), 3);
        at2 = plat::NowMs();
    });
    Sleep(1000);
    FeedControl({0xE3, 0x05, DlciOctet(5), 0x01});
    sent = SentControl();
    ASSERT_EQ(sent.size(), 1u) << "the control channel is not held by FCoff";
    EXPECT_EQ(Hex(sent[0]), Hex({0xE1, 0x05, DlciOctet(5), 0x0D}));
    Sleep(1000);
    EXPECT_EQ(at1, 0u) << "DLCI 1 sent during FCoff";
    EXPECT_EQ(at2, 0u) << "DLCI 2 sent during FCoff";

    FeedControl({0xA3, 0x01}, 0);  // FCon
    Join(w1);
    Join(w2);
    EXPECT_GE(at1 - start, 2000u);
    EXPECT_LT(at1 - start, 2100u);
    EXPECT_GE(at2 - start, 2000u);
    EXPECT_LT(at2 - start, 2100u);
    sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0xA1, 0x01}));
}

TEST_P(CtrlChannelTest, MscWithFlowControlForDlciZeroNeverHoldsItsOwnResponses)
{
    // FC set, then clear, for DLCI 0: each is answered at once. Were the
    // control channel's own messages held, the second response would wait
    // for a resume only that very command brings.
    FeedControl({0xE3, 0x05, DlciOctet(0), 0x03});
    std::vector<Bytes> sent = SentControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex({0xE1, 0x05, DlciOctet(0), 0x0D}));
    const uint64_t start = plat::NowMs();
    FeedControl({0xE3, 0x05, DlciOctet(0), 0x01});
    sent = SentControl();
    ASSERT_EQ(sent.size(), 1u) << "the second response waited for DLCI 0's flow control";
    EXPECT_LT(plat::NowMs() - start, 100u);
    // And the SABM on DLCI 0 is still answered.
    ParseNode(ModemFrame(Address(0, true), 0x3F));
    Sleep(20);
    const std::vector<Bytes> frames = wire_->Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back()[2], kUA);
}

TEST_P(CtrlChannelTest, FullReceiveBufferHoldsTheModuleUntilReadBelowTheLowMark)
{
    // A 256-octet buffer: held past 192 octets, released below 64.
    TestChannel* ch = UserChannel(3);
    const Bytes block(100, 'x');
    ParseNode(ModemFrame(Address(3, true), kUIH, block));
    Sleep(5);
    EXPECT_TRUE(MscCommandsFor(SentControl(), 3).empty()) << "held below the high-water mark";
    ParseNode(ModemFrame(Address(3, true), kUIH, block));
    Sleep(5);
    std::vector<Bytes> msc = MscCommandsFor(SentControl(), 3);
    ASSERT_EQ(msc.size(), 1u);
    EXPECT_EQ(Hex(msc[0]), Hex({0xE3, 0x05, DlciOctet(3), kFcSet}));
    // Its response is ours: nobody is told it came unawaited.
    FeedControl({0xE1, 0x05, DlciOctet(3), 0x0D});
    EXPECT_TRUE(log_->Matching(kNotAwaited).empty());

    // The modem-status query says the hold is still in force.
    DWORD status = 0;
    BOOL ok = FALSE;
    HANDLE q = RunAsync([&] { ok = g_dispatcher.QueryModemStatus(3, &status); });
    Sleep(10);
    msc = MscCommandsFor(SentControl(), 3);
    ASSERT_EQ(msc.size(), 1u);
    EXPECT_EQ(msc[0][3], kFcSet) << "a modem-status query lifted the hold";
    FeedControl({0xE1, 0x05, DlciOctet(3), 0x8D});
    Join(q);
    EXPECT_TRUE(ok);
    EXPECT_EQ(status, (DWORD)(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    // A read that leaves 150 unread is not enough; one that leaves 50 is.
    BYTE buf[200];
    EXPECT_EQ(RxBufferTake(ch, buf, 50), 50u);
    EXPECT_TRUE(MscCommandsFor(SentControl(), 3).empty());
    EXPECT_EQ(RxBufferTake(ch, buf, 100), 100u);
    msc = MscCommandsFor(SentControl(), 3);
    ASSERT_EQ(msc.size(), 1u);
    EXPECT_EQ(Hex(msc[0]), Hex({0xE3, 0x05, DlciOctet(3), kFcClear}));
    // The 50 left moved to the start: the whole buffer is room again.
    EXPECT_EQ(ch->Unread(), Bytes(50, 'x'));
    EXPECT_EQ(ch->rxRead, ch->rxBase);
    ParseNode(ModemFrame(Address(3, true), kUIH, Bytes(127, 'y')));
    Sleep(5);
    EXPECT_EQ(ch->GetRxCount(), 177u);
    EXPECT_TRUE(log_->Matching("Channel buffer space is not enough").empty());
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Seeds, CtrlChannelTest, ::testing::Values(1u, 2u, 3u));
