// CCtrlChannel: the multiplexer's control channel on DLCI 0.
#ifndef MUX_CHANNEL_CTRL_CHANNEL_H
#define MUX_CHANNEL_CTRL_CHANNEL_H

#include "channel/channel.h"

#define MUX_CTRL_RX_SIZE 254
// DLCIs an MSC can name (six bits).
#define MUX_CTRL_DLCIS 64

class CCtrlChannel : public CChannel {
public:
    explicit CCtrlChannel(BYTE dlci);
    ~CCtrlChannel();

    virtual BOOL Init();

    // Walks the messages received so far and handles each (HandleMessage);
    // FALSE when the modem closed the multiplexer down (CLD).
    BOOL ParseUIH();
    BOOL SendSNC(BYTE dlci);
    // The modem-status query; its MSC carries FC as the DLCI's receive flow
    // control stands, so that a query never lifts a hold by accident.
    BOOL SendMSC(BYTE dlci, DWORD* status);
    // An MSC command with FC set (held) or clear for the DLCI, sent without
    // waiting for its response: the response is taken when it comes, and
    // is not handed to a waiting sender. FALSE when it could not be sent.
    BOOL SendFlowCommand(BYTE dlci, BOOL held);

    static DWORD WINAPI CtrlChannelThread(LPVOID channel);

    // Fields added after those of CChannel, in this order.
    BYTE cmdBuf[128];
    BYTE* curMsg;
    BYTE* nextMsg;
    CRITICAL_SECTION cmdLock;
    // The command a sender awaits the response of: a non-zero token while
    // it waits, 0 otherwise. ParseUIH hands a response over by copying its
    // first octets into cmdResponse and exchanging the token for 0; it never
    // waits for the sender. A response that finds no token (a second one, a
    // late one) is logged as not awaited and dropped.
    volatile LONG cmdAwaited;
    LONG cmdToken;
    BYTE cmdResponse[4];
    // Per DLCI: responses still owed to SendFlowCommand, and the tick count
    // of its last command. A module that leaves them unanswered owes none
    // once the command time-out has passed.
    volatile LONG flowResponsesOwed[MUX_CTRL_DLCIS];
    volatile LONG flowCommandTime[MUX_CTRL_DLCIS];

private:
    static BOOL Cleanup(CChannel* channel);
    // One command out, its response (first four octets) back in `rsp`;
    // FALSE when none was handed over within the command time-out.
    BOOL Exchange(BYTE type, const BYTE* values, DWORD count, BYTE* rsp);
    // Takes the next message out of the receive buffer: copies into `msg`
    // what of it lies inside the buffer (at least its first four octets,
    // when there), zero-fills the rest of those four, and returns the count
    // copied in `copied`. At the end of the data it rewinds the buffer and
    // returns FALSE.
    BOOL NextMessage(BYTE* msg, DWORD* copied);
    // Points nextMsg at the first message not yet walked; with nothing new,
    // rewinds the buffer and returns FALSE.
    BOOL StartWalk();
    // Handles one message; FALSE for a CLD command.
    BOOL HandleMessage(const BYTE* msg, DWORD copied);
    void HandleResponse(const BYTE* msg, DWORD copied);
    void HandOverResponse(const BYTE* msg, BYTE type);
    // TRUE when an MSC response for the DLCI is one SendFlowCommand owes.
    BOOL TakeFlowResponse(BYTE dlci);
};

// The modem's V.24 signal octet of an MSC as the platform's modem-status
// word (MS_CTS_ON from RTR, MS_DSR_ON from RTC, MS_RING_ON from IC,
// MS_RLSD_ON from DV).
DWORD V24ToModemStatus(BYTE v24);

#endif
