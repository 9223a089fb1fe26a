// CDispatcher: start-up of the multiplexer (construction, Reset, Init).
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher/lifecycle.h"
#include "channel/channel.h"
#include "channel/ctrl_channel.h"
#include "modem/lines.h"
#include "modem/crash.h"
#include "diag/log.h"

#include <string.h>

// Process-wide values that belong to the dispatcher. Defined before the
// dispatcher itself, whose constructor sets hUART again through Reset.
HANDLE hUART = INVALID_HANDLE_VALUE;

CDispatcher g_dispatcher;

CRITICAL_SECTION g_csStartStop;
volatile LONG g_startGeneration = 0;
BOOL g_csSendReady = FALSE;
WorkerThreadIds g_workerIds = {0, 0, 0, 0, 0};

#define UART_BAUD_HANDSHAKE 115200
#define UART_BAUD_MUX 460800
#define HANDSHAKE_BUF_SIZE 128
#define CMUX_PORT_SPEED 7  // 460800 bit/s
#define DRAIN_PAUSE_MS 500
#define DRAIN_READ_SIZE 128
#define SETTLE_PAUSE_MS 2000
#define WRITE_MS_PER_OCTET 10

BOOL IsOpenHandle(HANDLE h)
{
    return h != NULL && h != INVALID_HANDLE_VALUE;
}

void CloseAndClear(HANDLE* h)
{
    if (*h != NULL) {
        CloseHandle(*h);
        *h = NULL;
    }
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
    InitializeCriticalSection(&g_csStartStop);
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
    EnterCriticalSection(&g_csStartStop);
    // A channel constructed while Init ran found the dispatcher not running
    // and waited here for the start to end: the multiplexer that has just
    // started is not to be forgotten.
    if (!bRunning) {
        ResetMembers(this);
    }
    LeaveCriticalSection(&g_csStartStop);
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
    d->flowOff = 0;
    for (int i = 0; i < MUX_MAX_CHANNELS; i++) {
        d->channels[i] = NULL;
    }
    d->heldLineErrors = 0;
    hUART = INVALID_HANDLE_VALUE;
}

// The send lock (once per process) and the transmit buffer of 134 octets.
static BOOL AllocateTransmitBuffer(CDispatcher* d)
{
    if (!g_csSendReady) {
        InitializeCriticalSection(&d->csSend);
        g_csSendReady = TRUE;
    }
    EnterCriticalSection(&d->csSend);
    if (d->pSendBuf == NULL) {
        d->pSendBuf = (BYTE*)HeapAlloc(GetProcessHeap(), 0, MUX_SEND_BUF_SIZE);
    }
    d->sendLength = 0;
    LeaveCriticalSection(&d->csSend);
    return d->pSendBuf != NULL;
}

// "DataIn", auto-reset, not signalled.
static BOOL CreateDataIn()
{
    if (IsOpenHandle(hDataIn)) {
        CloseHandle(hDataIn);
    }
    hDataIn = CreateEventW(NULL, FALSE, FALSE, TEXT("DataIn"));
    return hDataIn != NULL;
}

// The time-out events (kept across a stop), the start events of the reader
// and the parser, and the three threads; the reader and the parser block on
// their start events, the time-out thread (created once) on its arm event.
static BOOL CreateWorkers(CDispatcher* d)
{
    InterlockedExchange(&d->bStopThreads, FALSE);
    InterlockedExchange(&d->bStopTimeOut, FALSE);
    if (d->hTimeOutArm == NULL) {
        d->hTimeOutArm = CreateEventW(NULL, FALSE, FALSE, NULL);
    }
    if (d->hTimeOutCancel == NULL) {
        d->hTimeOutCancel = CreateEventW(NULL, FALSE, FALSE, NULL);
    }
    d->hGetDataStart = CreateEventW(NULL, TRUE, FALSE, NULL);
    d->hParseDataStart = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (d->hTimeOutArm == NULL || d->hTimeOutCancel == NULL || d->hGetDataStart == NULL ||
        d->hParseDataStart == NULL) {
        return FALSE;
    }
    d->hGetDataThread =
        CreateThread(NULL, 0, CDispatcher::GetDataThread, d, 0, &g_workerIds.getData);
    d->hParseDataThread =
        CreateThread(NULL, 0, CDispatcher::ParseDataThread, d, 0, &g_workerIds.parseData);
    if (d->hTimeOutThread == NULL) {
        d->hTimeOutThread =
            CreateThread(NULL, 0, CDispatcher::TimeOutThread, d, 0, &g_workerIds.timeOut);
    }
    return d->hGetDataThread != NULL && d->hParseDataThread != NULL && d->hTimeOutThread != NULL;
}

// The crash watcher and the DTR thread.
static BOOL StartSupervision(CDispatcher* d)
{
    d->hRFOKPinThread = CreateThread(NULL, 0, CDispatcher::RFOKPinThread, d, 0, &g_workerIds.rfok);
    if (d->hRFOKPinThread == NULL) {
        return FALSE;
    }
    d->hSetDTRThread = CreateThread(NULL, 0, CDispatcher::SetDTRThread, d, 0, &g_workerIds.setDtr);
    return d->hSetDTRThread != NULL;
}

// "COM9:", unless a stopped multiplexer left it open.
static BOOL OpenPort()
{
    if (IsOpenHandle(hUART)) {
        return TRUE;
    }
    hUART = CreateFileW(TEXT("COM9:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (!IsOpenHandle(hUART)) {
        hUART = INVALID_HANDLE_VALUE;
        MuxLog(TEXT("MUX: CreateFile() for COM1 fail\r\n"));
        return FALSE;
    }
    return TRUE;
}

// 115200 bit/s, no flow control, DTR and RTS held on; the events of
// interest; reads that return at once with what has arrived, 10 ms per
// octet written.
static BOOL ConfigurePort()
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

    if (!SetCommMask(hUART, UART_EVENT_MASK)) {
        return FALSE;
    }

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = WRITE_MS_PER_OCTET;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(hUART, &timeouts);
    return TRUE;
}

// AT+CMUX under the response time-out. A failed switch is only reported:
// start-up goes on.
static void SwitchToMultiplexer(CDispatcher* d)
{
    BYTE command[HANDSHAKE_BUF_SIZE];
    memset(command, 0, sizeof(command));
    DWORD length = ReadCmuxCommand(command, sizeof(command));
    if (length == 0) {
        length = FormatCmuxCommand(command, CMUX_PORT_SPEED);
    }
    BYTE answer[HANDSHAKE_BUF_SIZE];
    if (d->ExchangeAT(command, length, "OK", answer, sizeof(answer))) {
        MuxLog(TEXT("MUX: CDispatcher::Init() -> GSM0710 Initialization OK ; Time=%d\r\n"),
               (int)GetTickCount());
    } else {
        MuxLog(TEXT("MUX: CDispatcher::Init() -> GSM0710 Initialization Fail ; Time=%d\r\n"),
               (int)GetTickCount());
    }
    PulseEvent(d->hTimeOutCancel);
}

// 460800 bit/s, or the configured speed; what arrives meanwhile (the rest
// of the answer) is discarded.
static void RaiseSpeedAndDrain()
{
    BYTE drain[DRAIN_READ_SIZE];
    DWORD count = 0;
    SetBaudRate(ReadCmuxBaudRate(UART_BAUD_MUX));
    Sleep(DRAIN_PAUSE_MS);
    ReadFile(hUART, drain, DRAIN_READ_SIZE, &count, NULL);
    Sleep(SETTLE_PAUSE_MS);
}

// Running: the reader and the parser are released. bRunning comes first, so
// that the control channel's own initialisation does not start a second
// multiplexer.
static void StartReceivePath(CDispatcher* d)
{
    InterlockedExchange(&d->bRunning, TRUE);
    SetEvent(d->hGetDataStart);
    SetEvent(d->hParseDataStart);
}

// The control channel connects DLCI 0 while it is constructed.
static BOOL ConnectControlChannel(CDispatcher* d)
{
    d->pCtrlChannel = new CCtrlChannel(0);
    return d->pCtrlChannel != NULL && !d->pCtrlChannel->IsNotReady();
}

BOOL CDispatcher::Init()
{
    EnterCriticalSection(&g_csStartStop);
    // Another caller may have brought the multiplexer up while this one
    // waited for the lock (a restart by I/O control meeting a channel's
    // start-up): a second start would put a second reader on the port.
    if (bRunning) {
        LeaveCriticalSection(&g_csStartStop);
        return TRUE;
    }
    InterlockedIncrement(&g_startGeneration);
    // A new multiplexer session: no FCoff of the last one is in force.
    InterlockedExchange(&flowOff, 0);
    // A crash log's reader still on the port leaves it: the module is reset
    // below, and the port gets one reader, the multiplexer's.
    EndATAReader();

    BOOL ok = AllocateTransmitBuffer(this) && PrepareReceiveRing() && CreateDataIn() &&
              CreateWorkers(this) && ModuleReset() && StartSupervision(this) && OpenPort() &&
              ConfigurePort();
    if (ok) {
        SwitchToMultiplexer(this);
        RaiseSpeedAndDrain();
        StartReceivePath(this);
        ok = ConnectControlChannel(this);
    }
    if (!ok) {
        Destroy();
        MuxLog(TEXT("MUX: CDispatcher::Init() -> Fail ; Time=%d\r\n"), (int)GetTickCount());
        LeaveCriticalSection(&g_csStartStop);
        return FALSE;
    }
    MuxLog(TEXT("MUX: CDispatcher::Init() -> OK ; Time=%d\r\n"), (int)GetTickCount());
    LeaveCriticalSection(&g_csStartStop);
    return TRUE;
}
