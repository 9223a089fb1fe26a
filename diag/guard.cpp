// The exception guards of the worker threads. A guard writes the exception
// into the log and returns 0: the exception is recorded, not handled, and
// goes on to the system as if no guard were there.
#include "diag/log.h"
#include "platform/own_calls.h"

int ChannelExceptionGuard(DWORD code, LPCWSTR threadName)
{
    MuxLog(TEXT("MUX: Channel EXCEPTION -> 0x%x in %s ; Time=%d\r\n"), code, threadName,
           GetTickCount());
    return 0;
}

int DispatcherExceptionGuard(DWORD code, LPCWSTR threadName)
{
    MuxLog(TEXT("MUX: Dispatcher EXCEPTION -> 0x%x in %s ; Time=%d\r\n"), code, threadName,
           GetTickCount());
    return 0;
}

DWORD RunGuarded(ExceptionGuard guard, LPCWSTR threadName, LPTHREAD_START_ROUTINE body,
                 LPVOID arg)
{
    return PlatformRunGuarded(guard, threadName, body, arg);
}
