// The ATD phase of the crash capture: "ATD\r" to the crashed module, its
// debugging message collected up to "+++\r\n" under the response time-out,
// and appended behind a header to the crash message text.
//
// Choices made here:
// - Room. A read takes at most one octet less than the read buffer, so that
//   the octets can be terminated; the response keeps the first 399 octets of
//   the answer and the message text the first of those that fit behind the
//   header (323 after one header). Octets beyond that are read and dropped,
//   but still searched for the end marker, so that the rest of a long answer
//   does not run into the ATA log. A text that already holds an earlier
//   capture's message gets as much of the new header and answer as fits.
// - An octet above 0x7F becomes the code unit of the same value (Latin-1):
//   the module's text is ASCII, and whatever else it sends stays visible.
// - The phase is bounded by the response time-out, whatever the port
//   reports: when the time-out has run out, the phase ends at the next wake
//   (the time-out thread's release of the wait, or octets that keep coming)
//   and the message shows what was collected. A released wait reports an
//   empty mask; waiting again would wait without any bound.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "modem/crash.h"
#include "diag/log.h"

#include <string.h>

#define ATD_BUFFER_SIZE 400

static const BYTE kAtdCommand[4] = {'A', 'T', 'D', '\r'};

static const WCHAR kCrashHeader[] =
    TEXT("RILDebug: Module crashed. Please press OK and wait ATA response complete. Then ")
    TEXT("coldboot device.\r\nBelow is debugging message:\r\n");

WCHAR* g_pCrashMessage = NULL;

// What the ATD phase collects.
struct AtdResponse {
    BYTE* readBuf;    // ATD_BUFFER_SIZE octets
    BYTE* text;       // ATD_BUFFER_SIZE octets: the answer, at most 399 kept
    DWORD length;     // octets kept in `text`
    BYTE tail[CRASH_END_MARKER_LENGTH - 1];  // the last octets read, for a
    DWORD tailLength;                         // marker split across reads
};

// Keeps what fits of a read and tells whether the end marker has arrived,
// also when it straddles two reads.
static BOOL AddRead(AtdResponse* r, DWORD got)
{
    const DWORD room = ATD_BUFFER_SIZE - 1 - r->length;
    const DWORD kept = got < room ? got : room;
    memcpy(r->text + r->length, r->readBuf, kept);
    r->length += kept;
    r->text[r->length] = 0;

    BYTE scan[CRASH_END_MARKER_LENGTH - 1 + ATD_BUFFER_SIZE];
    memcpy(scan, r->tail, r->tailLength);
    memcpy(scan + r->tailLength, r->readBuf, got);
    const DWORD scanLength = r->tailLength + got;
    const BOOL found = ContainsMarker(scan, scanLength, CRASH_END_MARKER);
    r->tailLength = scanLength < sizeof(r->tail) ? scanLength : (DWORD)sizeof(r->tail);
    memcpy(r->tail, scan + scanLength - r->tailLength, r->tailLength);
    return found;
}

// Appends the header to the crash message text, making the text first when
// there is none. Returns the position of the text's terminating zero, or -1
// when no text can be had.
static LONG AppendCrashHeader()
{
    if (g_pCrashMessage == NULL) {
        g_pCrashMessage = (WCHAR*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                            CRASH_MESSAGE_UNITS * sizeof(WCHAR));
        if (g_pCrashMessage == NULL) {
            return -1;
        }
        g_pCrashMessage[0] = 0;
    }
    DWORD pos = (DWORD)wcslen(g_pCrashMessage);
    for (DWORD i = 0; kCrashHeader[i] != 0 && pos < CRASH_MESSAGE_UNITS - 1; i++) {
        g_pCrashMessage[pos++] = kCrashHeader[i];
    }
    g_pCrashMessage[pos] = 0;
    return (LONG)pos;
}

// The collected answer behind the header, one code unit per octet.
static void AppendAnswer(DWORD pos, const AtdResponse* r)
{
    for (DWORD i = 0; i < r->length && pos < CRASH_MESSAGE_UNITS - 1; i++) {
        g_pCrashMessage[pos++] = (WCHAR)r->text[i];
    }
    g_pCrashMessage[pos] = 0;
}

// Sets the event mask and writes the command. FALSE, with its line logged,
// when the phase cannot go on.
static BOOL SendAtdCommand()
{
    if (!SetCommMask(hUART, UART_EVENT_MASK)) {
        MuxLog(TEXT("MUX: ProcessATDCmd() -> SetCommMask ERROR ; Time=%d\r\n"), (int)GetTickCount());
        return FALSE;
    }
    MuxLog(TEXT("MUX: CDispatcher::ProcessATDCmd() -> WriteFile(); Time=%d\r\n"),
           (int)GetTickCount());
    DWORD written = 0;
    if (!WriteFile(hUART, kAtdCommand, sizeof(kAtdCommand), &written, NULL)) {
        MuxLog(TEXT("MUX: ProcessATDCmd() -> Write ATD command fail\r\n"));
        return FALSE;
    }
    MuxLog(TEXT("MUX: CDispatcher::ProcessATDCmd() -> strlen; Time=%d\r\n"), (int)GetTickCount());
    if (written != sizeof(kAtdCommand)) {
        MuxLog(TEXT("MUX: ProcessATDCmd() -> Write ATD command fail because only write %d ")
                   TEXT("characters\r\n"),
               (int)written);
        return FALSE;
    }
    return TRUE;
}

// One read of the answer; TRUE once the end marker is in.
static BOOL TakeAtdRead(void* response, DWORD got)
{
    return got > 0 && AddRead((AtdResponse*)response, got);
}

// Reads what has arrived; TRUE once the end marker is in. A failed read
// counts as empty.
static BOOL ReadAtdOctets(AtdResponse* r)
{
    return ReadArrivedAT(r->readBuf, ATD_BUFFER_SIZE, TakeAtdRead, r, NULL);
}

// Collects the answer until the end marker, a break or the time-out (TRUE:
// the answer goes into the message), or a failed wait (FALSE).
static BOOL CollectAtdAnswer(AtdResponse* r, DWORD armedAt)
{
    for (;;) {
        DWORD mask = 0;
        if (!WaitCommEvent(hUART, &mask, NULL)) {
            MuxLog(TEXT("MUX: ProcessATDCmd() -> ERROR , WaitCommEvent err %d ; Time=%d\r\n"),
                   (int)GetLastError(), (int)GetTickCount());
            return FALSE;
        }
        if (mask & EV_ERR) {
            DWORD errors = 0;
            ClearCommError(hUART, &errors, NULL);
            if (errors == CE_OVERRUN) {
                MuxLog(TEXT("MUX: ProcessATDCmd() -> Serial port overrun ; Time=%d\r\n"),
                       (int)GetTickCount());
            }
        }
        if (mask & EV_BREAK) {
            ClearCommBreak(hUART);
            MuxLog(TEXT("MUX: ProcessATDCmd() -> Serial port break ; Time=%d\r\n"),
                   (int)GetTickCount());
            return TRUE;
        }
        if ((mask & EV_RXCHAR) && ReadAtdOctets(r)) {
            return TRUE;
        }
        if (GetTickCount() - armedAt >= AT_RESPONSE_TIMEOUT_MS) {
            return TRUE;
        }
    }
}

void CDispatcher::ProcessATDCmd()
{
    MuxLog(TEXT("MUX: CDispatcher::ProcessATDCmd() -> Start; Time=%d\r\n"), (int)GetTickCount());
    // The reader of an earlier capture's log must leave the port first.
    EndATAReader();

    AtdResponse r;
    memset(&r, 0, sizeof(r));
    r.readBuf = (BYTE*)HeapAlloc(GetProcessHeap(), 0, ATD_BUFFER_SIZE);
    if (r.readBuf != NULL) {
        r.text = (BYTE*)HeapAlloc(GetProcessHeap(), 0, ATD_BUFFER_SIZE);
    }
    if (r.readBuf == NULL || r.text == NULL) {
        MuxLog(TEXT("MUX: ProcessATDCmd() -> new() ERROR ; Time=%d\r\n"), (int)GetTickCount());
    } else {
        r.text[0] = 0;
        LONG textEnd = -1;
        if (SendAtdCommand()) {
            textEnd = AppendCrashHeader();
        }
        if (textEnd >= 0) {
            MuxLog(TEXT("MUX: ProcessATDCmd() -> Start receiving ATD response.\r\n"));
            const DWORD armedAt = ArmResponseTimeOut();
            if (CollectAtdAnswer(&r, armedAt)) {
                AppendAnswer((DWORD)textEnd, &r);
            }
        }
    }
    if (r.text != NULL) {
        HeapFree(GetProcessHeap(), 0, r.text);
    }
    if (r.readBuf != NULL) {
        HeapFree(GetProcessHeap(), 0, r.readBuf);
    }
    if (hTimeOutCancel != NULL) {
        SetEvent(hTimeOutCancel);
    }
    MuxLog(TEXT("MUX: CDispatcher::ProcessATDCmd() -> End; Time=%d\r\n"), (int)GetTickCount());
}
