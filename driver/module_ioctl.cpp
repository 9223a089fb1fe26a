// The I/O controls that reach past the port: the modem status of the DLCI
// (asked of the module on the control channel), and the driver's own codes
// for the radio interface layer: module re-initialisation and the crash
// check. The driver's own codes return FALSE, also when their work succeeded.
#include "platform/platform.h"
#include "driver/mux.h"
#include "driver/ioctl.h"
#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "modem/crash.h"
#include "diag/log.h"

#include <string.h>

// The clients' streams get the end of the data call before the link goes.
#define MUX_REINIT_PAUSE_MS 500

BOOL IoctlGetModemStatus(CUserChannel* channel, PBYTE, DWORD, PBYTE out, DWORD, PDWORD actualOut)
{
    DWORD status = 0;
    BOOL ok = g_dispatcher.QueryModemStatus(channel->Dlci(), &status);
    if (!ok) {
        status = 0;
    }
    memcpy(out, &status, sizeof(status));
    *actualOut = ok ? sizeof(status) : 0;
    return ok;
}

// Tells whoever waits on the name that the modem link is back.
static void SignalModuleReinit()
{
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, TEXT("ModuleReinit"));
    if (event != NULL) {
        SetEvent(event);
        CloseHandle(event);
    }
}

BOOL ReinitModuleLink()
{
    g_dispatcher.TerminateDataCall();
    Sleep(MUX_REINIT_PAUSE_MS);
    // Under the start-up lock: no instance creates, restores or removes its
    // channel while the multiplexer goes down and every channel comes back.
    EnterMuxInitLock();
    g_dispatcher.Stop();
    BOOL usable = g_dispatcher.ReinitChannels();
    LeaveMuxInitLock();
    SignalModuleReinit();
    return usable;
}

// The caller's last error is left as it was: the system calls on the way
// (registry, events, the restart) set their own. Whether the new control
// channel came up is for the ports' clients to find out on their next call.
BOOL IoctlModuleReinit(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD)
{
    DWORD lastError = GetLastError();
    ReinitModuleLink();
    SetLastError(lastError);
    return FALSE;
}

// The module has crashed: the multiplexer is taken down so that its debug
// output can be read from the plain UART, the debugging message is shown and
// the crash log collected. The dispatcher is not started again here; the
// user is told to cold-boot the device.
//
// Two requests at once are taken one after the other, each with its whole
// capture: the port has one reader, and the lines of one capture stay
// together in the log. The start-up lock is held until the caller's part of
// the capture is over, so that no instance start-up or re-initialisation
// brings the multiplexer up on the port (a module reset and "AT+CMUX")
// while "ATD\r" and "ATA\r" are answered on it; instance start-up and
// removal wait until the user has dismissed the debugging message.
static void HandleModuleCrash()
{
    EnterMuxInitLock();
    EnterCrashCapture();
    MuxLog(TEXT("MUX: IOCTL_MUX_CRASHDEBUGCMD -> REZ crashed!!!\r\n"));
    g_dispatcher.Stop();
    MuxLog(TEXT("MUX: IOCTL_MUX_CRASHDEBUGCMD -> Call ProcessATDCmd()!!!\r\n"));
    g_dispatcher.ProcessATDCmd();
    MuxLog(TEXT("MUX: IOCTL_MUX_CRASHDEBUGCMD -> Call ProcessATACmd()!!!\r\n"));
    g_dispatcher.ProcessATACmd();
    MuxLog(TEXT("MUX: IOCTL_MUX_CRASHDEBUGCMD -> Get log data OK!!!\r\n"));
    LeaveCrashCapture();
    LeaveMuxInitLock();
}

// The module is running: the AT command's time-out was not its crash. The
// box is the plain kind (style 0), shown at once, and the request returns
// when the user has dismissed it.
static void HandleModuleNormal()
{
    MuxLog(TEXT("MUX: IOCTL_MUX_CRASHDEBUGCMD -> REZ is normal\r\n"));
    MessageBoxW(GetForegroundWindow(),
                TEXT("RILDebug: AT command timeout but module is normal. Please coldboot device."),
                CRASH_BOX_CAPTION, 0);
}

BOOL IoctlCrashDebugCmd(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD)
{
    DWORD lastError = GetLastError();
    if (g_dispatcher.GetRFOKPinState()) {
        HandleModuleNormal();
    } else {
        HandleModuleCrash();
    }
    SetLastError(lastError);
    return FALSE;
}
