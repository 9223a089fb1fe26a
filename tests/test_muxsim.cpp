// The main program, run as a separate process from the same build: exit
// status, the one-line reasons, the trace, the capture file and the log.
#include <gtest/gtest.h>

#include "golden_frames.h"
#include "host/linetrace/trace.h"
#include "sim/frame_record.h"
#include "sim_world.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class MuxsimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        exe_ = fs::read_symlink("/proc/self/exe").parent_path() / "muxsim";
        ASSERT_TRUE(fs::exists(exe_)) << exe_ << " missing: build the muxsim target";
        dir_ = MakeTempDir("muxsim");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    RunResult Run(const std::string& args)
    {
        const fs::path out = fs::path(dir_) / "stdout.txt";
        const fs::path err = fs::path(dir_) / "stderr.txt";
        std::string cmd = Quote(exe_.string()) + " " + args + " >" + Quote(out.string()) + " 2>" +
                          Quote(err.string());
        int status = std::system(cmd.c_str());
        RunResult r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }

    std::string Path(const std::string& name) const { return (fs::path(dir_) / name).string(); }

    fs::path exe_;
    std::string dir_;
};

struct PcapRecord {
    uint64_t timeUs = 0;
    uint8_t pseudo = 0xFF;
    uint8_t direction = 0xFF;
    std::vector<uint8_t> frame;
};

uint32_t Le32(const std::string& s, size_t at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

// Parses a classic little-endian pcap file; fails the test on a bad layout.
std::vector<PcapRecord> ReadPcap(const std::string& path)
{
    std::vector<PcapRecord> out;
    const std::string s = ReadFile(path);
    EXPECT_GE(s.size(), 24u);
    if (s.size() < 24) return out;
    EXPECT_EQ(Le32(s, 0), 0xA1B2C3D4u);
    EXPECT_EQ(Le32(s, 4), 0x00040002u);  // version 2.4
    EXPECT_EQ(Le32(s, 20), 236u);        // LINKTYPE_MUX27010
    size_t pos = 24;
    while (pos + 16 <= s.size()) {
        PcapRecord r;
        r.timeUs = uint64_t(Le32(s, pos)) * 1000000 + Le32(s, pos + 4);
        uint32_t incl = Le32(s, pos + 8);
        EXPECT_EQ(Le32(s, pos + 12), incl);
        pos += 16;
        EXPECT_LE(pos + incl, s.size());
        EXPECT_GE(incl, 2u);
        if (pos + incl > s.size() || incl < 2) break;
        r.pseudo = static_cast<uint8_t>(s[pos]);
        r.direction = static_cast<uint8_t>(s[pos + 1]);
        r.frame.assign(s.begin() + pos + 2, s.begin() + pos + incl);
        out.push_back(r);
        pos += incl;
    }
    EXPECT_EQ(pos, s.size()) << "trailing octets";
    return out;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The position of the first line at or after `from` that contains `needle`
// (npos when none).
size_t LineWith(const std::vector<std::string>& lines, const std::string& needle, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); i++) {
        if (lines[i].find(needle) != std::string::npos) return i;
    }
    return std::string::npos;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& needle, size_t from = 0)
{
    size_t n = 0;
    for (size_t i = from; i < lines.size(); i++) {
        if (lines[i].find(needle) != std::string::npos) n++;
    }
    return n;
}

TEST_F(MuxsimTest, EveryPortOfTheDefaultConfigurationAnswers)
{
    RunResult r = Run("--trace --pcap " + Quote(Path("cap.pcap")) + " --root " + Quote(Path("root")));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    std::vector<std::string> lines = Lines(r.out);

    // Each port of config/mux.reg: opened with its mask, AT answered OK
    // through the reader's WaitCommEvent and ReadFile, the modem status.
    const size_t up = LineWith(lines, "multiplexer up: DLCI 0 connected");
    ASSERT_NE(up, std::string::npos) << r.out;
    for (const std::string port : {"MUX1:", "MUX2:", "MUX3:"}) {
        SCOPED_TRACE(port);
        const size_t opened = LineWith(lines, port + "  opened, SetCommMask(EV_RXCHAR)");
        ASSERT_NE(opened, std::string::npos) << r.out;
        EXPECT_GT(opened, up);
        const size_t sent = LineWith(lines, port + "  -> \"AT\\r\"", opened);
        ASSERT_NE(sent, std::string::npos) << r.out;
        const size_t ok = LineWith(lines, port + "  <- ", sent);
        ASSERT_NE(ok, std::string::npos);
        EXPECT_NE(LineWith(lines, "OK\\r\\n\"", ok), std::string::npos);
        EXPECT_NE(LineWith(lines, port + "  GetCommModemStatus: 0x30 (CTS DSR)", ok), std::string::npos)
            << r.out;
    }
    EXPECT_GT(LineWith(lines, "-      every instance deactivated"),
              LineWith(lines, "MUX3:  GetCommModemStatus"));
    // Virtual time stamps in order.
    uint64_t last = 0;
    const size_t scenario = LineWith(lines, "scenario boot:");
    ASSERT_NE(scenario, std::string::npos);
    for (size_t i = scenario + 1; i < lines.size(); i++) {
        const std::string& l = lines[i];
        if (l.size() < 12 || l.find(" ms  ") != 8) continue;
        const uint64_t t = std::stoull(l.substr(0, 8));
        EXPECT_GE(t, last) << l;
        last = t;
    }

    // The capture: SABM on DLCI 0 first, each frame complete with a good
    // FCS, times in order; the MSC queries of the modem status in it.
    std::vector<PcapRecord> recs = ReadPcap(Path("cap.pcap"));
    ASSERT_GE(recs.size(), 8u);
    EXPECT_EQ(recs[0].direction, 0);
    EXPECT_EQ(recs[0].frame, golden::kSabmDlci0);
    uint64_t lastUs = 0;
    size_t mscQueries = 0;
    for (const PcapRecord& rec : recs) {
        EXPECT_EQ(rec.pseudo, 0x00);
        sim::DecodedFrame d;
        ASSERT_TRUE(sim::DecodeFrame(rec.frame, &d)) << sim::Hex(rec.frame);
        EXPECT_TRUE(d.fcsOk) << sim::Hex(rec.frame);
        EXPECT_GE(rec.timeUs, lastUs);
        lastUs = rec.timeUs;
        if (rec.direction == 0 && d.dlci == 0 && sim::Hex(d.info).rfind("E3 05", 0) == 0) mscQueries++;
    }
    EXPECT_EQ(mscQueries, 3u);
    EXPECT_GT(recs[0].timeUs, 5000000u);  // after the reset and the handshake

    // The trace: one line per frame, the AT handshake as text.
    size_t frameLines = 0;
    for (const std::string& l : lines) {
        if (l.find("DLCI ") != std::string::npos && l.find(" ms  ") != std::string::npos &&
            l.find("->") != std::string::npos && l.find("  ->") == std::string::npos) {
            frameLines++;
        }
    }
    EXPECT_EQ(frameLines, recs.size()) << r.out;
    EXPECT_NE(r.out.find("host->module  AT    \"AT+CMUX=0,0,7\\r\\n\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MSC command DLCI 1 (0x07) V.24 0x0D (RTC RTR)"), std::string::npos) << r.out;

    // The log spans the instances' start-up.
    std::string log = ReadUtf16File(Path("root") + "/MuxLog.txt");
    EXPECT_NE(log.find("MUX log start for MUX1: ; Time = "), std::string::npos) << log;
    EXPECT_NE(log.find("MUX: CDispatcher::Init() -> OK ; Time="), std::string::npos) << log;
}

// The module's FCoff holds the client's AT command until its FCon: the
// command leaves only after the FCon response, and the module saw no frame
// of the host's while its hold was in force. A module that ignores the
// host's MSC FC, or holds little, runs the same boot.
TEST_F(MuxsimTest, FlowScenarioHoldsTheClientUntilFcOn)
{
    RunResult r = Run("--scenario flow --trace");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> lines = Lines(r.out);
    const size_t fcOff = LineWith(lines, "FCoff response");
    ASSERT_NE(fcOff, std::string::npos) << r.out;
    const size_t fcOn = LineWith(lines, "FCon response", fcOff);
    ASSERT_NE(fcOn, std::string::npos) << r.out;
    const size_t at = LineWith(lines, "host->module  DLCI 1  UIH", fcOff);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_GT(at, fcOn) << "the client's command left during FCoff";
    for (const char* module : {"honourHostFlow=false", "flowHoldLimit=0"})
        EXPECT_EQ(Run(std::string("--module ") + module).exitCode, 0) << module;
}

// The re-initialisation as the radio interface layer asks for it: the data
// call's end on the data and notification ports, the multiplexer down and
// up again, "ModuleReinit", and every port answering afterwards.
TEST_F(MuxsimTest, ReinitScenarioShowsTheWholeReinitialisation)
{
    RunResult r = Run("--scenario reinit --pcap " + Quote(Path("cap.pcap")));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> lines = Lines(r.out);
    const size_t connect = LineWith(lines, "MUX2:  <- \"\\r\\nCONNECT\\r\\n\"");
    ASSERT_NE(connect, std::string::npos) << r.out;
    const size_t status = LineWith(lines, "System\\State\\Phone Status = 0x1000", connect);
    const size_t ioctl = LineWith(lines, "MUX1:  DeviceIoControl(IOCTL_MUX_MODULEREINIT)", connect);
    ASSERT_NE(status, std::string::npos) << r.out;
    ASSERT_NE(ioctl, std::string::npos) << r.out;
    const size_t packet = LineWith(
        lines, "MUX2:  <- \"~\\xFF\\x03\\xC0!\\x05\\x00\\x00\\x1DNormal Termination by NCP!T~\"  (PPP LCP Terminate-Request)",
        ioctl);
    const size_t noCarrier = LineWith(lines, "MUX3:  <- \"3\\r\"", ioctl);
    const size_t down = LineWith(lines, "multiplexer going down: DISC on DLCI 0", ioctl);
    ASSERT_NE(packet, std::string::npos) << r.out;
    ASSERT_NE(noCarrier, std::string::npos) << r.out;
    ASSERT_NE(down, std::string::npos) << r.out;
    EXPECT_GT(down, packet);
    EXPECT_GT(down, noCarrier);
    const size_t starting = LineWith(lines, "multiplexer starting: \"AT+CMUX=0,0,7\\r\\n\"", down);
    const size_t up = LineWith(lines, "multiplexer up: DLCI 0 connected", down);
    const size_t returned = LineWith(lines, "MUX1:  IOCTL_MUX_MODULEREINIT returned FALSE", down);
    const size_t signalled = LineWith(lines, "\"ModuleReinit\" signalled", down);
    ASSERT_NE(starting, std::string::npos) << r.out;
    ASSERT_NE(up, std::string::npos) << r.out;
    ASSERT_NE(signalled, std::string::npos) << r.out;
    EXPECT_LT(starting, up);
    EXPECT_LT(up, returned);
    EXPECT_LT(returned, signalled);
    // An AT exchange and the modem status on every port afterwards.
    for (const std::string port : {"MUX1:", "MUX2:", "MUX3:"}) {
        SCOPED_TRACE(port);
        const size_t sent = LineWith(lines, port + "  -> \"AT\\r\"", signalled);
        ASSERT_NE(sent, std::string::npos) << r.out;
        EXPECT_NE(LineWith(lines, port + "  GetCommModemStatus: 0x30", sent), std::string::npos) << r.out;
    }
    EXPECT_EQ(CountLines(lines, "OK\\r\\n\"", signalled), 3u) << r.out;

    // On the line: the packet never went to the module (it is the driver's
    // own), and DLCI 0 came up twice.
    size_t sabmZero = 0;
    for (const PcapRecord& rec : ReadPcap(Path("cap.pcap"))) {
        sim::DecodedFrame d;
        ASSERT_TRUE(sim::DecodeFrame(rec.frame, &d));
        if (rec.direction == 0 && d.dlci == 0 && (d.control & 0xEF) == 0x2F) sabmZero++;
        EXPECT_EQ(sim::Hex(d.info).find("4E 6F 72 6D 61 6C"), std::string::npos);  // "Normal"
    }
    EXPECT_EQ(sabmZero, 2u);
}

// A registry file of the caller's: only its instances are activated and used.
// The crash scenario: "ModuleCrashed", the AT command's time-out, the crash
// request; both boxes on stderr, the crash log under the root.
TEST_F(MuxsimTest, CrashScenarioShowsBothBoxesAndLeavesTheCrashLog)
{
    RunResult r = Run("--scenario crash --root " + Quote(Path("root")));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> lines = Lines(r.out);
    const size_t told = LineWith(lines, "\"ModuleCrashed\" signalled");
    // The AT command that met the crash times out after the signal.
    const size_t timedOut = LineWith(lines, "MUX1:  no result within 3000 ms", told);
    const size_t request = LineWith(lines, "MUX1:  DeviceIoControl(IOCTL_MUX_CRASHDEBUGCMD)", timedOut);
    ASSERT_NE(told, std::string::npos) << r.out;
    ASSERT_NE(timedOut, std::string::npos) << r.out;
    ASSERT_NE(request, std::string::npos) << r.out;
    EXPECT_NE(LineWith(lines, "MUX1:  IOCTL_MUX_CRASHDEBUGCMD returned FALSE", request), std::string::npos);
    const size_t debugBox = r.err.find(
        "] Warning: RILDebug: Module crashed. Please press OK and wait ATA response complete.");
    const size_t finalBox = r.err.find(
        "Warning: RILDebug: Module crashed and get ATA log OK. You can coldboot device now!\n");
    EXPECT_NE(debugBox, std::string::npos) << r.err;
    EXPECT_NE(finalBox, std::string::npos) << r.err;
    EXPECT_NE(r.err.find("style 0x50000"), std::string::npos) << r.err;

    const std::string log = ReadFile(Path("root/ATARsp.txt"));
    EXPECT_EQ(log.rfind("\r\n\r\n========== QX7ATA Debug ==========\r\n", 0), 0u) << log.substr(0, 100);
    const std::string end = "+++\r\n\r\nTotal Serial Overrun 0 times";
    ASSERT_GE(log.size(), end.size());
    EXPECT_EQ(log.substr(log.size() - end.size()), end);
    const std::string muxLog = ReadUtf16File(Path("root/MuxLog.txt"));
    EXPECT_LT(muxLog.find("MUX: IOCTL_MUX_CRASHDEBUGCMD -> REZ crashed!!!"),
              muxLog.find("MUX: IOCTL_MUX_CRASHDEBUGCMD -> Get log data OK!!!"));
    EXPECT_NE(muxLog.find("MUX: IOCTL_MUX_CRASHDEBUGCMD -> Get log data OK!!!"), std::string::npos);

    // A crashed module that hears nothing: a reason, no success.
    r = Run("--scenario crash --module crashAnswers=false --root " + Quote(Path("silent")));
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("muxsim: the crashed module's debugging message was not shown\n"), std::string::npos) << r.err;
}

TEST_F(MuxsimTest, RegistryFileOfTheCallersChoice)
{
    {
        std::ofstream reg(Path("two.reg"));
        reg << "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n"
               "    \"Prefix\"=\"MUX\"\n    \"Index\"=dword:1\n    \"Order\"=dword:1\n"
               "    \"GSM_0710_DLCI\"=dword:1\n    \"GSM_0710_TYPE\"=dword:1\n"
               "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX7]\n"
               "    \"Prefix\"=\"MUX\"\n    \"Index\"=dword:7\n    \"Order\"=dword:2\n"
               "    \"GSM_0710_DLCI\"=dword:9\n    \"GSM_0710_TYPE\"=dword:1\n";
    }
    RunResult r = Run("--reg " + Quote(Path("two.reg")));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("MUX7:  GetCommModemStatus: 0x30"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MUX1:  -> \"AT\\r\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("MUX2:"), std::string::npos) << r.out;

    {
        std::ofstream bad(Path("bad.reg"));
        bad << "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n    \"Prefix\"=bogus:1\n";
    }
    RunResult b = Run("--reg " + Quote(Path("bad.reg")));
    EXPECT_EQ(b.exitCode, 2) << "bad input, as gsmmuxd answers it";
    ASSERT_EQ(Lines(b.err).size(), 1u) << b.err;
    EXPECT_NE(b.err.find("bad.reg:2"), std::string::npos) << b.err;
}

TEST_F(MuxsimTest, SameSeedSameOutput)
{
    RunResult a = Run("--trace --seed 7 --pcap " + Quote(Path("a.pcap")) + " --root " + Quote(Path("ra")));
    RunResult b = Run("--trace --seed 7 --pcap " + Quote(Path("b.pcap")) + " --root " + Quote(Path("rb")));
    ASSERT_EQ(a.exitCode, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(ReadFile(Path("a.pcap")), ReadFile(Path("b.pcap")));
    // The log's time stamps come from the virtual clock as well.
    const std::string logA = ReadFile(Path("ra") + "/MuxLog.txt");
    EXPECT_FALSE(logA.empty());
    EXPECT_EQ(logA, ReadFile(Path("rb") + "/MuxLog.txt"));
}

TEST_F(MuxsimTest, ModuleSettingsChangeTheRun)
{
    // The V.24 signals of the MSC response: DV and RTR.
    RunResult r = Run("--module v24=0x89");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("MUX1:  GetCommModemStatus: 0x90 (CTS RLSD)"), std::string::npos) << r.out;

    // A longer boot delay moves the whole start-up.
    RunResult late = Run("--trace --module rfOkDelayMs=2000");
    ASSERT_EQ(late.exitCode, 0) << late.err;
    RunResult normal = Run("--trace");
    EXPECT_NE(late.out, normal.out);
}

TEST_F(MuxsimTest, ModuleNeverAnsweringUaOnDlciZeroFails)
{
    RunResult r = Run("--pcap " + Quote(Path("cap.pcap")) + " --module noUaDlcis=0x1");
    EXPECT_EQ(r.exitCode, 1);
    std::vector<std::string> err = Lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_NE(err[0].find("DLCI 0"), std::string::npos) << r.err;
    // Only the host's SABMs on DLCI 0 are on the line: start-ups tried the
    // multiplexer and gave up.
    std::vector<PcapRecord> recs = ReadPcap(Path("cap.pcap"));
    ASSERT_GE(recs.size(), 1u);
    for (const PcapRecord& rec : recs) {
        EXPECT_EQ(rec.direction, 0);
        EXPECT_EQ(rec.frame, golden::kSabmDlci0);
    }
}

// The capture holds what went over the line: a UA whose closing flag the
// module corrupted never reached the driver, so it is no frame in the capture.
TEST_F(MuxsimTest, CaptureShowsTheFramesAfterTheModulesLineFaults)
{
    // Module octets: "\r\nOK\r\n" are 0 to 5, the UA on DLCI 0 is 6 to 11.
    RunResult r = Run("--trace --pcap " + Quote(Path("cap.pcap")) + " --module corruptToHost=11");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    std::vector<PcapRecord> recs = ReadPcap(Path("cap.pcap"));
    ASSERT_GE(recs.size(), 2u);
    // The first instance's SABM got no usable answer: the next frame is the
    // next start-up's SABM.
    EXPECT_EQ(recs[0].direction, 0);
    EXPECT_EQ(recs[1].direction, 0) << sim::Hex(recs[1].frame);
    EXPECT_NE(r.out.find("module->host  noise 6 octets: F9 03 73 01 D7 B9"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("MUX1:"), std::string::npos) << r.err;

    // A corrupted FCS still leaves a frame on the line: captured, checksum
    // bad. The driver checks it and does not take that UA, so the first
    // instance's SABM goes unanswered as above.
    RunResult bad = Run("--pcap " + Quote(Path("bad.pcap")) + " --module corruptToHost=10");
    EXPECT_EQ(bad.exitCode, 1) << bad.err;
    EXPECT_NE(bad.err.find("MUX1:"), std::string::npos) << bad.err;
    recs = ReadPcap(Path("bad.pcap"));
    ASSERT_GE(recs.size(), 2u);
    EXPECT_EQ(recs[1].direction, 1);
    EXPECT_EQ(recs[1].frame, (std::vector<uint8_t>{0xF9, 0x03, 0x73, 0x01, 0x97, 0xF9}));
    // Both directions at the last octet: the UA leaves 10 ms after the SABM arrived.
    EXPECT_EQ(recs[1].timeUs - recs[0].timeUs, 11000u);
}

// A burst of UIH frames on DLCI 0 just before the host's SABM fills the
// control channel's ring of control octets; the UA that the SABM waits for
// is still taken, whatever the moment of the burst.
TEST_F(MuxsimTest, UihBurstBeforeTheSabmLosesNotItsUa)
{
    for (int t = 5800; t <= 5808; ++t) {
        RunResult r = Run("--module uihBurst=" + std::to_string(t) + ":20");
        EXPECT_EQ(r.exitCode, 0) << "burst at " << t << ": " << r.err;
    }
}

TEST_F(MuxsimTest, OtherFailingExits)
{
    // DM instead of UA on DLCI 0.
    RunResult dm = Run("--module dmDlcis=0x1");
    EXPECT_EQ(dm.exitCode, 1);
    EXPECT_EQ(Lines(dm.err).size(), 1u) << dm.err;

    // No answer to the MSC command.
    RunResult msc = Run("--module answerMsc=false");
    EXPECT_EQ(msc.exitCode, 1);
    ASSERT_EQ(Lines(msc.err).size(), 1u) << msc.err;
    EXPECT_NE(msc.err.find("modem status"), std::string::npos) << msc.err;

    // A module that never comes up after its reset.
    RunResult dead = Run("--module bootAfterReset=false");
    EXPECT_EQ(dead.exitCode, 1);
    EXPECT_EQ(Lines(dead.err).size(), 1u) << dead.err;

    // Command-line mistakes.
    EXPECT_EQ(Run("--module noSuchSetting=1").exitCode, 2);
    EXPECT_EQ(Run("--seed x").exitCode, 2);
    EXPECT_EQ(Run("--seed 99999999999999999999").exitCode, 2);  // out of range, not clamped
    EXPECT_EQ(Run("--seed").exitCode, 2);
    EXPECT_EQ(Run("--bogus").exitCode, 2);
    EXPECT_EQ(Run("--scenario nope").exitCode, 2);
    EXPECT_EQ(Run("--reg").exitCode, 2);

    // gsmmuxd's conventions: both GNU forms, the same one-line messages and
    // exit status 2 for bad input, found before anything runs or is served.
    const struct {
        std::string args;
        std::string err;
    } bad[] = {
        {"--bogus", "muxsim: unknown option '--bogus' (try --help)\n"},
        {"--seed", "muxsim: option '--seed' needs a value\n"},
        {"--trace extra", "muxsim: unexpected argument 'extra' (try --help)\n"},
        {"--scenario=nope", "muxsim: --scenario: unknown scenario \"nope\" (try --help)\n"},
        {"--serve=/nonexistent/tty", "muxsim: /nonexistent/tty: No such file or directory\n"},
        {"--serve /dev/null", "muxsim: /dev/null: not a tty\n"},
        {"--pcap=/nonexistent/dir/cap.pcap", "muxsim: /nonexistent/dir/cap.pcap: No such file or directory\n"},
        {"--reg=" + Path("missing.reg"), "muxsim: " + Path("missing.reg") + ": cannot be opened\n"},
    };
    for (const auto& c : bad) {
        RunResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
    RunResult v = Run("-V");
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_EQ(v.out, "muxsim 0.1\n");
    EXPECT_EQ(Run("--version").out, "muxsim 0.1\n");
    RunResult seeded = Run("--seed=7 --scenario=boot");
    EXPECT_EQ(seeded.exitCode, 0) << seeded.err;
    EXPECT_EQ(seeded.out, Run("--seed 7").out);
}

TEST_F(MuxsimTest, HelpListsOptionsAndModuleSettingsWithDefaults)
{
    RunResult r = Run("--help");
    EXPECT_EQ(r.exitCode, 0);
    for (const char* s : {"--seed N", "--root DIR", "--trace", "--pcap FILE", "--module KEY=VALUE", "-h, --help",
                          "--reg FILE", "--scenario NAME", "  boot ", "  reinit ", "  crash ", "  flow ",
                          "rfOkDelayMs            [1250]", "uaDelayMs              [10]",
                          "noUaDlcis              [0x0]", "answerCmux             [true]"}) {
        EXPECT_NE(r.out.find(s), std::string::npos) << s << "\n" << r.out;
    }
}

// The capture as Wireshark reads it, when tshark is installed.
TEST_F(MuxsimTest, TsharkDecodesEveryFrameWithAGoodChecksum)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark not installed";
    }
    RunResult r = Run("--pcap " + Quote(Path("cap.pcap")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    size_t frames = ReadPcap(Path("cap.pcap")).size();
    std::string cmd = "tshark -r " + Quote(Path("cap.pcap")) +
                      " -T fields -e mux27010.checksum_correct >" + Quote(Path("ts.txt")) + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::vector<std::string> lines = Lines(ReadFile(Path("ts.txt")));
    ASSERT_EQ(lines.size(), frames);
    for (const std::string& l : lines) {
        EXPECT_TRUE(l == "1" || l == "True") << "checksum field: \"" << l << "\"";
    }
}

}  // namespace

namespace {

// What a live trace or capture makes of a line's octets, whatever the
// chunks they come in: AT text as lines, frames whole (a frame cut across
// chunks, closing and opening flags shared), junk outside frames as noise.
TEST(MuxsimLineCutter, CutsTextFramesAndNoiseAcrossChunkBoundaries)
{
    const std::vector<uint8_t> sabm = sim::BuildFrame(0, true, sim::kSabm | sim::kPf);
    const std::vector<uint8_t> uih = sim::BuildFrame(1, true, sim::kUih, {'A', 'T', '\r'});
    std::vector<uint8_t> line = {'A', 'T', '+', 'C', 'M', 'U', 'X', '=', '0', '\r'};
    line.insert(line.end(), sabm.begin(), sabm.end() - 1);  // its closing flag opens the next
    line.insert(line.end(), uih.begin(), uih.end());
    line.insert(line.end(), {0x02, 'x', 'y'});  // an address without EA: no frame
    line.insert(line.end(), uih.begin(), uih.end());
    for (size_t cut : {size_t(1), size_t(3), size_t(7), line.size()}) {
        SCOPED_TRACE("chunks of " + std::to_string(cut));
        linetrace::LineCutter cutter(sim::Direction::HostToModule);
        std::vector<sim::RecordEntry> out;
        for (size_t at = 0; at < line.size(); at += cut)
            cutter.Feed(at, line.data() + at, std::min(cut, line.size() - at), &out);
        ASSERT_EQ(out.size(), 5u);
        EXPECT_EQ(out[0].kind, sim::RecordKind::At);
        EXPECT_EQ(std::string(out[0].octets.begin(), out[0].octets.end()), "AT+CMUX=0\r");
        EXPECT_EQ(out[1].octets, sabm);
        EXPECT_EQ(out[2].octets, uih);
        EXPECT_EQ(out[3].kind, sim::RecordKind::Noise);
        EXPECT_EQ(out[4].octets, uih);
        EXPECT_EQ(out[4].kind, sim::RecordKind::Frame);
        EXPECT_EQ(out[4].direction, sim::Direction::HostToModule);
    }
}

}  // namespace
