// The Win32 serial calls. On the port object behind "COM9:" they are that
// port's own (serial.cpp); on a stream device ("MUX1:") each becomes the
// serial I/O control Windows CE turns it into, answered by the driver's
// IOControl entry point. A handle of any other kind fails as DeviceIoControl
// fails on it (ERROR_INVALID_HANDLE).
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"
#include "platform/platform.h"
#include "platform/hw/serial_sim.h"

namespace {

using plat::serial::PortCalls;

BOOL NotSupported()
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// `onPort` when the handle is a "COM9:" port, else `onDevice`.
template <class OnPort, class OnDevice>
BOOL Route(HANDLE h, OnPort onPort, OnDevice onDevice)
{
    plat::kernel::YieldPoint();
    plat::ObjectRef ref(h);
    if (!ref) return FALSE;
    if (PortCalls* port = plat::serial::AsPort(ref.get())) return onPort(*port);
    return onDevice();
}

// One serial I/O control; the byte count it returns is not needed here.
BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen)
{
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), inLen, out, outLen, &returned,
                           nullptr);
}

}  // namespace

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.GetState(lpDCB); },
        [&] { return Control(hFile, IOCTL_SERIAL_GET_DCB, nullptr, 0, lpDCB, sizeof(DCB)); });
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.SetState(lpDCB); },
        [&] { return Control(hFile, IOCTL_SERIAL_SET_DCB, lpDCB, sizeof(DCB), nullptr, 0); });
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.SetTimeouts(lpCommTimeouts); },
        [&] {
            return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS),
                           nullptr, 0);
        });
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.GetTimeouts(lpCommTimeouts); },
        [&] {
            return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                           sizeof(COMMTIMEOUTS));
        });
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.SetMask(dwEvtMask); },
        [&] { return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, 4, nullptr, 0); });
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.GetMask(lpEvtMask); },
        [&] { return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, 4); });
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    // No handle is opened for overlapped I/O: the wait is synchronous
    // whatever lpOverlapped says.
    (void)lpOverlapped;
    // A wait that fails before any port or driver sees it (a handle whose
    // device has gone) reports no events, as a wait the device released does.
    if (lpEvtMask != nullptr) *lpEvtMask = 0;
    return Route(
        hFile, [&](PortCalls& p) { return p.WaitEvent(lpEvtMask); },
        [&] { return Control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, 4); });
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.ClearError(lpErrors, lpStat); },
        [&] {
            SERIAL_DEV_STATUS status;
            memset(&status, 0, sizeof status);
            if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status))
                return FALSE;
            if (lpErrors) *lpErrors = status.Errors;
            if (lpStat) *lpStat = status.ComStat;
            return TRUE;
        });
}

BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    return Route(
        hFile, [&](PortCalls& p) { return p.ClearBreak(); },
        [&] { return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0); });
}

BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    return Route(
        hFile, [](PortCalls&) { return NotSupported(); },
        [&] { return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0); });
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return Route(
        hFile, [](PortCalls&) { return NotSupported(); },
        [&] { return Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, 4); });
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    return Route(
        hFile, [](PortCalls&) { return NotSupported(); },
        [&] {
            return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp,
                           sizeof(COMMPROP));
        });
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return Route(
        hFile, [](PortCalls&) { return NotSupported(); },
        [&] { return Control(hFile, IOCTL_SERIAL_PURGE, &dwFlags, 4, nullptr, 0); });
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    DWORD code = 0;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    case SETIR: code = IOCTL_SERIAL_ENABLE_IR; break;
    case CLRIR: code = IOCTL_SERIAL_DISABLE_IR; break;
    default: break;
    }
    return Route(
        hFile, [](PortCalls&) { return NotSupported(); },
        [&] {
            if (code == 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            return Control(hFile, code, nullptr, 0, nullptr, 0);
        });
}
