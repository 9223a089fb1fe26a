// AT text on the port before the multiplexer runs (the AT+CMUX switch) or
// after it has stopped (the crash capture): write a command, then read until
// a marker arrives, bounded by the response time-out thread. ExchangeAT does
// the whole of it for the switch; the crash capture's two phases, which log
// the line's conditions and keep or store what arrives as they go, share
// its time-out, its marker search and the read of what has arrived.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

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
        DWORD mask = 0;
        if (!WaitCommEvent(hUART, &mask, NULL) || (mask & EV_RXCHAR) == 0) {
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
