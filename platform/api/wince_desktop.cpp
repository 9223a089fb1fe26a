// The Windows CE calls that desktop Windows lacks (platform/api/wince.h), for a
// build of the driver as a desktop DLL (win32/: the driver under Wine). A
// desktop has neither the phone's interrupt nor its power manager nor its
// shell: each call does what the phone's does when nothing happens there.
// Built only by a desktop Windows compiler; empty elsewhere.
#if defined(_WIN32) && !defined(_WIN32_WCE)

#include "platform/platform.h"

#include <stdarg.h>

namespace {

// The driver's threads run at 247 to 251 on the 256-level scale (lower is
// more urgent); desktop Windows has seven levels around normal. The order
// is kept: the reader above the channels above the parser.
int DesktopPriorityFor(int ce)
{
    if (ce <= 247) return THREAD_PRIORITY_HIGHEST;
    if (ce <= 249) return THREAD_PRIORITY_ABOVE_NORMAL;
    if (ce <= 251) return THREAD_PRIORITY_NORMAL;
    return THREAD_PRIORITY_BELOW_NORMAL;
}

int CePriorityFor(int desktop)
{
    if (desktop >= THREAD_PRIORITY_HIGHEST) return 247;
    if (desktop >= THREAD_PRIORITY_ABOVE_NORMAL) return 249;
    if (desktop >= THREAD_PRIORITY_NORMAL) return CE_THREAD_PRIO_256_NORMAL;
    return 252;
}

}  // namespace

extern "C" {

BOOL WINAPI CeSetThreadPriority(HANDLE hThread, int nPriority)
{
    if (nPriority < 0 || nPriority > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SetThreadPriority(hThread, DesktopPriorityFor(nPriority));
}

int WINAPI CeGetThreadPriority(HANDLE hThread)
{
    const int p = GetThreadPriority(hThread);
    return p == THREAD_PRIORITY_ERROR_RETURN ? THREAD_PRIORITY_ERROR_RETURN : CePriorityFor(p);
}

// The GSM_RF_OK interrupt has no source on a desktop: the binding succeeds
// and the event is signalled only by whoever else sets it (the dispatcher's
// Stop), as on a phone whose module never crashes.
BOOL WINAPI InterruptInitialize(DWORD, HANDLE hEvent, LPVOID, DWORD)
{
    if (hEvent == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

VOID WINAPI InterruptDone(DWORD) {}

VOID WINAPI InterruptDisable(DWORD) {}

// The kernel debug output goes to the debugger's output, as on the phone.
VOID WINAPIV NKDbgPrintfW(LPCWSTR lpszFmt, ...)
{
    WCHAR text[1024];
    va_list args;
    va_start(args, lpszFmt);
    wvsprintfW(text, lpszFmt, args);
    va_end(args);
    OutputDebugStringW(text);
}

// No suspend for lack of activity on a desktop host, and no suspend that a
// resume could follow: the event is accepted and never signalled.
VOID WINAPI SystemIdleTimerReset(VOID) {}

BOOL WINAPI CeSetPowerOnEvent(HANDLE hEvt)
{
    return hEvt != NULL;
}

// The window manager and the shell of a desktop are running.
BOOL WINAPI IsAPIReady(DWORD)
{
    return TRUE;
}

}  // extern "C"

#endif  // desktop Windows
