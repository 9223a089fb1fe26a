// The transmit path: frame assembly, the single port write, and the wake-up
// of a sleeping module through C8/D1. The port is a host file here, so that
// what reached it can be read back octet for octet.
#include <gtest/gtest.h>

#include "dispatcher/dispatcher.h"
#include "modem/lines.h"
#include "diag/log.h"
#include "platform/host.h"
#include "platform/hw/ioport_sim.h"
#include "log_capture.h"
#include "sim/module_lines.h"
#include "sim_world.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// These tests look at the driver's reads of the lines as well.
[[maybe_unused]] const bool kReadsRecorded = (plat::ioport::RecordReads(true), true);

const char kCheck[] = "MUX: CDispatcher::Send() ->Chick Module Status\r\n";
const char kWake[] = "MUX: CDispatcher::Send() ->Will Wake up module\r\n";
const char kCannot[] = "MUX: CDispatcher::Send() -> Cannot wake Module up\r\n";

// A world with a running module, a transmit buffer and a host file as the
// port. Restores the dispatcher's globals afterwards.
class SendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        world_ = std::make_unique<SimWorld>(seed_);
        log_ = std::make_unique<LogCapture>();
        sim::LineSettings s;
        s.startRunning = true;
        lines_ = std::make_unique<sim::ModuleLines>(s);
        SetupModulePins(NULL);
        OpenPort(GENERIC_READ | GENERIC_WRITE);
        g_dispatcher.pSendBuf = buf_;
        g_dispatcher.sendLength = 0;
        memset(buf_, 0xAA, sizeof(buf_));
    }
    void TearDown() override
    {
        if (hUART != INVALID_HANDLE_VALUE) CloseHandle(hUART);
        hUART = INVALID_HANDLE_VALUE;
        g_dispatcher.pSendBuf = NULL;
        lines_.reset();
        log_.reset();
        world_.reset();
    }

    void OpenPort(DWORD access)
    {
        if (hUART != INVALID_HANDLE_VALUE) CloseHandle(hUART);
        hUART = CreateFileW(u"\\port.bin", access, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(hUART, INVALID_HANDLE_VALUE);
    }

    std::vector<uint8_t> Wire() const
    {
        std::ifstream in(plat::HostPathFor(u"\\port.bin"), std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    }

    // A channel's template for DLCI 1 with a 6-octet header frame.
    void MakeTemplate(BYTE control, BYTE length)
    {
        tmpl_[0] = 0xF9;
        tmpl_[1] = 0x07;
        tmpl_[2] = control;
        tmpl_[3] = length;
        tmpl_[4] = ComputeFCS(&tmpl_[1], 3);
        tmpl_[5] = 0xF9;
        fd_.pHeader = tmpl_;
        fd_.pTrailer = &tmpl_[4];
        fd_.trailerLength = 2;
    }

    uint64_t seed_ = 1;
    std::unique_ptr<SimWorld> world_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<sim::ModuleLines> lines_;
    BYTE buf_[MUX_SEND_BUF_SIZE + 16];
    BYTE tmpl_[6];
    FrameDescriptor fd_;
};

TEST_F(SendTest, FrameShapesWithAwakeModule)
{
    // SABM: the whole 6-octet template, no information field.
    MakeTemplate(0x3F, 0x01);
    fd_.headerLength = 6;
    fd_.pData = NULL;
    fd_.dataLength = 0;
    plat::ioport::ClearHistory();
    uint64_t t0 = plat::NowMs();
    EXPECT_EQ(g_dispatcher.Send(&fd_), 0);
    EXPECT_EQ(plat::NowMs(), t0) << "an awake module costs no time";
    std::vector<uint8_t> expect(tmpl_, tmpl_ + 6);
    EXPECT_EQ(Wire(), expect);
    EXPECT_EQ(g_dispatcher.sendLength, 6u);

    // The wake line is not touched: only the one status read.
    for (const auto& a : plat::ioport::History()) {
        EXPECT_NE(a.kind, plat::ioport::AccessKind::Modify) << "offset 0x" << std::hex << a.offset;
    }
    EXPECT_EQ(plat::ioport::CountReads(IOPORT_D_DATA), 1u);

    // UIH with 127 information octets: 4 + 127 + 2 octets, result 127.
    MakeTemplate(0xEF, (127 << 1) | 1);
    BYTE data[127];
    for (int i = 0; i < 127; i++) data[i] = (BYTE)(i * 3 + 1);
    fd_.headerLength = 4;
    fd_.pData = data;
    fd_.dataLength = 127;
    EXPECT_EQ(g_dispatcher.Send(&fd_), 127);
    EXPECT_EQ(g_dispatcher.sendLength, 133u);
    std::vector<uint8_t> wire = Wire();
    ASSERT_EQ(wire.size(), 6u + 133u);
    std::vector<uint8_t> uih(tmpl_, tmpl_ + 4);
    uih.insert(uih.end(), data, data + 127);
    uih.push_back(tmpl_[4]);
    uih.push_back(0xF9);
    EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 6, wire.end()), uih);

    // Data pointer set with no octets: header and trailer, result 0.
    MakeTemplate(0xEF, 0x01);
    fd_.headerLength = 4;
    fd_.pData = data;
    fd_.dataLength = 0;
    EXPECT_EQ(g_dispatcher.Send(&fd_), 0);
    wire = Wire();
    ASSERT_EQ(wire.size(), 6u + 133u + 6u);
    EXPECT_EQ(std::vector<uint8_t>(wire.end() - 6, wire.end()),
              std::vector<uint8_t>(tmpl_, tmpl_ + 6));

    // Only the status line, once per frame.
    auto msgs = log_->Messages();
    ASSERT_EQ(msgs.size(), 3u);
    for (const auto& m : msgs) EXPECT_EQ(m, kCheck);
}

// Pieces that would not fit the 134-octet transmit buffer are refused
// before anything is copied: nothing past the buffer, nothing on the wire.
TEST_F(SendTest, OversizedFrameIsRefused)
{
    BYTE data[MUX_SEND_BUF_SIZE + 8];
    memset(data, 0x55, sizeof(data));
    MakeTemplate(0xEF, 0x01);
    struct Shape {
        LONG header, length, trailer;
    };
    // A 6-octet header with a full information field is one octet too long;
    // the others are plainly wrong lengths.
    for (Shape sh : {Shape{6, 127, 2}, Shape{4, 129, 2}, Shape{4, -1, 2}, Shape{-4, 10, 2},
                     Shape{4, 10, -2}}) {
        SCOPED_TRACE(testing::Message() << sh.header << "/" << sh.length << "/" << sh.trailer);
        fd_.headerLength = sh.header;
        fd_.pData = data;
        fd_.dataLength = sh.length;
        fd_.trailerLength = sh.trailer;
        SetLastError(0);
        EXPECT_EQ(g_dispatcher.Send(&fd_), -1);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        for (size_t i = MUX_SEND_BUF_SIZE; i < sizeof(buf_); i++) ASSERT_EQ(buf_[i], 0xAA) << i;
        EXPECT_TRUE(Wire().empty());
    }
    // The longest frame still goes.
    fd_.headerLength = 4;
    fd_.dataLength = 127;
    fd_.trailerLength = 2;
    EXPECT_EQ(g_dispatcher.Send(&fd_), 127);
    EXPECT_EQ(Wire().size(), 133u);
}

TEST_F(SendTest, FailedWriteReturnsMinusOneAndLeavesNothingBehind)
{
    MakeTemplate(0x3F, 0x01);
    fd_.headerLength = 6;
    fd_.pData = NULL;
    fd_.dataLength = 0;
    // A port that cannot be written: the write reports fewer octets.
    OpenPort(GENERIC_READ);
    EXPECT_EQ(g_dispatcher.Send(&fd_), -1);
    EXPECT_TRUE(Wire().empty());

    OpenPort(GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(g_dispatcher.Send(&fd_), 0);
    EXPECT_EQ(Wire(), std::vector<uint8_t>(tmpl_, tmpl_ + 6));
    // No log line for a short write.
    EXPECT_EQ(log_->Messages().size(), 2u);
}

TEST_F(SendTest, StoppedDispatcherSendsNothing)
{
    MakeTemplate(0x3F, 0x01);
    fd_.headerLength = 6;
    fd_.pData = NULL;
    fd_.dataLength = 0;
    g_dispatcher.pSendBuf = NULL;
    SetLastError(0);
    EXPECT_EQ(g_dispatcher.Send(&fd_), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    EXPECT_TRUE(Wire().empty());
}

// Times at which C8 changed level, from the register history.
std::vector<plat::ioport::LevelChange> WakeLine()
{
    auto levels = plat::ioport::PinLevels(IOPORT_C_DATA, PIN_C8_WAKE);
    std::vector<plat::ioport::LevelChange> edges;
    for (size_t i = 1; i < levels.size(); i++) {
        if (levels[i].high != levels[i - 1].high) edges.push_back(levels[i]);
    }
    return edges;
}

TEST_F(SendTest, SleepingModuleWokenOnThirdPoll)
{
    for (uint64_t seed : {1u, 7u, 42u}) {
        TearDown();
        seed_ = seed;
        SetUp();
        // The module leaves its sleep during the third 50 ms pause.
        lines_.reset();
        sim::LineSettings s;
        s.startRunning = true;
        s.wakePeriods = 3;
        lines_ = std::make_unique<sim::ModuleLines>(s);
        lines_->GoToSleep();
        ASSERT_TRUE(lines_->Asleep());
        plat::ioport::ClearHistory();

        MakeTemplate(0x3F, 0x01);
        fd_.headerLength = 6;
        fd_.pData = NULL;
        fd_.dataLength = 0;
        uint64_t t0 = plat::NowMs();
        EXPECT_EQ(g_dispatcher.Send(&fd_), 0);
        uint64_t sentAt = plat::NowMs();

        auto edges = WakeLine();
        ASSERT_EQ(edges.size(), 2u);
        EXPECT_TRUE(edges[0].high);
        EXPECT_EQ(edges[0].atMs, t0);
        EXPECT_FALSE(edges[1].high);
        EXPECT_EQ(edges[1].atMs, t0 + 50);
        // 50 ms pulse plus three pauses.
        EXPECT_EQ(sentAt - edges[0].atMs, 200u);
        EXPECT_EQ(lines_->WakePulses(), 1u);
        EXPECT_FALSE(lines_->Asleep());
        // The first read decides to wake, then four polls.
        EXPECT_EQ(plat::ioport::CountReads(IOPORT_D_DATA), 5u);
        // C8 is made an output before each level change: clear bit 17, set bit 16.
        std::vector<std::pair<DWORD, DWORD>> cfg;
        for (const auto& a : plat::ioport::History()) {
            if (a.kind == plat::ioport::AccessKind::Modify && a.offset == IOPORT_C_CFG)
                cfg.push_back({a.clearBits, a.setBits});
        }
        std::vector<std::pair<DWORD, DWORD>> want = {
            {0x20000u, 0u}, {0u, 0x10000u}, {0x20000u, 0u}, {0u, 0x10000u}};
        EXPECT_EQ(cfg, want);

        EXPECT_EQ(Wire(), std::vector<uint8_t>(tmpl_, tmpl_ + 6));
        auto msgs = log_->Messages();
        ASSERT_EQ(msgs.size(), 2u);
        EXPECT_EQ(msgs[0], kCheck);
        EXPECT_EQ(msgs[1], kWake);
    }
}

TEST_F(SendTest, ModuleThatNeverWakesGetsNothing)
{
    lines_->SetNeverWake(true);
    lines_->GoToSleep();
    plat::ioport::ClearHistory();

    BYTE data[3] = {1, 2, 3};
    MakeTemplate(0xEF, (3 << 1) | 1);
    fd_.headerLength = 4;
    fd_.pData = data;
    fd_.dataLength = 3;
    SetLastError(0);
    uint64_t t0 = plat::NowMs();
    EXPECT_EQ(g_dispatcher.Send(&fd_), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    // Pulse of 50 ms, then 20 pauses of 50 ms; the status is not read again
    // after the last pause.
    EXPECT_EQ(plat::NowMs() - t0, 50u + 20u * 50u);
    EXPECT_EQ(plat::ioport::CountReads(IOPORT_D_DATA), 21u);
    EXPECT_TRUE(Wire().empty());
    EXPECT_EQ(WakeLine().size(), 2u);

    auto msgs = log_->Messages();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0], kCheck);
    EXPECT_EQ(msgs[1], kWake);
    EXPECT_EQ(msgs[2], kCannot);

    // The next frame starts from an empty buffer once the module is awake.
    lines_->SetNeverWake(false);
    lines_->PowerOnRunning();
    MakeTemplate(0x3F, 0x01);
    fd_.headerLength = 6;
    fd_.pData = NULL;
    fd_.dataLength = 0;
    if (lines_->Asleep()) lines_->SetNeverWake(false);
    EXPECT_EQ(g_dispatcher.Send(&fd_), 0);
    EXPECT_EQ(Wire(), std::vector<uint8_t>(tmpl_, tmpl_ + 6));
}

}  // namespace
