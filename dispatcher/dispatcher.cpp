// CDispatcher: start-up and shutdown of the multiplexer.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "channel/channel.h"
#include "channel/ctrl_channel.h"
#include "modem/lines.h"
#include "diag/log.h"

// Process-wide values that belong to the dispatcher. Defined before the
// dispatcher itself, whose constructor sets hUART again through Reset.
HANDLE hUART = INVALID_HANDLE_VALUE;

CDispatcher g_dispatcher;

#define UART_EVENT_MASK (EV_RXCHAR | EV_BREAK | EV_ERR)  // 0xC1
#define UART_BAUD_HANDSHAKE 115200
#define UART_BAUD_MUX 460800
#define HANDSHAKE_BUF_SIZE 128
#define HANDSHAKE_TIMEOUT_MS 3000
#define CMUX_PORT_SPEED 7  // 460800 bit/s
#define DRAIN_PAUSE_MS 500
#define DRAIN_READ_SIZE 128
#define SETTLE_PAUSE_MS 2000
// How often Stop repeats the wake-up of a worker thread that has not yet
// reached the wait the wake-up is meant for.
#define STOP_RETRY_MS 50

// The send lock lives as long as the process once made: a thread that is
// still on its way out of a send must never find csSend deleted or
// initialised anew under it.
static BOOL s_csSendReady = FALSE;

// Start and stop exclude each other: a Stop that arrives while Init runs (the
// modem closing DLCI 0 right after it connected, an I/O control) waits for
// it, and so does one that arrives while another Stop is still at work, so
// that its caller goes on only once the multiplexer is really down. Each
// start begins a new generation; a Stop that was waiting while a stop and a
// new start went by is stale and leaves the new multiplexer alone.
static CRITICAL_SECTION s_csStartStop;
static volatile LONG s_generation = 0;

// Ids of the worker threads, so that Stop never waits for the thread it runs on.
static DWORD s_getDataThreadId = 0;
static DWORD s_parseDataThreadId = 0;
static DWORD s_timeOutThreadId = 0;
static DWORD s_rfokThreadId = 0;
static DWORD s_setDtrThreadId = 0;

static BOOL IsOpenHandle(HANDLE h)
{
    return h != NULL && h != INVALID_HANDLE_VALUE;
}

static void CloseAndClear(HANDLE* h)
{
    if (*h != NULL) {
        CloseHandle(*h);
        *h = NULL;
    }
}

// Waits until a worker thread has ended, then closes its handle. `wake` is
// repeated every STOP_RETRY_MS until the thread is gone, for a thread that
// was between its check of the stop flag and its wait when first woken.
// Nothing is waited for when the thread is the calling one.
typedef void (*WakeProc)(CDispatcher* d);

static void EndWorker(CDispatcher* d, HANDLE* thread, DWORD threadId, WakeProc wake)
{
    if (*thread == NULL) {
        return;
    }
    if (threadId != GetCurrentThreadId()) {
        for (;;) {
            if (wake != NULL) {
                wake(d);
            }
            if (WaitForSingleObject(*thread, STOP_RETRY_MS) != WAIT_TIMEOUT) {
                break;
            }
        }
    }
    CloseHandle(*thread);
    *thread = NULL;
}

// Setting the event mask again makes a pending WaitCommEvent return.
static void WakeReader(CDispatcher*)
{
    if (IsOpenHandle(hUART)) {
        SetCommMask(hUART, UART_EVENT_MASK);
    }
}

// The RF-OK watcher and the DTR thread create their events themselves, so
// the handle may not exist yet when Stop first looks.
static void WakeRFOKWatcher(CDispatcher*)
{
    HANDLE h = g_hRFOKEvent;
    if (IsOpenHandle(h)) {
        SetEvent(h);
    }
}

static void WakeDTRThread(CDispatcher*)
{
    HANDLE h = g_hSetDTREvent;
    if (IsOpenHandle(h)) {
        SetEvent(h);
    }
}

static BOOL IsChannelThread(CDispatcher* d, DWORD threadId)
{
    for (int i = 0; i < MUX_MAX_CHANNELS; i++) {
        CChannel* channel = d->channels[i];
        if (channel != NULL && channel->threadId == threadId) {
            return TRUE;
        }
    }
    return FALSE;
}

// "OK" anywhere in the octets received so far.
static BOOL ContainsOK(const BYTE* buf, DWORD length)
{
    for (DWORD i = 0; i + 1 < length; i++) {
        if (buf[i] == 'O' && buf[i + 1] == 'K') {
            return TRUE;
        }
    }
    return FALSE;
}

// "AT+CMUX=0,0,%d\r\n" for a port speed of one digit. Returns its length.
static DWORD FormatCmuxCommand(BYTE* buf, int portSpeed)
{
    static const char prefix[] = "AT+CMUX=0,0,";
    DWORD n = (DWORD)(sizeof(prefix) - 1);
    memcpy(buf, prefix, n);
    buf[n++] = (BYTE)('0' + portSpeed);
    buf[n++] = '\r';
    buf[n++] = '\n';
    return n;
}

static void SetBaudRate(DWORD baud)
{
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    GetCommState(hUART, &dcb);
    dcb.BaudRate = baud;
    SetCommState(hUART, &dcb);
}

static void ResetMembers(CDispatcher* d);

CDispatcher::CDispatcher()
{
    // Runs while the driver is loaded, before any other thread exists.
    InitializeCriticalSection(&s_csStartStop);
    InitForwarding();
    bRunning = FALSE;
    pSendBuf = NULL;
    ResetMembers(this);
}

CDispatcher::~CDispatcher()
{
    Sleep(100);
}

void CDispatcher::Reset()
{
    EnterCriticalSection(&s_csStartStop);
    ResetMembers(this);
    LeaveCriticalSection(&s_csStartStop);
}

static void ResetMembers(CDispatcher* d)
{
    // A stopped dispatcher still owns the port and the time-out thread; the
    // next Init opens and creates them anew, so give them back first.
    if (d->bStopThreads && (d->hTimeOutThread != NULL || IsOpenHandle(hUART))) {
        d->ClosePort();
    }

    d->refCount = 0;
    d->bRunning = FALSE;
    d->bStopThreads = FALSE;
    d->bStopTimeOut = FALSE;
    d->hGetDataThread = NULL;
    d->hParseDataThread = NULL;
    d->hTimeOutThread = NULL;
    d->hRFOKPinThread = NULL;
    d->hSetDTRThread = NULL;
    d->hTimeOutArm = NULL;
    d->hTimeOutCancel = NULL;
    d->hGetDataStart = NULL;
    d->hParseDataStart = NULL;
    d->pCtrlChannel = NULL;
    for (int i = 0; i < MUX_MAX_CHANNELS; i++) {
        d->channels[i] = NULL;
    }
    hUART = INVALID_HANDLE_VALUE;
}

BOOL CDispatcher::Init()
{
    BYTE buf[HANDSHAKE_BUF_SIZE];
    DWORD count = 0;

    EnterCriticalSection(&s_csStartStop);
    // Another caller may have brought the multiplexer up while this one
    // waited for the lock (a restart by I/O control meeting a channel's
    // start-up): a second start would put a second reader on the port.
    if (bRunning) {
        LeaveCriticalSection(&s_csStartStop);
        return TRUE;
    }
    InterlockedIncrement(&s_generation);

    // 5 (first half): the send lock outlives every start and stop.
    if (!s_csSendReady) {
        InitializeCriticalSection(&csSend);
        s_csSendReady = TRUE;
    }

    // 1. Transmit buffer.
    EnterCriticalSection(&csSend);
    if (pSendBuf == NULL) {
        pSendBuf = (BYTE*)HeapAlloc(GetProcessHeap(), 0, MUX_SEND_BUF_SIZE);
    }
    sendLength = 0;
    LeaveCriticalSection(&csSend);
    if (pSendBuf == NULL) {
        goto fail;
    }

    // 2, 3, 5 (ring lock). The ring, empty.
    if (!PrepareReceiveRing()) {
        goto fail;
    }

    // 4. "DataIn".
    if (IsOpenHandle(hDataIn)) {
        CloseHandle(hDataIn);
    }
    hDataIn = CreateEventW(NULL, FALSE, FALSE, TEXT("DataIn"));
    if (hDataIn == NULL) {
        goto fail;
    }

    // 5. Stop flags.
    bStopThreads = FALSE;
    bStopTimeOut = FALSE;

    // 6. Events.
    if (hTimeOutArm == NULL) {
        hTimeOutArm = CreateEventW(NULL, FALSE, FALSE, NULL);
    }
    if (hTimeOutCancel == NULL) {
        hTimeOutCancel = CreateEventW(NULL, FALSE, FALSE, NULL);
    }
    hGetDataStart = CreateEventW(NULL, TRUE, FALSE, NULL);
    hParseDataStart = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (hTimeOutArm == NULL || hTimeOutCancel == NULL || hGetDataStart == NULL ||
        hParseDataStart == NULL) {
        goto fail;
    }

    // 7. Reader, parser and (once) the time-out thread.
    hGetDataThread = CreateThread(NULL, 0, GetDataThread, this, 0, &s_getDataThreadId);
    hParseDataThread = CreateThread(NULL, 0, ParseDataThread, this, 0, &s_parseDataThreadId);
    if (hTimeOutThread == NULL) {
        hTimeOutThread = CreateThread(NULL, 0, TimeOutThread, this, 0, &s_timeOutThreadId);
    }
    if (hGetDataThread == NULL || hParseDataThread == NULL || hTimeOutThread == NULL) {
        goto fail;
    }

    // 8. The module.
    if (!ModuleReset()) {
        goto fail;
    }

    // 9. Supervision threads.
    hRFOKPinThread = CreateThread(NULL, 0, RFOKPinThread, this, 0, &s_rfokThreadId);
    if (hRFOKPinThread == NULL) {
        goto fail;
    }
    hSetDTRThread = CreateThread(NULL, 0, SetDTRThread, this, 0, &s_setDtrThreadId);
    if (hSetDTRThread == NULL) {
        goto fail;
    }

    // 10. The port, unless a stopped multiplexer left it open.
    if (!IsOpenHandle(hUART)) {
        hUART = CreateFileW(TEXT("COM9:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
        if (!IsOpenHandle(hUART)) {
            hUART = INVALID_HANDLE_VALUE;
            MuxLog(TEXT("MUX: CreateFile() for COM1 fail\r\n"));
            goto fail;
        }
    }

    // 11. 115200 bit/s, no flow control, DTR and RTS held on.
    {
        DCB dcb;
        memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(dcb);
        GetCommState(hUART, &dcb);
        dcb.BaudRate = UART_BAUD_HANDSHAKE;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        SetCommState(hUART, &dcb);
    }

    // 12. Events of interest.
    if (!SetCommMask(hUART, UART_EVENT_MASK)) {
        goto fail;
    }

    // 13. Reads return at once with what has arrived; 10 ms per octet written.
    {
        COMMTIMEOUTS timeouts;
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 10;
        timeouts.WriteTotalTimeoutConstant = 0;
        SetCommTimeouts(hUART, &timeouts);
    }

    // 14. Multiplexer mode, under the response time-out.
    {
        memset(buf, 0, sizeof(buf));
        DWORD length = FormatCmuxCommand(buf, CMUX_PORT_SPEED);
        DWORD written = 0;
        WriteFile(hUART, buf, length, &written, NULL);

        memset(buf, 0, sizeof(buf));
        timeOut = HANDSHAKE_TIMEOUT_MS;
        SetEvent(hTimeOutArm);

        BOOL ok = FALSE;
        DWORD room = HANDSHAKE_BUF_SIZE - 1;
        DWORD filled = 0;
        for (;;) {
            DWORD mask = 0;
            if (!WaitCommEvent(hUART, &mask, NULL) || (mask & EV_RXCHAR) == 0) {
                break;
            }
            DWORD got = 0;
            if (ReadFile(hUART, buf + filled, room, &got, NULL)) {
                filled += got;
                room -= got;
                if (ContainsOK(buf, filled)) {
                    ok = TRUE;
                    break;
                }
            }
            if (room == 0) {
                break;
            }
        }
        if (ok) {
            MuxLog(TEXT("MUX: CDispatcher::Init() -> GSM0710 Initialization OK ; Time=%d\r\n"),
                   (int)GetTickCount());
        } else {
            MuxLog(TEXT("MUX: CDispatcher::Init() -> GSM0710 Initialization Fail ; Time=%d\r\n"),
                   (int)GetTickCount());
        }
        PulseEvent(hTimeOutCancel);
    }

    // 15. 460800 bit/s; what arrives meanwhile is discarded.
    SetBaudRate(UART_BAUD_MUX);
    Sleep(DRAIN_PAUSE_MS);
    ReadFile(hUART, buf, DRAIN_READ_SIZE, &count, NULL);
    Sleep(SETTLE_PAUSE_MS);

    // 16. Running: release the reader and the parser.
    bRunning = TRUE;
    SetEvent(hGetDataStart);
    SetEvent(hParseDataStart);

    // 17. The control channel connects DLCI 0 while it is constructed.
    pCtrlChannel = new CCtrlChannel(0);
    if (pCtrlChannel == NULL || pCtrlChannel->IsNotReady()) {
        goto fail;
    }

    // 18.
    MuxLog(TEXT("MUX: CDispatcher::Init() -> OK ; Time=%d\r\n"), (int)GetTickCount());
    LeaveCriticalSection(&s_csStartStop);
    return TRUE;

fail:
    Destroy();
    MuxLog(TEXT("MUX: CDispatcher::Init() -> Fail ; Time=%d\r\n"), (int)GetTickCount());
    LeaveCriticalSection(&s_csStartStop);
    return FALSE;
}

void CDispatcher::Stop()
{
    // Only one caller stops. A second one (the control channel's thread
    // ending on CLD while an I/O control stops, say) returns once the first
    // is done. The stopping thread itself never comes back here: the
    // channels' calls of Release find bRunning FALSE.
    // A channel's own thread (the control channel's, on CLD or DISC) must
    // not block here: the Stop in progress may be waiting in that channel's
    // Deinit for this very thread to end.
    LONG generation = s_generation;
    if (IsChannelThread(this, GetCurrentThreadId())) {
        if (!TryEnterCriticalSection(&s_csStartStop)) {
            return;
        }
    } else {
        EnterCriticalSection(&s_csStartStop);
    }
    if (bStopThreads || generation != s_generation) {
        LeaveCriticalSection(&s_csStartStop);
        return;
    }
    bStopThreads = TRUE;
    bRunning = FALSE;
    // No new control command from here on; one in progress is released by
    // the control channel's Deinit below.
    CCtrlChannel* ctrl = TakeCtrlChannel();

    // The reader and the parser end before any channel is taken down, so
    // that the parser never reaches a channel lock that Deinit deletes and
    // no reader is left on the port (for the crash capture, or the next
    // start). Threads still blocked on their start events are released.
    if (hGetDataStart != NULL) {
        SetEvent(hGetDataStart);
    }
    EndWorker(this, &hGetDataThread, s_getDataThreadId, WakeReader);
    if (hParseDataThread != NULL) {
        if (hParseDataStart != NULL) {
            SetEvent(hParseDataStart);
        }
        SignalDataIn();
        // The flag is set; the parser checks it before each wait.
        EndWorker(this, &hParseDataThread, s_parseDataThreadId, NULL);
    }
    // The parser closes "DataIn" as it ends; a start that failed before the
    // parser ran leaves it to us.
    if (IsOpenHandle(hDataIn)) {
        CloseHandle(hDataIn);
    }
    hDataIn = NULL;
    // A frame the parser was waiting for will not come any more: withdraw
    // its time-out, so that it does not cut the wait of whoever uses the
    // port next.
    if (hTimeOutArm != NULL) {
        ResetEvent(hTimeOutArm);
    }
    if (hTimeOutCancel != NULL) {
        PulseEvent(hTimeOutCancel);
    }

    // Every channel, the control channel (slot 0) last. bRunning is FALSE,
    // so their calls of Release do nothing.
    for (int i = MUX_MAX_CHANNELS - 1; i >= 0; i--) {
        CChannel* channel = channels[i];
        if (channel != NULL) {
            channel->Deinit();
        }
    }

    // The supervision threads read bStopThreads too; a restart must not
    // clear it before they have seen it.
    EndWorker(this, &hRFOKPinThread, s_rfokThreadId, WakeRFOKWatcher);
    EndWorker(this, &hSetDTRThread, s_setDtrThreadId, WakeDTRThread);

    CloseAndClear(&hGetDataStart);
    CloseAndClear(&hParseDataStart);

    if (ctrl != NULL) {
        // Destroyed through its own class, as every channel is: nothing
        // derives from the control channel. Spelled out as destructor and
        // release of the memory, which is what delete does here; a delete
        // expression would draw the compilers' warning about a class with
        // virtual slots and a non-virtual destructor.
        ctrl->~CCtrlChannel();
        ::operator delete(ctrl);
    }

    // csSend stays; a sender that is still inside Send finishes first, and a
    // later one finds no buffer and fails.
    if (s_csSendReady) {
        EnterCriticalSection(&csSend);
    }
    if (pSendBuf != NULL) {
        HeapFree(GetProcessHeap(), 0, pSendBuf);
        pSendBuf = NULL;
    }
    if (s_csSendReady) {
        LeaveCriticalSection(&csSend);
    }
    LeaveCriticalSection(&s_csStartStop);
}

void CDispatcher::Release()
{
    if (bRunning && refCount == 1) {
        Stop();
    }
}

void CDispatcher::Destroy()
{
    if (bStopThreads) {
        return;
    }
    Stop();
    FreeReceiveRing();
    ClosePort();
}

void CDispatcher::ClosePort()
{
    bStopTimeOut = TRUE;
    if (hTimeOutThread != NULL) {
        if (hTimeOutCancel != NULL) {
            SetEvent(hTimeOutCancel);
        }
        if (hTimeOutArm != NULL) {
            SetEvent(hTimeOutArm);
        }
        if (s_timeOutThreadId != GetCurrentThreadId()) {
            WaitForSingleObject(hTimeOutThread, INFINITE);
        }
        CloseHandle(hTimeOutThread);
        hTimeOutThread = NULL;
    }
    CloseAndClear(&hTimeOutArm);
    CloseAndClear(&hTimeOutCancel);
    if (IsOpenHandle(hUART)) {
        CloseHandle(hUART);
    }
    hUART = INVALID_HANDLE_VALUE;
}
