// Flow control of a channel, both ways: the modem's hold on what we send
// (MSC FC for one DLCI, FCoff for every user DLCI) and our hold on what the
// module sends on a user DLCI whose receive buffer fills up.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "channel/channel.h"
#include "dispatcher/dispatcher.h"

// Longest wait for the modem to lift its flow control, per UIH piece.
#define MUX_FLOW_WAIT_MS 10000

BOOL CChannel::TransmitHeld()
{
    return ReadWord(&flowStopped) == 1 ||
           ReadWord(&g_dispatcher.flowOff) != 0;
}

void CChannel::WaitForFlow()
{
    // The control channel's messages are never held: its responses must
    // not wait for a resume that only a later message of its own can bring
    // (an MSC with FC for DLCI 0), and FCoff holds the user DLCIs only.
    if (Dlci() == 0 || !TransmitHeld()) {
        return;
    }
    // Counted while it waits, so that Deinit releases the wait and closes
    // flowEvent only after it; a channel deinitialised meanwhile is not
    // waited on (the connected check of SendUIH fails the send).
    if (!BeginEventUse()) {
        return;
    }
    DWORD start = GetTickCount();
    while (TransmitHeld() && ReadWord(&initialized) == 1) {
        DWORD spent = GetTickCount() - start;
        if (spent >= MUX_FLOW_WAIT_MS) {
            // The modem never lifted it; go on rather than block forever.
            InterlockedExchange(&flowStopped, 0);
            InterlockedExchange(&g_dispatcher.flowOff, 0);
            break;
        }
        WaitForSingleObject(flowEvent, MUX_FLOW_WAIT_MS - spent);
    }
    // One set releases one waiter: a second writer on this channel waiting
    // for the same resume is woken in turn (a set nobody needs is taken by
    // the next wait for a look at the flags).
    SetEvent(flowEvent);
    EndEventUse();
}

BOOL CChannel::ReceiveFlowHeld()
{
    return InterlockedCompareExchange(&rxFlowWanted, 0, 0) != 0;
}

void CChannel::SyncReceiveFlow()
{
    while (InterlockedCompareExchange(&rxFlowWanted, 0, 0) !=
           InterlockedCompareExchange(&rxFlowSent, 0, 0)) {
        // The thread sending now looks again once it is done, and sends
        // what is wished for by then.
        if (InterlockedCompareExchange(&rxFlowSending, 1, 0) != 0) {
            return;
        }
        LONG wanted = InterlockedCompareExchange(&rxFlowWanted, 0, 0);
        if (wanted != InterlockedCompareExchange(&rxFlowSent, 0, 0)) {
            // A module that cannot be told (no control channel) is told
            // nothing; the full-buffer pause remains the last resort.
            g_dispatcher.SendReceiveFlow(Dlci(), wanted != 0);
            InterlockedExchange(&rxFlowSent, wanted);
        }
        InterlockedExchange(&rxFlowSending, 0);
    }
}

void CChannel::RestartReceiveFlow()
{
    InterlockedExchange(&rxFlowSent, 0);
    SyncReceiveFlow();
}
