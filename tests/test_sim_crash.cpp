// The crashed module as the crash capture meets it: out of the multiplexer,
// at the speed the port was left at, "ATD\r" and "ATA\r" answered with texts
// ended by "+++\r\n", in pieces, with line conditions between them, or
// without end; a reset brings it back to AT+CMUX.
#include "sim_bench.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Reads everything up to and including "+++\r\n" (or what came within
// `limitMs`).
std::string ReadAnswer(Bench& b, uint32_t limitMs)
{
    std::string all;
    for (uint32_t waited = 0; waited < limitMs && all.find("+++\r\n") == std::string::npos;
         waited += 1) {
        Sleep(1);
        all += Str(b.ReadNow());
    }
    return all;
}

}  // namespace

TEST(ModuleCrash, AnswersAtdAndAtaAtTheMultiplexerSpeed)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.crash.debugText = "assert at 0x1234\r\n";
    s.serial.crash.logOctets = 1000;
    s.serial.crash.chunkOctets = 300;
    s.serial.crash.chunkGapMs = 5;
    Bench b(101, s);
    b.Handshake();
    b.Module().Crash();
    EXPECT_EQ(b.Serial().GetMode(), sim::ModuleSerial::Mode::Crashed);
    EXPECT_EQ(b.Serial().Uart().PeerBaud(), 460800u);
    // Frames and other text get nothing.
    b.Write(TestFrame(0, true, 0x3F));
    b.Write(std::string("AT\r"));
    EXPECT_TRUE(b.Collect(100).empty());

    // Noise without a line end before the command (a DISC on its way down)
    // does not hide it.
    b.Write(TestFrame(1, true, 0x53));
    b.Write(std::string("ATD\r"));
    EXPECT_EQ(ReadAnswer(b, 200), "assert at 0x1234\r\n+++\r\n");
    b.Write(std::string("ATA\r"));
    const std::string log = ReadAnswer(b, 500);
    ASSERT_EQ(log.size(), 1005u);
    EXPECT_EQ(log.substr(0, 7), "00000: ");
    EXPECT_EQ(log.substr(1000), "+++\r\n");
    // Both exchanges are in the record as text: the log in writes of 300,
    // 300, 300 and 105 octets, each 5 ms after the previous one left.
    std::vector<sim::RecordEntry> writes;
    for (const sim::RecordEntry& e : b.Serial().Record())
        if (e.kind == sim::RecordKind::At && e.direction == sim::Direction::ModuleToHost)
            writes.push_back(e);
    ASSERT_EQ(writes.size(), 1u + 1u + 4u);  // the AT+CMUX answer, ATD, the log
    EXPECT_EQ(writes[5].octets.size(), 105u);
    for (size_t i = 3; i < 6; ++i) {
        const uint64_t onTheLineMs = writes[i].octets.size() * 10 / 461;  // at 460800
        EXPECT_GE(writes[i].timeMs - writes[i - 1].timeMs, 5u + onTheLineMs);
    }

    // Powered up again, it speaks AT commands at 115200 once more.
    b.Module().Lines().PowerOnRunning();
    EXPECT_EQ(b.Serial().GetMode(), sim::ModuleSerial::Mode::AtCommand);
    b.SetBaud(115200);
    b.Handshake();
}

TEST(ModuleCrash, LineConditionsDuringTheLogAndALogWithoutEnd)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.crash.logOctets = 600;
    s.serial.crash.chunkOctets = 200;
    s.serial.crash.eventAfterChunk[0] = CE_OVERRUN;
    s.serial.crash.eventAfterChunk[1] = 0;  // a break
    s.serial.crash.endless = true;
    Bench b(102, s);
    b.SkipHandshake();
    b.Module().Crash();
    b.Write(std::string("ATA\r"));
    ASSERT_TRUE(SetCommMask(b.Port(), 0xC1));
    DWORD mask = 0, errors = 0;
    std::string log;
    bool overrun = false, broke = false;
    while (log.size() < 600) {
        ASSERT_TRUE(WaitCommEvent(b.Port(), &mask, NULL));
        if (mask & EV_ERR) {
            ASSERT_TRUE(ClearCommError(b.Port(), &errors, NULL));
            overrun |= errors == CE_OVERRUN;
            broke |= (errors & CE_BREAK) != 0;
        }
        if (mask & EV_BREAK) broke = true;
        if (mask & EV_RXCHAR) {
            log += Str(b.ReadNow());
            if (log.size() == 200) {
                EXPECT_FALSE(broke);
            }
        }
    }
    EXPECT_TRUE(overrun);
    EXPECT_TRUE(broke);
    EXPECT_EQ(log.size(), 600u);
    EXPECT_EQ(log.find("+++"), std::string::npos);
    EXPECT_TRUE(b.Collect(2000).empty());  // and nothing more, ever

    // A module set not to answer hears nothing once crashed.
    sim::ModuleSettings deaf = Bench::Defaults();
    deaf.serial.crash.answer = false;
    Bench d(103, deaf);
    d.Module().Crash();
    EXPECT_EQ(d.Serial().GetMode(), sim::ModuleSerial::Mode::Off);
    d.Write(std::string("ATD\r"));
    EXPECT_TRUE(d.Collect(200).empty());
}
