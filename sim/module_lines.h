// The simulated module's side of the control lines (GSM_RF_OK, sleep status,
// wake line, reset lines, DTR). It watches the register block through its
// listener hook and drives the module's input pins; it shares no state with
// the driver. Timers are kernel CallAt callbacks: virtual time in
// simulation, the real clock otherwise. Host code (C++17).
//
// Reset: the module (re)boots only after the reset sequence on B4 and H8,
// recognised from the last six edges of the two lines at the falling edge of
// B4 that ends it:
//     B4 rises, +600 H8 rises, +100 H8 falls, +200 B4 falls, +300 B4 rises,
//     +600 B4 falls
// each interval within +-resetToleranceMs of its nominal value. Any other
// edge on B4 or H8 in between breaks the sequence. When it is recognised,
// whatever the module was doing is lost (GSM_RF_OK low, awake, timers
// cancelled) and GSM_RF_OK rises rfOkDelayMs later (0 = at once), unless
// bootAfterReset is false. Other activity on the reset lines changes nothing.
//
// Sleep: while asleep D1 reads 1. A pulse on C8 (high for wakePulseMinMs to
// wakePulseMaxMs) wakes a sleeping module: D1 falls 25 ms before the end of
// the wakePeriods-th 50 ms period after the pulse ended, so that a host that
// tests D1 every 50 ms from the end of its pulse sees it awake after exactly
// wakePeriods pauses (0 = at the end of the pulse). With neverWake set it
// ignores pulses (a fault). Only a running module sleeps.
#ifndef MUX_SIM_MODULE_LINES_H
#define MUX_SIM_MODULE_LINES_H

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct LineSettings {
    // Tolerance on each interval of the reset sequence, milliseconds.
    uint32_t resetToleranceMs = 50;
    // false: a correct reset is seen but the module never raises GSM_RF_OK.
    bool bootAfterReset = true;
    // From the end of the reset sequence to GSM_RF_OK high. The default
    // rises between the driver's third and fourth poll.
    uint32_t rfOkDelayMs = 1250;
    // Start already running (GSM_RF_OK high) without a reset, as a module
    // that was powered up before the host program started.
    bool startRunning = false;

    // A running module falls asleep after this much time without activity
    // (wake pulses, NoteActivity); 0 = never on its own.
    uint32_t sleepAfterIdleMs = 0;
    // 50 ms periods from the end of a wake pulse to D1 low.
    uint32_t wakePeriods = 2;
    // Accepted width of a wake pulse on C8.
    uint32_t wakePulseMinMs = 40;
    uint32_t wakePulseMaxMs = 150;
    // Fault: a sleeping module ignores every wake pulse.
    bool neverWake = false;

    // Width of a GSM_RF_OK glitch (low, then high again).
    uint32_t glitchLowMs = 5;
};

enum class ModuleState {
    Off,      // not reset yet, or not reset correctly: GSM_RF_OK low
    Booting,  // reset seen, GSM_RF_OK still low
    Running,  // GSM_RF_OK high
    Crashed,  // GSM_RF_OK low after a crash; waits for a reset
};

// What the module reads from DTR (B3).
enum class HostPower {
    Unknown,    // B3 not driven (not an output)
    Awake,      // driven low
    Suspended,  // driven high
};

struct HostPowerChange {
    uint64_t atMs;
    HostPower power;
};

const char* ToString(ModuleState state);
const char* ToString(HostPower power);

class ModuleLines {
public:
    explicit ModuleLines(const LineSettings& settings);
    ~ModuleLines();
    ModuleLines(const ModuleLines&) = delete;
    ModuleLines& operator=(const ModuleLines&) = delete;

    // State (each call takes the kernel lock).
    ModuleState State() const;
    bool Booted() const;   // Running
    bool Asleep() const;
    HostPower Host() const;
    std::vector<HostPowerChange> HostPowerHistory() const;
    unsigned ResetsSeen() const;        // correct reset sequences
    unsigned BadResetSequences() const; // B4 falls that ended no correct sequence
    unsigned WakePulses() const;        // accepted pulses on C8

    // Commands.
    void Crash();                       // GSM_RF_OK falls and stays low
    void CrashAt(uint64_t atMs);
    void Glitch();                      // low for glitchLowMs, then high again
    void GlitchAt(uint64_t atMs);
    void GoToSleep();                   // a running module sleeps now
    void NoteActivity();                // restarts the idle time
    void SetNeverWake(bool never);
    void SetSleepAfterIdle(uint32_t ms);
    void PowerOnRunning();              // running now, without a reset

    // Called, with the kernel lock held, after every state or host power
    // change (for the serial half and for tools). May not block.
    void SetObserver(std::function<void()> observer);

private:
    struct Edge {
        int pin;  // 0 = B4, 1 = H8
        bool high;
        uint64_t atMs;
    };

    void OnAccess();
    void OnResetEdge(int pin, bool high, uint64_t now);
    bool ResetSequenceComplete() const;
    void OnWakeEdge(bool high, uint64_t now);
    void OnHostPower(HostPower power, uint64_t now);
    void EnterReset(uint64_t now);
    void EnterRunning(uint64_t now);
    void EnterCrashed();
    void FallAsleep();
    void WakeUp(uint64_t now);
    void RestartIdleTimer(uint64_t now);
    void CancelTimers();
    void DriveRfOk(bool high);
    void DriveSleep(bool asleep);
    void Changed();

    LineSettings settings_;
    uint64_t listener_ = 0;
    ModuleState state_ = ModuleState::Off;
    bool asleep_ = false;
    HostPower host_ = HostPower::Unknown;
    std::vector<HostPowerChange> hostHistory_;
    // Last seen host levels of B4, H8, C8.
    bool b4_ = false, h8_ = false, c8_ = false;
    uint64_t c8RoseAt_ = 0;
    std::vector<Edge> edges_;
    unsigned resets_ = 0, badResets_ = 0, wakePulses_ = 0;
    uint64_t bootTimer_ = 0, wakeTimer_ = 0, idleTimer_ = 0, glitchTimer_ = 0;
    std::vector<uint64_t> commandTimers_;
    std::function<void()> observer_;
};

}  // namespace sim

#endif
