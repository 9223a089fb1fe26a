// The serial port "COM9:" in simulation: Windows semantics of the port calls
// over the simulated UART, driven as the driver drives them.
#include "platform/platform.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/hw/serial_sim.h"
#include "golden_frames.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

using plat::serial::SimUart;

namespace {

// The module's end of the line, as bare as it gets.
struct Peer : plat::serial::UartPeer {
    struct Rx {
        uint8_t octet;
        bool garbled;
        uint64_t atMs;
    };
    std::vector<Rx> rx;
    void OctetFromHost(uint8_t octet, bool garbled) override
    {
        rx.push_back(Rx{octet, garbled, plat::NowMs()});
    }
    std::string Text() const
    {
        std::string s;
        for (const Rx& r : rx) s += static_cast<char>(r.octet);
        return s;
    }
};

HANDLE OpenCom9()
{
    return CreateFileW(TEXT("COM9:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

void SetBaud(HANDLE h, DWORD baud)
{
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = baud;
    ASSERT_TRUE(SetCommState(h, &dcb));
}

void SetTimeouts(HANDLE h, DWORD ri, DWORD rtm, DWORD rtc, DWORD wtm = 0, DWORD wtc = 0)
{
    COMMTIMEOUTS t = {ri, rtm, rtc, wtm, wtc};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

// The port as the driver sets it up.
HANDLE OpenLikeDriver(DWORD baud = 115200)
{
    HANDLE h = OpenCom9();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    SetBaud(h, baud);
    EXPECT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    SetTimeouts(h, MAXDWORD, MAXDWORD, 0, 10, 0);
    return h;
}

void SendFromPeer(SimUart& uart, const std::string& s, uint64_t notBeforeMs = 0)
{
    uart.SendToHost(reinterpret_cast<const uint8_t*>(s.data()), s.size(), notBeforeMs);
}

std::string ReadNow(HANDLE h, DWORD max = 4096)
{
    std::vector<char> buf(max);
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buf.data(), max, &got, NULL));
    return std::string(buf.data(), got);
}

struct WaitArgs {
    HANDLE port;
    BOOL result = FALSE;
    DWORD mask = 0xDEAD;
    DWORD error = 0;
    uint64_t returnedAt = 0;
};

DWORD WINAPI WaitThread(LPVOID p)
{
    WaitArgs* a = static_cast<WaitArgs*>(p);
    a->result = WaitCommEvent(a->port, &a->mask, NULL);
    a->error = a->result ? 0 : GetLastError();
    a->returnedAt = plat::NowMs();
    return 0;
}

}  // namespace

TEST(SerialPort, OpenIsExclusiveAndNeedsTheDevice)
{
    SimWorld w(1);
    {
        HANDLE none = OpenCom9();
        EXPECT_EQ(none, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    }
    SimUart uart;
    HANDLE h = OpenCom9();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(uart.PortOpen());
    HANDLE second = OpenCom9();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(uart.PortOpen());
    HANDLE again = OpenCom9();
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
    // Serial calls on a closed handle or on an event fail.
    DCB dcb;
    plat::SetClosedHandleCheck(false);
    EXPECT_FALSE(GetCommState(again, &dcb));
    plat::SetClosedHandleCheck(true);
    HANDLE ev = CreateEventW(NULL, FALSE, FALSE, NULL);
    EXPECT_FALSE(SetCommMask(ev, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(ev);
}

TEST(SerialPort, CommStateKeepsTheWindowsLayoutAndSetsTheLineSpeed)
{
    SimWorld w(2);
    SimUart uart;
    HANDLE h = OpenCom9();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);

    // The flag word is the DWORD after BaudRate; the fields sit where
    // Windows puts them.
    dcb.BaudRate = 115200;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    DCB back;
    ASSERT_TRUE(GetCommState(h, &back));
    DWORD flags;
    memcpy(&flags, reinterpret_cast<const char*>(&back) + 8, sizeof flags);
    EXPECT_EQ(flags & 0x0C, 0x0Cu);          // bits 2, 3: CTS and DSR output flow
    EXPECT_EQ((flags >> 4) & 3, 2u);         // DTR control
    EXPECT_EQ(flags & 0x300, 0x300u);        // bits 8, 9: XON/XOFF out and in
    EXPECT_EQ((flags >> 12) & 3, 3u);        // RTS control
    EXPECT_EQ(back.BaudRate, 115200u);
    EXPECT_EQ(uart.HostBaud(), 115200u);

    back.BaudRate = 460800;
    ASSERT_TRUE(SetCommState(h, &back));
    EXPECT_EQ(uart.HostBaud(), 460800u);

    DCB bad = back;
    bad.BaudRate = 0;
    EXPECT_FALSE(SetCommState(h, &bad));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    bad = back;
    bad.ByteSize = 9;
    EXPECT_FALSE(SetCommState(h, &bad));
    EXPECT_EQ(uart.HostBaud(), 460800u);

    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 0, 10, 0}, r;
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(GetCommTimeouts(h, &r));
    EXPECT_EQ(memcmp(&t, &r, sizeof t), 0);
    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(h, 0xC1));
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, 0xC1u);
    CloseHandle(h);
}

TEST(SerialPort, WriteReturnsWhenTheOctetsHaveLeftAtTheLineSpeed)
{
    SimWorld w(3);
    SimUart uart;
    Peer peer;
    uart.AttachPeer(&peer);
    uart.SetPeerBaud(115200);
    HANDLE h = OpenLikeDriver(115200);

    // 15 octets at 115200: 15 x 86.8 us = 1.3 ms, seen on the 1 ms clock at 2.
    const char cmd[] = "AT+CMUX=0,0,7\r\n";
    uint64_t t0 = plat::NowMs();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, cmd, 15, &written, NULL));
    EXPECT_EQ(written, 15u);
    EXPECT_EQ(plat::NowMs() - t0, 2u);
    EXPECT_EQ(peer.Text(), std::string(cmd));
    EXPECT_EQ(uart.TransmitQueued(), 0u);

    // 460800 bit/s carries 46080 octets a second: one second's worth.
    SetBaud(h, 460800);
    uart.SetPeerBaud(460800);
    std::vector<uint8_t> big(46080, 0x55);
    peer.rx.clear();
    // The line has been idle for a while: this write does not follow the
    // one before without a gap, it starts when it is made.
    Sleep(2);
    t0 = plat::NowMs();
    ASSERT_TRUE(WriteFile(h, big.data(), (DWORD)big.size(), &written, NULL));
    EXPECT_EQ(written, big.size());
    EXPECT_EQ(plat::NowMs() - t0, 1000u);
    ASSERT_EQ(peer.rx.size(), big.size());
    EXPECT_EQ(peer.rx.front().atMs - t0, 1u);  // the first octet after 21.7 us
    EXPECT_EQ(peer.rx.back().atMs - t0, 1000u);
    EXPECT_FALSE(peer.rx.back().garbled);

    // Two writers: the second waits for the first; each returns when its own
    // octets have left.
    struct W {
        HANDLE h;
        uint64_t done = 0;
    } other{h};
    auto body = [](LPVOID p) -> DWORD {
        W* o = static_cast<W*>(p);
        std::vector<uint8_t> b(4608, 0xAA);  // 100 ms
        DWORD n = 0;
        WriteFile(o->h, b.data(), (DWORD)b.size(), &n, NULL);
        o->done = plat::NowMs();
        return 0;
    };
    t0 = plat::NowMs();
    HANDLE th = CreateThread(NULL, 0, body, &other, 0, NULL);
    std::vector<uint8_t> mine(4608, 0x11);
    ASSERT_TRUE(WriteFile(h, mine.data(), (DWORD)mine.size(), &written, NULL));
    const uint64_t mineDone = plat::NowMs() - t0;
    WaitForSingleObject(th, INFINITE);
    CloseHandle(th);
    const uint64_t otherDone = other.done - t0;
    EXPECT_EQ(std::min(mineDone, otherDone), 100u);
    EXPECT_EQ(std::max(mineDone, otherDone), 200u);
    CloseHandle(h);
}

// Ten 133-octet frames written one after the other, as the driver writes
// them; with a peer given, each write has ended only once its octets left.
void WriteTenFrames(HANDLE h, const Peer* peer)
{
    const std::vector<uint8_t> frame(133, 0x7E);
    for (int i = 0; i < 10; ++i) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, frame.data(), (DWORD)frame.size(), &n, NULL));
        ASSERT_EQ(n, frame.size());
        if (peer != nullptr) {
            ASSERT_EQ(peer->rx.size(), (size_t)(i + 1) * 133) << "a write ended before its octets left";
        }
    }
}

// With the UART's transmit FIFO a write ends once its last octet is in the
// FIFO, so the next one follows on the line without a gap however coarse
// the clock: ten 133-octet frames at 460800 take 10 x 2.886 ms, not 10 x 3.
TEST(SerialPort, TransmitFifoLetsWritesFollowWithoutAGap)
{
    SimWorld w(5);
    SimUart uart;
    Peer peer;
    uart.AttachPeer(&peer);
    uart.SetPeerBaud(460800);
    uart.SetTransmitFifo(64);
    HANDLE h = OpenLikeDriver(460800);
    const uint64_t t0 = plat::NowMs();
    WriteTenFrames(h, nullptr);
    EXPECT_LT(plat::NowMs() - t0, 29u) << "the last write ends before its octets have left";
    Sleep(5);
    ASSERT_EQ(peer.rx.size(), 1330u);
    EXPECT_EQ(peer.rx.back().atMs - t0, 29u);
    CloseHandle(h);
}

// Without a transmit FIFO (the default) a write ends when its last octet
// has left; the clock counts whole milliseconds, but a write made as soon as
// the one before was reported done follows it on the line without a gap:
// ten 133-octet frames at 460800 take 10 x 2.886 ms, not 10 x 3.
TEST(SerialPort, WritesFollowEachOtherAtTheLineRateWithoutAFifo)
{
    SimWorld w(5);
    SimUart uart;
    Peer peer;
    uart.AttachPeer(&peer);
    uart.SetPeerBaud(460800);
    HANDLE h = OpenLikeDriver(460800);
    const uint64_t t0 = plat::NowMs();
    WriteTenFrames(h, &peer);
    EXPECT_EQ(plat::NowMs() - t0, 29u);
    EXPECT_EQ(peer.rx.back().atMs - t0, 29u);
    // A write after the line has been idle for a while starts when it is made.
    Sleep(10);
    const uint64_t t1 = plat::NowMs();
    const std::vector<uint8_t> frame(133, 0x7E);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, frame.data(), (DWORD)frame.size(), &n, NULL));
    EXPECT_EQ(peer.rx.back().atMs - t1, 3u);
    CloseHandle(h);
}

TEST(SerialPort, WriteThatCannotFinishInItsTimeOutIsShort)
{
    SimWorld w(4);
    SimUart uart;
    Peer peer;
    uart.AttachPeer(&peer);
    HANDLE h = OpenLikeDriver(115200);

    // Transmitter held (clear-to-send off): 6 octets x 10 ms, nothing leaves.
    uart.SetTransmitHold(true);
    const uint8_t* sabm = golden::kSabmDlci0.data();
    DWORD written = 99;
    uint64_t t0 = plat::NowMs();
    EXPECT_TRUE(WriteFile(h, sabm, 6, &written, NULL));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(plat::NowMs() - t0, 60u);
    uart.SetTransmitHold(false);
    Sleep(10);
    EXPECT_TRUE(peer.rx.empty()) << "the timed-out octets must not go out later";

    // A 5 ms budget for 100 octets at 115200 (8.7 ms): what left in 5 ms.
    SetTimeouts(h, MAXDWORD, MAXDWORD, 0, 0, 5);
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
    t0 = plat::NowMs();
    EXPECT_TRUE(WriteFile(h, data.data(), 100, &written, NULL));
    EXPECT_EQ(plat::NowMs() - t0, 5u);
    EXPECT_EQ(written, 57u);  // 57 x 86.8 us = 4.95 ms
    Sleep(20);
    ASSERT_EQ(peer.rx.size(), 57u);
    EXPECT_EQ(peer.rx.back().octet, 56);

    // The next write starts clean.
    peer.rx.clear();
    SetTimeouts(h, MAXDWORD, MAXDWORD, 0, 10, 0);
    EXPECT_TRUE(WriteFile(h, sabm, 6, &written, NULL));
    EXPECT_EQ(written, 6u);
    ASSERT_EQ(peer.rx.size(), 6u);
    EXPECT_EQ(peer.rx[0].octet, 0xF9);
    CloseHandle(h);
}

TEST(SerialPort, ReadFileFollowsTheTimeOutRules)
{
    SimWorld w(5);
    SimUart uart;
    uart.SetPeerBaud(115200);
    HANDLE h = OpenLikeDriver(115200);

    // The driver's time-outs: at once with what has arrived, up to the count.
    uint64_t t0 = plat::NowMs();
    EXPECT_EQ(ReadNow(h, 100), "");
    EXPECT_EQ(plat::NowMs(), t0);
    SendFromPeer(uart, "0123456789");
    Sleep(5);
    EXPECT_EQ(ReadNow(h, 4), "0123");
    EXPECT_EQ(ReadNow(h, 100), "456789");
    EXPECT_EQ(ReadNow(h, 100), "");

    char buf[64];
    DWORD got = 0;

    // Total time-out: what arrived by then.
    SetTimeouts(h, 0, 0, 50);
    t0 = plat::NowMs();
    SendFromPeer(uart, "abc", t0 + 10);
    ASSERT_TRUE(ReadFile(h, buf, 10, &got, NULL));
    EXPECT_EQ(plat::NowMs() - t0, 50u);
    EXPECT_EQ(std::string(buf, got), "abc");

    // Total multiplier x count + constant, complete before it runs out.
    SetTimeouts(h, 0, 10, 0);
    t0 = plat::NowMs();
    SendFromPeer(uart, "wxyz", t0 + 3);
    ASSERT_TRUE(ReadFile(h, buf, 4, &got, NULL));
    EXPECT_EQ(std::string(buf, got), "wxyz");
    EXPECT_EQ(plat::NowMs() - t0, 4u);

    // Interval time-out: 20 ms of silence after the last octet ends the read.
    SetTimeouts(h, 20, 0, 0);
    t0 = plat::NowMs();
    SendFromPeer(uart, "hi", t0 + 10);  // arrives at +11
    ASSERT_TRUE(ReadFile(h, buf, 10, &got, NULL));
    EXPECT_EQ(std::string(buf, got), "hi");
    EXPECT_EQ(plat::NowMs() - t0, 31u);

    // No time-outs at all: until the count is there.
    SetTimeouts(h, 0, 0, 0);
    t0 = plat::NowMs();
    SendFromPeer(uart, "12345", t0 + 100);
    ASSERT_TRUE(ReadFile(h, buf, 5, &got, NULL));
    EXPECT_EQ(std::string(buf, got), "12345");
    EXPECT_EQ(plat::NowMs() - t0, 101u);

    // MAXDWORD, MAXDWORD, constant: wait for the first octet only.
    SetTimeouts(h, MAXDWORD, MAXDWORD, 100);
    t0 = plat::NowMs();
    SendFromPeer(uart, "q", t0 + 30);
    SendFromPeer(uart, "r", t0 + 60);
    ASSERT_TRUE(ReadFile(h, buf, 10, &got, NULL));
    EXPECT_EQ(std::string(buf, got), "q");
    EXPECT_EQ(plat::NowMs() - t0, 31u);
    t0 = plat::NowMs();
    Sleep(200);
    ASSERT_TRUE(ReadFile(h, buf, 10, &got, NULL));
    EXPECT_EQ(std::string(buf, got), "r");
    t0 = plat::NowMs();
    ASSERT_TRUE(ReadFile(h, buf, 10, &got, NULL));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(plat::NowMs() - t0, 100u);
    CloseHandle(h);
}

TEST(SerialPort, WaitCommEventReportsArrivalsSinceTheLastWait)
{
    SimWorld w(6);
    SimUart uart;
    HANDLE h = OpenLikeDriver(115200);
    uart.SetPeerBaud(115200);

    uint64_t t0 = plat::NowMs();
    SendFromPeer(uart, "x", t0 + 10);
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    EXPECT_EQ(plat::NowMs() - t0, 11u);

    // Octets that arrived before the wait: it returns at once.
    SendFromPeer(uart, "yz");
    Sleep(5);
    t0 = plat::NowMs();
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    EXPECT_EQ(plat::NowMs(), t0);
    EXPECT_EQ(ReadNow(h), "xyz");

    // Unread octets are no new event: the next wait blocks until more come.
    SendFromPeer(uart, "1");
    Sleep(5);
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));  // for "1"
    t0 = plat::NowMs();
    SendFromPeer(uart, "2", t0 + 40);
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(plat::NowMs() - t0, 41u);
    EXPECT_EQ(ReadNow(h), "12");

    // A new mask forgets what happened before it.
    SendFromPeer(uart, "3");
    Sleep(5);
    ASSERT_TRUE(SetCommMask(h, 0xC1));
    WaitArgs a;
    a.port = h;
    HANDLE th = CreateThread(NULL, 0, WaitThread, &a, 0, NULL);
    Sleep(50);
    EXPECT_EQ(a.returnedAt, 0u) << "an event from before the mask was set came through";

    // Setting the mask again releases the pending wait with an empty mask.
    t0 = plat::NowMs();
    ASSERT_TRUE(SetCommMask(h, 0xC1));
    WaitForSingleObject(th, INFINITE);
    CloseHandle(th);
    EXPECT_TRUE(a.result);
    EXPECT_EQ(a.mask, 0u);
    EXPECT_EQ(a.returnedAt, t0);
    EXPECT_EQ(ReadNow(h), "3");
    CloseHandle(h);
}

TEST(SerialPort, WaitCommEventRefusesWhatWindowsRefuses)
{
    SimWorld w(7);
    SimUart uart;
    HANDLE h = OpenLikeDriver(115200);
    uart.SetPeerBaud(115200);

    // Only events in the mask end a wait.
    ASSERT_TRUE(SetCommMask(h, EV_BREAK));
    WaitArgs a;
    a.port = h;
    HANDLE th = CreateThread(NULL, 0, WaitThread, &a, 0, NULL);
    SendFromPeer(uart, "ignored");
    Sleep(20);
    EXPECT_EQ(a.returnedAt, 0u);

    // A second wait on the same port while one is pending fails.
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    uart.SendBreakToHost();
    WaitForSingleObject(th, INFINITE);
    CloseHandle(th);
    EXPECT_TRUE(a.result);
    EXPECT_EQ(a.mask, (DWORD)EV_BREAK);

    // No mask, no wait.
    ASSERT_TRUE(SetCommMask(h, 0));
    EXPECT_FALSE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // Closing the port ends a pending wait as failed.
    ASSERT_TRUE(SetCommMask(h, 0xC1));
    WaitArgs b;
    b.port = h;
    th = CreateThread(NULL, 0, WaitThread, &b, 0, NULL);
    Sleep(10);
    EXPECT_TRUE(CloseHandle(h));
    WaitForSingleObject(th, INFINITE);
    CloseHandle(th);
    EXPECT_FALSE(b.result);
    EXPECT_EQ(b.error, (DWORD)ERROR_INVALID_HANDLE);
}

TEST(SerialPort, SpeedMismatchGarblesBothWays)
{
    SimWorld w(8);
    SimUart uart;
    Peer peer;
    uart.AttachPeer(&peer);
    uart.SetPeerBaud(115200);
    HANDLE h = OpenLikeDriver(460800);

    // Host at 460800, module still at 115200.
    const uint8_t* sabm = golden::kSabmDlci0.data();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, sabm, 6, &written, NULL));
    ASSERT_EQ(peer.rx.size(), 6u);
    int same = 0;
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(peer.rx[i].garbled);
        EXPECT_EQ(peer.rx[i].octet, plat::serial::Garble(sabm[i], 460800, 115200));
        same += peer.rx[i].octet == sabm[i];
    }
    EXPECT_EQ(same, 0);
    EXPECT_EQ(uart.GarbledToPeer(), 6u);

    // The module's "\r\nOK\r\n" at 115200 to a host at 460800: junk, no "OK".
    SendFromPeer(uart, "\r\nOK\r\n");
    Sleep(5);
    const std::string got = ReadNow(h);
    EXPECT_EQ(got.size(), 6u);
    EXPECT_EQ(got.find("OK"), std::string::npos);
    EXPECT_EQ(uart.GarbledToHost(), 6u);
    DWORD errors = 0xFFFF;
    ASSERT_TRUE(ClearCommError(h, &errors, NULL));
    EXPECT_EQ(errors, 0u);  // plain junk unless asked for framing errors

    // With framing errors reported, the same junk raises EV_ERR / CE_FRAME.
    uart.SetGarbleRaisesFrameError(true);
    ASSERT_TRUE(SetCommMask(h, 0xC1));  // forget the earlier arrival
    SendFromPeer(uart, "OK");
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_ERR));
    ASSERT_TRUE(ClearCommError(h, &errors, NULL));
    EXPECT_EQ(errors, (DWORD)CE_FRAME);
    EXPECT_EQ(ReadNow(h).size(), 2u);

    // Equal speeds again: clean.
    uart.SetPeerBaud(460800);
    SendFromPeer(uart, "OK");
    Sleep(2);
    EXPECT_EQ(ReadNow(h), "OK");

    // The sampling model: a 4x faster receiver sees the start bit three
    // times, then data bit 0 four times, then data bit 1.
    EXPECT_EQ(plat::serial::Garble(0x41, 115200, 460800), 0x78);
    for (int o = 0; o < 256; ++o) EXPECT_EQ(plat::serial::Garble((uint8_t)o, 460800, 460800), o);

    // A line served to a tty follows the module's speed: what is in flight
    // when the module switches (its AT+CMUX answer) arrives as it was sent.
    uart.SetGarbleRaisesFrameError(false);
    uart.SetHostFollowsPeer(true);
    uart.SetPeerBaud(115200);
    SendFromPeer(uart, "\r\nOK\r\n");
    uart.SetPeerBaud(460800);
    Sleep(5);
    EXPECT_EQ(ReadNow(h), "\r\nOK\r\n");
    CloseHandle(h);
}

TEST(SerialPort, FifoOverflowReportsOverrunThroughEvErr)
{
    SimWorld w(9);
    SimUart uart;
    HANDLE h = OpenLikeDriver(460800);
    uart.SetPeerBaud(460800);
    EXPECT_EQ(uart.FifoCapacity(), 4096u);

    std::vector<uint8_t> data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 7);
    uart.SendToHost(data);
    Sleep(200);
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_ERR));
    DWORD errors = 0;
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, (DWORD)CE_OVERRUN);
    EXPECT_EQ(stat.cbInQue, 4096u);
    ASSERT_TRUE(ClearCommError(h, &errors, NULL));
    EXPECT_EQ(errors, 0u) << "reading the error word clears it";

    // The FIFO holds the first 4096 octets; the rest was lost.
    std::vector<uint8_t> buf(5000);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf.data(), 5000, &got, NULL));
    ASSERT_EQ(got, 4096u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4096, data.begin()));

    // A smaller FIFO overflows sooner.
    uart.SetFifoCapacity(10);
    uart.SendToHost(data.data(), 11);
    Sleep(5);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, (DWORD)CE_OVERRUN);
    EXPECT_EQ(stat.cbInQue, 10u);
    CloseHandle(h);
}

TEST(SerialPort, InjectedLineErrorsAndBreaksKeepTheirPlaceInTheStream)
{
    SimWorld w(10);
    SimUart uart;
    HANDLE h = OpenLikeDriver(115200);
    uart.SetPeerBaud(115200);
    DWORD mask = 0, errors = 0;

    // A framing error on its own, then characters 10 ms later.
    const uint64_t t0 = plat::NowMs();
    uart.SendLineErrorToHost(CE_FRAME);
    SendFromPeer(uart, "abc", t0 + 10);
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_ERR);
    ASSERT_TRUE(ClearCommError(h, &errors, NULL));
    EXPECT_EQ(errors, (DWORD)CE_FRAME);
    EXPECT_EQ(ReadNow(h), "");
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    EXPECT_EQ(ReadNow(h), "abc");

    // Characters with a parity error on the last one: one event with both.
    SendFromPeer(uart, "de");
    uart.SendLineErrorToHost(CE_RXPARITY, true, 'f');
    Sleep(2);
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_ERR));
    ASSERT_TRUE(ClearCommError(h, &errors, NULL));
    EXPECT_EQ(errors, (DWORD)CE_RXPARITY);
    EXPECT_EQ(ReadNow(h), "def");

    // A break: EV_BREAK, CE_BREAK in the error word until it is read.
    uart.SendBreakToHost();
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_BREAK);
    EXPECT_TRUE(ClearCommBreak(h));
    ASSERT_TRUE(ClearCommError(h, &errors, NULL));
    EXPECT_EQ(errors, (DWORD)CE_BREAK);

    // Overrun and framing error together: both bits, one word.
    uart.SendLineErrorToHost(CE_OVERRUN);
    uart.SendLineErrorToHost(CE_FRAME);
    Sleep(2);
    ASSERT_TRUE(WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_ERR);
    ASSERT_TRUE(ClearCommError(h, &errors, NULL));
    EXPECT_EQ(errors, 0x000Au);
    CloseHandle(h);
}

TEST(SerialPort, RemovedDeviceFailsItsOpenHandle)
{
    SimWorld w(11);
    HANDLE h;
    {
        SimUart uart;
        h = OpenLikeDriver(115200);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetCommMask(h, 0xC1));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(OpenCom9(), INVALID_HANDLE_VALUE);
}
