// The main program, run as a separate process from the same build: exit
// status, the one-line reasons, the trace, the capture file and the log.
#include <gtest/gtest.h>

#include "sim/frame_record.h"
#include "sim_world.h"

#include <sys/wait.h>

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

TEST_F(MuxsimTest, DefaultModuleComesUpAndAnswersTheModemStatus)
{
    RunResult r = Run("--trace --pcap " + Quote(Path("cap.pcap")) + " --root " + Quote(Path("root")));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_NE(r.out.find("modem status of DLCI 1: 0x30 (CTS DSR)"), std::string::npos) << r.out;

    // The capture: SABM/UA on DLCI 0, the MSC exchange for DLCI 1, each
    // frame complete, flag to flag, with a good FCS; times in order.
    std::vector<PcapRecord> recs = ReadPcap(Path("cap.pcap"));
    ASSERT_GE(recs.size(), 4u);
    using B = std::vector<uint8_t>;
    EXPECT_EQ(recs[0].direction, 0);
    EXPECT_EQ(recs[0].frame, (B{0xF9, 0x03, 0x3F, 0x01, 0x1C, 0xF9}));
    EXPECT_EQ(recs[1].direction, 1);
    EXPECT_EQ(recs[2].direction, 0);
    EXPECT_EQ(recs[3].direction, 1);
    sim::DecodedFrame f;
    ASSERT_TRUE(sim::DecodeFrame(recs[1].frame, &f));
    EXPECT_EQ(f.dlci, 0);
    EXPECT_EQ(f.control, 0x73);
    ASSERT_TRUE(sim::DecodeFrame(recs[2].frame, &f));
    EXPECT_EQ(sim::Hex(f.info), "E3 05 07 0D");
    ASSERT_TRUE(sim::DecodeFrame(recs[3].frame, &f));
    EXPECT_EQ(sim::Hex(f.info), "E1 05 07 0D");
    uint64_t last = 0;
    for (const PcapRecord& rec : recs) {
        EXPECT_EQ(rec.pseudo, 0x00);
        EXPECT_LE(rec.direction, 1);
        sim::DecodedFrame d;
        ASSERT_TRUE(sim::DecodeFrame(rec.frame, &d)) << sim::Hex(rec.frame);
        EXPECT_TRUE(d.fcsOk) << sim::Hex(rec.frame);
        EXPECT_GE(rec.timeUs, last);
        last = rec.timeUs;
    }
    // Virtual time: the reset and the handshake come before the SABM.
    EXPECT_GT(recs[0].timeUs, 5000000u);

    // The trace: the AT handshake as text, then one line per frame; the
    // frame count matches the capture.
    std::vector<std::string> lines = Lines(r.out);
    size_t frameLines = 0, atLines = 0;
    for (const std::string& l : lines) {
        if (l.find("DLCI ") != std::string::npos && l.find(" ms  ") != std::string::npos) frameLines++;
        if (l.find("AT    \"") != std::string::npos) atLines++;
    }
    EXPECT_EQ(frameLines, recs.size()) << r.out;
    EXPECT_EQ(atLines, 2u) << r.out;
    EXPECT_NE(r.out.find("host->module  AT    \"AT+CMUX=0,0,7\\r\\n\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MSC command DLCI 1 (0x07) V.24 0x0D (RTC RTR)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("DLCI 0  SABM C/R=1 P/F=1 len   0"), std::string::npos) << r.out;

    // The log spans the whole start-up.
    std::string log = ReadUtf16File(Path("root") + "/MuxLog.txt");
    EXPECT_NE(log.find("MUX: CDispatcher::ModuleReset() ; GSM_RF_OK success"), std::string::npos) << log;
    EXPECT_NE(log.find("MUX: CDispatcher::Init() -> OK ; Time="), std::string::npos) << log;
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
    EXPECT_NE(r.out.find("modem status of DLCI 1: 0x90 (CTS RLSD)"), std::string::npos) << r.out;

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
    // Only the host's SABM is on the line.
    std::vector<PcapRecord> recs = ReadPcap(Path("cap.pcap"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].direction, 0);
    EXPECT_EQ(recs[0].frame, (std::vector<uint8_t>{0xF9, 0x03, 0x3F, 0x01, 0x1C, 0xF9}));
}

// The capture holds what went over the line: a UA whose closing flag the
// module corrupted never reached the driver, so it is no frame in the capture.
TEST_F(MuxsimTest, CaptureShowsTheFramesAfterTheModulesLineFaults)
{
    // Module octets: "\r\nOK\r\n" are 0 to 5, the UA on DLCI 0 is 6 to 11.
    RunResult r = Run("--trace --pcap " + Quote(Path("cap.pcap")) + " --module corruptToHost=11");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    std::vector<PcapRecord> recs = ReadPcap(Path("cap.pcap"));
    ASSERT_GE(recs.size(), 1u);
    for (const PcapRecord& rec : recs) EXPECT_EQ(rec.direction, 0) << sim::Hex(rec.frame);
    EXPECT_NE(r.out.find("module->host  noise 6 octets: F9 03 73 01 D7 B9"), std::string::npos)
        << r.out;

    // A corrupted FCS still leaves a frame on the line: captured, checksum
    // bad (the driver does not check it and comes up).
    RunResult bad = Run("--pcap " + Quote(Path("bad.pcap")) + " --module corruptToHost=10");
    EXPECT_EQ(bad.exitCode, 0) << bad.err;
    recs = ReadPcap(Path("bad.pcap"));
    ASSERT_GE(recs.size(), 2u);
    EXPECT_EQ(recs[1].direction, 1);
    EXPECT_EQ(recs[1].frame, (std::vector<uint8_t>{0xF9, 0x03, 0x73, 0x01, 0x97, 0xF9}));
    // Both directions at the last octet: the UA leaves 10 ms after the SABM arrived.
    EXPECT_EQ(recs[1].timeUs - recs[0].timeUs, 11000u);
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
}

TEST_F(MuxsimTest, HelpListsOptionsAndModuleSettingsWithDefaults)
{
    RunResult r = Run("--help");
    EXPECT_EQ(r.exitCode, 0);
    for (const char* s : {"--seed N", "--root DIR", "--trace", "--pcap FILE", "--module KEY=VALUE", "-h, --help",
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
