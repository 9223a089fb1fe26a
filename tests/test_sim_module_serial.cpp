// The simulated module's serial half, driven through "COM9:" the way the
// driver drives it: AT+CMUX at 115200, 27.010 at 460800, the peer's answers,
// the fault knobs and the record of both directions.
#include "platform/platform.h"

#include "golden_frames.h"
#include "sim/frame_record.h"
#include "platform/host.h"
#include "sim/module.h"
#include "sim_bench.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using sim::BuildFrame;
using sim::Direction;
using sim::ModuleSerial;
using sim::RecordKind;
using Bytes = std::vector<uint8_t>;

namespace {

const uint8_t kSabm = 0x3F, kDisc = 0x53, kUih = 0xEF;

// A host frame as the driver writes it: C/R = 1 in the address.
Bytes HostFrame(int dlci, uint8_t control, const Bytes& info = Bytes())
{
    return BuildFrame(dlci, true, control, info);
}

// A module frame answering the host: UA/DM with C/R = 1, UIH with C/R = 0.
Bytes ModuleUih(int dlci, const Bytes& info) { return BuildFrame(dlci, false, kUih, info); }

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(ModuleSerial, AnswersCmuxAt115200ThenSpeaks27010At460800)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.uaDelayMs = 50;
    Bench b(1, s);
    EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::AtCommand);
    EXPECT_EQ(b.Serial().Uart().PeerBaud(), 115200u);

    const uint64_t t0 = plat::NowMs();
    b.Write("AT+CMUX=0,0,7\r\n");  // leaves in 1.3 ms
    EXPECT_EQ(plat::NowMs() - t0, 2u);
    uint64_t at = 0;
    EXPECT_EQ(Str(b.WaitAndRead(&at)), "\r\nOK\r\n");
    // CR at 2 ms, answer written 10 ms later, six octets at 115200 by 13.
    EXPECT_EQ(at - t0, 13u);
    EXPECT_EQ(b.Serial().CmuxCommands(), 1u);

    b.SetBaud(460800);
    Sleep(5);
    EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::Mux);
    EXPECT_EQ(b.Serial().Uart().PeerBaud(), 460800u);

    const uint64_t t1 = plat::NowMs();
    b.Write(HostFrame(0, kSabm));
    const Bytes ua = b.WaitAndRead(&at);
    EXPECT_EQ(ua, Bytes({0xF9, 0x03, 0x73, 0x01, 0xD7, 0xF9}));
    EXPECT_EQ(at - t1, 52u);  // SABM in at 1, UA written at 51, arrived at 52
    EXPECT_TRUE(b.Serial().DlciOpen(0));

    // The record: both directions, in time order, frames flag to flag.
    const sim::FrameRecord r = b.Serial().Record();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].direction, Direction::HostToModule);
    EXPECT_EQ(r[0].kind, RecordKind::At);
    EXPECT_EQ(Str(r[0].octets), "AT+CMUX=0,0,7\r\n");
    EXPECT_EQ(r[0].timeMs - t0, 2u);
    EXPECT_EQ(r[1].direction, Direction::ModuleToHost);
    EXPECT_EQ(r[1].kind, RecordKind::At);
    EXPECT_EQ(Str(r[1].octets), "\r\nOK\r\n");
    EXPECT_EQ(r[1].timeMs - t0, 13u);  // written at 12, its last octet out by 13
    EXPECT_EQ(r[2].direction, Direction::HostToModule);
    EXPECT_EQ(r[2].kind, RecordKind::Frame);
    EXPECT_EQ(r[2].octets, golden::kSabmDlci0);
    EXPECT_EQ(r[2].timeMs - t1, 1u);
    EXPECT_EQ(r[3].direction, Direction::ModuleToHost);
    EXPECT_EQ(r[3].kind, RecordKind::Frame);
    EXPECT_EQ(r[3].octets, ua);
    EXPECT_EQ(r[3].timeMs - t1, 52u);  // stamped, like the SABM, at its last octet
    for (size_t i = 2; i < r.size(); ++i) {
        sim::DecodedFrame f;
        ASSERT_TRUE(sim::DecodeFrame(r[i].octets, &f));
        EXPECT_TRUE(f.fcsOk);
        EXPECT_EQ(f.dlci, 0);
        EXPECT_TRUE(f.pf);
    }
}

TEST(ModuleSerial, HearsNothingBeforeBootAndNoFramesInAtMode)
{
    sim::ModuleSettings s;
    s.lines.startRunning = false;
    Bench b(2, s);
    EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::Off);
    b.Write("AT+CMUX=0,0,7\r\n");
    EXPECT_TRUE(b.Collect(3000).empty());
    EXPECT_EQ(b.Serial().OctetsLost(), 15u);
    EXPECT_EQ(b.Serial().CmuxCommands(), 0u);

    b.Module().Lines().PowerOnRunning();
    EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::AtCommand);
    // A frame in AT mode is just text without a CR: no answer.
    b.Write(HostFrame(0, kSabm));
    EXPECT_TRUE(b.Collect(100).empty());
    // The CR ends that "line"; without "AT" in it, it is no command line
    // at all and gets no answer, as on a modem.
    b.Write("\r");
    EXPECT_TRUE(b.Collect(50).empty());
    b.Write("AT+NOSUCH\r");
    EXPECT_EQ(Str(b.Collect(50)), "\r\nERROR\r\n");
    b.Write("AT\r");
    EXPECT_EQ(Str(b.Collect(50)), "\r\nOK\r\n");
    b.Handshake();

    // A crash silences it again.
    b.Module().Crash();
    EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::Crashed);
    b.Write(HostFrame(0, kSabm));
    EXPECT_TRUE(b.Collect(100).empty());
}

TEST(ModuleSerial, CmuxFaultKnobs)
{
    {
        sim::ModuleSettings s = Bench::Defaults();
        s.serial.answerCmux = false;
        Bench b(3, s);
        b.Write("AT+CMUX=0,0,7\r\n");
        EXPECT_TRUE(b.Collect(3000).empty());
        EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::AtCommand);
        EXPECT_EQ(b.Serial().CmuxCommands(), 1u);
    }
    {
        sim::ModuleSettings s = Bench::Defaults();
        s.serial.answerCmux = false;
        s.serial.enterMuxWithoutAnswer = true;
        Bench b(4, s);
        b.Write("AT+CMUX=0,0,7\r\n");
        EXPECT_TRUE(b.Collect(3000).empty());
        EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::Mux);
        b.SetBaud(460800);
        b.Write(HostFrame(0, kSabm));
        EXPECT_EQ(b.Collect(50), BuildFrame(0, true, 0x73));
    }
    {
        // The answer in two writes: CR LF O, then K CR LF two seconds later;
        // the module keeps 115200 until the second half has left.
        sim::ModuleSettings s = Bench::Defaults();
        s.serial.splits.push_back(sim::WriteSplit{1, 3, 2000});
        s.serial.cmuxReplyDelayMs = 20;
        Bench b(5, s);
        const uint64_t t0 = plat::NowMs();
        b.Write("AT+CMUX=0,0,7\r\n");
        uint64_t at = 0;
        EXPECT_EQ(Str(b.WaitAndRead(&at)), "\r\nO");
        EXPECT_EQ(at - t0, 23u);
        EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::AtCommand);
        EXPECT_EQ(Str(b.WaitAndRead(&at)), "K\r\n");
        EXPECT_EQ(at - t0, 2024u);  // 2000 ms after the first part had left
        Sleep(2);
        EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::Mux);
        // Recorded as the one write it was.
        const sim::FrameRecord r = b.Serial().Record();
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(Str(r[1].octets), "\r\nOK\r\n");
    }
    {
        sim::ModuleSettings s = Bench::Defaults();
        s.serial.cmuxReply = "\r\nERROR\r\n";
        s.serial.muxBaud = 230400;
        Bench b(6, s);
        b.Write("AT+CMUX=0,0,7\r\n");
        EXPECT_EQ(Str(b.Collect(50)), "\r\nERROR\r\n");
        EXPECT_EQ(b.Serial().Uart().PeerBaud(), 230400u);
        // Host at 460800, module at 230400: the SABM arrives as junk.
        b.SetBaud(460800);
        b.Write(HostFrame(0, kSabm));
        EXPECT_TRUE(b.Collect(100).empty());
        EXPECT_EQ(b.Serial().Uart().GarbledToPeer(), 6u);
    }
}

TEST(ModuleSerial, ConnectFaultKnobsPerDlci)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.noUaDlcis = 1u << 0;
    s.serial.dmDlcis = 1u << 1;
    s.serial.uaWithoutFDlcis = 1u << 2;
    s.serial.noUaOnDiscDlcis = 1u << 4;
    s.serial.uaDelayMs = 100;
    Bench b(7, s);
    b.SkipHandshake();

    b.Write(HostFrame(0, kSabm));
    EXPECT_TRUE(b.Collect(3000).empty());
    EXPECT_FALSE(b.Serial().DlciOpen(0));

    b.Write(HostFrame(1, kSabm));
    EXPECT_TRUE(b.Collect(99).empty()) << "answered before the configured delay";
    EXPECT_EQ(b.Collect(2), BuildFrame(1, true, 0x1F));  // DM, F = 1
    EXPECT_FALSE(b.Serial().DlciOpen(1));

    b.Write(HostFrame(2, kSabm));
    EXPECT_EQ(b.Collect(102), BuildFrame(2, true, 0x63));  // UA, F = 0

    b.Write(HostFrame(3, kSabm));
    EXPECT_EQ(b.Collect(102), BuildFrame(3, true, 0x73));
    EXPECT_TRUE(b.Serial().DlciOpen(3));
    b.Write(HostFrame(3, kDisc));
    EXPECT_EQ(b.Collect(102), BuildFrame(3, true, 0x73));
    EXPECT_FALSE(b.Serial().DlciOpen(3));

    b.Write(HostFrame(4, kSabm));
    EXPECT_EQ(b.Collect(102), BuildFrame(4, true, 0x73));
    b.Write(HostFrame(4, kDisc));
    EXPECT_TRUE(b.Collect(3000).empty());

    // Every DLCI up to 63 is answered.
    b.Write(HostFrame(63, kSabm));
    EXPECT_EQ(b.Collect(102), BuildFrame(63, true, 0x73));
}

TEST(ModuleSerial, AnswersControlCommandsOnDlci0)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.v24ForDlci[3] = 0x8D;
    s.serial.ctrlReplyDelayMs = 5;
    Bench b(8, s);
    b.Handshake();
    b.Write(HostFrame(0, kSabm));
    b.Collect(20);

    // SNC for DLCI 1, data service.
    b.Write(HostFrame(0, kUih, {0xD3, 0x07, 0x07, 0x03, 0x01}));
    EXPECT_EQ(b.Collect(20), ModuleUih(0, {0xD1, 0x07, 0x07, 0x03, 0x01}));

    // MSC for DLCI 2: the DLCI octet with EA and C/R, the module's V.24.
    b.Write(HostFrame(0, kUih, {0xE3, 0x05, 0x0B, 0x0D}));
    EXPECT_EQ(b.Collect(20), ModuleUih(0, {0xE1, 0x05, 0x0B, 0x0D}));
    EXPECT_FALSE(b.Serial().HostStoppedFlow(2));
    b.Write(HostFrame(0, kUih, {0xE3, 0x05, 0x0F, 0x0F}));  // DLCI 3, FC set
    EXPECT_EQ(b.Collect(20), ModuleUih(0, {0xE1, 0x05, 0x0F, 0x8D}));
    EXPECT_TRUE(b.Serial().HostStoppedFlow(3));

    // Several messages in one frame: answered in order. PN is unknown: NSC
    // with the received type octet; Test is echoed.
    b.Write(HostFrame(0, kUih, {0x83, 0x01, 0x23, 0x05, 0x41, 0x42}));
    EXPECT_EQ(b.Collect(20), Concat({ModuleUih(0, {0x11, 0x03, 0x83}),
                                     ModuleUih(0, {0x21, 0x05, 0x41, 0x42})}));

    // A response from the host is kept, not answered.
    b.Write(HostFrame(0, kUih, {0xE1, 0x05, 0x0B, 0x0D}));
    EXPECT_TRUE(b.Collect(20).empty());
    const auto ctl = b.Serial().ControlFromHost();
    ASSERT_EQ(ctl.size(), 6u);
    EXPECT_EQ(ctl.back().message.type, 0xE0);
    EXPECT_FALSE(ctl.back().message.command);

    // With SNC unanswered the command meets silence.
    b.Serial().ChangeSettings([](sim::SerialSettings& st) { st.answerSnc = false; });
    b.Write(HostFrame(0, kUih, {0xD3, 0x07, 0x07, 0x03, 0x01}));
    EXPECT_TRUE(b.Collect(100).empty());

    // CLD: its response, then AT command mode at 115200.
    b.Write(HostFrame(0, kUih, {0xC3, 0x01}));
    EXPECT_EQ(b.Collect(20), ModuleUih(0, {0xC1, 0x01}));
    EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::AtCommand);
    EXPECT_EQ(b.Serial().Uart().PeerBaud(), 115200u);
    b.SetBaud(115200);
    b.Handshake();

    // DISC on DLCI 0: UA, then AT command mode as well.
    b.Write(HostFrame(0, kDisc));
    EXPECT_EQ(b.Collect(20), BuildFrame(0, true, 0x73));
    EXPECT_EQ(b.Serial().GetMode(), ModuleSerial::Mode::AtCommand);
}

// A long run keeps the newest of what crossed the line, not all of it.
TEST(ModuleSerial, RecordAndDataFromHostKeepTheNewest)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.recordLimit = 8;
    s.serial.dataFromHostLimit = 100;
    Bench b(9, s);
    b.SkipHandshake();
    for (uint8_t i = 0; i < 40; ++i) b.Write(HostFrame(5, kUih, Bytes(10, i)));
    Sleep(5);
    const sim::FrameRecord r = b.Serial().Record();
    EXPECT_LE(r.size(), 10u);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().octets, HostFrame(5, kUih, Bytes(10, 39)));
    const Bytes data = b.Serial().DataFromHost(5);
    EXPECT_GE(data.size(), 100u);
    EXPECT_LE(data.size(), 125u);
    EXPECT_EQ(data.back(), 39);
    EXPECT_EQ(data[data.size() - 100], 30);
}

TEST(ModuleSerial, TestTriggeredActions)
{
    Bench b(9);
    b.SkipHandshake();
    b.ReadNow();

    b.Serial().SendMsc(2, true);
    EXPECT_EQ(b.Collect(2), ModuleUih(0, {0xE3, 0x05, 0x0B, 0x0F}));
    b.Serial().SendMsc(2, false);
    EXPECT_EQ(b.Collect(2), ModuleUih(0, {0xE3, 0x05, 0x0B, 0x0D}));
    b.Serial().SendSabm(1);
    EXPECT_EQ(b.Collect(2), Bytes({0xF9, 0x05, 0x3F, 0x01, 0xBF, 0xF9}));
    b.Serial().SendDisc(0);
    EXPECT_EQ(b.Collect(2), BuildFrame(0, false, kDisc));
    b.Serial().SendCld();
    EXPECT_EQ(b.Collect(2), ModuleUih(0, {0xC3, 0x01}));
    b.Serial().SendUih(5, {'h', 'i'});
    EXPECT_EQ(b.Collect(2), ModuleUih(5, {'h', 'i'}));
    b.Serial().SendRaw({0xF9, 0xF9, 0xF9, 0xF9});
    EXPECT_EQ(b.Collect(2), Bytes({0xF9, 0xF9, 0xF9, 0xF9}));

    DWORD mask = 0, errors = 0;
    ASSERT_TRUE(SetCommMask(b.Port(), 0xC1));  // forget the arrivals read above
    b.Serial().SendBreak();
    ASSERT_TRUE(WaitCommEvent(b.Port(), &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_BREAK);
    b.Serial().SendLineError(CE_FRAME);
    ASSERT_TRUE(WaitCommEvent(b.Port(), &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_ERR);
    ASSERT_TRUE(ClearCommError(b.Port(), &errors, NULL));
    EXPECT_EQ(errors, (DWORD)(CE_BREAK | CE_FRAME));

    // A frame cut in two, the rest 2 s later.
    b.Serial().SplitNextWrite(3, 2000);
    b.Serial().SendUih(1, {0x41, 0x42});
    const Bytes whole = ModuleUih(1, {0x41, 0x42});
    EXPECT_EQ(b.Collect(2), Bytes(whole.begin(), whole.begin() + 3));
    EXPECT_TRUE(b.Collect(1990).empty());
    EXPECT_EQ(b.Collect(20), Bytes(whole.begin() + 3, whole.end()));

    // The record holds the module's frames; raw non-frames count as noise.
    const sim::FrameRecord r = b.Serial().Record();
    int frames = 0, noise = 0;
    for (const auto& e : r) {
        EXPECT_EQ(e.direction, Direction::ModuleToHost);
        frames += e.kind == RecordKind::Frame;
        noise += e.kind == RecordKind::Noise;
    }
    EXPECT_EQ(frames, 7);
    EXPECT_EQ(noise, 1);
}

TEST(ModuleSerial, LineFaultKnobs)
{
    sim::ModuleSettings s = Bench::Defaults();
    // Module octets 0..5 are the OK answer; 6..11 the UA on DLCI 0.
    s.serial.corruptToHost = {10};  // the UA's FCS
    s.serial.dropToHost = {1};      // the LF after the first CR
    s.serial.lineEvents.push_back(sim::LineEvent{5000, CE_RXPARITY});
    s.serial.lineEvents.push_back(sim::LineEvent{6000, 0});
    Bench b(10, s);

    b.Write("AT+CMUX=0,0,7\r\n");
    EXPECT_EQ(Str(b.Collect(50)), "\rOK\r\n");
    b.SetBaud(460800);
    b.Write(HostFrame(0, kSabm));
    Bytes ua = BuildFrame(0, true, 0x73);
    ua[4] ^= 0x40;
    EXPECT_EQ(b.Collect(50), ua);
    // The record shows what went on the line.
    EXPECT_EQ(b.Serial().Record().back().octets, ua);

    // A corrupted octet from the host: bad FCS, no answer.
    const uint64_t next = b.Serial().OctetsFromHost() + b.Serial().OctetsLost();
    b.Serial().ChangeSettings([&](sim::SerialSettings& st) { st.corruptFromHost.insert(next + 4); });
    b.Write(HostFrame(1, kSabm));
    EXPECT_TRUE(b.Collect(100).empty());
    EXPECT_EQ(b.Serial().BadFcsFrames(), 1u);
    // A dropped FCS: the closing flag is taken for the FCS, which is then
    // wrong, and the next frame's opening flag closes it; that next frame
    // (sharing the flag) is answered.
    b.Serial().ChangeSettings([&](sim::SerialSettings& st) { st.dropFromHost.insert(next + 6 + 4); });
    b.Write(HostFrame(1, kSabm));
    EXPECT_TRUE(b.Collect(100).empty());
    b.Write(HostFrame(1, kSabm));
    EXPECT_EQ(b.Collect(50), BuildFrame(1, true, 0x73));
    EXPECT_EQ(b.Serial().BadFcsFrames(), 2u);

    // Timed line events reach the port at their time.
    Sleep(5000 - (DWORD)plat::NowMs() - 1);
    ASSERT_TRUE(SetCommMask(b.Port(), 0xC1));
    uint64_t at = 0;
    DWORD mask = 0, errors = 0;
    ASSERT_TRUE(WaitCommEvent(b.Port(), &mask, NULL));
    at = plat::NowMs();
    EXPECT_EQ(mask, (DWORD)EV_ERR);
    EXPECT_EQ(at, 5000u);
    ASSERT_TRUE(ClearCommError(b.Port(), &errors, NULL));
    EXPECT_EQ(errors, (DWORD)CE_RXPARITY);
    ASSERT_TRUE(WaitCommEvent(b.Port(), &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_BREAK);
    EXPECT_EQ(plat::NowMs(), 6001u);  // seen once the line stayed low a character time
}

TEST(ModuleSerial, MismatchedHostIsRecordedAsNoise)
{
    Bench b(11);
    b.Write("AT+CMUX=0,0,7\r\n");
    EXPECT_EQ(Str(b.Collect(50)), "\r\nOK\r\n");
    // The host forgets to switch: its SABM at 115200 is junk at 460800.
    b.Write(HostFrame(0, kSabm));
    EXPECT_TRUE(b.Collect(100).empty());
    b.SetBaud(460800);
    b.Write(HostFrame(0, kSabm));
    EXPECT_EQ(b.Collect(50), BuildFrame(0, true, 0x73));
    const sim::FrameRecord r = b.Serial().Record();
    ASSERT_GE(r.size(), 4u);
    // The junk is noise or a broken frame, never a good frame from the host.
    int hostFrames = 0;
    for (const auto& e : r) {
        if (e.direction != Direction::HostToModule || e.kind != RecordKind::Frame) continue;
        sim::DecodedFrame f;
        if (sim::DecodeFrame(e.octets, &f) && f.fcsOk) ++hostFrames;
    }
    EXPECT_EQ(hostFrames, 1);
}

TEST(ModuleSerial, SleepingModuleLosesInput)
{
    Bench b(12);
    b.SkipHandshake();
    b.Module().Lines().GoToSleep();
    ASSERT_TRUE(b.Module().Asleep());
    b.Write(HostFrame(0, kSabm));
    EXPECT_TRUE(b.Collect(100).empty());
    EXPECT_EQ(b.Serial().OctetsLost(), 6u);
}

// A length octet garbled from 0x01 to 0x41 makes the receiver wait for 32
// octets that are the frames after it; a pause of frameGapMs gives that
// frame up, so the next SABM is answered again. Without the gap it is not.
TEST(ModuleSerial, GarbledLengthCostsTheFramesUntilTheGapOnly)
{
    for (const uint32_t gap : {3000u, 0u}) {
        SCOPED_TRACE("frameGapMs " + std::to_string(gap));
        sim::ModuleSettings s = Bench::Defaults();
        s.serial.frameGapMs = gap;
        Bench b(13, s);
        b.SkipHandshake();
        Bytes garbled = HostFrame(1, kSabm);
        garbled[3] ^= 0x40;
        b.Write(Concat({garbled, HostFrame(2, kSabm)}));
        EXPECT_TRUE(b.Collect(3100).empty());
        b.Write(HostFrame(3, kSabm));
        EXPECT_EQ(b.Collect(50), gap ? BuildFrame(3, true, 0x73) : Bytes());
    }
}

TEST(FrameCutter, CutsFramesHonestlyAboutFlags)
{
    std::vector<Bytes> frames, noise;
    sim::FrameCutter c;
    c.onFrame = [&](const Bytes& f) { frames.push_back(f); };
    c.onNoise = [&](const Bytes& n) { noise.push_back(n); };
    auto feed = [&](const Bytes& b) {
        for (uint8_t o : b) c.Feed(o);
    };

    // Fill flags before a frame; F9 inside the information is data.
    feed({0xF9, 0xF9, 0xF9, 0x07, 0xEF, 0x05, 0xF9, 0x42, 0x30, 0xF9});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Bytes({0xF9, 0x07, 0xEF, 0x05, 0xF9, 0x42, 0x30, 0xF9}));
    // A shared flag: the closing flag opens the next frame.
    feed({0x07, 0x3F, 0x01, 0xDE, 0xF9});
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], Bytes({0xF9, 0x07, 0x3F, 0x01, 0xDE, 0xF9}));
    EXPECT_TRUE(noise.empty());
    // A wrong closing octet breaks the frame into noise; hunting resumes.
    Bytes broken = {0xF9, 0x07, 0x3F, 0x01, 0xDE, 0x00, 0x11};
    broken.insert(broken.end(), golden::kSabmDlci0.begin(), golden::kSabmDlci0.end());
    feed(broken);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2], golden::kSabmDlci0);
    ASSERT_EQ(noise.size(), 1u);
    EXPECT_EQ(noise[0], Bytes({0xF9, 0x07, 0x3F, 0x01, 0xDE, 0x00, 0x11}));
    // Two length octets; an address without EA is no frame.
    Bytes info(200, 0x55);
    const Bytes longFrame = BuildFrame(1, true, kUih, info);
    EXPECT_EQ(longFrame[3], 0x90);  // (200 & 0x7F) << 1, EA = 0
    feed(longFrame);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3], longFrame);
    sim::DecodedFrame f;
    ASSERT_TRUE(sim::DecodeFrame(longFrame, &f));
    EXPECT_EQ(f.info.size(), 200u);
    EXPECT_TRUE(f.fcsOk);
    feed({0x06, 0x3F, 0x01, 0x00, 0xF9});
    EXPECT_EQ(frames.size(), 4u);
    c.Reset();
    EXPECT_EQ(noise.size(), 2u);
    EXPECT_EQ(noise[1], Bytes({0xF9, 0x06, 0x3F, 0x01, 0x00}));
}

TEST(FrameRecord, DecodesFramesAndControlMessages)
{
    sim::DecodedFrame f;
    ASSERT_TRUE(sim::DecodeFrame({0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x30, 0xF9}, &f));
    EXPECT_EQ(f.dlci, 1);
    EXPECT_TRUE(f.cr);
    EXPECT_STREQ(f.typeName, "UIH");
    EXPECT_FALSE(f.pf);
    EXPECT_EQ(f.info, Bytes({0x41, 0x42}));
    EXPECT_TRUE(f.fcsOk);
    ASSERT_TRUE(sim::DecodeFrame({0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x31, 0xF9}, &f));
    EXPECT_FALSE(f.fcsOk);
    EXPECT_FALSE(sim::DecodeFrame({0xF9, 0x07, 0xEF, 0x07, 0x41, 0x42, 0x30, 0xF9}, &f));

    auto msgs = sim::DecodeControlMessages({0xE3, 0x05, 0x0B, 0x0D, 0x11, 0x03, 0x83, 0x23, 0x09, 1});
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_STREQ(sim::ControlTypeName(msgs[0].type), "MSC");
    EXPECT_TRUE(msgs[0].command);
    EXPECT_EQ(msgs[0].values, Bytes({0x0B, 0x0D}));
    EXPECT_STREQ(sim::ControlTypeName(msgs[1].type), "NSC");
    EXPECT_FALSE(msgs[1].command);
    EXPECT_STREQ(sim::ControlTypeName(msgs[2].type), "Test");
    EXPECT_FALSE(msgs[2].complete);  // four value octets announced, one there
}

// As a USB modem: the module's output waits until a chunk is full, or until
// the hold time has passed, and then arrives at one moment; a full chunk
// goes at once. The frame named by badFcsToHost goes out with a wrong FCS.
TEST(ModuleSerial, ChunkedOutputAndWrongFcs)
{
    sim::ModuleSettings s = Bench::Defaults();
    s.serial.chunkOctets = 1024;
    s.serial.chunkHoldMs = 20;
    Bench b(11, s);
    b.SkipHandshake();
    b.ReadNow();
    size_t sent = 0;
    for (const auto& e : b.Serial().Record())
        sent += e.direction == Direction::ModuleToHost && e.kind == RecordKind::Frame;
    b.Serial().ChangeSettings([sent](sim::SerialSettings& st) { st.badFcsToHost = {sent + 1}; });

    Bytes expect;
    for (uint8_t i = 0; i < 3; ++i) {
        b.Serial().SendUih(1, Bytes(100, i));
        Bytes f = ModuleUih(1, Bytes(100, i));
        if (i == 1) f[f.size() - 2] ^= 0xFF;
        expect.insert(expect.end(), f.begin(), f.end());
    }
    EXPECT_TRUE(b.Collect(18).empty());  // held: less than a chunk
    EXPECT_EQ(b.Collect(5), expect);    // all of it once the hold is over

    // Eleven frames of 106 octets: a full chunk of 1024 at once, the other
    // 142 after the hold.
    Bytes all;
    for (uint8_t i = 0; i < 11; ++i) {
        b.Serial().SendUih(2, Bytes(100, i));
        Bytes f = ModuleUih(2, Bytes(100, i));
        all.insert(all.end(), f.begin(), f.end());
    }
    EXPECT_EQ(b.Collect(0), Bytes(all.begin(), all.begin() + 1024));
    EXPECT_TRUE(b.Collect(18).empty());
    EXPECT_EQ(b.Collect(5), Bytes(all.begin() + 1024, all.end()));
}
