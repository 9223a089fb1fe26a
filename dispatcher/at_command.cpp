// AT text on the port before the multiplexer runs (the AT+CMUX switch) or
// after it has stopped (the crash capture): write a command, then read until
// a marker arrives, bounded by the response time-out thread. ExchangeAT does
// the whole of it for the switch; the crash capture's two phases, which log
// the line's conditions and keep or store what arrives as they go, share
// its time-out, its marker search and the read of what has arrived.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#include <stdio.h>
#include <string.h>

BOOL ContainsMarker(const BYTE* buf, DWORD length, const char* marker)
{
    const DWORD markerLength = (DWORD)strlen(marker);
    for (DWORD i = 0; i + markerLength <= length; i++) {
        if (memcmp(buf + i, marker, markerLength) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

DWORD CDispatcher::ArmResponseTimeOut()
{
    InterlockedExchange(&timeOut, AT_RESPONSE_TIMEOUT_MS);
    InterlockedExchange(&lTimeOutFired, 0);
    const DWORD armedAt = GetTickCount();
    if (hTimeOutArm != NULL) {
        SetEvent(hTimeOutArm);
    }
    return armedAt;
}

BOOL ReadArrivedAT(BYTE* buf, DWORD size, ATReadSink sink, void* context, LPCWSTR readFailure)
{
    DWORD got;
    do {
        got = 0;
        if (!ReadFile(hUART, buf, size - 1, &got, NULL) && readFailure != NULL) {
            MuxLog(readFailure, (int)GetTickCount());
        }
        if (got > size - 1) {
            got = 0;
        }
        buf[got] = 0;
        if (sink(context, got)) {
            return TRUE;
        }
    } while (got == size - 1);
    return FALSE;
}

DWORD FormatCmuxCommand(BYTE* buf, int portSpeed)
{
    return (DWORD)sprintf((char*)buf, "AT+CMUX=0,0,%d\r\n", portSpeed);
}

// The phone's module takes the phone's command; a module on another board
// (a USB modem driven from a host) may want other parameters, a frame size
// N1 of 127 for the driver's longest frames above all, or no port speed
// at all. Its configuration gives the command under the driver's private
// key, without the line end, and the port speed after the switch.
#define CMUX_KEY TEXT("Software\\Ovadrel")
#define CMUX_COMMAND_VALUE TEXT("CmuxCommand")
#define CMUX_BAUD_VALUE TEXT("CmuxBaudRate")

static BOOL OpenCmuxKey(HKEY* key)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, CMUX_KEY, 0, KEY_QUERY_VALUE, key) == ERROR_SUCCESS;
}

static DWORD UnusableCmuxCommand()
{
    MuxLog(TEXT("MUX: CDispatcher::Init() -> CmuxCommand unusable, default used ; Time=%d\r\n"),
           (int)GetTickCount());
    return 0;
}

DWORD ReadCmuxCommand(BYTE* buf, DWORD size)
{
    HKEY key = NULL;
    if (size < 3 || !OpenCmuxKey(&key)) {
        return 0;
    }
    WCHAR text[CMUX_COMMAND_MAX_CHARS + 2];
    memset(text, 0, sizeof(text));
    DWORD type = 0;
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    LONG rc = RegQueryValueExW(key, CMUX_COMMAND_VALUE, NULL, &type, (LPBYTE)text, &bytes);
    RegCloseKey(key);
    if (rc == ERROR_MORE_DATA) {
        return UnusableCmuxCommand();
    }
    if (rc != ERROR_SUCCESS) {
        return 0;
    }
    // Printable ASCII only, and room left for CR LF and a terminator.
    DWORD length = 0;
    while (text[length] != 0) {
        if (type != REG_SZ || text[length] < 0x20 || text[length] > 0x7E ||
            length + 3 > size || length >= CMUX_COMMAND_MAX_CHARS) {
            return UnusableCmuxCommand();
        }
        buf[length] = (BYTE)text[length];
        length++;
    }
    if (length == 0) {
        return 0;
    }
    buf[length++] = '\r';
    buf[length++] = '\n';
    buf[length] = 0;
    return length;
}

DWORD ReadCmuxBaudRate(DWORD standard)
{
    HKEY key = NULL;
    if (!OpenCmuxKey(&key)) {
        return standard;
    }
    DWORD value = 0;
    DWORD type = 0;
    DWORD bytes = sizeof(value);
    LONG rc = RegQueryValueExW(key, CMUX_BAUD_VALUE, NULL, &type, (LPBYTE)&value, &bytes);
    RegCloseKey(key);
    return (rc == ERROR_SUCCESS && type == REG_DWORD && value != 0) ? value : standard;
}

BOOL CDispatcher::ExchangeAT(const BYTE* command, DWORD length, const char* marker, BYTE* buf,
                             DWORD size)
{
    DWORD written = 0;
    WriteFile(hUART, command, length, &written, NULL);  // the answer tells

    memset(buf, 0, size);
    ArmResponseTimeOut();

    DWORD room = size - 1;
    DWORD filled = 0;
    for (;;) {
        // The time-out thread ends a wait that takes too long by setting the
        // event mask again: the wait returns with an empty mask.
        // A wait that ends with no event at all before the time-out has
        // fired was ended by the port itself (Wine's serial port on a
        // pseudo-terminal ends every wait at once): what has come is read
        // and the wait begins again.
        DWORD mask = 0;
        if (!WaitCommEvent(hUART, &mask, NULL)) {
            return FALSE;
        }
        const BOOL early = mask == 0 && ReadWord(&lTimeOutFired) == 0;
        if ((mask & EV_RXCHAR) == 0 && !early) {
            return FALSE;
        }
        DWORD got = 0;
        if (ReadFile(hUART, buf + filled, room, &got, NULL)) {
            filled += got;
            room -= got;
            if (ContainsMarker(buf, filled, marker)) {
                return TRUE;
            }
        }
        if (room == 0) {
            return FALSE;
        }
    }
}
