// CUserChannel: receive buffer sized by type and name, the service
// negotiation of a data channel, and the thread that accepts the modem's
// SABM and DISC and turns received data into the EV_RXCHAR event.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#include <stddef.h>
#include <string.h>

namespace {

// The name of a channel built without one, or whose copy could not be
// allocated: log lines and name comparisons always have a string to use.
const WCHAR kNoName[] = {'?', 0};

DWORD WINAPI UserChannelBody(LPVOID arg);

LONG RxSizeFor(DWORD type, LPCWSTR deviceName)
{
    if (type != 0) {
        return MUX_USER_RX_SIZE_TYPE1;
    }
    if (deviceName != NULL && wcscmp(deviceName, TEXT("MUX2:")) == 0) {
        return MUX_USER_RX_SIZE_DATA;
    }
    return MUX_USER_RX_SIZE;
}

// A heap copy of the name with its terminator, or the constant "?".
const WCHAR* CopyName(LPCWSTR deviceName)
{
    if (deviceName == NULL) {
        return kNoName;
    }
    size_t units = wcslen(deviceName) + 1;
    WCHAR* copy = (WCHAR*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, units * sizeof(WCHAR));
    if (copy == NULL) {
        return kNoName;
    }
    memcpy(copy, deviceName, units * sizeof(WCHAR));
    return copy;
}

}  // namespace

CUserChannel::CUserChannel(BYTE dlci, DWORD type, LPCWSTR deviceName)
    : CChannel(dlci, UserChannelThread, Cleanup)
{
    memset(&dcb, 0, sizeof(dcb));
    memset(&timeouts, 0, sizeof(timeouts));
    channelType = type;

    rxSize = RxSizeFor(type, deviceName);
    // A failed allocation is tried again by Init.
    rxBase = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)rxSize);
    SetName(CopyName(deviceName));

    commEvents = 0;
    commMask = 0;
    waitAborted = 0;
    commEvent = NULL;
    eventWaiters = 0;
    eventWaitClosed = 0;
    maskChanges = 0;

    CUserChannel::Init();
}

CUserChannel::~CUserChannel()
{
    // A client waiting for communication events returns without events.
    if (commEvent != NULL) {
        waitAborted = 1;
        SetEvent(commEvent);
    }
    // The base class's part first: afterwards neither the channel's thread
    // nor the receive parser can reach what is released below.
    if (ReadWord(&initialized)) {
        CChannel::Deinit();
    }
    g_dispatcher.UnregisterChannel(this);

    if (commEvent != NULL) {
        ReleaseEventWaiters();
        CloseHandle(commEvent);
        commEvent = NULL;
    }
    if (name != NULL && name != kNoName) {
        HeapFree(GetProcessHeap(), 0, (LPVOID)name);
    }
    name = NULL;
    if (rxBase != NULL) {
        HeapFree(GetProcessHeap(), 0, rxBase);
        rxBase = NULL;
    }
}

void CUserChannel::ReleaseEventWaiters()
{
    if (commEvent == NULL) {
        return;
    }
    InterlockedExchange(&eventWaitClosed, 1);
    InterlockedExchange(&waitAborted, 1);
    // One set releases one waiter; one that has not begun its wait yet
    // finds the event set.
    while (InterlockedCompareExchange(&eventWaiters, 0, 0) != 0) {
        SetEvent(commEvent);
        Sleep(1);
    }
}

BOOL CUserChannel::Init()
{
    if (rxBase == NULL) {
        rxBase = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)rxSize);
        if (rxBase == NULL) {
            goto fail;
        }
    }
    if (commEvent == NULL) {
        commEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
        if (commEvent == NULL) {
            goto fail;
        }
    } else {
        // The release of the waiters by the last Deinit is over: a wait
        // on the restarted channel waits for new events.
        ResetEvent(commEvent);
    }
    if (!CChannel::Init()) {
        goto fail;
    }
    // A data channel is usable only once the modem has agreed to carry the
    // data service on it.
    if (channelType == 0 && !g_dispatcher.NegotiateService(Dlci())) {
        goto fail;
    }
    return TRUE;

fail:
    if (ReadWord(&initialized)) {
        Deinit();  // sends DISC when the DLCI was connected
    }
    return FALSE;
}

// Runs in Deinit once the channel's thread has ended: a client waiting for
// events would otherwise wait for a thread that no longer pulses. It finds
// stopThread set and fails. The event stays set for a client that was
// about to wait.
BOOL CUserChannel::Cleanup(CChannel* channel)
{
    CUserChannel* user = (CUserChannel*)channel;
    if (user->commEvent != NULL) {
        SetEvent(user->commEvent);
    }
    return TRUE;
}

DWORD WINAPI CUserChannel::UserChannelThread(LPVOID channel)
{
    return RunGuarded(ChannelExceptionGuard, TEXT("UserChannelThread"), UserChannelBody, channel);
}

namespace {

// The thread's reaction to one control octet taken from the ring.
void HandleControlOctet(CUserChannel* ch, BYTE x)
{
    switch ((BYTE)(x | MUX_PF_BIT)) {
    case MUX_CTL_DM:
    case MUX_CTL_UA:
        ch->NoteResponse(x);
        break;
    case MUX_CTL_SABM:
        // The modem connects the DLCI itself: it counts as a connected
        // channel like one we connected.
        ch->MarkConnected();
        ch->SendUA();
        ResetEvent(ch->commEvent);
        // A DLCI connected afresh starts without a hold on its data: if
        // the buffer is still full, the module is told again.
        ch->RestartReceiveFlow();
        break;
    case MUX_CTL_DISC:
        ch->MarkDisconnected();
        ch->SendUA();
        // A client waiting for events would wait for ever: no data comes on
        // a disconnected DLCI, and the gate refuses its own mask change.
        // Released, it finds the DLCI disconnected, and releases the next
        // client waiting on the port.
        SetEvent(ch->commEvent);
        break;
    case MUX_CTL_UIH_PF:
        InterlockedExchange(&ch->commEvents, EV_RXCHAR);
        // Set, not pulsed: a client between its look at commEvents and its
        // wait would miss a pulse and sleep until the next frame (for the
        // last frame of a transfer, for ever). The wait takes a set it has
        // no news for as nothing.
        SetEvent(ch->commEvent);
        break;
    default:
        break;
    }
}

DWORD WINAPI UserChannelBody(LPVOID arg)
{
    CUserChannel* ch = (CUserChannel*)arg;
    CeSetThreadPriority(GetCurrentThread(), MUX_USER_THREAD_PRIORITY);

    while (ReadWord(&ch->stopThread) == 0) {
        WaitForSingleObject(ch->wakeEvent, INFINITE);
        // Every octet queued so far is taken on this wake; the wake event is
        // never reset here, so a wake that came in meanwhile stays pending.
        BOOL tookAny = FALSE;
        BYTE x;
        while (ReadWord(&ch->stopThread) == 0 && ch->TakeControlOctet(&x)) {
            tookAny = TRUE;
            HandleControlOctet(ch, x);
        }
        // A wake with nothing queued: octets put into the buffer without a
        // frame (a data call's termination). The client hears of them as of
        // a received frame.
        if (!tookAny && ReadWord(&ch->stopThread) == 0 && ch->GetRxCount() != 0) {
            HandleControlOctet(ch, MUX_CTL_UIH_PF);
        }
    }
    return 0;
}

}  // namespace
