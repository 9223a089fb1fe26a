// CDispatcher: shutdown of the multiplexer (Stop, Release, Destroy,
// ClosePort).
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher/lifecycle.h"
#include "channel/channel.h"
#include "channel/ctrl_channel.h"
#include "modem/lines.h"
#include "modem/crash.h"
#include "diag/log.h"

// How often Stop repeats the wake-up of a worker thread that has not yet
// reached the wait the wake-up is meant for.
#define STOP_RETRY_MS 50

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

// Reads each channel under the DLCI hold of the receive parser: a Stop
// running elsewhere deinitialises and its owner frees the channel only after
// the hold is gone.
static BOOL IsChannelThread(CDispatcher* d, DWORD threadId)
{
    BOOL found = FALSE;
    for (int i = 0; i < MUX_MAX_CHANNELS && !found; i++) {
        InterlockedIncrement(&d->channelInUse[i]);
        CChannel* channel = d->channels[i];
        if (channel != NULL && (DWORD)ReadWord((volatile LONG*)&channel->threadId) == threadId) {
            found = TRUE;
        }
        InterlockedDecrement(&d->channelInUse[i]);
    }
    return found;
}

// Only one caller stops. A second one (the control channel's thread ending
// on CLD while an I/O control stops, say) returns once the first is done.
// The stopping thread itself never comes back here: the channels' calls of
// Release find bRunning FALSE. A channel's own thread (the control
// channel's, on CLD or DISC) must not block here: the Stop in progress may
// be waiting in that channel's Deinit for this very thread to end. TRUE with
// the start/stop lock held when this caller is the one to stop.
static BOOL EnterStop(CDispatcher* d)
{
    LONG generation = g_startGeneration;
    if (IsChannelThread(d, GetCurrentThreadId())) {
        if (!TryEnterCriticalSection(&g_csStartStop)) {
            return FALSE;
        }
    } else {
        EnterCriticalSection(&g_csStartStop);
    }
    if (ReadWord(&d->bStopThreads) || generation != g_startGeneration) {
        LeaveCriticalSection(&g_csStartStop);
        return FALSE;
    }
    return TRUE;
}

// The reader and the parser end before any channel is taken down, so that
// the parser never reaches a channel lock that Deinit deletes and no reader
// is left on the port (for the crash capture, or the next start). Threads
// still blocked on their start events are released.
static void StopReceivePath(CDispatcher* d)
{
    if (d->hGetDataStart != NULL) {
        SetEvent(d->hGetDataStart);
    }
    EndWorker(d, &d->hGetDataThread, g_workerIds.getData, WakeReader);
    if (d->hParseDataThread != NULL) {
        if (d->hParseDataStart != NULL) {
            SetEvent(d->hParseDataStart);
        }
        SignalDataIn();
        // The flag is set; the parser checks it before each wait.
        EndWorker(d, &d->hParseDataThread, g_workerIds.parseData, NULL);
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
    if (d->hTimeOutArm != NULL) {
        ResetEvent(d->hTimeOutArm);
    }
    if (d->hTimeOutCancel != NULL) {
        PulseEvent(d->hTimeOutCancel);
    }
}

// Every channel, the control channel (slot 0) last. bRunning is FALSE, so
// their calls of Release do nothing.
static void DeinitChannels(CDispatcher* d)
{
    d->EnterChannelDown();
    for (int i = MUX_MAX_CHANNELS - 1; i >= 0; i--) {
        CChannel* channel = d->channels[i];
        if (channel != NULL) {
            channel->Deinit();
        }
    }
    d->LeaveChannelDown();
}

// The supervision threads read bStopThreads too; a restart must not clear it
// before they have seen it.
static void StopSupervision(CDispatcher* d)
{
    EndWorker(d, &d->hRFOKPinThread, g_workerIds.rfok, WakeRFOKWatcher);
    EndWorker(d, &d->hSetDTRThread, g_workerIds.setDtr, WakeDTRThread);
}

// Destroyed through its own class, as every channel is: nothing derives from
// the control channel. Spelled out as destructor and release of the memory,
// which is what delete does here; a delete expression would draw the
// compilers' warning about a class with virtual slots and a non-virtual
// destructor.
static void DestroyCtrlChannel(CCtrlChannel* ctrl)
{
    if (ctrl != NULL) {
        ctrl->~CCtrlChannel();
        ::operator delete(ctrl);
    }
}

// csSend stays; a sender that is still inside Send finishes first, and a
// later one finds no buffer and fails.
static void FreeTransmitBuffer(CDispatcher* d)
{
    if (g_csSendReady) {
        EnterCriticalSection(&d->csSend);
    }
    if (d->pSendBuf != NULL) {
        HeapFree(GetProcessHeap(), 0, d->pSendBuf);
        d->pSendBuf = NULL;
    }
    if (g_csSendReady) {
        LeaveCriticalSection(&d->csSend);
    }
}

void CDispatcher::Stop()
{
    if (!EnterStop(this)) {
        return;
    }
    InterlockedExchange(&bStopThreads, TRUE);
    InterlockedExchange(&bRunning, FALSE);
    // No new control command from here on; one in progress is released by
    // the control channel's Deinit below.
    CCtrlChannel* ctrl = TakeCtrlChannel();

    StopReceivePath(this);
    DeinitChannels(this);
    StopSupervision(this);
    CloseAndClear(&hGetDataStart);
    CloseAndClear(&hParseDataStart);
    DestroyCtrlChannel(ctrl);
    FreeTransmitBuffer(this);
    LeaveCriticalSection(&g_csStartStop);
}

void CDispatcher::Release()
{
    if (ReadWord(&bRunning) && refCount == 1) {
        Stop();
    }
}

void CDispatcher::Destroy()
{
    if (ReadWord(&bStopThreads)) {
        return;
    }
    Stop();
    FreeReceiveRing();
    ClosePort();
}

void CDispatcher::ClosePort()
{
    // A crash log's reader leaves the port before it is closed.
    EndATAReader();
    InterlockedExchange(&bStopTimeOut, TRUE);
    if (hTimeOutThread != NULL) {
        if (hTimeOutCancel != NULL) {
            SetEvent(hTimeOutCancel);
        }
        if (hTimeOutArm != NULL) {
            SetEvent(hTimeOutArm);
        }
        if (g_workerIds.timeOut != GetCurrentThreadId()) {
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
