// The dispatcher's table of channels, indexed by DLCI, and the operations
// the channels and the control channel perform on it.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "dispatcher/dispatcher.h"
#include "channel/channel.h"
#include "channel/ctrl_channel.h"

BOOL CDispatcher::RegisterChannel(CChannel* channel)
{
    BYTE dlci = channel->Dlci();
    if (channels[dlci] != NULL && channels[dlci] != channel) {
        return FALSE;
    }
    channels[dlci] = channel;
    return TRUE;
}

// Taking channels down, one at a time: Stop's walk over the table, the body
// of every channel's Deinit, and the emptying of a slot. Without it a Stop
// (the control channel's thread on CLD) could call Deinit on a channel that
// its owner is deinitialising or has just freed (an instance whose start-up
// failed, or one being removed). Recursive: the walk's own Deinit calls
// enter it again.
static CRITICAL_SECTION s_csChannelDown;

void CDispatcher::EnterChannelDown()
{
    EnterCriticalSection(&s_csChannelDown);
}

void CDispatcher::LeaveChannelDown()
{
    LeaveCriticalSection(&s_csChannelDown);
}

// Empties the slot only when it holds this channel: a channel that failed to
// take its DLCI must not make the live channel on it unreachable.
BOOL CDispatcher::UnregisterChannel(CChannel* channel)
{
    BYTE dlci = channel->Dlci();
    EnterChannelDown();
    if (channels[dlci] != channel) {
        LeaveChannelDown();
        return FALSE;
    }
    channels[dlci] = NULL;
    LeaveChannelDown();
    // The channel's owner frees it next: let the parser finish any step it
    // began on it before the slot was emptied.
    WaitChannelIdle(dlci);
    return TRUE;
}

BOOL CDispatcher::ReinitChannels()
{
    for (int dlci = 1; dlci < MUX_MAX_CHANNELS; dlci++) {
        CChannel* channel = channels[dlci];
        if (channel != NULL) {
            channel->Init();
        }
    }
    CChannel* ctrl = channels[0];
    return ctrl != NULL && !ctrl->IsNotReady();
}

BOOL CDispatcher::IsDlciTaken(CChannel* channel)
{
    CChannel* holder = channels[channel->Dlci()];
    return holder != NULL && holder != channel;
}

// Senders of control commands go through here one at a time, so that the
// command lock of the control channel is never contended by a second sender:
// a sender that found the channel holds that lock within moments. Stop waits
// for exactly that (s_ctrlEntering back to 0) before the channel is torn
// down; from then on every sender of this channel either holds its command
// lock (the channel's teardown releases it and waits for it to leave) or
// finds pCtrlChannel NULL. No sender can reach a deleted lock or channel.
static CRITICAL_SECTION s_csForward;
static volatile LONG s_ctrlEntering = 0;

void CDispatcher::InitForwarding()
{
    InitializeCriticalSection(&s_csForward);
    InitializeCriticalSection(&s_csChannelDown);
}

CCtrlChannel* CDispatcher::TakeCtrlChannel()
{
    CCtrlChannel* ctrl = pCtrlChannel;
    pCtrlChannel = NULL;
    // The interlocked read orders it after the store above.
    while (InterlockedCompareExchange(&s_ctrlEntering, 0, 0) != 0) {
        Sleep(1);
    }
    return ctrl;
}

// Returns the control channel with its command lock held, or NULL.
static CCtrlChannel* EnterCtrlChannel(CDispatcher* d)
{
    EnterCriticalSection(&s_csForward);
    InterlockedIncrement(&s_ctrlEntering);
    CCtrlChannel* ctrl = d->pCtrlChannel;
    if (ctrl != NULL) {
        EnterCriticalSection(&ctrl->cmdLock);
    }
    InterlockedDecrement(&s_ctrlEntering);
    if (ctrl == NULL) {
        LeaveCriticalSection(&s_csForward);
    }
    return ctrl;
}

static void LeaveCtrlChannel(CCtrlChannel* ctrl)
{
    LeaveCriticalSection(&ctrl->cmdLock);
    LeaveCriticalSection(&s_csForward);
}

BOOL CDispatcher::NegotiateService(BYTE dlci)
{
    CCtrlChannel* ctrl = EnterCtrlChannel(this);
    if (ctrl == NULL) {
        return FALSE;
    }
    BOOL result = ctrl->SendSNC(dlci);
    LeaveCtrlChannel(ctrl);
    return result;
}

BOOL CDispatcher::QueryModemStatus(BYTE dlci, DWORD* status)
{
    CCtrlChannel* ctrl = EnterCtrlChannel(this);
    if (ctrl == NULL) {
        if (status != NULL) *status = 0;
        return FALSE;
    }
    BOOL result = ctrl->SendMSC(dlci, status);
    LeaveCtrlChannel(ctrl);
    return result;
}

// Both run on the control channel's thread. They hold the DLCI as the
// receive parser does, so that the channel's owner frees it, and its Deinit
// (which waits for the hold after it has set stopThread) closes flowEvent,
// only after them; a channel on its way down gets no SetEvent.
static CChannel* HoldForFlow(CDispatcher* d, BYTE dlci)
{
    InterlockedIncrement(&d->channelInUse[dlci]);
    CChannel* channel = d->channels[dlci];
    if (channel == NULL) {
        InterlockedDecrement(&d->channelInUse[dlci]);
    }
    return channel;
}

void CDispatcher::StopFlow(BYTE dlci)
{
    dlci &= 0x3F;
    CChannel* channel = HoldForFlow(this, dlci);
    if (channel != NULL) {
        InterlockedExchange(&channel->flowStopped, 1);
        InterlockedDecrement(&channelInUse[dlci]);
    }
}

// A sender waiting for the flow looks at the flags again when it is woken:
// they are cleared before the wake.
static void WakeFlowWaiter(CChannel* channel)
{
    if (ReadWord(&channel->stopThread) == 0 && channel->flowEvent != NULL) {
        SetEvent(channel->flowEvent);
    }
}

void CDispatcher::ResumeFlow(BYTE dlci)
{
    dlci &= 0x3F;
    CChannel* channel = HoldForFlow(this, dlci);
    if (channel != NULL) {
        if (InterlockedExchange(&channel->flowStopped, 0) != 0) {
            WakeFlowWaiter(channel);
        }
        InterlockedDecrement(&channelInUse[dlci]);
    }
}

void CDispatcher::StopAllFlow()
{
    InterlockedExchange(&flowOff, 1);
}

void CDispatcher::ResumeAllFlow()
{
    if (InterlockedExchange(&flowOff, 0) == 0) {
        return;
    }
    for (BYTE dlci = 1; dlci < MUX_MAX_CHANNELS; dlci++) {
        CChannel* channel = HoldForFlow(this, dlci);
        if (channel != NULL) {
            WakeFlowWaiter(channel);
            InterlockedDecrement(&channelInUse[dlci]);
        }
    }
}

BOOL CDispatcher::ReceiveFlowHeld(BYTE dlci)
{
    dlci &= 0x3F;
    CChannel* channel = HoldForFlow(this, dlci);
    if (channel == NULL) {
        return FALSE;
    }
    BOOL held = channel->ReceiveFlowHeld();
    InterlockedDecrement(&channelInUse[dlci]);
    return held;
}

// Not through the forwarding lock: a client's command may hold it for the
// whole of its wait, and the receive parser, which sends most of these,
// must not wait that long. Counted as a sender on its way in, so that Stop
// takes the control channel away only once the send is over.
BOOL CDispatcher::SendReceiveFlow(BYTE dlci, BOOL held)
{
    InterlockedIncrement(&s_ctrlEntering);
    CCtrlChannel* ctrl = pCtrlChannel;
    BOOL sent = ctrl != NULL && ctrl->SendFlowCommand(dlci, held);
    InterlockedDecrement(&s_ctrlEntering);
    return sent;
}
