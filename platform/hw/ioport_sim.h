// Host side of the simulated I/O port register block and of the interrupt
// controller behind InterruptInitialize. The driver sees only IoPortRead and
// IoPortModify (platform.h); tests, tools and the simulated module use this
// header to watch the registers and to drive the module's input pins.
// C++17; never included by the driver.
//
// Register block: ports A to H, 16 bytes apart (A at 0x00 ... H at 0x70),
// each with three 32-bit registers:
//   +0 configuration: two bits per pin (pin n at bits 2n, 2n+1); 01 = output,
//      anything else = input. Only pins 0 to 15 have a field; 16 to 31 are
//      inputs.
//   +4 data: reading gives, per pin, the driven latch of an output pin and
//      the input level of an input pin. A write (IoPortModify) stores into the
//      output latches, as the hardware does; a read-modify-write therefore
//      copies the current input levels of input pins into their latches.
//   +8 pull-up: bit n = 1 switches the pin's pull-up off, 0 switches it on.
// Input level of a pin: the level the module drives on it (SetInput), or,
// when nothing drives it, high with the pull-up on and low with it off.
// Power-on values (Reset): every register 0 (all pins inputs with pull-ups
// on, latches low), nothing driven.
//
// Every change (IoPortModify, SetInput, ReleaseInput) is recorded in a
// history with the platform time (virtual in simulation) and reported to
// listeners, all under the kernel lock; plain reads (IoPortRead) only after
// RecordReads(true), since the driver reads the sleep status line before
// every frame it sends.
#ifndef MUX_PLATFORM_IOPORT_SIM_H
#define MUX_PLATFORM_IOPORT_SIM_H

#include "platform/platform.h"
#include "platform/own_calls.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat::ioport {

constexpr DWORD kPortCount = 8;
constexpr DWORD kPortStride = 0x10;
constexpr DWORD kConfig = 0x0;
constexpr DWORD kData = 0x4;
constexpr DWORD kPullUp = 0x8;

enum class AccessKind {
    Read,    // IoPortRead by the driver
    Modify,  // IoPortModify by the driver
    Input,   // the module changed the level it drives on input pins
};

struct Access {
    uint64_t atMs = 0;      // plat::NowMs() at the access
    AccessKind kind = AccessKind::Read;
    DWORD offset = 0;       // register offset (the data register for Input)
    DWORD clearBits = 0;    // Modify: as passed; Input: the pins whose level was set
    DWORD setBits = 0;      // Modify: as passed; Input: their new levels
    DWORD before = 0;       // the register as a read would have returned it before
    DWORD after = 0;        // ... and after (equal to `before` for Read)
    DWORD dataBefore = 0;   // the port's data register as read, before and after
    DWORD dataAfter = 0;    // (a configuration change moves it too)
    std::string thread;     // platform thread name of the accessing thread
};

// Every register back to its power-on value; input drives released; the
// history cleared. Listeners stay registered. Also forgets every interrupt
// binding (plat::interrupt). A new simulated world starts from this state
// on its own (the first access after BeginSimulation resets the block).
void Reset();

// The history of accesses, oldest first. At most HistoryLimit() entries are
// kept (the oldest are dropped); default 200000.
std::vector<Access> History();
void ClearHistory();
void SetHistoryLimit(size_t entries);
size_t HistoryLimit();

// Whether IoPortRead is recorded and reported to listeners (off at start;
// Reset leaves it as it is).
void RecordReads(bool on);

// Reads of one register (by the driver) in the history (with RecordReads).
size_t CountReads(DWORD offset);

// The level of one pin (data register offset and one-bit mask) after every
// history entry that changed it, as a data read would return it. The first
// entry is the level at the start of the history window.
struct LevelChange {
    uint64_t atMs;
    bool high;
};
std::vector<LevelChange> PinLevels(DWORD dataOffset, DWORD pinMask);

// Current values, without recording an access.
DWORD Peek(DWORD offset);
bool IsOutput(DWORD dataOffset, DWORD pinMask);
// True when the host drives the pin high (output, latch set).
bool DrivenHigh(DWORD dataOffset, DWORD pinMask);
// The input level of the pin (driven by the module, or from its pull-up).
bool InputLevel(DWORD dataOffset, DWORD pinMask);

// Module side: drive input pins to a level / stop driving them.
void SetInput(DWORD dataOffset, DWORD pinMask, bool high);
void ReleaseInput(DWORD dataOffset, DWORD pinMask);

// Listeners are called after every access, with the kernel lock held, on
// the accessing thread (or the kernel's timer thread). They must not block;
// they may call SetInput, kernel::CallAt and kernel::Notify.
using Listener = std::function<void(const Access&)>;
uint64_t AddListener(Listener listener);
void RemoveListener(uint64_t id);

namespace detail {
// With the kernel lock held: resets the block (and the interrupt bindings)
// when a new simulated world has begun since the last access.
void CheckWorld();
}  // namespace detail

}  // namespace plat::ioport

namespace plat::interrupt {

// System interrupt of GSM_RF_OK: falling edge of pin F5 (port F data 0x54,
// bit 0x20). It fires while bound and enabled: the bound event is set and
// the interrupt is disabled until InterruptDone, as on Windows CE.
// InterruptInitialize fails on an identifier that is already bound;
// InterruptDisable unbinds (deregisters the event).
constexpr DWORD kSysIntrRfOk = 0x6000009F;

bool IsBound(DWORD sysIntr);
bool IsEnabled(DWORD sysIntr);
// Times the interrupt set its event since the last Reset.
unsigned FireCount(DWORD sysIntr);
// Calls of InterruptDone / InterruptDisable since the last Reset.
unsigned DoneCount(DWORD sysIntr);
unsigned DisableCount(DWORD sysIntr);

namespace detail {
// Called by the register block, under the kernel lock, when input levels
// change (before/after: the data register's input levels).
void OnInputLevels(DWORD dataOffset, DWORD before, DWORD after);
// Forget every binding (register block Reset).
void ResetAll();
}  // namespace detail

}  // namespace plat::interrupt

#endif
