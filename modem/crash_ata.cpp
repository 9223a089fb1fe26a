// The ATA phase of the crash capture: GetATADataThread collects the crashed
// module's crash log into "\ATARsp.txt" while the caller writes "ATA\r" and
// shows the debugging message; the thread tells the user when the log is
// complete.
//
// Choices made here:
// - The date line carries local time, the time the device shows its user
//   and the diagnostic log's time stamps carry.
// - A read takes at most one octet less than the read buffer, so that the
//   octets can be terminated; a log of any length is written read by read.
// - The log has no time-out, but the port has an owner: the thread leaves
//   the port when asked (EndATAReader, before the port is closed or a new
//   capture takes it), so that a log without end never keeps a process from
//   shutting down or the port from being used again. It still shows its
//   final box on the way out.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "modem/crash.h"
#include "diag/log.h"

#include <stdio.h>
#include <string.h>

#define ATA_BUFFER_SIZE 2000
#define ATA_THREAD_PRIORITY 248
#define SHELL_POLL_MS 500
// How often EndATAReader repeats its release of the thread's port wait,
// for a thread that was between two waits when first released.
#define ATA_RELEASE_RETRY_MS 50

static const BYTE kAtaCommand[4] = {'A', 'T', 'A', '\r'};
static const char kAtaBanner[] = "\r\n\r\n========== QX7ATA Debug ==========\r\n";

// The reader currently on the port: `s_hAtaReleased` (manual reset) is set
// once it no longer touches the port; `s_ataLeave` asks it to leave.
static HANDLE s_hAtaReleased = NULL;
static volatile LONG s_ataLeave = 0;

// The process-wide lock that takes crash requests one at a time.
static CRITICAL_SECTION s_csCrash;
namespace {
struct CrashLockInit {
    CrashLockInit() { InitializeCriticalSection(&s_csCrash); }
};
CrashLockInit s_crashLockInit;
}  // namespace

void EnterCrashCapture()
{
    EnterCriticalSection(&s_csCrash);
}

void LeaveCrashCapture()
{
    LeaveCriticalSection(&s_csCrash);
}

void EndATAReader()
{
    if (s_hAtaReleased == NULL) {
        return;
    }
    InterlockedExchange(&s_ataLeave, 1);
    // Setting the event mask again makes the reader's pending wait return.
    while (WaitForSingleObject(s_hAtaReleased, 0) == WAIT_TIMEOUT) {
        SetCommMask(hUART, UART_EVENT_MASK);
        WaitForSingleObject(s_hAtaReleased, ATA_RELEASE_RETRY_MS);
    }
    CloseHandle(s_hAtaReleased);
    s_hAtaReleased = NULL;
}

// One capture of the crash log.
struct AtaCapture {
    BYTE* buf;        // ATA_BUFFER_SIZE octets
    HANDLE file;
    DWORD overruns;   // error events that were an overrun alone
    BOOL complete;    // the end marker has arrived
};

static void WriteToFile(HANDLE file, const void* octets, DWORD length)
{
    DWORD written = 0;
    WriteFile(file, octets, length, &written, NULL);  // a failed write is ignored
}

// Opens "\ATARsp.txt" at its end and writes the section's banner and date line.
static BOOL OpenLogFile(AtaCapture* c)
{
    c->file = CreateFileW(TEXT("\\ATARsp.txt"), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                          NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (c->file == INVALID_HANDLE_VALUE || c->file == NULL) {
        c->file = INVALID_HANDLE_VALUE;
        MuxLog(TEXT("MUX: ParseATADataThread() -> Create file fail\r\n"));
        return FALSE;
    }
    SetFilePointer(c->file, 0, NULL, FILE_END);
    SYSTEMTIME now;
    GetLocalTime(&now);
    WriteToFile(c->file, kAtaBanner, (DWORD)(sizeof(kAtaBanner) - 1));
    int n = sprintf((char*)c->buf, "%d/%d/%d %d:%d:%d\r\n==================================\r\n",
                    (int)now.wYear, (int)now.wMonth, (int)now.wDay, (int)now.wHour,
                    (int)now.wMinute, (int)now.wSecond);
    WriteToFile(c->file, c->buf, (DWORD)n);
    return TRUE;
}

// The line conditions of one port event.
static void HandleLineEvents(AtaCapture* c, DWORD mask)
{
    if (mask & EV_ERR) {
        DWORD errors = 0;
        ClearCommError(hUART, &errors, NULL);
        if (errors == CE_OVERRUN) {
            MuxLog(TEXT("MUX: ParseATADataThread() -> Serial port overrun ; Time=%d\r\n"),
                   (int)GetTickCount());
            c->overruns++;
        } else {
            MuxLog(TEXT("MUX: ParseATADataThread() -> Serial port error(CE_FRAME or ")
                       TEXT("CE_RXPARITY) ; Time=%d\r\n"),
                   (int)GetTickCount());
        }
    }
    if (mask & EV_BREAK) {
        ClearCommBreak(hUART);
        MuxLog(TEXT("MUX: ParseATADataThread() -> Serial port break ; Time=%d\r\n"),
               (int)GetTickCount());
    }
}

// One read of the log into the file; TRUE when it holds the whole end
// marker.
static BOOL TakeLogRead(void* capture, DWORD got)
{
    AtaCapture* c = (AtaCapture*)capture;
    WriteToFile(c->file, c->buf, got);
    return ContainsMarker(c->buf, got, CRASH_END_MARKER);
}

// Reads what has arrived into the file; TRUE once one read holds the whole
// end marker.
static BOOL ReadLogOctets(AtaCapture* c)
{
    return ReadArrivedAT(c->buf, ATA_BUFFER_SIZE, TakeLogRead, c,
                         TEXT("MUX: GetATADataThread() -> ERROR, ReadFile() failed ; Time=%d\r\n"));
}

// Reads until the end marker arrives within one read, the wait fails or the
// thread is asked to leave the port.
static DWORD WINAPI CollectLog(LPVOID arg)
{
    AtaCapture* c = (AtaCapture*)arg;
    for (;;) {
        DWORD mask = 0;
        if (!WaitCommEvent(hUART, &mask, NULL)) {
            MuxLog(TEXT("MUX: GetATADataThread() -> ERROR , WaitCommEvent err %d ; Time=%d\r\n"),
                   (int)GetLastError(), (int)GetTickCount());
            return 0;
        }
        if (s_ataLeave) {
            return 0;
        }
        HandleLineEvents(c, mask);
        if ((mask & EV_RXCHAR) && ReadLogOctets(c)) {
            c->complete = TRUE;
            return 0;
        }
    }
}

// The overrun line, the file closed, the final box; on every way out.
static void FinishCapture(AtaCapture* c)
{
    if (c->complete) {
        int n = sprintf((char*)c->buf, "\r\nTotal Serial Overrun %d times", (int)c->overruns);
        WriteToFile(c->file, c->buf, (DWORD)n);
    }
    if (c->file != INVALID_HANDLE_VALUE) {
        CloseHandle(c->file);
        c->file = INVALID_HANDLE_VALUE;
    }
    MessageBoxW(GetForegroundWindow(),
                TEXT("RILDebug: Module crashed and get ATA log OK. You can coldboot device now!"),
                CRASH_BOX_CAPTION, CRASH_BOX_STYLE);
    if (c->buf != NULL) {
        HeapFree(GetProcessHeap(), 0, c->buf);
        c->buf = NULL;
    }
}

DWORD WINAPI CDispatcher::GetATADataThread(LPVOID)
{
    // The release event of this reader; EndATAReader closes it once set.
    HANDLE released = s_hAtaReleased;
    AtaCapture c;
    memset(&c, 0, sizeof(c));
    c.file = INVALID_HANDLE_VALUE;
    c.buf = (BYTE*)HeapAlloc(GetProcessHeap(), 0, ATA_BUFFER_SIZE);
    if (c.buf == NULL) {
        MuxLog(TEXT("MUX: GetATADataThread() -> new() error\r\n"));
    } else if (OpenLogFile(&c)) {
        CeSetThreadPriority(GetCurrentThread(), ATA_THREAD_PRIORITY);
        RunGuarded(DispatcherExceptionGuard, TEXT("GetATADataThread"), CollectLog, &c);
    }
    if (released != NULL) {
        SetEvent(released);
    }
    FinishCapture(&c);
    return 0;
}

// Starts the log's reader: it is on the port before the command goes out.
static void StartATAReader(CDispatcher* d)
{
    s_hAtaReleased = CreateEventW(NULL, TRUE, FALSE, NULL);
    InterlockedExchange(&s_ataLeave, 0);
    HANDLE thread = CreateThread(NULL, 0, CDispatcher::GetATADataThread, d, 0, NULL);
    if (thread != NULL) {
        CloseHandle(thread);
    } else if (s_hAtaReleased != NULL) {
        CloseHandle(s_hAtaReleased);
        s_hAtaReleased = NULL;
    }
}

void CDispatcher::ProcessATACmd()
{
    MuxLog(TEXT("MUX: CDispatcher::ProcessATACmd() -> Start; Time=%d\r\n"), (int)GetTickCount());
    // Empty the receive ring; its reader and parser have ended with Stop.
    pReadNode = pRingNodes;
    pWriteNode = pRingNodes;
    if (hDataIn != NULL && hDataIn != INVALID_HANDLE_VALUE) {
        ResetEvent(hDataIn);
    }
    EndATAReader();
    StartATAReader(this);

    DWORD written = 0;
    if (!WriteFile(hUART, kAtaCommand, sizeof(kAtaCommand), &written, NULL)) {
        MuxLog(TEXT("MUX: ProcessATACmd() -> Write ATA command failed\r\n"));
    } else if (written != sizeof(kAtaCommand)) {
        MuxLog(TEXT("MUX: ProcessATACmd() -> Write ATA command failed cause only write %d ")
                   TEXT("characters\r\n"),
               (int)written);
    } else {
        while (!IsAPIReady(SH_SHELL)) {
            Sleep(SHELL_POLL_MS);
        }
        MessageBoxW(GetForegroundWindow(), g_pCrashMessage, CRASH_BOX_CAPTION, CRASH_BOX_STYLE);
        if (g_pCrashMessage != NULL) {
            HeapFree(GetProcessHeap(), 0, g_pCrashMessage);
            g_pCrashMessage = NULL;
        }
    }
    MuxLog(TEXT("MUX: CDispatcher::ProcessATACmd() -> End; Time=%d\r\n"), (int)GetTickCount());
}
