// Driver instances from the registry against the simulated module, in
// virtual time: the configuration values, the log switch, two instances on
// one DLCI, openers waiting for start-up, concurrent start-ups and removals,
// MUX_Deinit while start-up runs, and the dispatcher's end with the last
// instance. Concurrent cases run over several seeds.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "diag/log.h"
#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "host/muxhost/muxhost.h"
#include "platform/host.h"
#include "test_channel.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

const char kLogStart[] = "MUX log start for MUX1: ; Time = ";

TEST(Instances, RegistryValuesAreNormalised)
{
    std::u16string debug;  // outlives the rig, whose threads may still print
    DriverRig rig(1);
    plat::SetDebugSink([&](const std::u16string& text) { debug += text; });
    // Only the low byte of the DLCI counts; any non-zero type is 1.
    DriverRig::Declare(1, 0x102, 7u);
    DWORD_PTR d = rig.Init(1);
    ASSERT_NE(d, 0u);
    EXPECT_EQ(DriverRig::Ctx(d)->ucDlci, 2);
    EXPECT_EQ(DriverRig::Ctx(d)->dwType, 1u);
    EXPECT_EQ(std::u16string(DriverRig::Ctx(d)->szName), u"MUX1:");
    EXPECT_NE(debug.find(u"MUX_version: 20061212\r\n"), std::u16string::npos);

    DWORD_PTR open = MUX_Open(d, 0, 0);
    ASSERT_NE(open, 0u) << rig.D().Dump();
    CUserChannel* ch = reinterpret_cast<CUserChannel*>(open);
    EXPECT_EQ(ch->Dlci(), 2);
    EXPECT_EQ(ch->channelType, 1u);
    EXPECT_EQ(static_cast<void*>(g_dispatcher.channels[2]), static_cast<void*>(ch));
    EXPECT_TRUE(rig.Modem().DlciOpen(2));
    // Type 1: no service negotiation for DLCI 2.
    for (const auto& m : rig.Modem().ControlFromHost()) EXPECT_NE(m.message.type, 0xD0);
    ASSERT_EQ(rig.D().Logged(kLogStart).size(), 1u);
}

TEST(Instances, IncompleteConfigurationCreatesNothingAndLogsNothing)
{
    DriverRig rig(1);
    DriverRig::Declare(1, 1, std::nullopt);  // no "GSM_0710_TYPE"
    EXPECT_EQ(rig.Init(1), 0u);
    EXPECT_EQ(rig.Init(5), 0u);  // no active key at all
    DriverRig::SetString(DriverRig::ActiveKey(6), u"Key", u"Drivers\\BuiltIn\\None");
    DriverRig::SetString(DriverRig::ActiveKey(6), u"Name", u"MUX6:");
    EXPECT_EQ(rig.Init(6), 0u);  // driver key missing
    // A name longer than 31 characters does not fit the 64-byte limit.
    DriverRig::Declare(7, 7, 1u, u"MUX_a_very_long_device_name_32ch");
    EXPECT_EQ(rig.Init(7), 0u);
    EXPECT_TRUE(rig.D().Log().Messages().empty()) << rig.D().Dump();
    EXPECT_EQ(rig.Modem().CmuxCommands(), 0u);
}

TEST(Instances, LogSwitchZeroWritesNothingAndIsReadOnce)
{
    std::u16string debug;  // outlives the rig, whose threads may still print
    DriverRig rig(1);
    plat::SetDebugSink([&](const std::u16string& text) { debug += text; });
    g_logSwitch = -1;
    DriverRig::SetDword(u"Software\\Ovadrel", u"Ovadrel", 0);
    DriverRig::Declare(1, 1, 1u);
    DWORD_PTR d = rig.Init(1);
    ASSERT_NE(d, 0u);
    EXPECT_EQ(g_logSwitch, 0);
    ASSERT_NE(MUX_Open(d, 0, 0), 0u);
    // Turned on in the registry now: the switch is not read again.
    DriverRig::SetDword(u"Software\\Ovadrel", u"Ovadrel", 1);
    DriverRig::Declare(2, 1, 1u);  // same DLCI: its start-up fails and would log
    DWORD_PTR second = rig.Init(2);
    ASSERT_NE(second, 0u);
    ASSERT_EQ(WaitForSingleObject(DriverRig::Ctx(second)->hInitThread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(DriverRig::Ctx(second)->pChannel, nullptr);
    rig.Deinit(d);
    EXPECT_EQ(g_logSwitch, 0);
    EXPECT_FALSE(std::filesystem::exists(plat::HostPathFor(u"\\MuxLog.txt")));
    EXPECT_NE(debug.find(u"MUX_version: 20061212\r\n"), std::u16string::npos);
}

TEST(Instances, LogSwitchMissingStaysUnreadAndOneTurnsItOn)
{
    DriverRig rig(1);
    g_logSwitch = -1;
    DriverRig::Declare(1, 1, 1u);
    ASSERT_NE(rig.Init(1), 0u);
    EXPECT_EQ(g_logSwitch, -1);  // tried again by the next MUX_Init
    DriverRig::SetDword(u"Software\\Ovadrel", u"Ovadrel", 1);
    DriverRig::Declare(2, 2, 1u, u"MUX1:");
    ASSERT_NE(rig.Init(2), 0u);
    EXPECT_EQ(g_logSwitch, 1);
    EXPECT_EQ(rig.D().Logged(kLogStart).size(), 1u) << rig.D().Dump();
}

TEST(Instances, SecondInstanceOnTheSameDlciFails)
{
    DriverRig rig(1);
    DriverRig::Declare(1, 1, 1u);
    DriverRig::Declare(2, 1, 1u, u"MUX9:");
    DWORD_PTR first = rig.Init(1);
    DWORD_PTR second = rig.Init(2);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);  // the record exists; its start-up fails
    DWORD_PTR open = MUX_Open(first, 0, 0);
    ASSERT_NE(open, 0u) << rig.D().Dump();
    ASSERT_TRUE(rig.D().WaitFor(
        [&] { return !rig.D().Logged("MUX: MuxInitThread() for MUX9: -> Fail ; Time=").empty(); }, 5000));
    EXPECT_EQ(DriverRig::Ctx(second)->pChannel, nullptr);
    EXPECT_EQ(DriverRig::Ctx(second)->fInitDone, 0u);

    const uint64_t t0 = plat::NowMs();
    EXPECT_EQ(MUX_Open(second, 0, 0), 0u);
    EXPECT_EQ(plat::NowMs() - t0, 7000u);
    EXPECT_EQ(rig.D().Logged("MUX: MUX_Open() for MUX9: -> ERROR(Init fail) ; Time=").size(), 1u);
    // The first instance keeps its DLCI.
    EXPECT_EQ(static_cast<void*>(g_dispatcher.channels[1]), reinterpret_cast<void*>(open));
    EXPECT_EQ(MUX_Open(first, 0, 0), open);
}

// A DLCI the address octet cannot carry, or the control channel's, is not
// masked onto another port's DLCI: the instance's start-up fails, logged.
TEST(Instances, DlciOutsideOneToSixtyThreeFailsTheStartUp)
{
    DriverRig rig(1);
    DriverRig::Declare(1, 1, 1u);
    DriverRig::Declare(2, 255, 1u, u"MUX8:");
    DriverRig::Declare(3, 65, 1u, u"MUX9:");
    DriverRig::Declare(4, 0x100, 1u, u"MUX7:");  // low byte 0: the control channel's
    DWORD_PTR first = rig.Init(1);
    ASSERT_NE(first, 0u);
    ASSERT_NE(MUX_Open(first, 0, 0), 0u) << rig.D().Dump();
    const std::vector<std::pair<int, std::string>> bad = {{2, "MUX8: -> ERROR, GSM_0710_DLCI 255"},
                                                          {3, "MUX9: -> ERROR, GSM_0710_DLCI 65"},
                                                          {4, "MUX7: -> ERROR, GSM_0710_DLCI 0"}};
    for (const auto& [index, text] : bad) {
        DWORD_PTR device = rig.Init(index);
        ASSERT_NE(device, 0u);
        const std::string name = text.substr(0, 5);
        ASSERT_TRUE(rig.D().WaitFor(
            [&] { return !rig.D().Logged("MUX: MuxInitThread() for " + name + " -> Fail ; Time=").empty(); },
            5000))
            << rig.D().Dump();
        EXPECT_EQ(rig.D().Logged("MUX: MuxInitThread() for " + text + " out of range 1..63 ; Time=").size(), 1u)
            << rig.D().Dump();
        EXPECT_EQ(DriverRig::Ctx(device)->pChannel, nullptr);
        EXPECT_EQ(DriverRig::Ctx(device)->fInitDone, 0u);
    }
    // Nothing took DLCI 63 or a second place on DLCI 1; no SABM went out for them.
    EXPECT_EQ(g_dispatcher.channels[63], nullptr);
    EXPECT_EQ(HostFramesOn(rig.D(), 63, 0x3F), 0u);
    EXPECT_EQ(HostFramesOn(rig.D(), 1, 0x3F), 1u);
}

TEST(Instances, InstanceWithoutEventOrChannelFailsOpenAtOnce)
{
    DriverRig rig(1);
    MuxDeviceContext ctx = {};
    std::u16string name = u"MUX7:";
    std::copy(name.begin(), name.end(), ctx.szName);
    const uint64_t t0 = plat::NowMs();
    EXPECT_EQ(MUX_Open(reinterpret_cast<DWORD_PTR>(&ctx), 0, 0), 0u);
    EXPECT_EQ(plat::NowMs(), t0);
    EXPECT_EQ(rig.D().Logged("MUX: MUX_Open() for MUX7: -> ERROR(Init fail) ; Time=").size(), 1u);
    // Start-up claimed done but no channel: still a clean failure.
    ctx.fInitDone = 1;
    EXPECT_EQ(MUX_Open(reinterpret_cast<DWORD_PTR>(&ctx), 0, 0), 0u);
}

TEST(Instances, EntryTableCarriesTheEntryPoints)
{
    const plat::StreamDriverEntries& e = muxhost::MuxEntries();
    EXPECT_STREQ(e.prefix, "MUX");
    EXPECT_EQ(e.Init, &MUX_Init);
    EXPECT_EQ(e.Open, &MUX_Open);
    EXPECT_EQ(e.IOControl, &MUX_IOControl);
    EXPECT_EQ(e.PowerDown, &MUX_PowerDown);
    SetLastError(0);
    DWORD out = 0;
    // No open context: refused before anything is looked at.
    EXPECT_FALSE(e.IOControl(0, 0x1B0000, nullptr, 0, nullptr, 0, &out));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(e.Seek(0, 10, 0), 0xFFFFFFFFu);
}

class StartUpSeeds : public ::testing::TestWithParam<uint64_t> {};

// Openers that arrive while start-up runs all get the port as soon as it is
// ready, not one of them only.
TEST_P(StartUpSeeds, EveryWaitingOpenerPassesOnceReady)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    DriverRig::Declare(1, 1, 1u);
    DWORD_PTR d = rig.Init(1);
    ASSERT_NE(d, 0u);
    const int kOpeners = 3;
    DWORD_PTR result[kOpeners] = {};
    uint64_t doneAt[kOpeners] = {};
    std::vector<HANDLE> threads;
    for (int i = 0; i < kOpeners; i++) {
        threads.push_back(RunAsync([&, i] {
            result[i] = MUX_Open(d, 0, 0);
            doneAt[i] = plat::NowMs();
        }));
    }
    for (HANDLE t : threads) Join(t);
    for (int i = 0; i < kOpeners; i++) {
        EXPECT_NE(result[i], 0u) << rig.D().Dump();
        EXPECT_EQ(result[i], result[0]);
        EXPECT_LT(doneAt[i], 7000u);
        EXPECT_LE(doneAt[i] - std::min({doneAt[0], doneAt[1], doneAt[2]}), 50u);
    }
}

// Instances started and removed from several threads at once: one start of
// the multiplexer, every DLCI registered, the dispatcher stopped with the
// last, and an instance loaded afterwards starts it again.
TEST_P(StartUpSeeds, ConcurrentStartsAndRemovals)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    const int kCount = 3;
    DWORD_PTR d[kCount] = {};
    for (int i = 0; i < kCount; i++) DriverRig::Declare(i + 1, i + 1, i == 1 ? 0u : 1u);
    std::vector<HANDLE> threads;
    for (int i = 0; i < kCount; i++) threads.push_back(RunAsync([&, i] { d[i] = MUX_Init(DriverRig::ActiveKey(i + 1).c_str(), nullptr); }));
    for (HANDLE t : threads) Join(t);
    threads.clear();
    for (int i = 0; i < kCount; i++) {
        ASSERT_NE(d[i], 0u);
        ASSERT_NE(MUX_Open(d[i], 0, 0), 0u) << rig.D().Dump();
        EXPECT_NE(g_dispatcher.channels[i + 1], nullptr);
    }
    EXPECT_EQ(rig.Modem().CmuxCommands(), 1u);
    EXPECT_EQ(g_dispatcher.refCount, kCount + 1);

    for (int i = 0; i < kCount; i++) threads.push_back(RunAsync([&, i] { EXPECT_TRUE(MUX_Deinit(d[i])); }));
    for (HANDLE t : threads) Join(t);
    EXPECT_FALSE(g_dispatcher.bRunning);
    EXPECT_TRUE(g_dispatcher.bStopThreads);
    for (int i = 1; i <= kCount; i++) EXPECT_EQ(HostFramesOn(rig.D(), i, 0x53), 1u) << "DISC on " << i;

    DWORD_PTR again = rig.Init(1);
    ASSERT_NE(again, 0u);
    EXPECT_NE(MUX_Open(again, 0, 0), 0u) << rig.D().Dump();
    EXPECT_EQ(rig.Modem().CmuxCommands(), 2u);
}

// MUX_Deinit while start-up runs: it waits for the start-up thread, an
// instance not yet begun creates nothing, and nothing is used after it was
// freed (the sanitizer build checks the latter).
TEST_P(StartUpSeeds, DeinitDuringStartUp)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    DriverRig::Declare(1, 1, 1u);
    DriverRig::Declare(2, 2, 0u);
    DWORD_PTR first = rig.Init(1);
    DWORD_PTR second = rig.Init(2);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    // The first instance is bringing the multiplexer up; the second waits
    // for the start-up lock.
    SleepMs(static_cast<uint32_t>(GetParam() * 700 % 3000));
    EXPECT_TRUE(rig.Deinit(second));
    EXPECT_EQ(HostFramesOn(rig.D(), 2, 0x3F), 0u);
    SleepMs(static_cast<uint32_t>(GetParam() * 300 % 1000));
    EXPECT_TRUE(rig.Deinit(first));
    EXPECT_FALSE(g_dispatcher.bRunning);
    EXPECT_EQ(g_dispatcher.channels[1], nullptr);
    EXPECT_EQ(g_dispatcher.channels[2], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Seeds, StartUpSeeds, ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
