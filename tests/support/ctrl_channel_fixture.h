// The control channel on its own, for its tests: the modem's side is played
// by feeding frames through the receive parser, and what the channel sends is
// read back from the port (a host file). The dispatcher runs only as far as
// the channels need it (WireFixture).
#ifndef MUX_TESTS_SUPPORT_CTRL_CHANNEL_FIXTURE_H
#define MUX_TESTS_SUPPORT_CTRL_CHANNEL_FIXTURE_H

#include <gtest/gtest.h>

#include "channel/ctrl_channel.h"
#include "dispatcher/dispatcher.h"
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

constexpr char kUnsupported[] = "MUX: CCtrlChannel::ParseUIH() -> Receive unsupported command (0x";
constexpr char kNotAwaited[] =
    "MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive a response, but not waiting for it (0x";
constexpr char kNotImplemented[] = "MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive not implemented response (0x";

constexpr uint8_t kUIH = 0xEF;
constexpr uint8_t kUA = 0x73;

inline uint8_t DlciOctet(uint8_t dlci) { return static_cast<uint8_t>(dlci * 4 + 3); }

inline std::string Hex(const Bytes& b)
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

#endif
