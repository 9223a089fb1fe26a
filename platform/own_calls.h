// Our own names: the few calls the driver makes that are neither Win32 nor
// Windows CE. Every other name the driver uses is the system's, reached
// through platform/platform.h; a driver file that uses one of these includes
// this header as well, so that a build against the real system headers shows
// at once which names the project has to supply itself.
//
// Keep this header C++03-clean, like platform/platform.h.
#ifndef MUX_PLATFORM_OWN_CALLS_H
#define MUX_PLATFORM_OWN_CALLS_H

#include "platform/platform.h"

#include <stdarg.h>
#include <stddef.h>

// ---------------------------------------------------------------------------
// The I/O port register block of the module's lines (ports A to H, 16 bytes
// apart, three 32-bit registers each: configuration, data, pull-up).
#define MUX_IOPORT_BLOCK_BYTES 0x80u
#if defined(_WIN32_WCE)
// On the phone: a volatile pointer at the block's fixed, statically mapped
// address.
#define MUX_IOPORT_BASE 0xB1600000UL
inline DWORD IoPortRead(DWORD offset)
{
    return *(volatile DWORD*)(ULONG_PTR)(MUX_IOPORT_BASE + offset);
}
inline void IoPortModify(DWORD offset, DWORD clearBits, DWORD setBits)
{
    volatile DWORD* reg = (volatile DWORD*)(ULONG_PTR)(MUX_IOPORT_BASE + offset);
    *reg = (*reg & ~clearBits) | setBits;
}
#else
// A desktop process has no such address. On desktop Windows the host that
// loads the driver provides the block as the named shared memory
// MUX_IOPORT_BLOCK_NAME (MUX_IOPORT_BLOCK_BYTES long), which stands for the
// module's lines; without it every register reads 0 and writes are lost.
// On POSIX the block is a simulated register file with the hardware's
// semantics (platform/hw/ioport_sim.h).
#define MUX_IOPORT_BLOCK_NAME L"MuxIoPortBlock"
DWORD IoPortRead(DWORD offset);
void IoPortModify(DWORD offset, DWORD clearBits, DWORD setBits);
#endif

// ---------------------------------------------------------------------------
// Names a thread for deadlock reports and traces. Windows has no such call
// the driver could rely on; there it does nothing.
#if defined(_WIN32)
inline void PlatformSetThreadNameW(LPCWSTR) {}
#else
void PlatformSetThreadNameW(LPCWSTR name);
#endif

// ---------------------------------------------------------------------------
// wvsprintfW with an explicit capacity (units, terminator included): the
// output is always terminated and cut to fit.
#if defined(_WIN32)
// wvsprintfW writes at most 1,024 units, terminator included, so it cannot
// overrun a buffer of at least that capacity.
inline int PlatformFormatW(LPWSTR lpOut, size_t capacity, LPCWSTR lpFmt, va_list arglist)
{
    (void)capacity;
    return wvsprintfW(lpOut, lpFmt, arglist);
}
#else
int PlatformFormatW(LPWSTR lpOut, size_t capacity, LPCWSTR lpFmt, va_list arglist);
#endif

// ---------------------------------------------------------------------------
// Runs a worker thread's body under a fault guard and names the thread. The
// filter sees every fault (access violation, division by zero, stack
// overflow ...) with its exception code and returns 0, so the fault then goes
// on to the system as if no guard were there.
typedef int (*PLATFORM_EXCEPTION_FILTER)(DWORD code, LPCWSTR threadName);
DWORD PlatformRunGuarded(PLATFORM_EXCEPTION_FILTER filter, LPCWSTR threadName,
                         LPTHREAD_START_ROUTINE body, LPVOID arg);

// ---------------------------------------------------------------------------
// A word that other threads change with no lock in common with the reader (a
// polled flag) is read whole through the interlocked calls, as its writers
// write it with InterlockedExchange: no reader sees a word half written, and
// the writes before it are seen too. A reader that finds the old value acts
// on the new one at its next event or poll.
inline LONG ReadWord(volatile LONG* word)
{
    return InterlockedCompareExchange(word, 0, 0);
}

#endif  // MUX_PLATFORM_OWN_CALLS_H
