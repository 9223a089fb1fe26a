// The module's AT command side: the interpreter on its own (text in, text
// out, time passed in), and AT+CMUX on the UART accepted and refused as a
// modem does.
#include "sim_bench.h"

#include "sim/at_modem.h"

#include <gtest/gtest.h>

#include <string>

using sim::AtModem;

namespace {

std::string Echo(AtModem& m, const std::string& in, uint64_t now = 0)
{
    return m.Feed(Bytes(in.begin(), in.end()), now).now;
}

std::string Reply(AtModem& m, const std::string& in, uint64_t now = 0)
{
    return m.Feed(Bytes(in.begin(), in.end()), now).reply;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace

TEST(AtModem, ResultsFollowEchoVerboseAndQuiet)
{
    AtModem m(sim::ModemSettings(), true);
    EXPECT_EQ(Echo(m, "AT\r"), "AT\r");
    EXPECT_EQ(Reply(m, "AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "ATE0\r"), "\r\nOK\r\n");
    EXPECT_EQ(Echo(m, "AT\r"), "");
    EXPECT_EQ(Reply(m, "ATV0\r"), "0\r");
    EXPECT_EQ(Reply(m, "AT+CSQ\r"), "+CSQ: 20,99\r\n0\r");
    EXPECT_EQ(Reply(m, "AT+NOSUCH\r"), "4\r");
    // Strung together, with spaces and lower case; the V1 applies to the result.
    EXPECT_EQ(Reply(m, "at e1 v1\r"), "\r\nOK\r\n");
    EXPECT_EQ(Echo(m, "AT\r"), "AT\r");
    EXPECT_EQ(Reply(m, "ATQ1\r"), "");
    EXPECT_EQ(Reply(m, "AT+CGMI\r"), "\r\nSimulated Modems\r\n");  // information stays
    EXPECT_EQ(Reply(m, "ATZ\r"), "\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "ATE2\r"), "\r\nERROR\r\n");
    EXPECT_EQ(Reply(m, "ATX\r"), "\r\nERROR\r\n");
    // A line without "AT" is no command line; junk before "AT" is skipped;
    // LF and backspace as a terminal sends them.
    EXPECT_EQ(Reply(m, "hello\r"), "");
    EXPECT_EQ(Reply(m, "\xF9\x03zAT\r"), "\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "\nATQ\b\b\b\bAT\r"), "\r\nOK\r\n");
    EXPECT_EQ(m.Commands().back(), "AT");
}

TEST(AtModem, AnswersTheCommandsOfAModem)
{
    sim::ModemSettings s;
    s.rssi = 31;
    s.regStatus = 5;
    s.pin = "SIM PIN";
    AtModem m(s, false);
    EXPECT_EQ(Reply(m, "ATI\r"), "\r\nSimulated Modems SM-27010\r\n\r\nRevision: 1.0.0\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CGMM\r"), "\r\nSM-27010\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CGMR;+CGSN\r"),
              "\r\n1.0.0\r\n\r\n351234567890123\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CSQ\r"), "\r\n+CSQ: 31,99\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CREG?\r"), "\r\n+CREG: 0,5\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CREG=2\r"), "\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CREG?\r"), "\r\n+CREG: 2,5\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CREG=3\r"), "\r\nERROR\r\n");
    EXPECT_EQ(Reply(m, "AT+CPIN?\r"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+COPS?\r"), "\r\n+COPS: 0,0,\"SIM NET\"\r\n\r\nOK\r\n");
    EXPECT_EQ(Reply(m, "AT+CGDCONT=1,\"IP\",\"internet\"\r"), "\r\nOK\r\n");
    // The first failing command ends the line: the +CSQ after it never runs.
    EXPECT_EQ(Reply(m, "AT+CMEE=9;+CSQ\r"), "\r\nERROR\r\n");
    EXPECT_EQ(Reply(m, "AT+CMUX=?\r"),
              "\r\n+CMUX: (0),(0),(1-8),(1-32768),(1-255),(0-100),(2-255),(1-255),(1-7)\r\n\r\nOK\r\n");
    // Not in a multiplexer-capable place: AT+CMUX itself is unknown here.
    EXPECT_EQ(Reply(m, "AT+CMUX=0\r"), "\r\nERROR\r\n");
    EXPECT_EQ(Reply(m, "ATD12345;\r"), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Reply(m, "ATO\r"), "\r\nNO CARRIER\r\n");
}

TEST(AtModem, DataCallEchoesUntilPlusPlusPlusWithGuardTime)
{
    sim::ModemSettings s;
    s.guardMs = 1000;
    AtModem m(s, false);
    AtModem::Output out = m.Feed(Bytes{'A', 'T', 'D', '*', '9', '9', '#', '\r'}, 0);
    EXPECT_EQ(out.reply, "\r\nCONNECT\r\n");
    EXPECT_TRUE(out.connected);
    EXPECT_TRUE(m.InDataCall());
    // Data, "AT" included, comes back.
    EXPECT_EQ(Echo(m, "AT\r+x", 100), "AT\r+x");
    // "+++" without the guard before it is data.
    out = m.Feed(Bytes{'+', '+', '+'}, 500);
    EXPECT_FALSE(out.escapeCheck);
    // With the guard before it, but data within the guard after it: still a call.
    out = m.Feed(Bytes{'+', '+', '+'}, 1600);
    EXPECT_TRUE(out.escapeCheck);
    Echo(m, "y", 2000);
    std::string reply;
    EXPECT_FALSE(m.EscapeCheck(2600, &reply));
    EXPECT_TRUE(m.InDataCall());
    // A clean escape ends the call with OK.
    out = m.Feed(Bytes{'+', '+', '+'}, 3100);
    EXPECT_TRUE(out.escapeCheck);
    EXPECT_FALSE(m.EscapeCheck(3900, &reply));
    EXPECT_TRUE(m.EscapeCheck(4100, &reply));
    EXPECT_EQ(reply, "\r\nOK\r\n");
    EXPECT_FALSE(m.InDataCall());
    EXPECT_EQ(m.DataReceived(), 15u);
    EXPECT_EQ(Reply(m, "AT\r"), "\r\nOK\r\n");
}

TEST(ModuleAtCmux, AcceptsWhatAModemAcceptsAndRefusesTheRest)
{
    struct Case {
        const char* command;
        bool accepted;
        uint32_t baud;
        uint32_t n1;
    };
    const Case cases[] = {
        {"AT+CMUX=0,0,7\r\n", true, 460800, 127},
        {"at+cmux=0\r", true, 115200, 127},
        {"AT+CMUX = 0 , , 6 , 31\r", true, 230400, 31},
        {"AT+CMUX=0,0,7,32768,255,100,255,255,7\r", true, 460800, 32768},
        {"AT+CMUX=1,0,7\r", false, 0, 0},     // advanced option: not supported
        {"AT+CMUX=0,1,7\r", false, 0, 0},     // UI frames: not supported
        {"AT+CMUX=0,0,9\r", false, 0, 0},     // no such speed
        {"AT+CMUX=0,0,0\r", false, 0, 0},
        {"AT+CMUX=0,0,7,0\r", false, 0, 0},   // N1 from 1
        {"AT+CMUX=0,0,7,32769\r", false, 0, 0},
        {"AT+CMUX=0,0,7,1,1,1,2,1,8\r", false, 0, 0},  // k up to 7
        {"AT+CMUX=0,0,7,1,1,1,2,1,1,1\r", false, 0, 0},  // ten values
        {"AT+CMUX=\r", false, 0, 0},          // the mode is required
        {"AT+CMUX=,0,7\r", false, 0, 0},
        {"AT+CMUX=+0,0,7\r", false, 0, 0},
        {"AT+CMUX=0,0,7x\r", false, 0, 0},
        {"AT+CMUX=-1\r", false, 0, 0},
    };
    uint64_t seed = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        Bench b(++seed);
        b.Write(std::string(c.command));
        Sleep(50);
        EXPECT_EQ(Str(b.ReadNow()), c.accepted ? "\r\nOK\r\n" : "\r\nERROR\r\n");
        EXPECT_EQ(b.Serial().CmuxCommands(), 1u);
        EXPECT_EQ(b.Serial().GetMode(), c.accepted ? sim::ModuleSerial::Mode::Mux
                                                   : sim::ModuleSerial::Mode::AtCommand);
        if (!c.accepted) continue;
        EXPECT_EQ(b.Serial().Uart().PeerBaud(), c.baud);
        EXPECT_EQ(b.Serial().FrameSize(), c.n1);
    }
}
