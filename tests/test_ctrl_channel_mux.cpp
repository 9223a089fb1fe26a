// The control channel in the running multiplexer, against the simulated
// module: commands over the real line, and the end of the multiplexer when
// the modem closes it down (CLD) or disconnects DLCI 0 (DISC), over several
// seeds. A deadlock aborts the run (the simulation reports it); a use of
// freed memory is caught by the sanitizer build.
#include <gtest/gtest.h>

#include "channel/ctrl_channel.h"
#include "dispatcher/dispatcher.h"
#include "host/muxhost/muxhost.h"
#include "sim/frame_record.h"
#include "platform/host.h"
#include "log_capture.h"
#include "sim/module.h"
#include "sim_world.h"
#include "test_channel.h"

#include <memory>
#include <string>
#include <vector>

// Channels have a non-virtual destructor by design and are always deleted
// through their concrete class.
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"

namespace {


struct SeenFrame {
    uint64_t atMs;
    sim::DecodedFrame frame;
};

class CtrlMuxTest : public ::testing::TestWithParam<uint64_t> {
protected:
    void SetUp() override
    {
        world_ = std::make_unique<SimWorld>(GetParam());
        plat::SetDebugSink([](const std::u16string&) {});
        log_ = std::make_unique<LogCapture>();
        module_ = std::make_unique<sim::SimModule>(settings_);
        ASSERT_TRUE(g_dispatcher.Init()) << Dump();
        ASSERT_NE(g_dispatcher.pCtrlChannel, nullptr);
    }

    void TearDown() override
    {
        for (TestChannel* ch : users_) {
            if (ch->initialized) ch->Deinit();
        }
        muxhost::UnloadMuxDriver();
        for (TestChannel* ch : users_) delete ch;
        users_.clear();
        module_.reset();
        log_.reset();
        world_.reset();
        plat::SetDebugSink(nullptr);
    }

    std::string Dump() const
    {
        std::string out;
        for (const auto& m : log_->Messages()) out += m;
        return out;
    }

    sim::ModuleSerial& Modem() { return module_->Serial(); }

    // Frames one side put on the line, decoded.
    std::vector<SeenFrame> Frames(sim::Direction dir)
    {
        std::vector<SeenFrame> out;
        for (const sim::RecordEntry& e : Modem().Record()) {
            if (e.direction != dir || e.kind != sim::RecordKind::Frame) continue;
            SeenFrame f{e.timeMs, {}};
            if (sim::DecodeFrame(e.octets, &f.frame)) out.push_back(f);
        }
        return out;
    }

    // Information fields of the host's UIH frames on DLCI 0, in order.
    std::vector<std::string> HostControl()
    {
        std::vector<std::string> out;
        for (const SeenFrame& f : Frames(sim::Direction::HostToModule)) {
            if (f.frame.dlci == 0 && (f.frame.control | 0x10) == 0xFF) {
                out.push_back(sim::Hex(f.frame.info));
            }
        }
        return out;
    }

    size_t HostFramesOf(uint8_t dlci, uint8_t controlWithPF)
    {
        size_t n = 0;
        for (const SeenFrame& f : Frames(sim::Direction::HostToModule)) {
            if (f.frame.dlci == dlci && (f.frame.control | 0x10) == controlWithPF) n++;
        }
        return n;
    }

    TestChannel* UserChannel(uint8_t dlci)
    {
        auto* ch = new TestChannel(dlci, u"MUX" + std::u16string(1, char16_t(u'0' + dlci)) + u":");
        users_.push_back(ch);
        EXPECT_TRUE(ch->Init()) << Dump();
        return ch;
    }

    // The multiplexer is over: stopped, the control channel gone.
    void ExpectEnded()
    {
        EXPECT_FALSE(g_dispatcher.bRunning);
        EXPECT_TRUE(g_dispatcher.bStopThreads);
        EXPECT_EQ(g_dispatcher.pCtrlChannel, nullptr);
        EXPECT_EQ(g_dispatcher.channels[0], nullptr);
        for (TestChannel* ch : users_) {
            EXPECT_EQ(ch->initialized, 0);
            EXPECT_EQ(ch->connected, 0);
        }
    }

    sim::ModuleSettings settings_;
    std::unique_ptr<SimWorld> world_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<sim::SimModule> module_;
    std::vector<TestChannel*> users_;
};

TEST_P(CtrlMuxTest, CommandsOverTheLine)
{
    Modem().ChangeSettings([](sim::SerialSettings& s) { s.v24ForDlci[1] = 0x89; });  // DV, RTR
    DWORD status = 0;
    EXPECT_TRUE(g_dispatcher.QueryModemStatus(1, &status)) << Dump();
    EXPECT_EQ(status, 0x90u);
    EXPECT_TRUE(g_dispatcher.NegotiateService(2)) << Dump();

    std::vector<std::string> sent = HostControl();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], "E3 05 07 0D");
    EXPECT_EQ(sent[1], "D3 07 0B 03 01");
    EXPECT_TRUE(log_->Matching("CCtrlChannel").empty()) << Dump();
}

TEST_P(CtrlMuxTest, ModemFlowControlOnAUserDlci)
{
    TestChannel* ch2 = UserChannel(2);
    Modem().SendMsc(2, true);
    Sleep(50);
    EXPECT_EQ(ch2->flowStopped, 1);
    std::vector<std::string> sent = HostControl();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "E1 05 0B 0D");

    uint64_t start = plat::NowMs();
    uint64_t doneAt = 0;
    const BYTE data[3] = {'a', 'b', 'c'};
    HANDLE writer = RunAsync([&] {
        EXPECT_EQ(ch2->SendUIH(data, 3), 3);
        doneAt = plat::NowMs();
    });
    Sleep(1000);
    EXPECT_TRUE(Modem().DataFromHost(2).empty());
    Modem().SendMsc(2, false);
    Join(writer);
    EXPECT_GE(doneAt - start, 1000u);
    EXPECT_LT(doneAt - start, 1100u);
    EXPECT_EQ(Modem().DataFromHost(2), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST_P(CtrlMuxTest, CldIsAnsweredTheRestOfTheFrameExaminedThenTheMultiplexerEnds)
{
    UserChannel(2);
    UserChannel(5);
    // CLD, then a Test command in the same frame.
    Modem().SendUih(0, {0xC3, 0x01, 0x23, 0x03, 0x41});
    Sleep(15000);

    std::vector<std::string> sent = HostControl();
    ASSERT_EQ(sent.size(), 2u) << Dump();
    EXPECT_EQ(sent[0], "C1 01");
    EXPECT_EQ(sent[1], "11 03 23");
    ExpectEnded();
    // The user channels were released with DISC; DLCI 0 was not (the modem
    // closed it).
    EXPECT_EQ(HostFramesOf(2, 0x53), 1u);
    EXPECT_EQ(HostFramesOf(5, 0x53), 1u);
    EXPECT_EQ(HostFramesOf(0, 0x53), 0u);
}

TEST_P(CtrlMuxTest, DiscOnDlciZeroIsAnsweredThenTheMultiplexerEnds)
{
    UserChannel(3);
    Modem().SendDisc(0);
    Sleep(10000);

    std::vector<SeenFrame> host = Frames(sim::Direction::HostToModule);
    bool ua = false;
    for (const SeenFrame& f : host) {
        if (f.frame.dlci == 0 && f.frame.control == 0x73 && !f.frame.cr) ua = true;
    }
    EXPECT_TRUE(ua) << "no UA (C/R = 0) on DLCI 0";
    ExpectEnded();
    EXPECT_EQ(HostFramesOf(3, 0x53), 1u);
    EXPECT_EQ(HostFramesOf(0, 0x53), 0u);
}

TEST_P(CtrlMuxTest, SenderWaitingWhenTheModemClosesDownIsReleased)
{
    Modem().ChangeSettings([](sim::SerialSettings& s) { s.answerMsc = false; });
    BOOL ok = TRUE;
    DWORD status = 0xFFFF;
    uint64_t start = plat::NowMs();
    uint64_t end = 0;
    HANDLE t = RunAsync([&] {
        ok = g_dispatcher.QueryModemStatus(1, &status);
        end = plat::NowMs();
    });
    Sleep(100);
    Modem().SendCld();
    Join(t);
    EXPECT_FALSE(ok);
    EXPECT_EQ(status, 0u);
    EXPECT_LT(end - start, 3000u) << "the sender waited for its time-out";
    Sleep(5000);
    ExpectEnded();
    // A command after the end fails at once.
    EXPECT_FALSE(g_dispatcher.QueryModemStatus(1, &status));
}

TEST_P(CtrlMuxTest, StartsAgainAfterTheModemClosedItDown)
{
    Modem().SendCld();
    Sleep(5000);
    ExpectEnded();

    ASSERT_TRUE(g_dispatcher.Init()) << Dump();
    DWORD status = 0;
    EXPECT_TRUE(g_dispatcher.QueryModemStatus(1, &status)) << Dump();
    EXPECT_EQ(status, 0x30u);  // the module's default 0x0D: RTC, RTR
}

TEST_P(CtrlMuxTest, StopFromAnotherThreadReleasesAWaitingSender)
{
    Modem().ChangeSettings([](sim::SerialSettings& s) { s.answerMsc = false; });
    BOOL ok = TRUE;
    DWORD status = 0xFFFF;
    HANDLE t = RunAsync([&] { ok = g_dispatcher.QueryModemStatus(1, &status); });
    Sleep(100);
    g_dispatcher.Stop();
    Join(t);
    EXPECT_FALSE(ok);
    EXPECT_EQ(status, 0u);
    ExpectEnded();
}

// The modem closes down while this side stops on its own: whichever comes
// first ends the multiplexer, the other finds it stopping.
TEST_P(CtrlMuxTest, CldRacingWithALocalStop)
{
    UserChannel(2);
    Modem().SendCld();
    // Around the time the CLD reaches the control channel.
    Sleep(static_cast<DWORD>(GetParam() % 3));
    g_dispatcher.Stop();
    Sleep(10000);
    ExpectEnded();
    EXPECT_EQ(HostFramesOf(2, 0x53), 1u);
}

// --- What a modem can do to DLCI 0 from the wire, over many seeds --------

class CtrlMuxFaultTest : public CtrlMuxTest {};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One MSC command answered with the response twice in one frame: the query
// gets the first, the second is dropped as not awaited; the control channel
// still answers, and the Stop of the teardown returns (a control thread
// stuck in the hand-over would deadlock it).
TEST_P(CtrlMuxFaultTest, ResponseRepeatedInOneFrame)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    Modem().ChangeSettings([](sim::SerialSettings& s) { s.answerMsc = false; });
    BOOL ok = FALSE;
    DWORD status = 0;
    HANDLE t = RunAsync([&] { ok = g_dispatcher.QueryModemStatus(1, &status); });
    Sleep(100);
    Modem().SendRaw(sim::BuildFrame(0, false, 0xEF, {0xE1, 0x05, 0x07, 0x89, 0xE1, 0x05, 0x07, 0x89}));
    Join(t);
    EXPECT_TRUE(ok) << Dump();
    EXPECT_EQ(status, 0x90u);
    Sleep(50);  // the second response is examined after the hand-over
    EXPECT_EQ(log_->Matching("Receive a response, but not waiting for it (0xe0)").size(), 1u) << Dump();
    Modem().ChangeSettings([](sim::SerialSettings& s) { s.answerMsc = true; });
    EXPECT_TRUE(g_dispatcher.QueryModemStatus(1, &status)) << Dump();
}

// An MSC response followed at once by a DISC on DLCI 0: the query gets its
// answer, and the DISC is answered with UA and ends the multiplexer.
TEST_P(CtrlMuxFaultTest, DiscRightAfterAResponseIsAnswered)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    Modem().ChangeSettings([](sim::SerialSettings& s) { s.answerMsc = false; });
    BOOL ok = FALSE;
    DWORD status = 0;
    HANDLE t = RunAsync([&] { ok = g_dispatcher.QueryModemStatus(1, &status); });
    Sleep(100);
    Modem().SendRaw(Concat(sim::BuildFrame(0, false, 0xEF, {0xE1, 0x05, 0x07, 0x89}),
                           sim::BuildFrame(0, true, 0x53)));
    Join(t);
    EXPECT_TRUE(ok) << Dump();
    Sleep(10000);
    bool ua = false;
    for (const SeenFrame& f : Frames(sim::Direction::HostToModule)) {
        if (f.frame.dlci == 0 && f.frame.control == 0x73 && !f.frame.cr) ua = true;
    }
    EXPECT_TRUE(ua) << "the DISC on DLCI 0 was not answered";
    ExpectEnded();
}

// A UA or DM on DLCI 0 that nobody asked for does not make the next query
// fail.
TEST_P(CtrlMuxFaultTest, StrayUaOrDmBeforeAQuery)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    Modem().SendRaw(sim::BuildFrame(0, false, GetParam() % 2 ? 0x73 : 0x1F));
    Sleep(50);
    DWORD status = 0;
    EXPECT_TRUE(g_dispatcher.QueryModemStatus(1, &status)) << Dump();
    EXPECT_EQ(status, 0x30u);
}

// A burst of UIH frames on DLCI 0 (Test commands, each answered) around the
// SABM of a new start: the UA is taken among them and the start succeeds.
TEST_P(CtrlMuxFaultTest, BurstOnDlciZeroAroundTheSabm)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    g_dispatcher.Stop();
    // The new start takes the module's reset (which drops writes planned
    // before it), the AT handshake and the settling pauses, about 5.8 s,
    // before its SABM, which comes right after the reader starts: the burst
    // covers the half second from just before it, three frames every 5 ms.
    std::vector<uint8_t> test = sim::BuildFrame(0, true, 0xEF, {0x23, 0x03, 0x41});
    std::vector<uint8_t> burst = Concat(Concat(test, test), test);
    uint64_t t0 = plat::NowMs();
    BOOL started = FALSE;
    HANDLE t = RunAsync([&] { started = g_dispatcher.Init(); });
    Sleep(5000);
    for (uint64_t at = t0 + 5815; at < t0 + 6300; at += 5) Modem().SendRaw(burst, at);
    Join(t);
    EXPECT_TRUE(started) << Dump();
    Sleep(1000);
    Sleep(100);
    DWORD status = 0;
    EXPECT_TRUE(g_dispatcher.QueryModemStatus(1, &status)) << Dump();
}

INSTANTIATE_TEST_SUITE_P(ManySeeds, CtrlMuxFaultTest, ::testing::Range<uint64_t>(1, 51));

INSTANTIATE_TEST_SUITE_P(Seeds, CtrlMuxTest, ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
