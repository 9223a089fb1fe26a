// AT text on the port before the multiplexer runs (the AT+CMUX switch) or
// after it has stopped (the crash capture): write a command, then read until
// a marker arrives, bounded by the response time-out thread.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"

#include <stdio.h>
#include <string.h>

#define AT_RESPONSE_TIMEOUT_MS 3000

// `marker` anywhere in the `length` octets received so far, so that a
// marker split across reads is found.
static BOOL ContainsMarker(const BYTE* buf, DWORD length, const char* marker)
{
    const DWORD markerLength = (DWORD)strlen(marker);
    for (DWORD i = 0; i + markerLength <= length; i++) {
        if (memcmp(buf + i, marker, markerLength) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

DWORD FormatCmuxCommand(BYTE* buf, int portSpeed)
{
    return (DWORD)sprintf((char*)buf, "AT+CMUX=0,0,%d\r\n", portSpeed);
}

BOOL CDispatcher::ExchangeAT(const BYTE* command, DWORD length, const char* marker, BYTE* buf,
                             DWORD size)
{
    DWORD written = 0;
    WriteFile(hUART, command, length, &written, NULL);  // the answer tells

    memset(buf, 0, size);
    timeOut = AT_RESPONSE_TIMEOUT_MS;
    InterlockedExchange(&lTimeOutFired, 0);
    SetEvent(hTimeOutArm);

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
        const BOOL early = mask == 0 && InterlockedCompareExchange(&lTimeOutFired, 0, 0) == 0;
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
