// Host-side control of the platform layer: execution mode, device root,
// debug sink, and what tests and tools need to observe. C++17; never
// included by the driver.
#ifndef MUX_PLATFORM_HOST_H
#define MUX_PLATFORM_HOST_H

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat {

// Execution mode. Chosen before the first platform call; when nothing was
// chosen, MUX_SIM_SEED in the environment selects simulation with that seed,
// otherwise real time.
void UseRealTime();
void UseSimulation(uint64_t seed);
bool IsSimulated();
uint64_t Seed();

// Starts a fresh simulated world on the calling thread, which becomes its
// first thread ("main"). Virtual time restarts at 0. Threads of an earlier
// world that are still blocked are abandoned: they never run again.
void BeginSimulation(uint64_t seed);
// Ends the current world; returns the number of its threads still alive.
int EndSimulation();

// Identifies the current simulated world: a new value after every
// BeginSimulation (and for an implicit world); 0 when no world runs.
// State kept per world (simulated hardware) can compare it to start afresh.
uint64_t WorldId();

// Milliseconds since the start of the world (virtual in simulation).
uint64_t NowMs();

// Makes GetTickCount() read `ticks` now and count on from there, so that a
// test can start the clock just before the 32-bit wrap. BeginSimulation
// starts the tick count at 0 again.
void SetTickCountNow(DWORD ticks);

// "simulation seed N at virtual time T ms" while a simulated world runs,
// empty otherwise: for test failure messages, so that a run can be repeated.
std::string SimFailureBanner();

// The scheduler's decisions since BeginSimulation, as text (one line per
// switch: time, thread name); equal seeds give equal traces.
std::string SchedulerTrace();

// Called on a deadlock with the report (thread names and what they wait on)
// before the process aborts. Default: write to stderr.
void SetDeadlockHandler(std::function<void(const std::string& report)> handler);

// Closed-handle check (on by default): a handle value that was valid once
// and is used after its CloseHandle (a wait, a set, a read, a second close)
// is reported on stderr with the object it named, the thread and stack of
// the use and of the close, and the process aborts. Tests of that very
// failure turn it off for their scope.
void SetClosedHandleCheck(bool on);
bool ClosedHandleCheck();
// Whether a close keeps the context for that report (on by default). Off, a
// use after close is still found and aborts, only without who closed it;
// a fuzz target that runs an input millions of times turns it off, so that
// its closes allocate nothing that outlives the input.
void SetClosedHandleContext(bool on);

// Thread introspection for tests.
std::string ThreadName(HANDLE thread);
std::string CurrentThreadName();
void SetCurrentThreadName(const std::string& name);

// Device root: device paths such as "\MuxLog.txt" map into this directory.
// Default: the current directory.
void SetDeviceRoot(const std::string& dir);
std::string DeviceRoot();
std::string HostPathFor(const std::u16string& devicePath);
// Files opened at `devicePath` (under the device root as it is now) from
// now on never grow past `octets`: a write that would take one past it
// first moves the file to NAME.1 (replacing the one there) and starts a
// new, empty one. 0 lifts the limit.
void SetFileSizeLimit(const std::u16string& devicePath, uint64_t octets);

// Kernel debug output (NKDbgPrintfW). Default: stderr, as UTF-8.
void SetDebugSink(std::function<void(const std::u16string& text)> sink);

// The in-memory registry back to empty.
void ClearRegistry();

// The names of the subkeys of HKEY_LOCAL_MACHINE\`path` (as spelled when
// created), in case-insensitive order; empty when the key does not exist.
std::vector<std::u16string> RegistrySubkeys(const std::u16string& path);

// Power: SystemIdleTimerReset calls of the current world (count, and the
// NowMs() of the last one), and the resume of a suspended system, which
// signals the events handed to CeSetPowerOnEvent since the last resume.
unsigned IdleTimerResetCount();
uint64_t LastIdleTimerResetMs();
void SignalPowerOnEvents();

// Wide/narrow conversions for host code.
std::string ToUtf8(const std::u16string& s);
std::string ToUtf8(const WCHAR* s);
std::u16string FromUtf8(const std::string& s);

}  // namespace plat

#endif
