// I/O control on an open instance: the serial port emulation the client's
// serial calls turn into, the power manager's codes, and the driver's own
// codes. Every code lives in one table with its buffer rule and handler.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "driver/mux.h"
#include "driver/ioctl.h"
#include "channel/user_channel.h"
#include "framing/frame.h"
#include "diag/log.h"

#include <stddef.h>
#include <string.h>

namespace {

enum IoctlKind {
    KIND_SERVED,       // the handler does the work
    KIND_NOTHING,      // accepted, nothing to do: TRUE, 0 bytes
    KIND_UNSUPPORTED,  // logged, ERROR_NOT_SUPPORTED
    KIND_POWER,        // passes the usability gate, then invalid
};

enum BufferRule {
    BUF_NONE,  // no buffer looked at (or the handler checks its own)
    BUF_IN,    // input buffer of at least `minLength` bytes
    BUF_OUT,   // output buffer of at least `minLength` bytes and a count pointer
};

struct IoctlEntry {
    DWORD code;
    IoctlKind kind;
    BufferRule rule;
    DWORD minLength;
    IoctlHandler handler;
};

BOOL GetCommStatus(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL GetProperties(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL SetTimeouts(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL GetTimeouts(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL GetDcb(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL SetDcb(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL Reserved(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);

const IoctlEntry kIoctlTable[] = {
    {IOCTL_SERIAL_SET_BREAK_ON, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_SET_BREAK_OFF, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_SET_DTR, KIND_NOTHING, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_CLR_DTR, KIND_NOTHING, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_SET_RTS, KIND_NOTHING, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_CLR_RTS, KIND_NOTHING, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_SET_XOFF, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_SET_XON, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_GET_WAIT_MASK, KIND_SERVED, BUF_OUT, sizeof(DWORD), IoctlGetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, KIND_SERVED, BUF_IN, sizeof(DWORD), IoctlSetWaitMask},
    // Checks its buffers itself: its failure is logged and counts 4 bytes.
    {IOCTL_SERIAL_WAIT_ON_MASK, KIND_SERVED, BUF_NONE, 0, IoctlWaitOnMask},
    {IOCTL_SERIAL_GET_COMMSTATUS, KIND_SERVED, BUF_OUT, sizeof(SERIAL_DEV_STATUS), GetCommStatus},
    {IOCTL_SERIAL_GET_MODEMSTATUS, KIND_SERVED, BUF_OUT, sizeof(DWORD), IoctlGetModemStatus},
    {IOCTL_SERIAL_GET_PROPERTIES, KIND_SERVED, BUF_OUT, sizeof(COMMPROP), GetProperties},
    {IOCTL_SERIAL_SET_TIMEOUTS, KIND_SERVED, BUF_IN, sizeof(COMMTIMEOUTS), SetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, KIND_SERVED, BUF_OUT, sizeof(COMMTIMEOUTS), GetTimeouts},
    {IOCTL_SERIAL_PURGE, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_GET_DCB, KIND_SERVED, BUF_OUT, sizeof(DCB), GetDcb},
    {IOCTL_SERIAL_SET_DCB, KIND_SERVED, BUF_IN, sizeof(DCB), SetDcb},
    {IOCTL_SERIAL_ENABLE_IR, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_SERIAL_DISABLE_IR, KIND_UNSUPPORTED, BUF_NONE, 0, NULL},
    {IOCTL_POWER_CAPABILITIES, KIND_POWER, BUF_NONE, 0, NULL},
    {IOCTL_POWER_GET, KIND_POWER, BUF_NONE, 0, NULL},
    {IOCTL_POWER_SET, KIND_POWER, BUF_NONE, 0, NULL},
    {IOCTL_POWER_QUERY, KIND_POWER, BUF_NONE, 0, NULL},
    {IOCTL_REGISTER_POWER_RELATIONSHIP, KIND_POWER, BUF_NONE, 0, NULL},
    {IOCTL_MUX_MODULEREINIT, KIND_SERVED, BUF_NONE, 0, IoctlModuleReinit},
    {IOCTL_MUX_RESERVED, KIND_SERVED, BUF_NONE, 0, Reserved},
    {IOCTL_MUX_CRASHDEBUGCMD, KIND_SERVED, BUF_NONE, 0, IoctlCrashDebugCmd},
};

const IoctlEntry* FindEntry(DWORD code)
{
    for (size_t i = 0; i < sizeof(kIoctlTable) / sizeof(kIoctlTable[0]); i++) {
        if (kIoctlTable[i].code == code) {
            return &kIoctlTable[i];
        }
    }
    return NULL;
}

BOOL BuffersPass(const IoctlEntry* entry, PBYTE in, DWORD inLength, PBYTE out, DWORD outLength,
                 PDWORD actualOut)
{
    switch (entry->rule) {
    case BUF_IN:
        return in != NULL && inLength >= entry->minLength;
    case BUF_OUT:
        return out != NULL && actualOut != NULL && outLength >= entry->minLength;
    default:
        return TRUE;
    }
}

BOOL Invalid(CUserChannel* channel, DWORD code)
{
    MuxLog(TEXT("MUX: Invalid IOControl(0x%x) for %s ; Time=%d\r\n"), code, channel->name,
           GetTickCount());
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL Unsupported(CUserChannel* channel, DWORD code)
{
    MuxLog(TEXT("MUX: Unsupported MUX_IOControl(0x%x) for %s ; Time=%d\r\n"), code, channel->name,
           GetTickCount());
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL GetCommStatus(CUserChannel* channel, PBYTE, DWORD, PBYTE out, DWORD, PDWORD actualOut)
{
    SERIAL_DEV_STATUS status;
    memset(&status, 0, sizeof(status));
    status.ComStat.cbInQue = channel->GetRxCount();
    memcpy(out, &status, sizeof(status));
    *actualOut = sizeof(status);
    return TRUE;
}

// A fixed description of the port; the only settable number is the speed
// the client last gave, which it reads back as both the maximum and the
// settable rate.
BOOL GetProperties(CUserChannel* channel, PBYTE, DWORD, PBYTE out, DWORD, PDWORD actualOut)
{
    EnterCriticalSection(&channel->rxLock);
    DWORD baud = channel->dcb.BaudRate;
    LeaveCriticalSection(&channel->rxLock);
    COMMPROP prop;
    memset(&prop, 0, sizeof(prop));
    prop.wPacketLength = 0xFFFF;
    prop.wPacketVersion = (WORD)(MUX_DRIVER_VERSION & 0xFFFF);
    prop.dwServiceMask = SP_SERIALCOMM;
    prop.dwMaxTxQueue = MUX_MAX_INFO;
    prop.dwMaxRxQueue = MUX_MAX_INFO;
    prop.dwMaxBaud = baud;
    prop.dwProvSubType = PST_RS232;
    prop.dwProvCapabilities =
        PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS;
    prop.dwSettableParams = 0;
    prop.dwSettableBaud = baud;
    prop.wSettableData = DATABITS_8;
    prop.wSettableStopParity = STOPBITS_10 | PARITY_NONE;
    memcpy(out, &prop, sizeof(prop));
    *actualOut = sizeof(prop);
    return TRUE;
}

BOOL SetTimeouts(CUserChannel* channel, PBYTE in, DWORD, PBYTE, DWORD, PDWORD)
{
    EnterCriticalSection(&channel->rxLock);
    memcpy(&channel->timeouts, in, sizeof(channel->timeouts));
    LeaveCriticalSection(&channel->rxLock);
    return TRUE;
}

// The settings are copied under the receive lock, as SetTimeouts stores
// them, so that a client's threads never read a half-written copy.
BOOL GetTimeouts(CUserChannel* channel, PBYTE, DWORD, PBYTE out, DWORD, PDWORD actualOut)
{
    EnterCriticalSection(&channel->rxLock);
    memcpy(out, &channel->timeouts, sizeof(channel->timeouts));
    LeaveCriticalSection(&channel->rxLock);
    *actualOut = sizeof(channel->timeouts);
    return TRUE;
}

BOOL GetDcb(CUserChannel* channel, PBYTE, DWORD, PBYTE out, DWORD, PDWORD actualOut)
{
    EnterCriticalSection(&channel->rxLock);
    memcpy(out, &channel->dcb, sizeof(channel->dcb));
    LeaveCriticalSection(&channel->rxLock);
    *actualOut = sizeof(channel->dcb);
    return TRUE;
}

BOOL SetDcb(CUserChannel* channel, PBYTE in, DWORD, PBYTE, DWORD, PDWORD)
{
    EnterCriticalSection(&channel->rxLock);
    memcpy(&channel->dcb, in, sizeof(channel->dcb));
    LeaveCriticalSection(&channel->rxLock);
    return TRUE;
}

// Kept for the radio interface layer's protocol; it does nothing, not even
// set the last error.
BOOL Reserved(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD)
{
    return FALSE;
}

}  // namespace

extern "C" BOOL MUX_IOControl(DWORD_PTR openContext, DWORD code, PBYTE in, DWORD inLength,
                              PBYTE out, DWORD outLength, PDWORD actualOut)
{
    CUserChannel* channel = (CUserChannel*)openContext;
    if (channel == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (actualOut != NULL) {
        *actualOut = 0;
    }
    const IoctlEntry* entry = FindEntry(code);
    BOOL power = entry != NULL && entry->kind == KIND_POWER;
    if (!power && (channel->IsNotReady() || ReadWord(&channel->connected) == 0)) {
        MuxLog(TEXT("MUX: MUX_IOControl() for %s -> Channel not usable ; Time=%d\r\n"),
               channel->name, GetTickCount());
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    if (entry == NULL || power) {
        return Invalid(channel, code);
    }
    switch (entry->kind) {
    case KIND_UNSUPPORTED:
        return Unsupported(channel, code);
    case KIND_NOTHING:
        return TRUE;
    default:
        break;
    }
    if (!BuffersPass(entry, in, inLength, out, outLength, actualOut)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return entry->handler(channel, in, inLength, out, outLength, actualOut);
}
