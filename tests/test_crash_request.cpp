// IOCTL_MUX_CRASHDEBUGCMD through MUX_IOControl on a live port, against the
// simulated module, in virtual time: a running module gets the plain
// warning box and nothing else; a crashed one the whole capture (the
// multiplexer down, the debugging message in a box, the crash log in
// "\ATARsp.txt", the final box), one request at a time; the multiplexer
// comes back on a later open, without the log's reader on the port.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "modem/crash.h"
#include "platform/host.h"
#include "platform/ui/ui_host.h"
#include "quiet_boxes.h"
#include "test_channel.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kDebugText[] = "ASSERT: l1_sched.c 1234\r\n";
const std::string kHeader =
    "RILDebug: Module crashed. Please press OK and wait ATA response complete. Then coldboot "
    "device.\r\nBelow is debugging message:\r\n";
const std::string kFinalText = "RILDebug: Module crashed and get ATA log OK. You can coldboot device now!";
const std::string kBanner = "\r\n\r\n========== QX7ATA Debug ==========\r\n";

// The capture's own lines, in the order one request writes them.
const std::vector<std::string> kCaptureLines = {
    "MUX: IOCTL_MUX_CRASHDEBUGCMD -> REZ crashed!!!\r\n",
    "MUX: IOCTL_MUX_CRASHDEBUGCMD -> Call ProcessATDCmd()!!!\r\n",
    "MUX: CDispatcher::ProcessATDCmd() -> Start; Time=",
    "MUX: CDispatcher::ProcessATDCmd() -> End; Time=",
    "MUX: IOCTL_MUX_CRASHDEBUGCMD -> Call ProcessATACmd()!!!\r\n",
    "MUX: CDispatcher::ProcessATACmd() -> Start; Time=",
    "MUX: CDispatcher::ProcessATACmd() -> End; Time=",
    "MUX: IOCTL_MUX_CRASHDEBUGCMD -> Get log data OK!!!\r\n",
};

std::string Utf8(const std::u16string& s) { return plat::ToUtf8(s); }

CUserChannel* Channel(DWORD_PTR open) { return reinterpret_cast<CUserChannel*>(open); }

class CrashRequest : public ::testing::Test {
protected:
    ~CrashRequest() override { rig_.reset(); }

    // Three ports up; the module crashed when asked, its answers in writes
    // of 64 octets.
    void Start(uint64_t seed, bool crash, bool endlessLog = false)
    {
        sim::ModuleSettings m = DispatcherRig::DefaultModule();
        m.serial.modem.modemDlcis = ~uint64_t(1);
        m.serial.crash.debugText = kDebugText;
        m.serial.crash.logOctets = 1500;
        m.serial.crash.chunkOctets = 64;
        m.serial.crash.endless = endlessLog;
        rig_ = std::make_unique<DriverRig>(seed, m);
        rig_->StartThree();
        if (crash) {
            rig_->D().Module().Crash();
            ASSERT_TRUE(rig_->D().WaitFor([] { return g_dispatcher.GetRFOKPinState() == 0; }, 1000));
        }
        rig_->D().Log().Clear();
    }

    // The request as a client issues it; FALSE and the caller's last error
    // expected whatever happened.
    void Request(int port)
    {
        SetLastError(0xBEEF);
        DWORD n = 0x1234;
        EXPECT_FALSE(MUX_IOControl(rig_->open[port], IOCTL_MUX_CRASHDEBUGCMD, nullptr, 0, nullptr, 0, &n));
        EXPECT_EQ(GetLastError(), 0xBEEFu);
        EXPECT_EQ(n, 0u);
    }

    // The log's messages that belong to a crash request, in order.
    std::vector<std::string> CaptureLines() const
    {
        std::vector<std::string> out;
        for (const std::string& m : rig_->D().Log().Messages()) {
            for (const std::string& expected : kCaptureLines) {
                if (m.rfind(expected, 0) == 0) out.push_back(expected);
            }
        }
        return out;
    }

    // "AT\r" on the open port is answered with OK by the module's modem.
    void ExpectAtAnswered(DWORD_PTR open)
    {
        EXPECT_EQ(MUX_Write(open, "AT\r", 3), 3u);
        std::string answer;
        EXPECT_TRUE(rig_->D().WaitFor(
            [&] {
                char buf[64];
                DWORD got = MUX_Read(open, buf, sizeof(buf));
                if (got != 0xFFFFFFFFu) answer.append(buf, got);
                return answer.find("OK\r\n") != std::string::npos;
            },
            1000))
            << answer << rig_->D().Dump();
    }

    static std::string AtaFile()
    {
        std::ifstream in(plat::HostPathFor(u"\\ATARsp.txt"), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    QuietBoxes boxes_;
    std::unique_ptr<DriverRig> rig_;
};

TEST_F(CrashRequest, RunningModuleGetsThePlainBoxAndNothingElse)
{
    ASSERT_NO_FATAL_FAILURE(Start(1, false));
    // The shell is not waited for: this box comes at once.
    plat::ui::SetShellReadyAtMs(1000000);
    const uint64_t before = plat::NowMs();
    Request(1);
    const uint64_t returnedAt = plat::NowMs();

    const auto boxes = plat::ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(Utf8(boxes[0].text), "RILDebug: AT command timeout but module is normal. Please coldboot device.");
    EXPECT_EQ(Utf8(boxes[0].caption), "Warning");
    EXPECT_EQ(boxes[0].style, 0u);
    EXPECT_EQ(boxes[0].owner, plat::ui::DefaultForegroundWindow());
    EXPECT_EQ(boxes[0].shownAtMs, before);
    // The request returned when the user had pressed OK.
    ASSERT_TRUE(boxes[0].dismissed);
    EXPECT_GE(returnedAt, boxes[0].dismissedAtMs);

    EXPECT_EQ(rig_->D().Log().Messages(),
              std::vector<std::string>{"MUX: IOCTL_MUX_CRASHDEBUGCMD -> REZ is normal\r\n"});
    EXPECT_TRUE(g_dispatcher.bRunning);
    EXPECT_EQ(rig_->D().AtText().find("ATD\r"), std::string::npos);
    EXPECT_EQ(rig_->Modem().CmuxCommands(), 1u);
    for (int i = 1; i <= 3; i++) EXPECT_FALSE(Channel(rig_->open[i])->IsNotReady()) << i;
    // The port goes on as before.
    ExpectAtAnswered(rig_->open[1]);
}

TEST_F(CrashRequest, CrashedModuleIsCapturedInOrder)
{
    ASSERT_NO_FATAL_FAILURE(Start(2, true));
    Request(2);
    EXPECT_EQ(CaptureLines(), kCaptureLines) << rig_->D().Dump();
    EXPECT_FALSE(g_dispatcher.bRunning);
    EXPECT_TRUE(Channel(rig_->open[2])->IsNotReady());
    EXPECT_EQ(rig_->Modem().CmuxCommands(), 1u);  // not started again
    const std::string at = rig_->D().AtText();
    ASSERT_GE(at.size(), 8u);
    EXPECT_EQ(at.substr(at.size() - 8), "ATD\rATA\r");

    ASSERT_TRUE(rig_->D().WaitFor([] { return plat::ui::MessageBoxes().size() == 2; }, 5000));
    const auto boxes = plat::ui::MessageBoxes();
    EXPECT_EQ(Utf8(boxes[0].text), kHeader + kDebugText + "+++\r\n");
    EXPECT_EQ(Utf8(boxes[1].text), kFinalText);
    for (const auto& box : boxes) {
        EXPECT_EQ(Utf8(box.caption), "Warning");
        EXPECT_EQ(box.style, 0x50000u);
    }
    const std::string file = AtaFile();
    EXPECT_EQ(file.rfind(kBanner, 0), 0u) << file.substr(0, 200);
    EXPECT_NE(file.find("+++\r\n\r\nTotal Serial Overrun 0 times"), std::string::npos);
}

TEST_F(CrashRequest, TwoRequestsAtOnceTakeTurns)
{
    // Over several seeds, so that either request may come first.
    for (uint64_t seed = 3; seed < 8; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        rig_.reset();
        ASSERT_NO_FATAL_FAILURE(Start(seed, true));
        HANDLE a = RunAsync([&] { Request(1); });
        HANDLE b = RunAsync([&] { Request(3); });
        Join(a);
        Join(b);
        std::vector<std::string> twice = kCaptureLines;
        twice.insert(twice.end(), kCaptureLines.begin(), kCaptureLines.end());
        EXPECT_EQ(CaptureLines(), twice) << rig_->D().Dump();
        EXPECT_TRUE(rig_->D().Logged("not usable").empty());

        // Each capture: its message shown, its log in a section of its own.
        ASSERT_TRUE(rig_->D().WaitFor([] { return plat::ui::MessageBoxes().size() == 4; }, 5000));
        size_t debugBoxes = 0;
        for (const auto& box : plat::ui::MessageBoxes()) {
            if (Utf8(box.text) == kHeader + kDebugText + "+++\r\n") debugBoxes++;
        }
        EXPECT_EQ(debugBoxes, 2u);
        const std::string file = AtaFile();
        const size_t second = file.find(kBanner, 1);
        ASSERT_NE(second, std::string::npos);
        EXPECT_EQ(file.find(kBanner, second + 1), std::string::npos);
        EXPECT_NE(file.substr(0, second).find("Total Serial Overrun 0 times"), std::string::npos);
        EXPECT_NE(file.substr(second).find("Total Serial Overrun 0 times"), std::string::npos);
    }
}

// A log that never ends keeps its reader on the port; the multiplexer that
// a client's open brings back afterwards must have the port to itself.
TEST_F(CrashRequest, LaterOpenRestartsTheMultiplexerWithoutTheLogsReader)
{
    ASSERT_NO_FATAL_FAILURE(Start(4, true, true));
    Request(1);
    SleepMs(200);
    EXPECT_EQ(plat::ui::MessageBoxes().size(), 1u);  // the log goes on
    EXPECT_FALSE(g_dispatcher.bRunning);

    DWORD_PTR open = MUX_Open(rig_->device[1], GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(open, 0u) << rig_->D().Dump();
    EXPECT_TRUE(g_dispatcher.bRunning);
    EXPECT_EQ(rig_->Modem().CmuxCommands(), 2u);
    EXPECT_TRUE(rig_->D().Logged("Initialization Fail").empty()) << rig_->D().Dump();
    ASSERT_TRUE(rig_->D().WaitFor([] { return plat::ui::MessageBoxes().size() == 2; }, 1000));
    EXPECT_EQ(Utf8(plat::ui::MessageBoxes()[1].text), kFinalText);
    EXPECT_EQ(AtaFile().find("Total Serial Overrun"), std::string::npos);

    ExpectAtAnswered(open);
    MUX_Close(open);
}

}  // namespace
