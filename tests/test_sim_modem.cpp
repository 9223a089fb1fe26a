// The modem behind the user DLCIs, driven as the host drives it: AT command
// lines in UIH frames the test builds, answers as UIH frames of at most N1
// octets, a data call, unsolicited texts, and flow control both ways.
#include "sim_bench.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The module with an interpreter on every user DLCI.
sim::ModuleSettings ModemDefaults()
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.modem.modemDlcis = ~uint64_t(1);
    return s;
}

Bytes HostUih(int dlci, const std::string& text)
{
    return TestFrame(dlci, true, 0xEF, Bytes(text.begin(), text.end()));
}

// The information of the module's UIH frames on `dlci` in `line`, checked
// frame by frame against the test's own build of it; *frames counts them.
std::string Texts(const Bytes& line, int dlci, size_t* frames = nullptr, size_t* largest = nullptr)
{
    std::string text;
    size_t pos = 0, n = 0, big = 0;
    while (pos + 6 <= line.size()) {
        const size_t len = line[pos + 3] >> 1;
        if (pos + 6 + len > line.size()) break;
        const Bytes frame(line.begin() + pos, line.begin() + pos + 6 + len);
        const Bytes info(frame.begin() + 4, frame.end() - 2);
        EXPECT_EQ(frame, TestFrame(dlci, false, 0xEF, info));
        text.append(info.begin(), info.end());
        pos += 6 + len;
        ++n;
        big = std::max(big, len);
    }
    EXPECT_EQ(pos, line.size()) << "octets left over";
    if (frames) *frames = n;
    if (largest) *largest = big;
    return text;
}

// In multiplexer mode (AT+CMUX with the given N1, 0: none), DLCI 0 and
// `dlci` connected.
void Open(Bench& b, int dlci, uint32_t n1 = 0)
{
    const std::string cmux = n1 ? "AT+CMUX=0,0,7," + std::to_string(n1) + "\r" : "AT+CMUX=0,0,7\r";
    b.Write(cmux);
    Sleep(50);
    b.ReadNow();
    b.SetBaud(460800);
    for (int d : {0, dlci}) {
        b.Write(TestFrame(d, true, 0x3F));
        ASSERT_EQ(b.Collect(50), TestFrame(d, true, 0x73));
    }
}

}  // namespace

TEST(ModuleModem, AnswersCommandsOnEachUserDlciWithItsOwnState)
{
    Bench b(81, ModemDefaults());
    Open(b, 1);
    b.Write(TestFrame(2, true, 0x3F));
    b.Collect(50);
    b.Write(HostUih(1, "ATE0\r"));
    EXPECT_EQ(Texts(b.Collect(50), 1), "ATE0\r\r\nOK\r\n");  // echo, then the result
    b.Write(HostUih(1, "AT+CSQ\r"));
    EXPECT_EQ(Texts(b.Collect(50), 1), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    // DLCI 2 still echoes; the line may come in pieces.
    b.Write(HostUih(2, "ATV"));
    b.Write(HostUih(2, "0\r"));
    EXPECT_EQ(Texts(b.Collect(50), 2), "ATV0\r0\r");
    b.Write(HostUih(2, "AT+CPIN?\r"));
    EXPECT_EQ(Texts(b.Collect(50), 2), "AT+CPIN?\r+CPIN: READY\r\n0\r");
    EXPECT_EQ(b.Serial().ModemCommands(2), (std::vector<std::string>{"ATV0", "AT+CPIN?"}));
    // A DISC and a new SABM give a fresh interpreter.
    b.Write(TestFrame(1, true, 0x53));
    b.Collect(50);
    b.Write(TestFrame(1, true, 0x3F));
    b.Collect(50);
    b.Write(HostUih(1, "AT\r"));
    EXPECT_EQ(Texts(b.Collect(50), 1), "AT\r\r\nOK\r\n");
    // DLCIs without an interpreter stay silent.
    sim::ModuleSettings s = ModemDefaults();
    s.serial.modem.modemDlcis = 1u << 2;
    Bench quiet(82, s);
    Open(quiet, 1);
    quiet.Write(HostUih(1, "AT\r"));
    EXPECT_TRUE(quiet.Collect(100).empty());
    EXPECT_EQ(quiet.Serial().DataFromHost(1), Bytes({'A', 'T', '\r'}));
}

TEST(ModuleModem, DataCallSourceGoesOutInFramesOfAtMostN1)
{
    for (uint32_t n1 : {0u, 31u}) {
        SCOPED_TRACE(n1);
        sim::ModuleSettings s = ModemDefaults();
        s.serial.modem.dataMode = sim::DataMode::Source;
        s.serial.modem.sourceOctets = 300;
        s.serial.modem.echo = false;
        Bench b(83 + n1, s);
        Open(b, 3, n1);
        b.Write(HostUih(3, "ATD*99#\r"));
        size_t frames = 0, largest = 0;
        const std::string all = Texts(b.Collect(500), 3, &frames, &largest);
        const uint32_t size = n1 ? n1 : 127;
        ASSERT_EQ(all.size(), 11u + 300u + 14u) << all;
        EXPECT_EQ(all.substr(0, 11), "\r\nCONNECT\r\n");
        for (size_t i = 0; i < 300; ++i) ASSERT_EQ(static_cast<uint8_t>(all[11 + i]), i & 0xFF);
        EXPECT_EQ(all.substr(311), "\r\nNO CARRIER\r\n");
        EXPECT_EQ(largest, size);
        EXPECT_EQ(frames, 1 + (300 + size - 1) / size + 1);
        EXPECT_FALSE(b.Serial().InDataCall(3));
    }
}

TEST(ModuleModem, DataCallEchoEndsWithPlusPlusPlusOrDisc)
{
    sim::ModuleSettings s = ModemDefaults();
    s.serial.modem.echo = false;
    s.serial.modem.guardMs = 200;
    Bench b(90, s);
    Open(b, 1);
    b.Write(HostUih(1, "ATD*99***1#\r"));
    EXPECT_EQ(Texts(b.Collect(50), 1), "\r\nCONNECT\r\n");
    EXPECT_TRUE(b.Serial().InDataCall(1));
    const std::string data(200, 'd');
    b.Write(HostUih(1, data.substr(0, 100)));
    b.Write(HostUih(1, data.substr(100)));
    EXPECT_EQ(Texts(b.Collect(50), 1), data);
    Sleep(250);
    b.Write(HostUih(1, "+++"));
    EXPECT_EQ(Texts(b.Collect(100), 1), "+++");
    EXPECT_TRUE(b.Serial().InDataCall(1));
    EXPECT_EQ(Texts(b.Collect(150), 1), "\r\nOK\r\n");
    EXPECT_FALSE(b.Serial().InDataCall(1));
    EXPECT_EQ(b.Serial().DataCallOctets(1), 203u);

    // A DISC ends a call as well; after a new SABM the DLCI takes commands.
    b.Write(HostUih(1, "ATD*99#\r"));
    b.Collect(50);
    b.Write(TestFrame(1, true, 0x53));
    EXPECT_EQ(b.Collect(50), TestFrame(1, true, 0x73));
    EXPECT_FALSE(b.Serial().InDataCall(1));
    b.Write(TestFrame(1, true, 0x3F));
    b.Collect(50);
    b.Write(HostUih(1, "AT\r"));
    EXPECT_EQ(Texts(b.Collect(50), 1), "\r\nOK\r\n");
}

TEST(ModuleModem, UnsolicitedTextsAndFlowControlBothWays)
{
    sim::ModuleSettings s = ModemDefaults();
    s.serial.modem.unsolicited.push_back(sim::Unsolicited{1, 300, "RING"});
    s.serial.modem.unsolicited.push_back(sim::Unsolicited{2, 300, "+CREG: 1"});  // DLCI 2 closed
    s.serial.modem.flowStops.push_back(sim::FlowStop{1, 500, 200});
    Bench b(91, s);
    Open(b, 1);
    Sleep(300 - plat::NowMs());
    EXPECT_EQ(Texts(b.Collect(10), 1), "\r\nRING\r\n");
    Sleep(500 - plat::NowMs());
    EXPECT_EQ(b.Collect(10), TestFrame(0, false, 0xEF, {0xE3, 0x05, 0x07, 0x0F}));  // FC set
    Sleep(700 - plat::NowMs());
    EXPECT_EQ(b.Collect(10), TestFrame(0, false, 0xEF, {0xE3, 0x05, 0x07, 0x0D}));

    // The host stops DLCI 1: the module holds its answers until FC clears.
    b.Write(TestFrame(0, true, 0xEF, {0xE3, 0x05, 0x07, 0x03}));
    b.Collect(50);
    b.Write(HostUih(1, "AT\r"));
    b.Serial().SendUnsolicited(1, "RING");
    EXPECT_TRUE(b.Collect(200).empty());
    EXPECT_TRUE(b.Serial().HostStoppedFlow(1));
    b.Write(TestFrame(0, true, 0xEF, {0xE3, 0x05, 0x07, 0x01}));
    // What was held goes first, as soon as FC clears; the MSC answer follows.
    const Bytes after = b.Collect(50);
    const Bytes mscAnswer = TestFrame(0, false, 0xEF, {0xE1, 0x05, 0x07, 0x0D});
    ASSERT_GE(after.size(), mscAnswer.size());
    const size_t held = after.size() - mscAnswer.size();
    EXPECT_EQ(Bytes(after.begin() + held, after.end()), mscAnswer);
    EXPECT_EQ(Texts(Bytes(after.begin(), after.begin() + held), 1), "AT\r\r\nRING\r\n\r\nOK\r\n");
}
