// The host's register block, the RF-OK interrupt and the simulated module's
// line half, driven directly through the register accessors (no driver).
#include "platform/host.h"
#include "platform/own_calls.h"
#include "platform/hw/ioport_sim.h"
#include "platform/kernel/kernel.h"
#include "sim/module.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// These tests look at the driver's reads of the lines as well.
[[maybe_unused]] const bool kReadsRecorded = (plat::ioport::RecordReads(true), true);

using plat::ioport::AccessKind;

constexpr DWORD kBCfg = 0x10, kBData = 0x14, kCCfg = 0x20, kCData = 0x24, kDData = 0x34,
                kDPull = 0x38, kFCfg = 0x50, kFData = 0x54, kFPull = 0x58, kHCfg = 0x70,
                kHData = 0x74;
constexpr DWORD kSysIntr = 0x6000009F;

// Host-side drive of an output pin (configuration field 01, then the latch).
void Drive(DWORD cfg, DWORD data, int pin, bool high)
{
    IoPortModify(cfg, 2u << (2 * pin), 1u << (2 * pin));
    IoPortModify(data, high ? 0 : (1u << pin), high ? (1u << pin) : 0);
}

void B4(bool high) { Drive(kBCfg, kBData, 4, high); }
void H8(bool high) { Drive(kHCfg, kHData, 8, high); }
void C8(bool high) { Drive(kCCfg, kCData, 8, high); }

// The reset sequence with every interval stretched by `skew` ms.
void ResetSequence(int skew = 0, bool withH8 = true)
{
    B4(true);
    Sleep(600 + skew);
    if (withH8) H8(true);
    Sleep(100 + skew);
    if (withH8) H8(false);
    Sleep(200 + skew);
    B4(false);
    Sleep(300 + skew);
    B4(true);
    Sleep(600 + skew);
    B4(false);
}

bool RfOk() { return (IoPortRead(kFData) & 0x20) != 0; }
bool D1() { return (IoPortRead(kDData) & 0x02) != 0; }

TEST(IoPortBlock, RegisterSemantics)
{
    SimWorld w(1);
    plat::ioport::Reset();

    // Power-on: all inputs with pull-ups on, nothing driven: inputs read high.
    EXPECT_EQ(IoPortRead(kFCfg), 0u);
    EXPECT_EQ(IoPortRead(kFData) & 0x30, 0x30u);
    // Pull-up off: an undriven pin reads low.
    IoPortModify(kFPull, 0, 0x20);
    EXPECT_EQ(IoPortRead(kFData) & 0x30, 0x10u);
    // The module drives an input: that level wins over the pull-up.
    plat::ioport::SetInput(kFData, 0x20, true);
    EXPECT_EQ(IoPortRead(kFData) & 0x20, 0x20u);
    plat::ioport::SetInput(kFData, 0x10, false);
    EXPECT_EQ(IoPortRead(kFData) & 0x10, 0u);
    plat::ioport::ReleaseInput(kFData, 0x10);
    EXPECT_EQ(IoPortRead(kFData) & 0x10, 0x10u);

    // Read-modify-write touches only the named bits.
    IoPortModify(kBCfg, 0, 0xFFFF0000u);
    IoPortModify(kBCfg, 0x00F00000u, 0x1u);
    EXPECT_EQ(IoPortRead(kBCfg), 0xFF0F0001u);

    // An output reads back its latch; an input its level, whatever the latch.
    plat::ioport::Reset();
    plat::ioport::SetInput(kBData, 0x08, false);
    IoPortModify(kBData, 0, 0x08);             // latch of an input pin
    EXPECT_EQ(IoPortRead(kBData) & 0x08, 0u);  // still reads the input
    IoPortModify(kBCfg, 0x80, 0x40);           // B3 as output
    EXPECT_EQ(IoPortRead(kBData) & 0x08, 0x08u);
    EXPECT_TRUE(plat::ioport::DrivenHigh(kBData, 0x08));
    IoPortModify(kBCfg, 0, 0x80);              // field 11: not an output
    EXPECT_FALSE(plat::ioport::IsOutput(kBData, 0x08));
    EXPECT_EQ(IoPortRead(kBData) & 0x08, 0u);
    // A read-modify-write of the data register copies input levels into
    // the latches of input pins, as the hardware does.
    plat::ioport::SetInput(kBData, 0x01, true);
    IoPortModify(kBData, 0, 0);
    plat::ioport::SetInput(kBData, 0x01, false);
    IoPortModify(kBCfg, 0x3, 0x1);  // B0 as output shows the copied latch
    EXPECT_EQ(IoPortRead(kBData) & 0x01, 0x01u);
}

TEST(IoPortBlock, HistoryListenersAndPinLevels)
{
    SimWorld w(2);
    plat::ioport::Reset();
    std::vector<plat::ioport::Access> seen;
    uint64_t id = plat::ioport::AddListener([&](const plat::ioport::Access& a) { seen.push_back(a); });

    IoPortModify(kHCfg, 0x20000, 0x10000);  // H8 output, latch low
    Sleep(100);
    IoPortModify(kHData, 0, 0x100);
    Sleep(50);
    EXPECT_EQ(IoPortRead(kHData) & 0x100, 0x100u);
    Sleep(25);
    IoPortModify(kHCfg, 0x30000, 0);  // back to input: reads the pull-up (high)
    IoPortModify(0x78, 0, 0x100);
    plat::ioport::RemoveListener(id);
    IoPortRead(kHData);

    auto h = plat::ioport::History();
    ASSERT_EQ(h.size(), 6u);
    EXPECT_EQ(seen.size(), 5u);  // the last read came after removal
    EXPECT_EQ(h[0].kind, AccessKind::Modify);
    EXPECT_EQ(h[0].offset, kHCfg);
    EXPECT_EQ(h[0].clearBits, 0x20000u);
    EXPECT_EQ(h[0].setBits, 0x10000u);
    EXPECT_EQ(h[0].before, 0u);
    EXPECT_EQ(h[0].after, 0x10000u);
    EXPECT_EQ(h[2].kind, AccessKind::Read);
    EXPECT_EQ(h[2].atMs, 150u);
    EXPECT_EQ(h[0].thread, "main");
    EXPECT_EQ(plat::ioport::CountReads(kHData), 2u);

    // Levels as a data read sees them: pull-up high, output low at 0,
    // driven high at 100, input again (pull-up) at 175, pull-up off.
    auto levels = plat::ioport::PinLevels(kHData, 0x100);
    ASSERT_EQ(levels.size(), 4u);
    EXPECT_TRUE(levels[0].high);
    EXPECT_EQ(levels[1].atMs, 0u);
    EXPECT_FALSE(levels[1].high);
    EXPECT_EQ(levels[2].atMs, 100u);
    EXPECT_TRUE(levels[2].high);
    EXPECT_EQ(levels[3].atMs, 175u);
    EXPECT_FALSE(levels[3].high);

    plat::ioport::SetHistoryLimit(3);
    EXPECT_EQ(plat::ioport::History().size(), 3u);
    plat::ioport::SetHistoryLimit(200000);
}

TEST(IoPortBlock, NewWorldStartsFromPowerOn)
{
    {
        SimWorld w(3);
        plat::ioport::Reset();
        Sleep(5000);
        IoPortModify(kBCfg, 0, 0x40);
        IoPortModify(kBData, 0, 0x08);
    }
    SimWorld w(4);
    EXPECT_EQ(IoPortRead(kBCfg), 0u);
    EXPECT_EQ(plat::ioport::History().size(), 1u);
}

TEST(RfOkInterrupt, FiresOnFallingEdgeOnceUntilDone)
{
    SimWorld w(5);
    plat::ioport::Reset();
    HANDLE ev = CreateEvent(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(ev, nullptr);
    plat::ioport::SetInput(kFData, 0x20, true);

    EXPECT_FALSE(InterruptInitialize(0x60000001, ev, NULL, 0));  // no such source
    ASSERT_TRUE(InterruptInitialize(kSysIntr, ev, NULL, 0));
    EXPECT_FALSE(InterruptInitialize(kSysIntr, ev, NULL, 0));  // already bound
    EXPECT_TRUE(plat::interrupt::IsEnabled(kSysIntr));

    // A rising edge does nothing.
    plat::ioport::SetInput(kFData, 0x20, false);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(plat::interrupt::IsEnabled(kSysIntr));
    plat::ioport::SetInput(kFData, 0x20, true);
    plat::ioport::SetInput(kFData, 0x20, false);  // disabled: not seen
    EXPECT_EQ(WaitForSingleObject(ev, 10), WAIT_TIMEOUT);
    EXPECT_EQ(plat::interrupt::FireCount(kSysIntr), 1u);

    InterruptDone(kSysIntr);
    EXPECT_TRUE(plat::interrupt::IsEnabled(kSysIntr));
    // Re-enabling does not fire for an edge that came while disabled.
    EXPECT_EQ(WaitForSingleObject(ev, 10), WAIT_TIMEOUT);
    plat::ioport::SetInput(kFData, 0x20, true);
    plat::ioport::SetInput(kFData, 0x20, false);
    EXPECT_EQ(WaitForSingleObject(ev, 10), WAIT_OBJECT_0);

    // Disable deregisters: no more firing, and the identifier can be bound again.
    InterruptDone(kSysIntr);
    InterruptDisable(kSysIntr);
    EXPECT_FALSE(plat::interrupt::IsBound(kSysIntr));
    plat::ioport::SetInput(kFData, 0x20, true);
    plat::ioport::SetInput(kFData, 0x20, false);
    EXPECT_EQ(WaitForSingleObject(ev, 10), WAIT_TIMEOUT);
    EXPECT_TRUE(InterruptInitialize(kSysIntr, ev, NULL, 0));
    InterruptDisable(kSysIntr);
    CloseHandle(ev);
}

TEST(RfOkInterrupt, ClosedEventIsHarmless)
{
    SimWorld w(6);
    plat::ioport::Reset();
    plat::ioport::SetInput(kFData, 0x20, true);
    HANDLE ev = CreateEvent(NULL, FALSE, FALSE, NULL);
    ASSERT_TRUE(InterruptInitialize(kSysIntr, ev, NULL, 0));
    CloseHandle(ev);
    // The interrupt then sets the closed handle: that is what is tested.
    plat::SetClosedHandleCheck(false);
    plat::ioport::SetInput(kFData, 0x20, false);
    Sleep(1);
    EXPECT_EQ(plat::interrupt::FireCount(kSysIntr), 1u);
    plat::SetClosedHandleCheck(true);
}

// --- the module ------------------------------------------------------------------

TEST(SimModuleLines, DefaultsAreDocumented)
{
    sim::LineSettings s;
    EXPECT_EQ(s.resetToleranceMs, 50u);
    EXPECT_TRUE(s.bootAfterReset);
    EXPECT_EQ(s.rfOkDelayMs, 1250u);
    EXPECT_FALSE(s.startRunning);
    EXPECT_EQ(s.sleepAfterIdleMs, 0u);
    EXPECT_EQ(s.wakePeriods, 2u);
    EXPECT_FALSE(s.neverWake);
    EXPECT_EQ(s.glitchLowMs, 5u);
}

TEST(SimModuleLines, BootsOnlyAfterCorrectReset)
{
    SimWorld w(7);
    sim::SimModule m;
    EXPECT_EQ(m.State(), sim::ModuleState::Off);
    IoPortModify(kFPull, 0, 0x20);  // pull-up off, as the driver leaves it
    EXPECT_FALSE(RfOk());
    Sleep(20000);
    EXPECT_FALSE(RfOk());

    ResetSequence();
    uint64_t end = plat::NowMs();
    EXPECT_EQ(m.State(), sim::ModuleState::Booting);
    EXPECT_EQ(m.Lines().ResetsSeen(), 1u);
    Sleep(1249);
    EXPECT_FALSE(RfOk());
    Sleep(1);
    EXPECT_TRUE(RfOk());
    EXPECT_TRUE(m.Booted());
    auto levels = plat::ioport::PinLevels(kFData, 0x20);
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(levels.back().atMs, end + 1250);
    EXPECT_TRUE(levels.back().high);

    // A second correct reset takes a running module down and up again.
    ResetSequence();
    EXPECT_FALSE(RfOk());
    Sleep(1250);
    EXPECT_TRUE(RfOk());
    EXPECT_EQ(m.Lines().ResetsSeen(), 2u);
}

TEST(SimModuleLines, ResetToleranceAndBadSequences)
{
    struct Case {
        int skew;
        bool withH8;
        bool boots;
    };
    const Case cases[] = {
        {50, true, true},    // every interval 50 ms long: inside the tolerance
        {-50, true, true},
        {51, true, false},
        {-60, true, false},
        {0, false, false},   // no H8 pulse
    };
    for (const Case& c : cases) {
        SimWorld w(8);
        sim::SimModule m;
        ResetSequence(c.skew, c.withH8);
        Sleep(5000);
        EXPECT_EQ(m.Booted(), c.boots) << "skew " << c.skew << " h8 " << c.withH8;
        EXPECT_EQ(m.Lines().BadResetSequences(), c.boots ? 1u : 2u)
            << "skew " << c.skew;  // the B4 fall at 900 never ends a sequence
    }
}

TEST(SimModuleLines, ExtraEdgeOrBootFault)
{
    {
    // An extra edge in the middle breaks the sequence.
    SimWorld w(9);
    sim::SimModule m;
    B4(true);
    Sleep(600);
    H8(true);
    Sleep(50);
    H8(false);
    H8(true);
    Sleep(50);
    H8(false);
    Sleep(200);
    B4(false);
    Sleep(300);
    B4(true);
    Sleep(600);
    B4(false);
    Sleep(5000);
    EXPECT_FALSE(m.Booted());
    }

    // Never booting after a correct reset (fault setting).
    sim::ModuleSettings s;
    s.lines.bootAfterReset = false;
    SimWorld w2(10);
    sim::SimModule dead(s);
    ResetSequence();
    Sleep(20000);
    EXPECT_EQ(dead.State(), sim::ModuleState::Booting);
    EXPECT_EQ(dead.Lines().ResetsSeen(), 1u);
}

TEST(SimModuleLines, SleepAndWakePulse)
{
    for (uint32_t periods : {0u, 1u, 2u, 5u}) {
        SimWorld w(11);
        sim::ModuleSettings s;
        s.lines.startRunning = true;
        s.lines.wakePeriods = periods;
        sim::SimModule m(s);
        IoPortModify(kDPull, 0, 0x02);
        EXPECT_FALSE(D1());
        m.Lines().GoToSleep();
        EXPECT_TRUE(D1());
        EXPECT_TRUE(m.Asleep());

        // The host's wake handshake: 50 ms pulse, then test every 50 ms.
        C8(true);
        Sleep(50);
        C8(false);
        uint32_t pauses = 0;
        while (D1() && pauses < 20) {
            Sleep(50);
            ++pauses;
        }
        EXPECT_EQ(pauses, periods);
        EXPECT_FALSE(m.Asleep());
        EXPECT_EQ(m.Lines().WakePulses(), 1u);
    }
}

TEST(SimModuleLines, WakeFaultsAndIdleSleep)
{
    SimWorld w(12);
    sim::ModuleSettings s;
    s.lines.startRunning = true;
    s.lines.sleepAfterIdleMs = 1000;
    sim::SimModule m(s);
    Sleep(999);
    EXPECT_FALSE(D1());
    Sleep(1);
    EXPECT_TRUE(D1());

    // A pulse that is too short is no wake pulse.
    C8(true);
    Sleep(10);
    C8(false);
    Sleep(1000);
    EXPECT_TRUE(D1());
    EXPECT_EQ(m.Lines().WakePulses(), 0u);

    // Activity keeps it awake.
    C8(true);
    Sleep(50);
    C8(false);
    Sleep(100);
    EXPECT_FALSE(D1());
    Sleep(800);
    m.Lines().NoteActivity();
    Sleep(800);
    EXPECT_FALSE(D1());
    Sleep(200);
    EXPECT_TRUE(D1());

    // Never waking.
    m.Lines().SetNeverWake(true);
    C8(true);
    Sleep(50);
    C8(false);
    Sleep(2000);
    EXPECT_TRUE(D1());
    EXPECT_TRUE(m.Asleep());
}

TEST(SimModuleLines, CrashAndGlitch)
{
    SimWorld w(13);
    sim::ModuleSettings s;
    s.lines.startRunning = true;
    sim::SimModule m(s);
    EXPECT_TRUE(RfOk());

    m.Lines().GlitchAt(100);
    Sleep(100);
    EXPECT_FALSE(RfOk());
    Sleep(4);
    EXPECT_FALSE(RfOk());
    Sleep(1);
    EXPECT_TRUE(RfOk());
    EXPECT_TRUE(m.Booted());

    m.Lines().CrashAt(500);
    Sleep(394);
    EXPECT_TRUE(RfOk());
    Sleep(1);
    EXPECT_FALSE(RfOk());
    EXPECT_EQ(m.State(), sim::ModuleState::Crashed);
    Sleep(10000);
    EXPECT_FALSE(RfOk());

    // A crashed module comes back only through a reset.
    ResetSequence();
    Sleep(1250);
    EXPECT_TRUE(RfOk());
}

TEST(SimModuleLines, ReportsHostPowerFromDtr)
{
    SimWorld w(14);
    sim::SimModule m;
    EXPECT_EQ(m.Host(), sim::HostPower::Unknown);
    IoPortModify(kBCfg, 0x80, 0);
    IoPortModify(kBCfg, 0, 0x40);
    EXPECT_EQ(m.Host(), sim::HostPower::Awake);
    Sleep(300);
    IoPortModify(kBData, 0, 0x08);
    EXPECT_EQ(m.Host(), sim::HostPower::Suspended);
    Sleep(200);
    IoPortModify(kBData, 0x08, 0);
    auto h = m.Lines().HostPowerHistory();
    ASSERT_EQ(h.size(), 4u);
    EXPECT_EQ(h[0].power, sim::HostPower::Unknown);
    EXPECT_EQ(h[1].atMs, 0u);
    EXPECT_EQ(h[1].power, sim::HostPower::Awake);
    EXPECT_EQ(h[2].atMs, 300u);
    EXPECT_EQ(h[2].power, sim::HostPower::Suspended);
    EXPECT_EQ(h[3].atMs, 500u);
    EXPECT_EQ(h[3].power, sim::HostPower::Awake);
    // Other pins of port B do not count.
    IoPortModify(kBCfg, 0x200, 0x100);
    IoPortModify(kBData, 0, 0x10);
    EXPECT_EQ(m.Lines().HostPowerHistory().size(), 4u);
}

TEST(SimModuleLines, ObserverSeesChanges)
{
    SimWorld w(15);
    sim::SimModule m;
    std::vector<sim::ModuleState> states;
    m.Lines().SetObserver([&] { states.push_back(m.Lines().State()); });
    m.Lines().PowerOnRunning();
    m.Crash();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0], sim::ModuleState::Running);
    EXPECT_EQ(states[1], sim::ModuleState::Crashed);
}

}  // namespace
