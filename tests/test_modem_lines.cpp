// The driver's module lines against the simulated module, in virtual time:
// pin set-up, the reset sequence and its polling, and the two supervision
// threads.
#include "dispatcher/dispatcher.h"
#include "modem/lines.h"
#include "diag/log.h"
#include "platform/host.h"
#include "platform/own_calls.h"
#include "platform/hw/ioport_sim.h"
#include "log_capture.h"
#include "sim/module.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

// These tests look at the driver's reads of the lines as well.
[[maybe_unused]] const bool kReadsRecorded = (plat::ioport::RecordReads(true), true);

using plat::ioport::Access;
using plat::ioport::AccessKind;

constexpr DWORD kSysIntr = 0x6000009F;

struct Step {
    DWORD offset, clearBits, setBits;
    bool operator==(const Step& o) const
    {
        return offset == o.offset && clearBits == o.clearBits && setBits == o.setBits;
    }
};

std::ostream& operator<<(std::ostream& os, const Step& s)
{
    char buf[64];
    snprintf(buf, sizeof buf, "{0x%02X clear 0x%X set 0x%X}", (unsigned)s.offset,
             (unsigned)s.clearBits, (unsigned)s.setBits);
    return os << buf;
}

std::vector<Step> Modifies(const std::vector<Access>& history)
{
    std::vector<Step> out;
    for (const Access& a : history) {
        if (a.kind == AccessKind::Modify) out.push_back({a.offset, a.clearBits, a.setBits});
    }
    return out;
}

// Accesses of the driver that touch B3 (configuration bits 7-6, data bit 3).
size_t DtrTouches(const std::vector<Access>& history)
{
    size_t n = 0;
    for (const Access& a : history) {
        if (a.kind != AccessKind::Modify) continue;
        if (a.offset == IOPORT_B_CFG && ((a.clearBits | a.setBits) & 0xC0)) ++n;
        if (a.offset == IOPORT_B_DATA && ((a.clearBits | a.setBits) & PIN_B3_DTR)) ++n;
    }
    return n;
}

const std::vector<Step> kSetupSteps = {
    {0x10, 0x200, 0},   {0x10, 0, 0x100},   {0x14, 0x10, 0},     // B4 output, low
    {0x50, 0xC00, 0},   {0x58, 0x20, 0},    {0x58, 0, 0x20},     // F5 input, pull-up off
    {0x30, 0x0C, 0},    {0x38, 0, 0x02},                         // D1 input, pull-up off
    {0x50, 0x300, 0},   {0x58, 0x10, 0},                         // F4 input, pull-up on
    {0x20, 0x20000, 0}, {0x20, 0, 0x10000}, {0x24, 0x100, 0},    // C8 output, low
    {0x70, 0x20000, 0}, {0x70, 0, 0x10000}, {0x74, 0x100, 0},    // H8 output, low
};

const Step kB4Out[2] = {{0x10, 0x200, 0}, {0x10, 0, 0x100}};
const Step kH8Out[2] = {{0x70, 0x20000, 0}, {0x70, 0, 0x10000}};

void ResetDriverGlobals()
{
    g_dispatcher.bStopThreads = FALSE;
    g_hRFOKEvent = 0;
    g_hSetDTREvent = INVALID_HANDLE_VALUE;
}

TEST(SetupModulePins, OrderAndLevelsLeaveDtrAlone)
{
    SimWorld w(21);
    sim::SimModule m;
    SetDTRHigh();  // host suspended
    IoPortModify(IOPORT_F_PULL, 0, PIN_F4);  // F4 pull-up off beforehand
    plat::ioport::ClearHistory();

    SetupModulePins(NULL);
    auto h = plat::ioport::History();
    EXPECT_EQ(Modifies(h), kSetupSteps);
    EXPECT_EQ(DtrTouches(h), 0u);
    EXPECT_TRUE(plat::ioport::DrivenHigh(IOPORT_B_DATA, PIN_B3_DTR));
    EXPECT_EQ(m.Host(), sim::HostPower::Suspended);

    // The F5 pull-up bit ends set although it was cleared on the way; F4's
    // ends clear; D1's set.
    DWORD pull = plat::ioport::Peek(IOPORT_F_PULL);
    EXPECT_EQ(pull & PIN_F5_RF_OK, PIN_F5_RF_OK);
    EXPECT_EQ(pull & PIN_F4, 0u);
    EXPECT_EQ(plat::ioport::Peek(IOPORT_D_PULL) & PIN_D1_SLEEP, PIN_D1_SLEEP);
    EXPECT_FALSE(plat::ioport::IsOutput(IOPORT_F_DATA, PIN_F5_RF_OK));
    EXPECT_FALSE(plat::ioport::IsOutput(IOPORT_D_DATA, PIN_D1_SLEEP));
    for (auto pin : {std::make_pair(IOPORT_B_DATA, PIN_B4_RESET),
                     std::make_pair(IOPORT_C_DATA, PIN_C8_WAKE),
                     std::make_pair(IOPORT_H_DATA, PIN_H8_RESET)}) {
        EXPECT_TRUE(plat::ioport::IsOutput(pin.first, pin.second));
        EXPECT_FALSE(plat::ioport::DrivenHigh(pin.first, pin.second));
    }
    // Nothing in the set-up waits.
    EXPECT_EQ(h.front().atMs, h.back().atMs);
}

TEST(SetupModulePins, OtherBitsOfTheRegistersSurvive)
{
    SimWorld w(22);
    sim::SimModule m;
    IoPortModify(IOPORT_F_PULL, 0, 0xFF00FF00u);
    IoPortModify(IOPORT_C_CFG, 0, 0x00C00003u);
    SetupModulePins(NULL);
    EXPECT_EQ(plat::ioport::Peek(IOPORT_F_PULL), 0xFF00FF20u);
    EXPECT_EQ(plat::ioport::Peek(IOPORT_C_CFG), 0x00C10003u);
}

struct ResetRun {
    BOOL result;
    uint64_t startMs, endMs;
    std::vector<Access> history;
};

ResetRun RunModuleReset()
{
    ResetRun r;
    plat::ioport::ClearHistory();
    r.startMs = plat::NowMs();
    r.result = g_dispatcher.ModuleReset();
    r.endMs = plat::NowMs();
    r.history = plat::ioport::History();
    return r;
}

std::vector<std::pair<uint64_t, bool>> Levels(DWORD data, DWORD mask, uint64_t t0)
{
    std::vector<std::pair<uint64_t, bool>> out;
    for (auto& c : plat::ioport::PinLevels(data, mask)) out.push_back({c.atMs - t0, c.high});
    return out;
}

std::vector<uint64_t> ReadTimes(const std::vector<Access>& history, DWORD offset, uint64_t t0)
{
    std::vector<uint64_t> out;
    for (const Access& a : history) {
        if (a.kind == AccessKind::Read && a.offset == offset) out.push_back(a.atMs - t0);
    }
    return out;
}

TEST(ModuleReset, PulsesFollowTheTimingTableAndSucceedAtFirstPoll)
{
    SimWorld w(23);
    LogCapture log;
    sim::ModuleSettings s;
    s.lines.rfOkDelayMs = 0;  // GSM_RF_OK high as soon as the sequence ends
    sim::SimModule m(s);
    SetupModulePins(NULL);  // lines idle, as after an earlier start
    Sleep(1000);            // start away from 0 so that offsets are checked

    ResetRun r = RunModuleReset();
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.endMs - r.startMs, 1800u);
    EXPECT_EQ(m.Lines().ResetsSeen(), 1u);

    using L = std::vector<std::pair<uint64_t, bool>>;
    EXPECT_EQ(Levels(IOPORT_B_DATA, PIN_B4_RESET, r.startMs),
              (L{{0, false}, {0, true}, {900, false}, {1200, true}, {1800, false}}));
    EXPECT_EQ(Levels(IOPORT_H_DATA, PIN_H8_RESET, r.startMs),
              (L{{0, false}, {600, true}, {700, false}}));
    // DTR: configured as output at 1,800 ms and driven low (awake).
    EXPECT_EQ(Levels(IOPORT_B_DATA, PIN_B3_DTR, r.startMs).back(), (std::make_pair(uint64_t(1800), false)));
    EXPECT_TRUE(plat::ioport::IsOutput(IOPORT_B_DATA, PIN_B3_DTR));
    EXPECT_EQ(m.Host(), sim::HostPower::Awake);
    EXPECT_EQ(m.Lines().HostPowerHistory().back().atMs, r.startMs + 1800);

    // Exact register steps: the set-up, then each drive re-configures its pin.
    std::vector<Step> expect = kSetupSteps;
    auto drive = [&](const Step* cfg, Step data) {
        expect.push_back(cfg[0]);
        expect.push_back(cfg[1]);
        expect.push_back(data);
    };
    drive(kB4Out, {0x14, 0, 0x10});
    drive(kH8Out, {0x74, 0, 0x100});
    drive(kH8Out, {0x74, 0x100, 0});
    drive(kB4Out, {0x14, 0x10, 0});
    drive(kB4Out, {0x14, 0, 0x10});
    drive(kB4Out, {0x14, 0x10, 0});
    expect.push_back({0x10, 0x80, 0});
    expect.push_back({0x10, 0, 0x40});
    expect.push_back({0x14, 0x08, 0});
    EXPECT_EQ(Modifies(r.history), expect);

    EXPECT_EQ(ReadTimes(r.history, IOPORT_F_DATA, r.startMs), (std::vector<uint64_t>{1800}));
    auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 2u) << log.Raw();
    EXPECT_EQ(lines[0], "MUX: CDispatcher::ModuleReset() ; GSM_RF_OK success\r\n");
    EXPECT_EQ(lines[1], "MUX: Trel set DTR Low\r\n");
}

TEST(ModuleReset, DefaultModuleComesUpWhilePolling)
{
    SimWorld w(24);
    LogCapture log;
    sim::SimModule m;  // GSM_RF_OK 1,250 ms after the sequence
    ResetRun r = RunModuleReset();
    EXPECT_TRUE(r.result);
    EXPECT_EQ(ReadTimes(r.history, IOPORT_F_DATA, r.startMs),
              (std::vector<uint64_t>{1800, 2300, 2800, 3300}));
    EXPECT_EQ(r.endMs - r.startMs, 3300u);
    EXPECT_FALSE(plat::ioport::DrivenHigh(IOPORT_B_DATA, PIN_B3_DTR));
    EXPECT_EQ(log.Matching("GSM_RF_OK success").size(), 1u);
    EXPECT_EQ(log.Matching("GSM_RF_OK fail").size(), 0u);
}

TEST(ModuleReset, ModuleThatNeverComesUp)
{
    SimWorld w(25);
    LogCapture log;
    sim::ModuleSettings s;
    s.lines.bootAfterReset = false;
    sim::SimModule m(s);
    SetDTRHigh();
    ResetRun r = RunModuleReset();

    EXPECT_FALSE(r.result);
    std::vector<uint64_t> expect;
    for (int i = 0; i < 30; ++i) expect.push_back(1800 + 500 * i);
    EXPECT_EQ(ReadTimes(r.history, IOPORT_F_DATA, r.startMs), expect);
    // The last read is followed by a pause as well.
    EXPECT_EQ(r.endMs - r.startMs, 1800u + 30 * 500);
    EXPECT_EQ(DtrTouches(r.history), 0u);
    EXPECT_TRUE(plat::ioport::DrivenHigh(IOPORT_B_DATA, PIN_B3_DTR));
    auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 1u) << log.Raw();
    EXPECT_EQ(lines[0], "MUX: CDispatcher::ModuleReset() ; GSM_RF_OK fail\r\n");
}

TEST(ModuleReset, LastPollCanStillSucceed)
{
    SimWorld w(26);
    LogCapture log;
    sim::ModuleSettings s;
    s.lines.rfOkDelayMs = 29 * 500 - 1;  // high just before the 30th read
    sim::SimModule m(s);
    ResetRun r = RunModuleReset();
    EXPECT_TRUE(r.result);
    EXPECT_EQ(ReadTimes(r.history, IOPORT_F_DATA, r.startMs).size(), 30u);
    EXPECT_EQ(r.endMs - r.startMs, 1800u + 29 * 500);
    EXPECT_EQ(log.Matching("GSM_RF_OK success").size(), 1u);
    EXPECT_EQ(log.Matching("Trel set DTR Low").size(), 1u);
}

TEST(GetRFOKPinState, ReadsOnlyTheLine)
{
    SimWorld w(27);
    sim::ModuleSettings s;
    s.lines.startRunning = true;
    sim::SimModule m(s);
    SetupModulePins(NULL);
    plat::ioport::ClearHistory();
    EXPECT_EQ(g_dispatcher.GetRFOKPinState(), 1u);
    m.Crash();
    EXPECT_EQ(g_dispatcher.GetRFOKPinState(), 0u);
    auto h = plat::ioport::History();
    EXPECT_EQ(Modifies(h).size(), 0u);
    EXPECT_EQ(plat::ioport::CountReads(IOPORT_F_DATA), 2u);
}

// --- RFOKPinThread ---------------------------------------------------------------

struct DebugCapture {
    std::u16string text;
    DebugCapture()
    {
        plat::SetDebugSink([this](const std::u16string& t) { text += t; });
    }
    ~DebugCapture() { plat::SetDebugSink(nullptr); }
};

struct Watcher {
    HANDLE thread = nullptr;
    HANDLE crashed = nullptr;  // our own handle to "ModuleCrashed"

    Watcher()
    {
        crashed = CreateEvent(NULL, FALSE, FALSE, TEXT("ModuleCrashed"));
        ResetEvent(crashed);
        thread = CreateThread(NULL, 0, CDispatcher::RFOKPinThread, &g_dispatcher, 0, NULL);
        // Let it bind and arm.
        for (int i = 0; i < 100 && !plat::interrupt::IsBound(kSysIntr); ++i) Sleep(1);
    }
    ~Watcher()
    {
        CloseHandle(thread);
        CloseHandle(crashed);
    }
    bool Ended(DWORD waitMs) { return WaitForSingleObject(thread, waitMs) == WAIT_OBJECT_0; }
};

sim::ModuleSettings Running()
{
    sim::ModuleSettings s;
    s.lines.startRunning = true;
    return s;
}

TEST(RFOKPinThread, CrashSignalsModuleCrashed)
{
    SimWorld w(31);
    LogCapture log;
    DebugCapture dbg;
    ResetDriverGlobals();
    sim::SimModule m(Running());
    SetupModulePins(NULL);
    Watcher watcher;
    ASSERT_TRUE(plat::interrupt::IsEnabled(kSysIntr));
    EXPECT_NE(g_hRFOKEvent, HANDLE(0));
    EXPECT_NE(g_hRFOKEvent, INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::ToUtf8(dbg.text), "MUX: Trel1 RFOKPinThread\r\n");

    m.Lines().CrashAt(5000);
    EXPECT_EQ(WaitForSingleObject(watcher.crashed, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(plat::NowMs(), 5010u);
    ASSERT_TRUE(watcher.Ended(1000));
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeThread(watcher.thread, &code));
    EXPECT_EQ(code, 0u);

    auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 1u) << log.Raw();
    char expect[96];
    snprintf(expect, sizeof expect, "Detect REZ crashed, notify RIL driver ; Time = %u\r\n", 5010u);
    EXPECT_EQ(lines[0], expect);
    EXPECT_EQ(log.Matching("Trel1").size(), 0u);

    // Acknowledged and disabled; the event closed and its value -1.
    EXPECT_EQ(plat::interrupt::FireCount(kSysIntr), 1u);
    EXPECT_EQ(plat::interrupt::DoneCount(kSysIntr), 1u);
    EXPECT_FALSE(plat::interrupt::IsBound(kSysIntr));
    EXPECT_EQ(g_hRFOKEvent, INVALID_HANDLE_VALUE);
    // One interrupt, one decision: nothing more is reported.
    EXPECT_EQ(WaitForSingleObject(watcher.crashed, 0), WAIT_TIMEOUT);
}

TEST(RFOKPinThread, GlitchIsNotACrashButEndsTheWatch)
{
    SimWorld w(32);
    LogCapture log;
    ResetDriverGlobals();
    sim::SimModule m(Running());  // glitches are 5 ms low
    SetupModulePins(NULL);
    Watcher watcher;
    ASSERT_TRUE(plat::interrupt::IsEnabled(kSysIntr));

    m.Lines().GlitchAt(2000);
    ASSERT_TRUE(watcher.Ended(10000));
    EXPECT_EQ(plat::NowMs(), 2010u);
    EXPECT_EQ(WaitForSingleObject(watcher.crashed, 0), WAIT_TIMEOUT);
    EXPECT_EQ(log.Messages().size(), 0u) << log.Raw();
    EXPECT_EQ(plat::interrupt::FireCount(kSysIntr), 1u);
    EXPECT_EQ(plat::interrupt::DoneCount(kSysIntr), 1u);
    EXPECT_FALSE(plat::interrupt::IsBound(kSysIntr));
    // A crash after the watcher ended goes unreported.
    m.Crash();
    EXPECT_EQ(WaitForSingleObject(watcher.crashed, 100), WAIT_TIMEOUT);
}

TEST(RFOKPinThread, StopWhileArmedEndsSilently)
{
    SimWorld w(33);
    LogCapture log;
    ResetDriverGlobals();
    sim::SimModule m(Running());
    SetupModulePins(NULL);
    {
        Watcher watcher;
        ASSERT_TRUE(plat::interrupt::IsEnabled(kSysIntr));
        Sleep(3000);
        EXPECT_FALSE(watcher.Ended(0));
        // What the dispatcher's Stop does.
        g_dispatcher.bStopThreads = TRUE;
        SetEvent(g_hRFOKEvent);
        ASSERT_TRUE(watcher.Ended(100));
        EXPECT_EQ(WaitForSingleObject(watcher.crashed, 0), WAIT_TIMEOUT);
        EXPECT_EQ(plat::interrupt::DoneCount(kSysIntr), 0u);  // not acknowledged
        EXPECT_FALSE(plat::interrupt::IsBound(kSysIntr));     // but released
        EXPECT_EQ(g_hRFOKEvent, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(log.Messages().size(), 0u) << log.Raw();

    // The next start's watcher binds the interrupt again and reports a crash.
    ResetDriverGlobals();
    Watcher again;
    ASSERT_TRUE(plat::interrupt::IsEnabled(kSysIntr));
    m.Crash();
    EXPECT_EQ(WaitForSingleObject(again.crashed, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(again.Ended(1000));
}

TEST(RFOKPinThread, StopBeforeItArmsEndsIt)
{
    SimWorld w(34);
    ResetDriverGlobals();
    sim::SimModule m(Running());
    SetupModulePins(NULL);
    // Stop comes before the watcher has made its event: nobody can wake it,
    // so it has to see the flag itself.
    g_dispatcher.bStopThreads = TRUE;
    HANDLE t = CreateThread(NULL, 0, CDispatcher::RFOKPinThread, &g_dispatcher, 0, NULL);
    EXPECT_EQ(WaitForSingleObject(t, 1000), WAIT_OBJECT_0);
    EXPECT_FALSE(plat::interrupt::IsBound(kSysIntr));
    CloseHandle(t);
}

// --- SetDTRThread -----------------------------------------------------------------

struct DtrThread {
    HANDLE thread = nullptr;
    HANDLE wake = nullptr;  // our own handle to "RILWakeUp"

    DtrThread()
    {
        thread = CreateThread(NULL, 0, CDispatcher::SetDTRThread, &g_dispatcher, 0, NULL);
        for (int i = 0; i < 100 && g_hSetDTREvent == INVALID_HANDLE_VALUE; ++i) Sleep(1);
        wake = CreateEvent(NULL, TRUE, FALSE, TEXT("RILWakeUp"));
    }
    void Stop()
    {
        g_dispatcher.bStopThreads = TRUE;
        SetEvent(g_hSetDTREvent);
    }
    ~DtrThread()
    {
        if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
            Stop();
            WaitForSingleObject(thread, 1000);
        }
        CloseHandle(thread);
        CloseHandle(wake);
    }
};

size_t DtrLowModifies()
{
    size_t n = 0;
    for (const Access& a : plat::ioport::History()) {
        if (a.kind == AccessKind::Modify && a.offset == IOPORT_B_DATA && (a.clearBits & PIN_B3_DTR)) ++n;
    }
    return n;
}

// The RIL opens "RILWakeUp" once the driver's DTR request event exists; by
// then the thread has created it, signalled. Start-up interleavings over many
// seeds.
TEST(SetDTRThread, RequestEventIsPublishedOnlyOnceRilWakeUpExists)
{
    for (uint64_t seed = 1; seed <= 200; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        SimWorld w(seed);
        ResetDriverGlobals();
        sim::SimModule m(Running());
        DtrThread t;
        ASSERT_NE(g_hSetDTREvent, INVALID_HANDLE_VALUE);
        EXPECT_EQ(WaitForSingleObject(t.wake, 0), WAIT_OBJECT_0);
    }
}

TEST(SetDTRThread, ResumeDrivesDtrLowThenWakesTheRil)
{
    for (uint64_t seed : {41, 42, 43, 44, 45}) {
        SimWorld w(seed);
        LogCapture log;
        ResetDriverGlobals();
        sim::SimModule m(Running());
        DtrThread t;
        ASSERT_NE(g_hSetDTREvent, INVALID_HANDLE_VALUE);
        // "RILWakeUp" is created signalled.
        EXPECT_EQ(WaitForSingleObject(t.wake, 0), WAIT_OBJECT_0);
        ResetEvent(t.wake);

        // Suspend, then resume a while later.
        SetDTRHigh();
        Sleep(500);
        // At the moment DTR goes low, the log line must be there already.
        bool loggedFirst = false;
        uint64_t id = plat::ioport::AddListener([&](const Access& a) {
            if (a.kind == AccessKind::Modify && a.offset == IOPORT_B_DATA && (a.clearBits & PIN_B3_DTR))
                loggedFirst = log.Matching("MUX: Trel set DTR Low").size() == 1;
        });
        plat::ioport::ClearHistory();
        uint64_t resume = plat::NowMs();
        SetEvent(g_hSetDTREvent);

        ASSERT_EQ(WaitForSingleObject(t.wake, 5000), WAIT_OBJECT_0);
        // RILWakeUp comes after the pin change.
        EXPECT_FALSE(plat::ioport::DrivenHigh(IOPORT_B_DATA, PIN_B3_DTR));
        EXPECT_EQ(plat::NowMs(), resume + 1000);
        plat::ioport::RemoveListener(id);
        EXPECT_TRUE(loggedFirst);
        auto dtr = plat::ioport::PinLevels(IOPORT_B_DATA, PIN_B3_DTR);
        ASSERT_EQ(dtr.size(), 2u);
        EXPECT_TRUE(dtr[0].high);
        EXPECT_EQ(dtr[1].atMs, resume + 1000);
        EXPECT_FALSE(dtr[1].high);
        EXPECT_EQ(m.Host(), sim::HostPower::Awake);
        EXPECT_EQ(log.Matching("MUX: Trel set DTR Low").size(), 1u);
        // The thread never resets RILWakeUp itself.
        Sleep(3000);
        EXPECT_EQ(WaitForSingleObject(t.wake, 0), WAIT_OBJECT_0);
    }
}

TEST(SetDTRThread, SeveralRequestsBeforeItWakesMakeOneAction)
{
    SimWorld w(46);
    LogCapture log;
    ResetDriverGlobals();
    sim::SimModule m(Running());
    DtrThread t;
    ResetEvent(t.wake);
    SetDTRHigh();
    plat::ioport::ClearHistory();
    uint64_t first = plat::NowMs();
    SetEvent(g_hSetDTREvent);
    SetEvent(g_hSetDTREvent);
    Sleep(400);
    SetEvent(g_hSetDTREvent);  // while it sleeps before acting
    Sleep(300);
    SetEvent(g_hSetDTREvent);
    ASSERT_EQ(WaitForSingleObject(t.wake, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(plat::NowMs(), first + 1000);
    Sleep(5000);
    EXPECT_EQ(DtrLowModifies(), 1u);
    EXPECT_EQ(log.Matching("MUX: Trel set DTR Low").size(), 1u);

    // A later request is served again.
    SetDTRHigh();
    ResetEvent(t.wake);
    SetEvent(g_hSetDTREvent);
    ASSERT_EQ(WaitForSingleObject(t.wake, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(DtrLowModifies(), 2u);
    EXPECT_EQ(log.Matching("MUX: Trel set DTR Low").size(), 2u);
}

TEST(SetDTRThread, StopEndsItAndClosesTheRequestEvent)
{
    SimWorld w(47);
    LogCapture log;
    ResetDriverGlobals();
    sim::SimModule m(Running());
    DtrThread t;
    SetDTRHigh();
    plat::ioport::ClearHistory();
    t.Stop();
    EXPECT_EQ(WaitForSingleObject(t.thread, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(g_hSetDTREvent, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DtrLowModifies(), 0u);
    EXPECT_EQ(log.Messages().size(), 0u) << log.Raw();
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeThread(t.thread, &code));
    EXPECT_EQ(code, 0u);
}

}  // namespace
