// The reader and parser threads and the receive ring between them, which
// this file owns.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#define READER_PRIORITY 247
#define PARSER_PRIORITY 250
#define RING_FULL_PAUSE_MS 500
#define FRAME_TIMEOUT_MS 3000
#define WAIT_FAILURE_PAUSE_MS 100

// The receive ring: its nodes, its two positions, its lock and "DataIn"
// live here. Allocated by the first start, emptied by every later one, freed
// only by the full teardown.
HANDLE hDataIn = INVALID_HANDLE_VALUE;
FFUARTDATA* pReadNode = NULL;
FFUARTDATA* pWriteNode = NULL;
FFUARTDATA* pRingNodes = NULL;
CRITICAL_SECTION csRing;

// The ring lock lives as long as the process once made, until the teardown.
static BOOL s_csRingReady = FALSE;

// Frees the nodes of the ring, also a ring that was only partly built.
static void FreeRingNodes()
{
    FFUARTDATA* node = pRingNodes;
    while (node != NULL) {
        FFUARTDATA* next = node->pNext;
        HeapFree(GetProcessHeap(), 0, node);
        if (next == pRingNodes) {
            break;
        }
        node = next;
    }
    pRingNodes = NULL;
    pReadNode = NULL;
    pWriteNode = NULL;
}

BOOL PrepareReceiveRing()
{
    if (!s_csRingReady) {
        InitializeCriticalSection(&csRing);
        s_csRingReady = TRUE;
    }
    if (pRingNodes != NULL) {
        FFUARTDATA* node = pRingNodes;
        do {
            node->count = 0;
            node->eventMask = 0;
            node = node->pNext;
        } while (node != pRingNodes);
    } else {
        FFUARTDATA* last = NULL;
        for (int i = 0; i < MUX_RING_NODES; i++) {
            FFUARTDATA* node =
                (FFUARTDATA*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FFUARTDATA));
            if (node == NULL) {
                MuxLog(TEXT("MUX: Allocate memory for FFUARTDATA fail.\r\n"));
                return FALSE;
            }
            if (last == NULL) {
                pRingNodes = node;
            } else {
                last->pNext = node;
            }
            last = node;
        }
        last->pNext = pRingNodes;
    }
    pReadNode = pRingNodes;
    pWriteNode = pRingNodes;
    return TRUE;
}

void FreeReceiveRing()
{
    if (s_csRingReady) {
        DeleteCriticalSection(&csRing);
        s_csRingReady = FALSE;
    }
    FreeRingNodes();
}

// The parser may be closing "DataIn" as it ends: the handle is only touched
// under the ring lock, never after it was closed.
void SignalDataIn()
{
    if (s_csRingReady) {
        EnterCriticalSection(&csRing);
    }
    if (hDataIn != NULL && hDataIn != INVALID_HANDLE_VALUE) {
        SetEvent(hDataIn);
    }
    if (s_csRingReady) {
        LeaveCriticalSection(&csRing);
    }
}

// Waits until the node after the write node is free. While the ring is full
// the reader pauses again and again: the octets stay in the port until the
// parser has taken a node, so nothing unparsed is overwritten. Returns FALSE
// when a stop is requested meanwhile.
static BOOL WaitForFreeNode(CDispatcher* d)
{
    EnterCriticalSection(&csRing);
    while (pWriteNode->pNext == pReadNode) {
        LeaveCriticalSection(&csRing);
        MuxLog(TEXT("MUX: CDispatcher::GetDataThread() -> No free write node.\r\n"));
        Sleep(RING_FULL_PAUSE_MS);
        if (ReadWord(&d->bStopThreads)) {
            return FALSE;
        }
        EnterCriticalSection(&csRing);
    }
    LeaveCriticalSection(&csRing);
    return TRUE;
}

// A port whose device has gone fails every wait at once. The first failure
// of a kind is logged and retried at once (a wait can fail once and be fine
// again); the same failure again is counted rather than logged, and the
// retries are paced, so that a dead port neither fills the log nor keeps a
// processor busy. The count is logged when the failures end.
struct WaitFailures {
    DWORD error;
    DWORD repeats;
};

static void EndWaitFailures(WaitFailures* f)
{
    if (f->repeats > 0) {
        MuxLog(TEXT("MUX: GetDataThread() -> ERROR , WaitCommEvent err %d repeated %d times ")
                   TEXT("; Time=%d\r\n"),
               (int)f->error, (int)f->repeats, (int)GetTickCount());
    }
    f->error = 0;
    f->repeats = 0;
}

static void NoteWaitFailure(WaitFailures* f, DWORD error)
{
    if (error == f->error && error != 0) {
        f->repeats++;
        Sleep(WAIT_FAILURE_PAUSE_MS);
        return;
    }
    EndWaitFailures(f);
    f->error = error;
    MuxLog(TEXT("MUX: GetDataThread() -> ERROR , WaitCommEvent err %d ; Time=%d\r\n"), (int)error,
           (int)GetTickCount());
}

// After a read that returned less than a node: whether the port still holds
// octets. The port's error word comes with the answer; what it held is kept
// for the parser thread, which reports it with the line error event.
static BOOL PortHoldsOctets(CDispatcher* d)
{
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof(stat));
    if (!ClearCommError(hUART, &errors, &stat)) {
        return FALSE;
    }
    // Or-ed in: the parser thread takes the word with an exchange meanwhile.
    LONG held = InterlockedCompareExchange(&d->heldLineErrors, 0, 0);
    while (errors != 0) {
        LONG seen = InterlockedCompareExchange(&d->heldLineErrors, held | (LONG)errors, held);
        if (seen == held) {
            break;
        }
        held = seen;
    }
    return stat.cbInQue != 0;
}

// Fills the write node for a port event and passes it on: its mask, and
// with received characters what the port holds, up to a node. *more tells
// whether octets are still waiting in the port. FALSE when a stop is
// requested while the ring is full.
static BOOL FillNode(CDispatcher* d, DWORD mask, BOOL* more)
{
    *more = FALSE;
    if (!WaitForFreeNode(d)) {
        return FALSE;
    }
    // The write node is the reader's until it advances past it.
    FFUARTDATA* node = pWriteNode;
    node->eventMask = mask;
    if (mask & EV_RXCHAR) {
        if (!ReadFile(hUART, node->data, MUX_NODE_DATA_SIZE, &node->count, NULL)) {
            MuxLog(TEXT("MUX: GetDataThread() -> ERROR, ReadFile() failed ; Time=%d\r\n"),
                   (int)GetTickCount());
        } else if (node->count != 0) {
            *more = node->count == MUX_NODE_DATA_SIZE || PortHoldsOctets(d);
        }
    }
    EnterCriticalSection(&csRing);
    pWriteNode = pWriteNode->pNext;
    SetEvent(hDataIn);
    LeaveCriticalSection(&csRing);
    return TRUE;
}

// One port event. The port reports received characters when they arrive,
// not while they wait: octets left behind by a read (a burst larger than a
// node, as a USB modem hands over several KB at once) would wait for the
// next arrival, perhaps for ever. So they are read into the next nodes
// before the reader waits again; a full ring waits for the parser and the
// octets stay in the port meanwhile. FALSE when a stop is requested.
static BOOL ReadEvent(CDispatcher* d, DWORD mask)
{
    BOOL more = FALSE;
    if (!FillNode(d, mask, &more)) {
        return FALSE;
    }
    while (more && !ReadWord(&d->bStopThreads)) {
        if (!FillNode(d, EV_RXCHAR, &more)) {
            return FALSE;
        }
    }
    return TRUE;
}

static DWORD WINAPI GetDataBody(LPVOID arg)
{
    CDispatcher* d = (CDispatcher*)arg;
    CeSetThreadPriority(GetCurrentThread(), READER_PRIORITY);
    WaitForSingleObject(d->hGetDataStart, INFINITE);
    ResetEvent(d->hGetDataStart);
    SetCommMask(hUART, UART_EVENT_MASK);

    WaitFailures failures = {0, 0};
    while (!ReadWord(&d->bStopThreads)) {
        DWORD mask = 0;
        if (!WaitCommEvent(hUART, &mask, NULL)) {
            if (ReadWord(&d->bStopThreads)) {
                break;
            }
            NoteWaitFailure(&failures, GetLastError());
            d->parse.state = PS_FLAG;
            PulseEvent(d->hTimeOutCancel);
            continue;
        }
        EndWaitFailures(&failures);
        if (!ReadEvent(d, mask)) {
            break;
        }
    }
    EndWaitFailures(&failures);
    return 0;
}

DWORD WINAPI CDispatcher::GetDataThread(LPVOID dispatcher)
{
    return RunGuarded(DispatcherExceptionGuard, TEXT("GetDataThread"), GetDataBody, dispatcher);
}

// The line for a port error word, by exact value.
static LPCWSTR LineErrorText(DWORD errors)
{
    switch (errors) {
    case CE_OVERRUN:
        return TEXT("MUX: ParseDataThread() -> Serial port overrun ; Time=%d\r\n");
    case CE_FRAME:
        return TEXT("MUX: ParseDataThread() -> Serial port error(CE_FRAME) ; Time=%d\r\n");
    case CE_RXPARITY:
        return TEXT("MUX: ParseDataThread() -> Serial port error(CE_RXPARITY) ; Time=%d\r\n");
    case CE_BREAK:
        return TEXT("MUX: ParseDataThread() -> Serial port error(CE_BREAK) ; Time=%d\r\n");
    case CE_TXFULL:
        return TEXT("MUX: ParseDataThread() -> Serial port error(CE_TXFULL) ; Time=%d\r\n");
    case CE_RXOVER:
        return TEXT("MUX: ParseDataThread() -> Serial port error(CE_RXOVER) ; Time=%d\r\n");
    case CE_MODE:
        return TEXT("MUX: ParseDataThread() -> Serial port error(CE_MODE) ; Time=%d\r\n");
    case CE_IOE:
        return TEXT("MUX: ParseDataThread() -> Serial port error(CE_IOE) ; Time=%d\r\n");
    default:
        return TEXT("MUX: ParseDataThread() -> Serial port error(unknown) ; Time=%d\r\n");
    }
}

// One filled node at pReadNode: line errors, break, received octets.
static void ProcessNode(CDispatcher* d, FFUARTDATA* node)
{
    BOOL marked = FALSE;
    if (node->eventMask & EV_ERR) {
        DWORD errors = 0;
        ClearCommError(hUART, &errors, NULL);
        // With what the reader took from the port while it looked for octets.
        errors |= (DWORD)InterlockedExchange(&d->heldLineErrors, 0);
        marked = TRUE;
        MuxLog(LineErrorText(errors), (int)GetTickCount());
    }
    if (node->eventMask & EV_BREAK) {
        ClearCommBreak(hUART);
        marked = TRUE;
        MuxLog(TEXT("MUX: ParseDataThread() -> Serial port break ; Time=%d\r\n"),
               (int)GetTickCount());
    }
    if (node->eventMask & EV_RXCHAR) {
        if (d->parse.state != PS_FLAG) {
            // A frame was waiting for these octets: its time-out is off.
            ResetEvent(d->hTimeOutArm);
            SetEvent(d->hTimeOutCancel);
        }
        d->ParseRecBytes();
        if (marked) {
            // A frame still open after a line error or break is abandoned.
            d->parse.state = PS_FLAG;
        }
    }
}

static DWORD WINAPI ParseDataBody(LPVOID arg)
{
    CDispatcher* d = (CDispatcher*)arg;
    d->parse.state = PS_FLAG;
    CeSetThreadPriority(GetCurrentThread(), PARSER_PRIORITY);
    WaitForSingleObject(d->hParseDataStart, INFINITE);
    ResetEvent(d->hParseDataStart);

    for (;;) {
        if (ReadWord(&d->bStopThreads)) {
            break;
        }
        WaitForSingleObject(hDataIn, INFINITE);
        if (ReadWord(&d->bStopThreads)) {
            break;
        }
        EnterCriticalSection(&csRing);
        BOOL empty = (pReadNode == pWriteNode);
        LeaveCriticalSection(&csRing);
        while (!empty) {
            ProcessNode(d, pReadNode);

            EnterCriticalSection(&csRing);
            pReadNode = pReadNode->pNext;
            if (pReadNode == pWriteNode) {
                ResetEvent(hDataIn);
                empty = TRUE;
            }
            LeaveCriticalSection(&csRing);

            if (d->parse.state != PS_FLAG) {
                // The node ended inside a frame: wait for the rest, 3000 ms.
                InterlockedExchange(&d->timeOut, FRAME_TIMEOUT_MS);
                ResetEvent(d->hTimeOutCancel);
                SetEvent(d->hTimeOutArm);
            }
        }
    }

    // Under the ring lock: the reader (still running while a stop winds it
    // down) and Stop signal "DataIn" under it too, so that neither uses the
    // handle once it is closed and its value may belong to another object.
    EnterCriticalSection(&csRing);
    if (hDataIn != NULL && hDataIn != INVALID_HANDLE_VALUE) {
        CloseHandle(hDataIn);
        hDataIn = NULL;
    }
    LeaveCriticalSection(&csRing);
    return 0;
}

DWORD WINAPI CDispatcher::ParseDataThread(LPVOID dispatcher)
{
    return RunGuarded(DispatcherExceptionGuard, TEXT("ParseDataThread"), ParseDataBody, dispatcher);
}
