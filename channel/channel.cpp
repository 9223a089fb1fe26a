// CChannel: connection set-up and release of one DLCI, UIH sending under the
// modem's flow control, the receive buffer and the control-octet ring.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "channel/channel.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#include <string.h>

// Wait for the UA that answers a SABM or DISC.
#define MUX_RESPONSE_WAIT_MS 3000
// "MUX3:" is paced after every UIH piece.
#define MUX_PACED_PAUSE_MS 110

CChannel::CChannel(BYTE dlci, LPTHREAD_START_ROUTINE proc, ChannelCleanupHook hook)
{
    // The first channel of a (re)started multiplexer starts from a clean
    // dispatcher: empty table, no references.
    if (!ReadWord(&g_dispatcher.bRunning)) {
        g_dispatcher.Reset();
    }

    frameHeader[0] = MUX_FLAG;
    frameHeader[1] = (BYTE)(((dlci & 0x3F) << 2) | MUX_CR_BIT | MUX_EA_BIT);
    frameHeader[2] = 0;
    frameHeader[3] = MUX_EA_BIT;
    frameHeader[4] = 0;
    frameHeader[5] = MUX_FLAG;

    connected = 0;
    initialized = 0;
    name = NULL;
    paced = FALSE;
    flowEvent = NULL;
    InterlockedExchange(&flowStopped, 0);
    wakeEvent = NULL;
    responseEvent = NULL;
    thread = NULL;
    threadId = 0;
    responseWaiters = 0;
    ctlQueued = 0;
    responseAwaited = 0;
    heldResponse = 0;
    commandEvent = NULL;
    rxHighWater = 0;
    rxLowWater = 0;
    rxFlowWanted = 0;
    rxFlowSent = 0;
    rxFlowSending = 0;
    stopThread = 1;

    rxFrameLength = 0;
    rxSize = 0;
    rxBase = rxRead = rxLast = rxEnd = rxWrite = NULL;
    memset(&rxLock, 0, sizeof(rxLock));
    memset(ctlQueue, 0, sizeof(ctlQueue));
    lastResponse = 0;
    ctlQueueWrite = 0;
    ctlQueueRead = 0;

    txFrame.pHeader = frameHeader;
    txFrame.headerLength = 4;
    txFrame.pData = NULL;
    txFrame.dataLength = 0;
    txFrame.pTrailer = &frameHeader[4];
    txFrame.trailerLength = 2;

    threadProc = proc;
    cleanupHook = hook;
}

CChannel::~CChannel()
{
    if (ReadWord(&initialized)) {
        CChannel::Deinit();
    }
    // Leaves the slot alone when it holds another channel (one whose DLCI
    // this channel failed to take).
    g_dispatcher.UnregisterChannel(this);
}

BOOL CChannel::MarkConnected()
{
    if (InterlockedExchange(&connected, 1) != 0) {
        return FALSE;
    }
    InterlockedIncrement(&g_dispatcher.refCount);
    return TRUE;
}

BOOL CChannel::MarkDisconnected()
{
    if (InterlockedExchange(&connected, 0) == 0) {
        return FALSE;
    }
    InterlockedDecrement(&g_dispatcher.refCount);
    return TRUE;
}

// Undoes what an Init that failed before registration had created: the
// thread (told to stop and waited for), the three events and the lock.
// The channel is left as it was before that Init.
static void ReleasePartialInit(CChannel* ch, BOOL lockReady)
{
    InterlockedExchange(&ch->stopThread, 1);
    g_dispatcher.WaitChannelIdle(ch->Dlci());
    if (ch->thread != NULL) {
        SetEvent(ch->wakeEvent);
        WaitForSingleObject(ch->thread, INFINITE);
        CloseHandle(ch->thread);
        ch->thread = NULL;
        InterlockedExchange((volatile LONG*)&ch->threadId, 0);
    }
    if (ch->wakeEvent != NULL) {
        CloseHandle(ch->wakeEvent);
        ch->wakeEvent = NULL;
    }
    if (ch->responseEvent != NULL) {
        CloseHandle(ch->responseEvent);
        ch->responseEvent = NULL;
    }
    if (ch->flowEvent != NULL) {
        CloseHandle(ch->flowEvent);
        ch->flowEvent = NULL;
    }
    if (lockReady) {
        DeleteCriticalSection(&ch->rxLock);
    }
}

BOOL CChannel::Init()
{
    BOOL lockReady = FALSE;
    BOOL registered = FALSE;

    if (ReadWord(&initialized) == 1) {
        return TRUE;
    }
    ctlQueueRead = 0;
    ctlQueueWrite = 0;
    ctlQueued = 0;
    responseAwaited = 0;
    heldResponse = 0;

    if (!ReadWord(&g_dispatcher.bRunning)) {
        if (!g_dispatcher.Init()) {
            goto failed;
        }
    } else if (g_dispatcher.IsDlciTaken(this)) {
        MuxLog(TEXT("MUX: Channel::Init() for %s -> ERROR, dlci already exist ; Time=%d\r\n"), name,
               GetTickCount());
        return FALSE;
    } else if (ReadWord(&initialized) == 1) {
        MuxLog(TEXT("MUX: Channel::Init() for %s -> ERROR, already initialized ; Time=%d\r\n"), name,
               GetTickCount());
        return FALSE;
    }

    rxRead = rxLast = rxWrite = rxBase;
    rxEnd = rxBase + rxSize;
    // A user channel asks the module to hold its data once three quarters
    // of the buffer are in use, and lets it send again below a quarter: the
    // last quarter takes what was already on its way when the module heard
    // of the hold. The control channel's messages are taken at once; it
    // has no marks.
    if (Dlci() != 0) {
        rxHighWater = (DWORD)rxSize / 4 * 3;
        rxLowWater = (DWORD)rxSize / 4;
    }
    rxFlowWanted = 0;
    rxFlowSent = 0;
    rxFlowSending = 0;

    // The lock and the events exist before stopThread is cleared: a channel
    // still in the table from an earlier Init becomes visible to the
    // receive parser at that moment.
    InitializeCriticalSection(&rxLock);
    lockReady = TRUE;

    wakeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    responseEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    flowEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (wakeEvent == NULL || responseEvent == NULL || flowEvent == NULL) {
        goto failed;
    }

    InterlockedExchange(&stopThread, 0);
    thread = CreateThread(NULL, 0, threadProc, this, 0, &threadId);
    if (thread == NULL) {
        goto failed;
    }

    if (!g_dispatcher.RegisterChannel(this)) {
        goto failed;
    }

    InterlockedExchange(&initialized, 1);
    registered = TRUE;

    if (!SendSABM()) {
        goto failed;
    }
    MarkConnected();
    return TRUE;

failed:
    // A registered channel is released by Deinit (lock included), whether
    // run here or meanwhile by another thread; Deinit does nothing for a
    // channel that never got registered.
    Deinit();
    if (!registered) {
        ReleasePartialInit(this, lockReady);
    }
    return FALSE;
}

void CChannel::Deinit()
{
    // Not beside Stop's walk over the table or another Deinit of this
    // channel. The release of the multiplexer comes after: it may stop it.
    // The control channel comes here only under the start/stop lock (Stop,
    // a failed start): its thread, stopping the multiplexer on CLD or DISC
    // meanwhile, then gives way at that lock instead of waiting for this
    // one while this Deinit waits for it.
    g_dispatcher.EnterChannelDown();
    BOOL wasInitialized = ReadWord(&initialized) != 0;
    if (wasInitialized) {
        TakeDown();
    }
    g_dispatcher.LeaveChannelDown();
    if (wasInitialized) {
        g_dispatcher.Release();
    }
}

void CChannel::TakeDown()
{
    if (ReadWord(&connected)) {
        SendDISC();
        MarkDisconnected();
    }

    InterlockedExchange(&initialized, 0);
    InterlockedExchange(&stopThread, 1);
    InterlockedExchange(&flowStopped, 0);

    if (thread != NULL) {
        SetEvent(wakeEvent);
        // The control channel's thread ends the multiplexer itself and so
        // runs this for its own channel; it cannot wait for itself.
        if ((DWORD)ReadWord((volatile LONG*)&threadId) != GetCurrentThreadId()) {
            WaitForSingleObject(thread, INFINITE);
        }
        CloseHandle(thread);
        thread = NULL;
        InterlockedExchange((volatile LONG*)&threadId, 0);
    }

    // The parser skips a stopped channel, but one that was already
    // delivering keeps its hold until it is done with the lock and events.
    g_dispatcher.WaitChannelIdle(Dlci());

    // Every sender and flow-control waiter still using the events from
    // another thread is released (it finds the channel no longer initialised
    // and fails) and waited for before any event is closed. The events are
    // set again until all are gone: one set releases one waiter, and one that
    // has not begun its wait yet finds the event set.
    while (InterlockedCompareExchange(&responseWaiters, 0, 0) != 0) {
        if (responseEvent != NULL) SetEvent(responseEvent);
        if (flowEvent != NULL) SetEvent(flowEvent);
        if (commandEvent != NULL) SetEvent(commandEvent);
        Sleep(1);
    }

    if (wakeEvent != NULL) {
        CloseHandle(wakeEvent);
        wakeEvent = NULL;
    }
    if (responseEvent != NULL) {
        CloseHandle(responseEvent);
        responseEvent = NULL;
    }
    if (flowEvent != NULL) {
        CloseHandle(flowEvent);
        flowEvent = NULL;
    }

    if (cleanupHook != NULL) {
        cleanupHook(this);
    }

    DeleteCriticalSection(&rxLock);
}

BOOL CChannel::IsNotReady()
{
    return !ReadWord(&g_dispatcher.bRunning) || !ReadWord(&initialized);
}

BOOL CChannel::BeginEventUse()
{
    // Counted first, then checked: a Deinit that cleared `initialized`
    // either is seen here or sees this count (both are ordered by the
    // interlocked operations) and waits for it.
    InterlockedIncrement(&responseWaiters);
    if (ReadWord(&initialized) == 0) {
        InterlockedDecrement(&responseWaiters);
        return FALSE;
    }
    return TRUE;
}

void CChannel::EndEventUse()
{
    // Last use of the channel: a Deinit waiting for this may now close the
    // events and the owner free the channel.
    InterlockedDecrement(&responseWaiters);
}

// Sends a frame without information field with the given control octet and
// waits for the modem's answer; the two messages name the operation.
static BOOL SendCommandAndWait(CChannel* ch, BYTE control, LPCWSTR notUaMessage,
                               LPCWSTR timeOutMessage)
{
    if (!ch->BeginEventUse()) {
        // Deinitialised: its events are closed or about to be.
        MuxLog(timeOutMessage, ch->name, GetTickCount());
        return FALSE;
    }
    // Awaited from before the frame goes out, so that a quick answer is
    // taken; a UA or DM that came while nobody waited has been dropped.
    InterlockedExchange(&ch->responseAwaited, 1);
    EnterCriticalSection(&g_dispatcher.csSend);
    ch->frameHeader[2] = control;
    ch->frameHeader[3] = MUX_EA_BIT;
    ch->CalcFCS(4, &ch->frameHeader[4]);
    ch->txFrame.headerLength = 6;
    ch->txFrame.pData = NULL;
    ch->txFrame.dataLength = 0;
    g_dispatcher.Send(&ch->txFrame);
    LeaveCriticalSection(&g_dispatcher.csSend);

    // A set of responseEvent left over from an answer that came just as an
    // earlier sender gave up does not end this wait: only the hand-over
    // (responseAwaited back to 0) does.
    DWORD start = GetTickCount();
    for (;;) {
        if (InterlockedCompareExchange(&ch->responseAwaited, 1, 1) == 0 || ReadWord(&ch->initialized) != 1) {
            break;
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= MUX_RESPONSE_WAIT_MS) {
            break;
        }
        WaitForSingleObject(ch->responseEvent, MUX_RESPONSE_WAIT_MS - spent);
    }
    BOOL answered = InterlockedExchange(&ch->responseAwaited, 0) == 0;

    BOOL result = FALSE;
    if (answered && ReadWord(&ch->initialized) == 1) {
        if (ch->lastResponse == MUX_CTL_UA) {
            result = TRUE;
        } else {
            MuxLog(notUaMessage, ch->name, GetTickCount());
        }
    } else {
        MuxLog(timeOutMessage, ch->name, GetTickCount());
    }
    ch->EndEventUse();
    return result;
}

BOOL CChannel::SendSABM()
{
    return SendCommandAndWait(this, MUX_CTL_SABM,
                              TEXT("MUX: CChannel::SendSABM() for %s -> ERROR, not UA resp ; Time=%d\r\n"),
                              TEXT("MUX: CChannel::SendSABM() for %s -> ERROR, time out ; Time=%d\r\n"));
}

BOOL CChannel::SendDISC()
{
    // With GSM_RF_OK low the module is gone: there is nobody to answer.
    if (!g_dispatcher.GetRFOKPinState()) {
        return TRUE;
    }
    return SendCommandAndWait(this, MUX_CTL_DISC,
                              TEXT("MUX: CChannel::SendDISC() for %s -> ERROR, not UA resp ; Time=%d\r\n"),
                              TEXT("MUX: CChannel::SendDISC() for %s -> ERROR, time out ; Time=%d\r\n"));
}

void CChannel::SendUA()
{
    EnterCriticalSection(&g_dispatcher.csSend);
    // A response carries C/R = 0, for this one frame only.
    frameHeader[1] &= (BYTE)~MUX_CR_BIT;
    frameHeader[2] = MUX_CTL_UA;
    frameHeader[3] = MUX_EA_BIT;
    CalcFCS(4, &frameHeader[4]);
    txFrame.headerLength = 6;
    txFrame.pData = NULL;
    txFrame.dataLength = 0;
    g_dispatcher.Send(&txFrame);
    frameHeader[1] |= MUX_CR_BIT;
    LeaveCriticalSection(&g_dispatcher.csSend);
}

LONG CChannel::SendUIH(const BYTE* data, DWORD length)
{
    DWORD left = length;
    const BYTE* p = data;

    for (;;) {
        WaitForFlow();

        DWORD chunk = left < MUX_MAX_INFO ? left : MUX_MAX_INFO;

        EnterCriticalSection(&g_dispatcher.csSend);
        frameHeader[3] = (BYTE)((chunk << 1) | MUX_EA_BIT);
        frameHeader[2] = MUX_CTL_UIH;
        CalcFCS(4, &frameHeader[4]);
        txFrame.headerLength = 4;
        txFrame.pData = p;
        txFrame.dataLength = (LONG)chunk;
        if (ReadWord(&connected) == 0) {
            MuxLog(TEXT("MUX: CChannel::SendUIH() for %s -> ERROR, cannel is disconnected ; Time=%d\r\n"),
                   name, GetTickCount());
            SetLastError(ERROR_NOT_READY);
            LeaveCriticalSection(&g_dispatcher.csSend);
            return -1;
        }
        // A hold that came while this piece waited for the lock: the
        // modem's answer to it may already be on the line, and no data of
        // the held DLCI may follow that answer.
        if (Dlci() != 0 && ReadWord(&initialized) == 1 && TransmitHeld()) {
            LeaveCriticalSection(&g_dispatcher.csSend);
            continue;
        }
        LONG sent = g_dispatcher.Send(&txFrame);
        LeaveCriticalSection(&g_dispatcher.csSend);

        if (chunk == 0 || sent != (LONG)chunk) {
            MuxLog(TEXT("MUX: CChannel::SendUIH() for %s -> ERROR, time-out ; Time=%d\r\n"), name,
                   GetTickCount());
            SetLastError(ERROR_NOT_READY);
            return -1;
        }

        if (paced) {
            Sleep(MUX_PACED_PAUSE_MS);
        }

        left -= chunk;
        p += chunk;
        if (left == 0) {
            return (LONG)length;
        }
    }
}

void CChannel::SetName(const WCHAR* channelName)
{
    name = channelName;
    paced = channelName != NULL && wcscmp(channelName, TEXT("MUX3:")) == 0;
}

void CChannel::WakeThread()
{
    SetEvent(wakeEvent);
}

DWORD CChannel::GetRxCount()
{
    EnterCriticalSection(&rxLock);
    DWORD count = (DWORD)(rxWrite - rxRead);
    LeaveCriticalSection(&rxLock);
    return count;
}

BOOL CChannel::QueueControlOctet(BYTE control)
{
    // Only the receive parser queues, only the channel thread takes; the
    // count is changed last by the one and first read by the other.
    if (InterlockedCompareExchange(&ctlQueued, 0, 0) >= MUX_CTL_QUEUE_SIZE) {
        BYTE withPF = (BYTE)(control | MUX_PF_BIT);
        if (withPF != MUX_CTL_UA && withPF != MUX_CTL_DM) {
            return FALSE;
        }
        // A burst of frames before the answer must not cost the answer.
        InterlockedExchange(&heldResponse, 0x100 | control);
        return TRUE;
    }
    DWORD slot = (DWORD)ctlQueueWrite % MUX_CTL_QUEUE_SIZE;
    ctlQueue[slot] = control;
    ctlQueueWrite = (LONG)((slot + 1) % MUX_CTL_QUEUE_SIZE);
    InterlockedIncrement(&ctlQueued);
    return TRUE;
}

BOOL CChannel::TakeControlOctet(BYTE* control)
{
    if (InterlockedCompareExchange(&ctlQueued, 0, 0) <= 0) {
        LONG held = InterlockedExchange(&heldResponse, 0);
        if (held == 0) {
            return FALSE;
        }
        *control = (BYTE)(held & 0xFF);
        return TRUE;
    }
    DWORD slot = (DWORD)ctlQueueRead % MUX_CTL_QUEUE_SIZE;
    *control = ctlQueue[slot];
    ctlQueueRead = (LONG)((slot + 1) % MUX_CTL_QUEUE_SIZE);
    InterlockedDecrement(&ctlQueued);
    return TRUE;
}

BOOL CChannel::NoteResponse(BYTE control)
{
    BYTE withPF = (BYTE)(control | MUX_PF_BIT);
    if (withPF != MUX_CTL_UA && withPF != MUX_CTL_DM) {
        return FALSE;
    }
    // Only this channel's thread stores lastResponse, and only while a
    // sender awaits it; the sender reads it once the hand-over is done.
    if (InterlockedCompareExchange(&responseAwaited, 1, 1) == 1) {
        lastResponse = control;
        if (InterlockedCompareExchange(&responseAwaited, 0, 1) == 1) {
            SetEvent(responseEvent);
            return TRUE;
        }
    }
    MuxLog(TEXT("MUX: CChannel::NoteResponse() for %s -> ERROR, Receive a response, but not waiting for it (0x%x) ; Time=%d\r\n"),
           name, (unsigned)control, (int)GetTickCount());
    return TRUE;
}

// The template is flag, address, control, length, FCS, flag: the FCS covers
// the octets between the opening flag and `fcs` (address, control, length).
void CChannel::CalcFCS(int headerLength, BYTE* fcs)
{
    fcs[0] = ComputeFCS(&frameHeader[1], headerLength - 1);
    fcs[1] = MUX_FLAG;
}
