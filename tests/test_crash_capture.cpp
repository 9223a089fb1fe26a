// Crash capture against the simulated module's crashed state: the debugging
// message that "ATD\r" brings, collected up to "+++\r\n" under the response
// time-out and shown behind its header; the crash log that "ATA\r" brings,
// appended to "\ATARsp.txt" with its banner, date line and overrun line; the
// two boxes. The multiplexer runs first and is stopped, as the crash request
// does.
#include <gtest/gtest.h>

#include "diag/log.h"
#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "modem/crash.h"
#include "platform/host.h"
#include "platform/ui/ui_host.h"
#include "quiet_boxes.h"
#include "sim_world.h"

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kHeader =
    "RILDebug: Module crashed. Please press OK and wait ATA response complete. Then coldboot "
    "device.\r\nBelow is debugging message:\r\n";
const std::string kFinalText =
    "RILDebug: Module crashed and get ATA log OK. You can coldboot device now!";
const std::string kBanner = "\r\n\r\n========== QX7ATA Debug ==========\r\n";

std::string Utf8(const std::u16string& s) { return plat::ToUtf8(s); }

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class CrashCapture : public ::testing::Test {
protected:
    ~CrashCapture() override
    {
        rig_.reset();
        if (g_pCrashMessage != NULL) {
            HeapFree(GetProcessHeap(), 0, g_pCrashMessage);
            g_pCrashMessage = NULL;
        }
    }

    // A module whose crash answers come in writes of `chunk` octets, 5 ms
    // apart.
    static sim::ModuleSettings Module(const std::string& debugText, const std::string& logText,
                                      uint32_t chunk)
    {
        sim::ModuleSettings s = DispatcherRig::DefaultModule();
        s.serial.crash.debugText = debugText;
        s.serial.crash.logText = logText;
        s.serial.crash.chunkOctets = chunk;
        s.serial.crash.chunkGapMs = 5;
        return s;
    }

    // The multiplexer up, then the module crashes and the dispatcher stops.
    void CrashedAndStopped(uint64_t seed, const sim::ModuleSettings& module)
    {
        SCOPED_TRACE("seed " + std::to_string(seed));
        rig_ = std::make_unique<DispatcherRig>(seed, module);
        ASSERT_TRUE(g_dispatcher.Init());
        rig_->Module().Crash();
        // Crashed, or off for a module that hears nothing once crashed.
        ASSERT_NE(rig_->Modem().GetMode(), sim::ModuleSerial::Mode::Mux);
        g_dispatcher.Stop();
        rig_->Log().Clear();
    }

    std::string CrashText() const
    {
        return g_pCrashMessage != NULL ? Utf8(std::u16string(g_pCrashMessage)) : std::string();
    }

    // Both phases; returns once the log's reader has shown its final box.
    void CaptureAndWaitForLog(size_t boxesBefore = 0)
    {
        g_dispatcher.ProcessATDCmd();
        g_dispatcher.ProcessATACmd();
        ASSERT_TRUE(rig_->WaitFor(
            [&] { return plat::ui::MessageBoxes().size() >= boxesBefore + 2; }, 20000))
            << rig_->Dump();
    }

    std::string AtaFile() const { return ReadBytes(plat::HostPathFor(u"\\ATARsp.txt")); }

    std::vector<std::string> Logged(const std::string& needle) const { return rig_->Logged(needle); }

    QuietBoxes boxes_;
    std::unique_ptr<DispatcherRig> rig_;
};

// The date line: year, month, day, hour, minute, second without zero padding.
const std::regex kSection(
    "\r\n\r\n========== QX7ATA Debug ==========\r\n"
    "(?:[1-9][0-9]*)/(?:[1-9][0-9]?)/(?:[1-9][0-9]?) (?:0|[1-9][0-9]?):(?:0|[1-9][0-9]?):"
    "(?:0|[1-9][0-9]?)\r\n==================================\r\n");

TEST_F(CrashCapture, AtdAnswerAcrossReadsWithTheMarkerSplitThenTheLogInTheFile)
{
    // 18 octets of text: the first write ends in "++", the second brings
    // "+\r\n".
    const std::string debug = "L1 assert 0x12345\n";
    const std::string log = "00000: trace frame\r\n00001: task L1 stack overflow\r\n";
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(11, Module(debug, log, 20)));
    CaptureAndWaitForLog();

    const auto boxes = plat::ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(Utf8(boxes[0].text), kHeader + debug + "+++\r\n");
    EXPECT_EQ(Utf8(boxes[1].text), kFinalText);
    for (const auto& box : boxes) {
        EXPECT_EQ(Utf8(box.caption), "Warning");
        EXPECT_EQ(box.style, 0x50000u);
        EXPECT_EQ(box.owner, plat::ui::DefaultForegroundWindow());
    }
    EXPECT_EQ(g_pCrashMessage, nullptr);  // shown and freed

    const std::vector<std::string> expectedOrder = {
        "MUX: CDispatcher::ProcessATDCmd() -> Start; Time=",
        "MUX: CDispatcher::ProcessATDCmd() -> WriteFile(); Time=",
        "MUX: CDispatcher::ProcessATDCmd() -> strlen; Time=",
        "MUX: ProcessATDCmd() -> Start receiving ATD response.\r\n",
        "MUX: CDispatcher::ProcessATDCmd() -> End; Time=",
        "MUX: CDispatcher::ProcessATACmd() -> Start; Time=",
        "MUX: CDispatcher::ProcessATACmd() -> End; Time=",
    };
    const auto messages = rig_->Log().Messages();
    size_t at = 0;
    for (const auto& m : messages)
        if (at < expectedOrder.size() && m.rfind(expectedOrder[at], 0) == 0) at++;
    EXPECT_EQ(at, expectedOrder.size()) << rig_->Dump();
    EXPECT_TRUE(Logged("Time-out").empty()) << rig_->Dump();
    const std::string atText = rig_->AtText();
    EXPECT_EQ(atText.substr(atText.size() - 8), "ATD\rATA\r");

    const std::string file = AtaFile();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(file, m, kSection)) << file;
    EXPECT_EQ(m.position(0), 0);
    EXPECT_EQ(file.substr(m.length(0)), log + "+++\r\n\r\nTotal Serial Overrun 0 times");

    // A second capture appends a second section; nothing is truncated.
    const size_t firstLength = file.size();
    CaptureAndWaitForLog(2);
    const std::string both = AtaFile();
    EXPECT_EQ(both.substr(0, firstLength), file);
    const std::string second = both.substr(firstLength);
    ASSERT_TRUE(std::regex_search(second, m, kSection)) << second;
    EXPECT_EQ(second.substr(m.length(0)), log + "+++\r\n\r\nTotal Serial Overrun 0 times");
}

TEST_F(CrashCapture, LogMarkerSplitAcrossReadsIsNotItsEnd)
{
    // The first write ends in "++"; "+\r\n" opens the next: the log goes on
    // to the marker that arrives whole.
    const std::string log = std::string(18, 'x') + "+++\r\n" + std::string(40, 'y') + "\r\n";
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(12, Module("oops\r\n", log, 20)));
    CaptureAndWaitForLog();
    const std::string file = AtaFile();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(file, m, kSection)) << file;
    EXPECT_EQ(file.substr(m.length(0)), log + "+++\r\n\r\nTotal Serial Overrun 0 times");
}

TEST_F(CrashCapture, LineConditionsInTheAtdPhase)
{
    // After the first write an overrun together with a frame error, after
    // the second an overrun alone: only the latter is logged.
    sim::ModuleSettings s = Module(std::string(25, 'd'), "log\r\n", 10);
    s.serial.crash.eventAfterChunk[0] = CE_OVERRUN | CE_FRAME;
    s.serial.crash.eventAfterChunk[1] = CE_OVERRUN;
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(13, s));
    g_dispatcher.ProcessATDCmd();
    EXPECT_EQ(Logged("ProcessATDCmd() -> Serial port").size(), 1u) << rig_->Dump();
    EXPECT_EQ(Logged("MUX: ProcessATDCmd() -> Serial port overrun ; Time=").size(), 1u);
    EXPECT_EQ(CrashText(), kHeader + std::string(25, 'd') + "+++\r\n");
    EXPECT_TRUE(Logged("Time-out").empty());
}

TEST_F(CrashCapture, LineConditionsInTheLogAreLoggedAndTheLogGoesOn)
{
    // After the first write of the log an overrun together with a frame
    // error, after the second an overrun alone, after the third a break.
    sim::ModuleSettings s = Module("oops\r\n", std::string(35, 'a'), 10);
    s.serial.crash.eventAfterChunk[0] = CE_OVERRUN | CE_FRAME;
    s.serial.crash.eventAfterChunk[1] = CE_OVERRUN;
    s.serial.crash.eventAfterChunk[2] = 0;
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(14, s));
    // The log phase alone, so that the same conditions during the debugging
    // message do not meet it.
    g_dispatcher.ProcessATACmd();
    ASSERT_TRUE(rig_->WaitFor([] { return plat::ui::MessageBoxes().size() >= 2; }, 20000));

    // The combined error counts as a frame or parity error, not as an
    // overrun; the break is logged and the log goes on to its end.
    EXPECT_EQ(Logged("MUX: ParseATADataThread() -> Serial port error(CE_FRAME or CE_RXPARITY) ; "
                     "Time=")
                  .size(),
              1u)
        << rig_->Dump();
    EXPECT_EQ(Logged("MUX: ParseATADataThread() -> Serial port overrun ; Time=").size(), 1u);
    EXPECT_EQ(Logged("MUX: ParseATADataThread() -> Serial port break ; Time=").size(), 1u);
    const std::string file = AtaFile();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(file, m, kSection)) << file;
    EXPECT_EQ(file.substr(m.length(0)),
              std::string(35, 'a') + "+++\r\n\r\nTotal Serial Overrun 1 times");
}

TEST_F(CrashCapture, BreakDuringAtdShowsWhatCameBeforeIt)
{
    sim::ModuleSettings s = Module("first part, second part\r\n", "log\r\n", 10);
    s.serial.crash.eventAfterChunk[0] = 0;  // a break after the first write
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(15, s));
    g_dispatcher.ProcessATDCmd();
    EXPECT_EQ(CrashText(), kHeader + "first part");
    EXPECT_EQ(Logged("MUX: ProcessATDCmd() -> Serial port break ; Time=").size(), 1u);
    EXPECT_EQ(Logged("MUX: CDispatcher::ProcessATDCmd() -> End; Time=").size(), 1u);
}

TEST_F(CrashCapture, FileThatCannotBeCreatedStillEndsWithTheOkBox)
{
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(21, Module("oops\r\n", "log\r\n", 0)));
    // A directory where the file should be.
    ASSERT_EQ(mkdir(plat::HostPathFor(u"\\ATARsp.txt").c_str(), 0700), 0);
    CaptureAndWaitForLog();
    // The reader gives up at once, so its box comes before the caller's.
    const auto boxes = plat::ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(Utf8(boxes[0].text), kFinalText);
    EXPECT_EQ(Utf8(boxes[1].text), kHeader + "oops\r\n+++\r\n");
    EXPECT_EQ(Logged("MUX: ParseATADataThread() -> Create file fail\r\n").size(), 1u)
        << rig_->Dump();
}

TEST_F(CrashCapture, SecondCaptureAfterAFailedAtaWriteShowsBothMessagesInOneBox)
{
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(16, Module("first oops\r\n", "log\r\n", 0)));
    g_dispatcher.ProcessATDCmd();
    // The transmitter held: "ATA\r" runs into its write time-out.
    rig_->Modem().Uart().SetTransmitHold(true);
    g_dispatcher.ProcessATACmd();
    rig_->Modem().Uart().SetTransmitHold(false);
    EXPECT_EQ(Logged("MUX: ProcessATACmd() -> Write ATA command failed cause only write 0 "
                     "characters\r\n")
                  .size(),
              1u)
        << rig_->Dump();
    EXPECT_EQ(Logged("MUX: CDispatcher::ProcessATACmd() -> End; Time=").size(), 1u);
    EXPECT_TRUE(plat::ui::MessageBoxes().empty());
    EXPECT_EQ(CrashText(), kHeader + "first oops\r\n+++\r\n");

    // The next capture: the first log's reader leaves the port (and shows
    // its box); one box shows both messages.
    rig_->Modem().ChangeSettings([](sim::SerialSettings& s) { s.crash.debugText = "again\r\n"; });
    CaptureAndWaitForLog(1);
    const auto boxes = plat::ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(Utf8(boxes[0].text), kFinalText);
    EXPECT_EQ(Utf8(boxes[1].text), kHeader + "first oops\r\n+++\r\n" + kHeader + "again\r\n+++\r\n");
    EXPECT_EQ(Utf8(boxes[2].text), kFinalText);
    EXPECT_EQ(g_pCrashMessage, nullptr);
}

TEST_F(CrashCapture, AnswersLongerThanEveryBuffer)
{
    // At fifty times the multiplexer's speed the octets of one millisecond
    // outgrow every read.
    std::string debug, log;
    for (int i = 0; debug.size() < 1000; i++) debug += "dbg line " + std::to_string(i) + "\r\n";
    for (int i = 0; log.size() < 9000; i++) log += "log line " + std::to_string(i) + "\r\n";
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(17, Module(debug, log, 0)));
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(hUART, &dcb));
    dcb.BaudRate = 23040000;
    ASSERT_TRUE(SetCommState(hUART, &dcb));
    rig_->Modem().Uart().SetPeerBaud(23040000);

    CaptureAndWaitForLog();
    const auto boxes = plat::ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    // 450 units with the terminator: the header and the answer's first 323.
    EXPECT_EQ(Utf8(boxes[0].text), kHeader + debug.substr(0, 323));
    EXPECT_TRUE(Logged("Time-out").empty()) << rig_->Dump();
    // The rest of the debugging message was read in the ATD phase, so the
    // log holds the crash log alone, whole.
    const std::string file = AtaFile();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(file, m, kSection)) << file.substr(0, 200);
    EXPECT_EQ(file.substr(m.length(0)), log + "+++\r\n\r\nTotal Serial Overrun 0 times");
}

TEST_F(CrashCapture, AtdAnswerWithoutEndIsCutByTheResponseTimeOut)
{
    // A debugging message that keeps coming: 10 octets every 200 ms.
    std::string debug;
    for (int i = 0; debug.size() < 300; i++) debug += "line " + std::to_string(i) + "\r\n";
    sim::ModuleSettings s = Module(debug, "log\r\n", 10);
    s.serial.crash.chunkGapMs = 200;
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(18, s));
    const uint64_t start = plat::NowMs();
    g_dispatcher.ProcessATDCmd();
    const uint64_t took = plat::NowMs() - start;
    EXPECT_GE(took, 3000u);
    EXPECT_LE(took, 3300u);
    ASSERT_EQ(Logged("MUX: TimeOutThread(3000) -> Time-out ; Time=").size(), 1u) << rig_->Dump();
    const std::string text = CrashText();
    ASSERT_EQ(text.substr(0, kHeader.size()), kHeader);
    const std::string shown = text.substr(kHeader.size());
    EXPECT_GE(shown.size(), 100u);
    EXPECT_EQ(shown, debug.substr(0, shown.size()));
    EXPECT_EQ(Logged("MUX: CDispatcher::ProcessATDCmd() -> End; Time=").size(), 1u);
}

TEST_F(CrashCapture, SilentModuleEndsTheAtdPhaseAtTheTimeOut)
{
    sim::ModuleSettings s = DispatcherRig::DefaultModule();
    s.serial.crash.answer = false;
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(19, s));
    const uint64_t start = plat::NowMs();
    g_dispatcher.ProcessATDCmd();
    const uint64_t took = plat::NowMs() - start;
    EXPECT_GE(took, 3000u);
    EXPECT_LE(took, 3010u);
    EXPECT_EQ(Logged("MUX: TimeOutThread(3000) -> Time-out ; Time=").size(), 1u) << rig_->Dump();
    EXPECT_EQ(CrashText(), kHeader);
}

TEST_F(CrashCapture, LogWithoutEndLetsThePortClose)
{
    sim::ModuleSettings s = Module("oops\r\n", "", 100);
    s.serial.crash.logOctets = 500;
    s.serial.crash.endless = true;
    ASSERT_NO_FATAL_FAILURE(CrashedAndStopped(20, s));
    g_dispatcher.ProcessATDCmd();
    g_dispatcher.ProcessATACmd();
    SleepMs(500);
    EXPECT_EQ(plat::ui::MessageBoxes().size(), 1u);  // the log goes on
    // Closing the port ends the reader's use of it; its box follows.
    g_dispatcher.ClosePort();
    ASSERT_TRUE(rig_->WaitFor([] { return plat::ui::MessageBoxes().size() == 2; }, 2000));
    EXPECT_EQ(Utf8(plat::ui::MessageBoxes()[1].text), kFinalText);
    const std::string file = AtaFile();
    EXPECT_EQ(file.find("Total Serial Overrun"), std::string::npos);
}

}  // namespace
