// The stream entry points on running instances against the simulated
// module, in virtual time: writes cut into UIH pieces, reads that continue
// and drain, the idle-timer rule of the data ports (also across the tick
// count's wrap), DTR across suspend and resume on "MUX1:", and the modem's
// DISC and SABM on a user DLCI with the dispatcher's reference count.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "host/muxhost/muxhost.h"
#include "modem/lines.h"
#include "platform/host.h"
#include "platform/own_calls.h"
#include "test_channel.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

CUserChannel* Channel(DWORD_PTR open)
{
    return reinterpret_cast<CUserChannel*>(open);
}

std::vector<uint8_t> Text(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Sends a UIH from the module and waits until the channel has buffered it.
void FromModule(DriverRig& rig, DWORD_PTR open, int dlci, const std::string& s)
{
    const DWORD before = Channel(open)->GetRxCount();
    rig.Modem().SendUih(dlci, Text(s));
    ASSERT_TRUE(rig.D().WaitFor([&] { return Channel(open)->GetRxCount() == before + s.size(); }, 1000));
}

std::string Read(DWORD_PTR open, DWORD count, DWORD* result = nullptr)
{
    std::vector<char> buf(count + 1, 0);
    DWORD n = MUX_Read(open, buf.data(), count);
    if (result) *result = n;
    return n == 0xFFFFFFFFu ? std::string() : std::string(buf.data(), n);
}

TEST(StreamIo, WriteGoesOutIn127OctetPieces)
{
    DriverRig rig(1);
    rig.StartThree();
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7);
    // Through the table the device manager calls.
    const plat::StreamDriverEntries& e = muxhost::MuxEntries();
    EXPECT_EQ(e.Write(rig.open[1], data.data(), 300), 300u);
    const auto pieces = HostUihOn(rig.D(), 1);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].size(), 127u);
    EXPECT_EQ(pieces[1].size(), 127u);
    EXPECT_EQ(pieces[2].size(), 46u);
    EXPECT_EQ(rig.Modem().DataFromHost(1), data);

    SetLastError(0);
    EXPECT_EQ(MUX_Write(rig.open[1], data.data(), 0), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST(StreamIo, ReadsContinueAndDrainRewindsTheBuffer)
{
    DriverRig rig(1);
    rig.StartThree();
    // A second open gives the same context; closing it changes nothing.
    EXPECT_EQ(MUX_Open(rig.device[1], 0, 0), rig.open[1]);
    EXPECT_TRUE(MUX_Close(rig.open[1]));

    EXPECT_EQ(Read(rig.open[1], 10), "");  // empty: 0 at once
    FromModule(rig, rig.open[1], 1, "0123456789");
    CUserChannel* ch = Channel(rig.open[1]);
    bufferDrained = 0;
    EXPECT_EQ(Read(rig.open[1], 4), "0123");
    EXPECT_EQ(ch->rxRead, ch->rxBase + 4);
    EXPECT_EQ(bufferDrained, 0);
    FromModule(rig, rig.open[1], 1, "ab");
    EXPECT_EQ(Read(rig.open[1], 5), "45678");
    // Exactly what is left: the buffer starts over and the parser is told.
    EXPECT_EQ(Read(rig.open[1], 3), "9ab");
    EXPECT_EQ(ch->rxRead, ch->rxBase);
    EXPECT_EQ(ch->rxWrite, ch->rxBase);
    EXPECT_EQ(bufferDrained, 1);
    FromModule(rig, rig.open[1], 1, "next");
    EXPECT_EQ(Read(rig.open[1], 100), "next");
    // Every received UIH left the news in commEvents.
    EXPECT_EQ(ch->commEvents, static_cast<LONG>(EV_RXCHAR));
}

TEST(StreamIo, IdleTimerOnDataPortsAtMostEvery30Seconds)
{
    // No modem behind the DLCIs: its echo of the writes would be read here.
    sim::ModuleSettings module = DispatcherRig::DefaultModule();
    module.serial.modem.modemDlcis = 0;
    DriverRig rig(1, module);
    rig.StartThree();
    ASSERT_LT(GetTickCount(), 30000u);
    FromModule(rig, rig.open[2], 2, "early");
    EXPECT_EQ(Read(rig.open[2], 10), "early");
    EXPECT_EQ(plat::IdleTimerResetCount(), 0u);  // not 30 s since tick 0

    SleepMs(31000 - GetTickCount());
    FromModule(rig, rig.open[1], 1, "one");
    FromModule(rig, rig.open[2], 2, "two");
    EXPECT_EQ(Read(rig.open[1], 10), "one");
    EXPECT_EQ(MUX_Write(rig.open[1], "x", 1), 1u);
    EXPECT_EQ(plat::IdleTimerResetCount(), 0u);  // "MUX1:" never resets it
    EXPECT_EQ(Read(rig.open[2], 10), "two");
    EXPECT_EQ(plat::IdleTimerResetCount(), 1u);
    const DWORD resetAt = g_dwLastIdleReset;
    EXPECT_EQ(resetAt, GetTickCount());
    EXPECT_EQ(MUX_Write(rig.open[2], "y", 1), 1u);
    EXPECT_EQ(Read(rig.open[2], 10), "");  // nothing copied: no reset either
    EXPECT_EQ(plat::IdleTimerResetCount(), 1u);

    // Exactly 30 s later: not yet.
    FromModule(rig, rig.open[2], 2, "more");
    SleepMs(resetAt + 30000 - GetTickCount());
    EXPECT_EQ(Read(rig.open[2], 2), "mo");
    EXPECT_EQ(plat::IdleTimerResetCount(), 1u);
    // "MUX3:" shares the timer; a failed write resets it all the same.
    SleepMs(1);
    EXPECT_EQ(MUX_Write(rig.open[3], "z", 0), 0xFFFFFFFFu);
    EXPECT_EQ(plat::IdleTimerResetCount(), 2u);
}

TEST(StreamIo, IdleTimerAcrossTheTickCountWrap)
{
    DriverRig rig(1);
    rig.StartThree();
    g_dwLastIdleReset = 0xFFFFFFFFu - 2000;
    plat::SetTickCountNow(0xFFFFFFFFu - 1000);
    EXPECT_EQ(MUX_Write(rig.open[2], "a", 1), 1u);
    EXPECT_EQ(plat::IdleTimerResetCount(), 0u);  // 1 s since the last reset
    SleepMs(28000);                              // tick count wrapped
    ASSERT_LT(GetTickCount(), 30000u);
    EXPECT_EQ(MUX_Write(rig.open[2], "b", 1), 1u);
    EXPECT_EQ(plat::IdleTimerResetCount(), 0u);  // 29 s
    SleepMs(1001);
    EXPECT_EQ(MUX_Write(rig.open[2], "c", 1), 1u);
    EXPECT_EQ(plat::IdleTimerResetCount(), 1u);  // 30.001 s
    EXPECT_EQ(g_dwLastIdleReset, GetTickCount());
}

TEST(StreamIo, PowerDownAndUpDriveDtrOnMux1Only)
{
    DriverRig rig(1);
    rig.StartThree();
    auto& lines = rig.D().Lines();
    ASSERT_EQ(lines.Host(), sim::HostPower::Awake);
    HANDLE wake = CreateEventW(NULL, TRUE, TRUE, TEXT("RILWakeUp"));
    ASSERT_NE(wake, nullptr);
    ResetEvent(wake);
    const size_t dtrLowLines = rig.D().Logged("MUX: Trel set DTR Low\r\n").size();

    MUX_PowerDown(rig.device[2]);
    MUX_PowerDown(rig.device[3]);
    EXPECT_EQ(lines.Host(), sim::HostPower::Awake);
    MUX_PowerDown(rig.device[1]);
    EXPECT_EQ(lines.Host(), sim::HostPower::Suspended);
    EXPECT_EQ(IoPortRead(IOPORT_B_CFG) & 0xC0, 0x40u);  // B3 an output
    EXPECT_NE(IoPortRead(IOPORT_B_DATA) & PIN_B3_DTR, 0u);

    // Resume: only "MUX1:" hands the DTR request over.
    MUX_PowerUp(rig.device[2]);
    plat::SignalPowerOnEvents();
    SleepMs(2000);
    EXPECT_EQ(lines.Host(), sim::HostPower::Suspended);
    MUX_PowerUp(rig.device[1]);
    EXPECT_EQ(lines.Host(), sim::HostPower::Suspended);
    const uint64_t resumedAt = plat::NowMs();
    plat::SignalPowerOnEvents();
    ASSERT_TRUE(rig.D().WaitFor([&] { return lines.Host() == sim::HostPower::Awake; }, 3000, 1));
    EXPECT_EQ(lines.HostPowerHistory().back().atMs - resumedAt, 1000u);
    EXPECT_EQ(rig.D().Logged("MUX: Trel set DTR Low\r\n").size(), dtrLowLines + 1);
    EXPECT_TRUE(rig.D().WaitFor([&] { return WaitForSingleObject(wake, 0) == WAIT_OBJECT_0; }, 10, 1));
    CloseHandle(wake);
}

// The modem releases and re-establishes a user DLCI: reads keep the buffer,
// writes wait for the reconnection, and refCount follows the connected
// channels, so the last removal still stops the dispatcher.
TEST(StreamIo, ModemDiscThenSabmOnAUserDlci)
{
    DriverRig rig(1);
    rig.StartThree();
    CUserChannel* ch = Channel(rig.open[2]);
    EXPECT_EQ(g_dispatcher.refCount, 4);
    FromModule(rig, rig.open[2], 2, "kept");

    rig.Modem().SendDisc(2);
    ASSERT_TRUE(rig.D().WaitFor([&] { return ch->connected == 0; }, 1000));
    EXPECT_EQ(g_dispatcher.refCount, 3);
    // Answered with UA, C/R clear as in every response.
    ASSERT_TRUE(rig.D().WaitFor([&] { return HostFramesOn(rig.D(), 2, 0x73) == 1; }, 100));
    for (const HostFrame& f : rig.D().Frames()) {
        if (f.Dlci() == 2 && f.Control() == 0x73) {
            EXPECT_EQ(f.octets[1] & 0x02, 0);
        }
    }
    SetLastError(0);
    EXPECT_EQ(MUX_Write(rig.open[2], "w", 1), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(rig.D().Logged("MUX: MUX_Write() for MUX2: -> Channel not usable ; Time=").size(), 1u);
    EXPECT_EQ(Read(rig.open[2], 10), "kept");

    rig.Modem().SendSabm(2);
    ASSERT_TRUE(rig.D().WaitFor([&] { return ch->connected == 1; }, 1000));
    EXPECT_EQ(g_dispatcher.refCount, 4);
    EXPECT_EQ(MUX_Write(rig.open[2], "w", 1), 1u);

    // Again, and this time the client's open reconnects.
    rig.Modem().SendDisc(2);
    ASSERT_TRUE(rig.D().WaitFor([&] { return ch->connected == 0; }, 1000));
    const size_t sabms = HostFramesOn(rig.D(), 2, 0x3F);
    EXPECT_EQ(MUX_Open(rig.device[2], 0, 0), rig.open[2]);
    EXPECT_EQ(HostFramesOn(rig.D(), 2, 0x3F), sabms + 1);
    EXPECT_EQ(ch->connected, 1);
    EXPECT_EQ(g_dispatcher.refCount, 4);

    for (int i = 1; i <= 3; i++) rig.Deinit(rig.device[i]);
    EXPECT_FALSE(g_dispatcher.bRunning);
    EXPECT_TRUE(g_dispatcher.bStopThreads);
}

TEST(StreamIo, StoppedMultiplexerIsRestartedByOpen)
{
    DriverRig rig(1);
    rig.StartThree();
    g_dispatcher.Stop();
    SetLastError(0);
    DWORD n = 0;
    EXPECT_EQ(Read(rig.open[1], 4, &n), "");
    EXPECT_EQ(n, 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(rig.D().Logged("MUX: MUX_Read() for MUX1: -> Channel not usable ; Time=").size(), 1u);
    EXPECT_EQ(MUX_Write(rig.open[1], "a", 1), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));

    EXPECT_EQ(MUX_Open(rig.device[1], 0, 0), rig.open[1]);
    EXPECT_TRUE(g_dispatcher.bRunning);
    EXPECT_EQ(rig.Modem().CmuxCommands(), 2u);
    EXPECT_EQ(MUX_Write(rig.open[1], "a", 1), 1u);
}

TEST(StreamIo, OpenReportsAFailedReconnection)
{
    DriverRig rig(1);
    rig.StartThree();
    rig.Modem().SendDisc(3);
    ASSERT_TRUE(rig.D().WaitFor([&] { return Channel(rig.open[3])->connected == 0; }, 1000));
    rig.Modem().ChangeSettings([](sim::SerialSettings& s) { s.noUaDlcis |= 1ull << 3; });
    SetLastError(0);
    EXPECT_EQ(MUX_Open(rig.device[3], 0, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(rig.D().Logged("MUX: MUX_Open() for MUX3: -> SendSABM() fail ; Time=").size(), 1u);
    EXPECT_EQ(g_dispatcher.refCount, 3);
}

class StreamIoSeeds : public ::testing::TestWithParam<uint64_t> {};

// Two clients open a port whose multiplexer was stopped at the same time:
// the channel is brought back once, and both get it.
TEST_P(StreamIoSeeds, ConcurrentOpensRestoreTheChannelOnce)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    rig.StartThree();
    g_dispatcher.Stop();
    const size_t sabms = HostFramesOn(rig.D(), 2, 0x3F);
    DWORD_PTR got[2] = {};
    HANDLE a = RunAsync([&] { got[0] = MUX_Open(rig.device[2], 0, 0); });
    HANDLE b = RunAsync([&] { got[1] = MUX_Open(rig.device[2], 0, 0); });
    Join(a);
    Join(b);
    EXPECT_EQ(got[0], rig.open[2]) << rig.D().Dump();
    EXPECT_EQ(got[1], rig.open[2]);
    EXPECT_EQ(rig.Modem().CmuxCommands(), 2u);
    EXPECT_EQ(HostFramesOn(rig.D(), 2, 0x3F), sabms + 1);
    EXPECT_EQ(g_dispatcher.refCount, 2);  // the control channel and MUX2:
}

// Writers on two ports and a reader on a third while the module sends:
// every octet arrives once and in order on its own DLCI.
TEST_P(StreamIoSeeds, ConcurrentWritesAndReads)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    rig.StartThree();
    std::vector<uint8_t> one(300), three(200);
    for (size_t i = 0; i < one.size(); i++) one[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < three.size(); i++) three[i] = static_cast<uint8_t>(255 - i);
    DWORD wrote1 = 0, wrote3 = 0;
    std::string received;
    std::atomic<bool> sending{true};
    HANDLE w1 = RunAsync([&] {
        for (int i = 0; i < 3; i++) wrote1 += MUX_Write(rig.open[1], one.data(), 300);
    });
    HANDLE w3 = RunAsync([&] { wrote3 = MUX_Write(rig.open[3], three.data(), 200); });
    HANDLE r2 = RunAsync([&] {
        while (sending || Channel(rig.open[2])->GetRxCount() != 0) {
            received += Read(rig.open[2], 7);
            SleepMs(3);
        }
    });
    std::string sent;
    for (int i = 0; i < 20; i++) {
        std::string piece = "frame" + std::to_string(i) + ";";
        sent += piece;
        rig.Modem().SendUih(2, Text(piece));
        SleepMs(5 + static_cast<uint32_t>((GetParam() * (i + 1)) % 7));
    }
    SleepMs(50);
    sending = false;
    Join(w1);
    Join(w3);
    Join(r2);
    EXPECT_EQ(wrote1, 900u);
    EXPECT_EQ(wrote3, 200u);
    std::vector<uint8_t> expect1;
    for (int i = 0; i < 3; i++) expect1.insert(expect1.end(), one.begin(), one.end());
    EXPECT_EQ(rig.Modem().DataFromHost(1), expect1);
    EXPECT_EQ(rig.Modem().DataFromHost(3), three);
    EXPECT_EQ(received, sent);
}

INSTANTIATE_TEST_SUITE_P(Seeds, StreamIoSeeds, ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
