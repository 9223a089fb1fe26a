// The diagnostic log "\MuxLog.txt" and the exception guards of the worker
// threads.
#ifndef MUX_DIAG_LOG_H
#define MUX_DIAG_LOG_H

#include "platform/platform.h"
#include "platform/own_calls.h"

// 1 = logging on; any other value = off; -1 also means "registry not read yet".
extern LONG g_logSwitch;
// The log file, opened by the first line written while the switch is 1.
extern HANDLE g_hLogFile;
// The log file's device path.
extern LPCWSTR g_logPath;

// Writes one printf-style line (wide format) to the log. Never fails visibly.
void MuxLog(LPCWSTR format, ...);

// Whether lines are written: a path taken for every frame tests this first,
// so that with the log off it pays neither the call nor its arguments.
inline BOOL MuxLogOn()
{
    return g_logSwitch == 1;
}

// Exception filters: write the exception into the log and return 0, so that
// the exception continues to the system (recorded, not handled).
int ChannelExceptionGuard(DWORD code, LPCWSTR threadName);
int DispatcherExceptionGuard(DWORD code, LPCWSTR threadName);

typedef PLATFORM_EXCEPTION_FILTER ExceptionGuard;

// Runs a worker thread's body under the given guard and names the thread.
// Every worker thread procedure of the driver is one call of this.
DWORD RunGuarded(ExceptionGuard guard, LPCWSTR threadName, LPTHREAD_START_ROUTINE body,
                 LPVOID arg);

#endif
