// The reader and parser threads and the receive ring between them, which
// this file owns.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#define READER_PRIORITY 247
#define PARSER_PRIORITY 250
#define RING_FULL_PAUSE_MS 500
#define FRAME_TIMEOUT_MS 3000

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

static DWORD WINAPI GetDataBody(LPVOID arg)
{
    CDispatcher* d = (CDispatcher*)arg;
    CeSetThreadPriority(GetCurrentThread(), READER_PRIORITY);
    WaitForSingleObject(d->hGetDataStart, INFINITE);
    ResetEvent(d->hGetDataStart);
    SetCommMask(hUART, UART_EVENT_MASK);

    while (!ReadWord(&d->bStopThreads)) {
        DWORD mask = 0;
        if (!WaitCommEvent(hUART, &mask, NULL)) {
            if (ReadWord(&d->bStopThreads)) {
                break;
            }
            MuxLog(TEXT("MUX: GetDataThread() -> ERROR , WaitCommEvent err %d ; Time=%d\r\n"),
                   (int)GetLastError(), (int)GetTickCount());
            d->parseState = PS_FLAG;
            PulseEvent(d->hTimeOutCancel);
            continue;
        }
        if (!WaitForFreeNode(d)) {
            break;
        }
        // The write node is the reader's until it advances past it.
        FFUARTDATA* node = pWriteNode;
        node->eventMask = mask;
        if (mask & EV_RXCHAR) {
            if (!ReadFile(hUART, node->data, MUX_NODE_DATA_SIZE, &node->count, NULL)) {
                MuxLog(TEXT("MUX: GetDataThread() -> ERROR, ReadFile() failed ; Time=%d\r\n"),
                       (int)GetTickCount());
            }
        }
        EnterCriticalSection(&csRing);
        pWriteNode = pWriteNode->pNext;
        SetEvent(hDataIn);
        LeaveCriticalSection(&csRing);
    }
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
        if (d->parseState != PS_FLAG) {
            // A frame was waiting for these octets: its time-out is off.
            ResetEvent(d->hTimeOutArm);
            SetEvent(d->hTimeOutCancel);
        }
        d->ParseRecBytes();
        if (marked) {
            // A frame still open after a line error or break is abandoned.
            d->parseState = PS_FLAG;
        }
    }
}

static DWORD WINAPI ParseDataBody(LPVOID arg)
{
    CDispatcher* d = (CDispatcher*)arg;
    d->parseState = PS_FLAG;
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

            if (d->parseState != PS_FLAG) {
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
