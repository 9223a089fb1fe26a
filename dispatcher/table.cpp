// The dispatcher's table of channels, indexed by DLCI, and the operations
// the channels and the control channel perform on it.
#include "platform.h"
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

// Empties the slot only when it holds this channel: a channel that failed to
// take its DLCI must not make the live channel on it unreachable.
BOOL CDispatcher::UnregisterChannel(CChannel* channel)
{
    BYTE dlci = channel->Dlci();
    if (channels[dlci] != channel) {
        return FALSE;
    }
    channels[dlci] = NULL;
    return TRUE;
}

BOOL CDispatcher::IsDlciTaken(CChannel* channel)
{
    CChannel* holder = channels[channel->Dlci()];
    return holder != NULL && holder != channel;
}

BOOL CDispatcher::NegotiateService(BYTE dlci)
{
    if (pCtrlChannel == NULL) {
        return FALSE;
    }
    return pCtrlChannel->SendSNC(dlci);
}

BOOL CDispatcher::QueryModemStatus(BYTE dlci, DWORD* status)
{
    if (pCtrlChannel == NULL) {
        return FALSE;
    }
    return pCtrlChannel->SendMSC(dlci, status);
}

void CDispatcher::StopFlow(BYTE dlci)
{
    CChannel* channel = channels[dlci & 0x3F];
    if (channel != NULL) {
        channel->flowStopped = 1;
    }
}

void CDispatcher::ResumeFlow(BYTE dlci)
{
    CChannel* channel = channels[dlci & 0x3F];
    if (channel != NULL && channel->flowStopped) {
        SetEvent(channel->flowEvent);
        channel->flowStopped = 0;
    }
}
