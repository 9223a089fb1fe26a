// The channel base: frames on the wire, SABM/UA/DISC exchanges, UIH sending
// under flow control, registration and the reference count.
#include "diag/log.h"
#include "framing/frame.h"
#include "platform/host.h"
#include "platform/hw/ioport_sim.h"
#include "log_capture.h"
#include "modem/lines.h"
#include "sim_world.h"
#include "golden_frames.h"
#include "test_channel.h"

#include <gtest/gtest.h>

#include <new>
#include <optional>

namespace {

std::string T()
{
    return std::to_string(GetTickCount());
}

const Bytes kSabm0 = golden::kSabmDlci0;
const Bytes kSabm1 = golden::kSabmDlci1;
const Bytes kDisc1 = golden::kDiscDlci1;
const Bytes kUa0 = golden::kUaDlci0;

Bytes UaFrom(uint8_t dlci, uint8_t control = 0x73)
{
    return ModemFrame(Address(dlci, false), control);
}

class ChannelTest : public ::testing::Test {
protected:
    SimWorld world{11};
    LogCapture log;
    WireFixture wire;

    // Runs call() on another thread; once it has put a frame on the wire,
    // answers with `answer` through the receive parser (or stays silent).
    BOOL Answered(const std::function<BOOL()>& call, const std::optional<Bytes>& answer)
    {
        const size_t before = wire.Written().size();
        BOOL result = FALSE;
        HANDLE worker = RunAsync([&] { result = call(); });
        for (int i = 0; i < 100 && wire.Written().size() == before; ++i) Sleep(1);
        if (answer) ParseNode(*answer);
        Join(worker);
        return result;
    }

    BOOL Connect(TestChannel& ch) { return Answered([&] { return ch.Init(); }, UaFrom(ch.Dlci())); }

    void TearDown() override
    {
        // Channels are gone by now; nothing may still be waiting.
        g_dispatcher.bRunning = FALSE;
    }
};

std::string Hex(const Bytes& b)
{
    std::string s;
    char pair[4];
    for (uint8_t o : b) {
        snprintf(pair, sizeof pair, "%02X ", o);
        s += pair;
    }
    return s;
}

}  // namespace

TEST_F(ChannelTest, FramesOnTheWire)
{
    TestChannel ctrl(0, u"Ctrl"), user(1, u"MUX2:");
    ASSERT_TRUE(Connect(ctrl));
    ASSERT_TRUE(Connect(user));
    ctrl.SendUA();
    const BYTE ab[] = {0x41, 0x42};
    EXPECT_EQ(user.SendUIH(ab, 2), 2);
    EXPECT_EQ(ctrl.SendUIH(ab, 2), 2);  // C/R set again after the UA
    const BYTE other[] = {0x00, 0xFF};
    EXPECT_EQ(user.SendUIH(other, 2), 2);
    EXPECT_TRUE(Answered([&] { return user.SendDISC(); }, UaFrom(1)));

    const std::vector<Bytes> expected = {
        kSabm0,
        kSabm1,
        kUa0,
        {0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x30, 0xF9},
        ModemFrame(0x03, 0xEF, {0x41, 0x42}),
        {0xF9, 0x07, 0xEF, 0x05, 0x00, 0xFF, 0x30, 0xF9},  // the FCS does not cover the data
        kDisc1,
    };
    const auto frames = wire.Frames();
    ASSERT_EQ(frames.size(), expected.size());
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(Hex(frames[i]), Hex(expected[i])) << "frame " << i;
    EXPECT_EQ(ctrl.frameHeader[1], 0x03);
    g_dispatcher.bRunning = FALSE;  // no multiplexer stop when the channels go
}

TEST_F(ChannelTest, CalcFcsCompletesTheTemplate)
{
    TestChannel ch(1, u"MUX2:");
    ch.frameHeader[2] = 0x53;
    ch.frameHeader[3] = 0x01;
    ch.frameHeader[4] = 0;
    ch.frameHeader[5] = 0;
    ch.CalcFCS(4, &ch.frameHeader[4]);
    EXPECT_EQ(Hex(Bytes(ch.frameHeader, ch.frameHeader + 6)), Hex(kDisc1));
    EXPECT_EQ(ch.txFrame.pHeader, ch.frameHeader);
    EXPECT_EQ(ch.txFrame.pTrailer, &ch.frameHeader[4]);
    EXPECT_EQ(ch.txFrame.trailerLength, 2);
}

TEST_F(ChannelTest, UihPiecesOfAtMost127Octets)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);

    const size_t sabmFrames = wire.Frames().size();
    EXPECT_EQ(ch.SendUIH(data.data(), 300), 300);
    auto frames = wire.Frames();
    ASSERT_EQ(frames.size(), sabmFrames + 3);
    const size_t sizes[] = {127, 127, 46};
    size_t offset = 0;
    for (int i = 0; i < 3; ++i) {
        Bytes piece(data.begin() + offset, data.begin() + offset + sizes[i]);
        EXPECT_EQ(Hex(frames[sabmFrames + i]), Hex(ModemFrame(0x07, 0xEF, piece)));
        offset += sizes[i];
    }
    EXPECT_EQ(frames[sabmFrames][3], 0xFF);
    EXPECT_EQ(frames[sabmFrames].size(), 133u);

    EXPECT_EQ(ch.SendUIH(data.data(), 128), 128);
    frames = wire.Frames();
    ASSERT_EQ(frames.size(), sabmFrames + 5);
    EXPECT_EQ(frames[sabmFrames + 3].size(), 133u);
    EXPECT_EQ(Hex(frames[sabmFrames + 4]), Hex(ModemFrame(0x07, 0xEF, {127})));
}

TEST_F(ChannelTest, EmptyUihIsSentAndFails)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    const size_t before = wire.Frames().size();
    log.Clear();
    const BYTE none[1] = {0};
    SetLastError(0);
    EXPECT_EQ(ch.SendUIH(none, 0), -1);
    EXPECT_EQ(GetLastError(), 21u);
    auto frames = wire.Frames();
    ASSERT_EQ(frames.size(), before + 1);
    EXPECT_EQ(Hex(frames.back()), Hex(ModemFrame(0x07, 0xEF)));
    EXPECT_EQ(log.Matching("CChannel::"),
              (std::vector<std::string>{"MUX: CChannel::SendUIH() for MUX2: -> ERROR, time-out ; Time=" + T() +
                                        "\r\n"}));
}

TEST_F(ChannelTest, UihOnADisconnectedChannel)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    ch.MarkDisconnected();  // as the modem's DISC does
    const size_t before = wire.Written().size();
    log.Clear();
    SetLastError(0);
    const BYTE ab[] = {0x41, 0x42};
    EXPECT_EQ(ch.SendUIH(ab, 2), -1);
    EXPECT_EQ(GetLastError(), 21u);
    EXPECT_EQ(wire.Written().size(), before);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"MUX: CChannel::SendUIH() for MUX2: -> ERROR, cannel is disconnected ; Time=" +
                                        T() + "\r\n"}));
}

TEST_F(ChannelTest, SabmAnswers)
{
    struct Case {
        std::optional<uint8_t> answer;
        bool ok;
        const char* line;
    };
    const Case cases[] = {
        {0x73, true, nullptr},
        {0x63, false, "not UA resp"},  // UA without F
        {0x1F, false, "not UA resp"},  // DM with F
        {0x0F, false, "not UA resp"},  // DM without F
    };
    for (const Case& c : cases) {
        log.Clear();
        TestChannel ch(1, u"MUX2:");
        ASSERT_TRUE(Connect(ch)) << "Init";
        const BOOL ok = Answered([&] { return ch.SendSABM(); }, UaFrom(1, *c.answer));
        EXPECT_EQ(ok != FALSE, c.ok) << int(*c.answer);
        EXPECT_EQ(ch.lastResponse, *c.answer);
        if (c.line) {
            EXPECT_EQ(log.Matching("SendSABM"),
                      (std::vector<std::string>{std::string("MUX: CChannel::SendSABM() for MUX2: -> ERROR, ") + c.line +
                                                " ; Time=" + T() + "\r\n"}));
        } else {
            EXPECT_TRUE(log.Matching("SendSABM").empty());
        }
    }
}

TEST_F(ChannelTest, InitAnsweredByDmFailsAndStops)
{
    TestChannel ch(1, u"MUX2:");
    EXPECT_FALSE(Answered([&] { return ch.Init(); }, UaFrom(1, 0x1F)));
    EXPECT_EQ(ch.initialized, 0);
    EXPECT_EQ(ch.connected, 0);
    EXPECT_EQ(ch.thread, nullptr);
    EXPECT_TRUE(ch.threadEnded);
    EXPECT_EQ(ch.cleanups, 1);
    EXPECT_EQ(g_dispatcher.refCount, 0);
    EXPECT_EQ(wire.Frames().size(), 1u);  // the SABM, no DISC
}

TEST_F(ChannelTest, UnansweredSabmTimesOutAfter3000ms)
{
    TestChannel ch(1, u"MUX2:");
    DWORD t0 = 0, t1 = 0;
    BOOL ok = TRUE;
    HANDLE worker = RunAsync([&] {
        t0 = GetTickCount();
        ok = ch.Init();
        t1 = GetTickCount();
    });
    Join(worker);
    EXPECT_FALSE(ok);
    EXPECT_EQ(t1 - t0, 3000u);
    EXPECT_EQ(log.Matching("CChannel::"),
              (std::vector<std::string>{"MUX: CChannel::SendSABM() for MUX2: -> ERROR, time out ; Time=" +
                                        std::to_string(t1) + "\r\n"}));
    // Init ran Deinit, which sent no DISC: the channel never connected.
    const auto frames = wire.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Hex(frames[0]), Hex(kSabm1));
    EXPECT_EQ(ch.initialized, 0);
    EXPECT_EQ(ch.stopThread, 1);
    EXPECT_TRUE(ch.threadEnded);
    EXPECT_EQ(ch.wakeEvent, nullptr);
    EXPECT_EQ(ch.responseEvent, nullptr);
    EXPECT_EQ(ch.flowEvent, nullptr);
    EXPECT_EQ(ch.cleanups, 1);
    EXPECT_EQ(g_dispatcher.refCount, 0);
    // It stays registered until destroyed; the parser treats it as absent.
    EXPECT_EQ(g_dispatcher.channels[1], &ch);
}

TEST_F(ChannelTest, InitOfAnInitialisedChannelSendsNothing)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    const size_t before = wire.Written().size();
    log.Clear();
    EXPECT_TRUE(ch.Init());
    EXPECT_EQ(wire.Written().size(), before);
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(g_dispatcher.refCount, 1);
}

TEST_F(ChannelTest, InitOnATakenDlci)
{
    TestChannel live(1, u"MUX2:");
    ASSERT_TRUE(Connect(live));
    const size_t before = wire.Written().size();
    log.Clear();
    {
        TestChannel second(1, u"MUX9:");
        EXPECT_FALSE(second.Init());
        EXPECT_EQ(log.Messages(),
                  (std::vector<std::string>{"MUX: Channel::Init() for MUX9: -> ERROR, dlci already exist ; Time=" +
                                            T() + "\r\n"}));
        EXPECT_EQ(second.thread, nullptr);
        EXPECT_EQ(second.wakeEvent, nullptr);
        EXPECT_EQ(wire.Written().size(), before);
    }
    // The failed channel's destruction left the live one reachable.
    EXPECT_EQ(g_dispatcher.channels[1], &live);
    EXPECT_TRUE(g_dispatcher.IsDlciTaken(&live) == FALSE);
    ParseNode(ModemFrame(Address(1, true), 0xEF, {0x41}));
    EXPECT_EQ(live.Unread(), (Bytes{0x41}));
}

TEST_F(ChannelTest, TableOperations)
{
    TestChannel a(7, u"MUX2:"), b(7, u"MUX3:");
    EXPECT_TRUE(g_dispatcher.RegisterChannel(&a));
    EXPECT_TRUE(g_dispatcher.RegisterChannel(&a));  // already holds it
    EXPECT_FALSE(g_dispatcher.RegisterChannel(&b));
    EXPECT_TRUE(g_dispatcher.IsDlciTaken(&b));
    EXPECT_FALSE(g_dispatcher.IsDlciTaken(&a));
    EXPECT_FALSE(g_dispatcher.UnregisterChannel(&b));  // held by a: left alone
    EXPECT_EQ(g_dispatcher.channels[7], &a);
    EXPECT_TRUE(g_dispatcher.UnregisterChannel(&a));
    EXPECT_EQ(g_dispatcher.channels[7], nullptr);
    EXPECT_FALSE(g_dispatcher.UnregisterChannel(&a));
    EXPECT_FALSE(g_dispatcher.IsDlciTaken(&b));

    // Flow control on a DLCI without a channel does nothing.
    g_dispatcher.StopFlow(9);
    g_dispatcher.ResumeFlow(9);
    EXPECT_TRUE(g_dispatcher.RegisterChannel(&a));
    g_dispatcher.StopFlow(7);
    EXPECT_EQ(a.flowStopped, 1);
    g_dispatcher.ResumeFlow(7);
    EXPECT_EQ(a.flowStopped, 0);
    // No control channel: nothing to forward to.
    EXPECT_FALSE(g_dispatcher.NegotiateService(7));
    DWORD status = 0;
    EXPECT_FALSE(g_dispatcher.QueryModemStatus(7, &status));
}

TEST_F(ChannelTest, ThreadCreationFailureReleasesWhatInitCreated)
{
    TestChannel ch(1, u"MUX2:", 64, nullptr);  // no thread procedure: the thread cannot start
    EXPECT_FALSE(ch.Init());
    EXPECT_EQ(ch.initialized, 0);
    EXPECT_EQ(ch.stopThread, 1);
    EXPECT_EQ(ch.wakeEvent, nullptr);
    EXPECT_EQ(ch.responseEvent, nullptr);
    EXPECT_EQ(ch.flowEvent, nullptr);
    EXPECT_EQ(ch.thread, nullptr);
    EXPECT_EQ(ch.cleanups, 0);  // Deinit never ran
    EXPECT_EQ(g_dispatcher.channels[1], nullptr);
    EXPECT_TRUE(wire.Written().empty());
    // Init may be tried again (and fails the same way, cleanly).
    EXPECT_FALSE(ch.Init());
    EXPECT_EQ(ch.wakeEvent, nullptr);
}

TEST_F(ChannelTest, FlowStoppedAndNeverResumed)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    const size_t before = wire.Frames().size();
    Bytes data(200, 0x55);

    g_dispatcher.StopFlow(1);
    DWORD t0 = GetTickCount();
    EXPECT_EQ(ch.SendUIH(data.data(), 200), 200);
    EXPECT_EQ(GetTickCount() - t0, 10000u);  // one wait: the flag is cleared by it
    EXPECT_EQ(ch.flowStopped, 0);
    EXPECT_EQ(wire.Frames().size(), before + 2);

    g_dispatcher.StopFlow(1);
    t0 = GetTickCount();
    EXPECT_EQ(ch.SendUIH(data.data(), 10), 10);
    EXPECT_EQ(GetTickCount() - t0, 10000u);
}

TEST_F(ChannelTest, FlowResumedDuringTheWait)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    g_dispatcher.StopFlow(1);
    HANDLE modem = RunAsync([] {
        Sleep(2500);
        g_dispatcher.ResumeFlow(1);
    });
    const DWORD t0 = GetTickCount();
    const BYTE ab[] = {0x41, 0x42};
    EXPECT_EQ(ch.SendUIH(ab, 2), 2);
    EXPECT_EQ(GetTickCount() - t0, 2500u);
    Join(modem);
    EXPECT_EQ(ch.flowStopped, 0);
}

TEST_F(ChannelTest, Mux3IsPacedAndEachPieceIsCheckedAgain)
{
    TestChannel ch(1, u"MUX3:");
    ASSERT_TRUE(Connect(ch));
    Bytes data(300, 0x33);

    DWORD t0 = GetTickCount();
    EXPECT_EQ(ch.SendUIH(data.data(), 300), 300);
    EXPECT_EQ(GetTickCount() - t0, 330u);

    // Flow stopped during the pause after the first piece: the second
    // piece waits for it.
    HANDLE modem = RunAsync([] {
        Sleep(50);
        g_dispatcher.StopFlow(1);
    });
    t0 = GetTickCount();
    EXPECT_EQ(ch.SendUIH(data.data(), 300), 300);
    EXPECT_EQ(GetTickCount() - t0, 110u + 10000u + 110u + 110u);
    Join(modem);

    // Disconnected during the pause: the second piece is refused.
    const size_t before = wire.Frames().size();
    modem = RunAsync([&] {
        Sleep(50);
        ch.MarkDisconnected();
    });
    EXPECT_EQ(ch.SendUIH(data.data(), 300), -1);
    Join(modem);
    EXPECT_EQ(wire.Frames().size(), before + 1);
    EXPECT_EQ(log.Matching("cannel is disconnected").size(), 1u);
}

TEST_F(ChannelTest, DiscWithRfOkLowSendsNothing)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    const size_t before = wire.Written().size();
    plat::ioport::SetInput(IOPORT_F_DATA, PIN_F5_RF_OK, false);
    const DWORD t0 = GetTickCount();
    EXPECT_TRUE(ch.SendDISC());
    EXPECT_EQ(GetTickCount(), t0);
    EXPECT_EQ(wire.Written().size(), before);

    // Deinit with the line low: no DISC either, and no wait.
    ch.Deinit();
    EXPECT_EQ(GetTickCount(), t0);
    EXPECT_EQ(wire.Written().size(), before);
    EXPECT_EQ(g_dispatcher.refCount, 0);
}

TEST_F(ChannelTest, DiscAnswers)
{
    TestChannel ch(1, u"MUX2:");
    ASSERT_TRUE(Connect(ch));
    log.Clear();
    EXPECT_FALSE(Answered([&] { return ch.SendDISC(); }, UaFrom(1, 0x0F)));
    EXPECT_EQ(log.Matching("CChannel::"), (std::vector<std::string>{"MUX: CChannel::SendDISC() for MUX2: -> ERROR, not UA resp ; Time=" +
                                                        T() + "\r\n"}));
    log.Clear();
    EXPECT_FALSE(Answered([&] { return ch.SendDISC(); }, std::nullopt));
    EXPECT_EQ(log.Matching("CChannel::"), (std::vector<std::string>{"MUX: CChannel::SendDISC() for MUX2: -> ERROR, time out ; Time=" +
                                                        T() + "\r\n"}));
}

TEST_F(ChannelTest, DestructionReleasesAWaitingSender)
{
    alignas(TestChannel) unsigned char storage[sizeof(TestChannel)];
    TestChannel* ch = new (storage) TestChannel(1, u"MUX2:");
    ASSERT_TRUE(Connect(*ch));
    ch->MarkDisconnected();  // so that the destruction sends no DISC of its own
    log.Clear();

    BOOL ok = TRUE;
    DWORD released = 0;
    HANDLE sender = RunAsync([&] {
        ok = ch->SendSABM();
        released = GetTickCount();
    });
    Sleep(100);
    const DWORD t0 = GetTickCount();
    ch->~TestChannel();
    // The owner may reuse the memory at once: the released sender must be
    // done with the channel by the time the destructor returns.
    memset(storage, 0xA5, sizeof storage);
    Join(sender);
    EXPECT_FALSE(ok);
    EXPECT_EQ(released, t0);  // not after the 3000 ms
    EXPECT_EQ(log.Matching("SendSABM"),
              (std::vector<std::string>{"MUX: CChannel::SendSABM() for MUX2: -> ERROR, time out ; Time=" +
                                        std::to_string(t0) + "\r\n"}));
    EXPECT_EQ(g_dispatcher.channels[1], nullptr);
}

TEST_F(ChannelTest, DeinitOnTheChannelsOwnThread)
{
    TestChannel ch(1, u"MUX2:");
    ch.deinitOnDisc = true;
    ASSERT_TRUE(Connect(ch));
    const size_t before = wire.Frames().size();
    ParseNode(ModemFrame(Address(1, true), 0x53));  // the modem's DISC
    for (int i = 0; i < 10 && !ch.threadEnded; ++i) Sleep(1);
    EXPECT_TRUE(ch.threadEnded);
    EXPECT_EQ(ch.initialized, 0);
    EXPECT_EQ(ch.thread, nullptr);
    EXPECT_EQ(ch.cleanups, 1);
    EXPECT_EQ(g_dispatcher.refCount, 0);
    const auto frames = wire.Frames();
    ASSERT_EQ(frames.size(), before + 1);
    EXPECT_EQ(Hex(frames.back()), Hex(ModemFrame(0x05, 0x73)));  // UA, C/R clear
}

TEST_F(ChannelTest, RefCountFollowsTheConnectedChannels)
{
    TestChannel ctrl(0, u"Ctrl"), a(1, u"MUX2:"), b(2, u"MUX3:");
    ASSERT_TRUE(Connect(ctrl));
    ASSERT_TRUE(Connect(a));
    ASSERT_TRUE(Connect(b));
    EXPECT_EQ(g_dispatcher.refCount, 3);

    // The modem's DISC on a, then a reconnection by SABM (as the stream
    // open does): one count less, then one more.
    EXPECT_TRUE(a.MarkDisconnected());
    EXPECT_FALSE(a.MarkDisconnected());
    EXPECT_EQ(g_dispatcher.refCount, 2);
    ASSERT_TRUE(Answered([&] { return a.SendSABM(); }, UaFrom(1)));
    EXPECT_TRUE(a.MarkConnected());
    EXPECT_FALSE(a.MarkConnected());
    EXPECT_EQ(g_dispatcher.refCount, 3);

    // A channel the modem disconnected is deinitialised without a DISC and
    // without giving back a count it does not hold.
    const size_t before = wire.Frames().size();
    b.MarkDisconnected();
    EXPECT_EQ(g_dispatcher.refCount, 2);
    b.Deinit();
    EXPECT_EQ(g_dispatcher.refCount, 2);
    EXPECT_EQ(wire.Frames().size(), before);

    // Stop (every channel deinitialised with the multiplexer no longer
    // running) and start again: the count is the connected channels again.
    g_dispatcher.bRunning = FALSE;
    for (TestChannel* ch : {&b, &a, &ctrl}) {
        if (!ch->initialized) continue;
        if (ch->connected) {
            EXPECT_TRUE(Answered([&] { ch->Deinit(); return TRUE; }, UaFrom(ch->Dlci())));
        } else {
            ch->Deinit();
        }
    }
    EXPECT_EQ(g_dispatcher.refCount, 0);
    g_dispatcher.bRunning = TRUE;
    ASSERT_TRUE(Connect(ctrl));
    ASSERT_TRUE(Connect(a));
    ASSERT_TRUE(Connect(b));
    EXPECT_EQ(g_dispatcher.refCount, 3);
    g_dispatcher.bRunning = FALSE;
}
