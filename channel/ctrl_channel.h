// CCtrlChannel: the multiplexer's control channel on DLCI 0.
#ifndef MUX_CHANNEL_CTRL_CHANNEL_H
#define MUX_CHANNEL_CTRL_CHANNEL_H

#include "channel/channel.h"

#define MUX_CTRL_RX_SIZE 254

class CCtrlChannel : public CChannel {
public:
    explicit CCtrlChannel(BYTE dlci);
    ~CCtrlChannel();

    virtual BOOL Init();

    // Walks the messages received so far and handles each (HandleMessage);
    // FALSE when the modem closed the multiplexer down (CLD).
    BOOL ParseUIH();
    BOOL SendSNC(BYTE dlci);
    BOOL SendMSC(BYTE dlci, DWORD* status);

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
    void HandOverResponse(const BYTE* msg, BYTE type);
};

// The modem's V.24 signal octet of an MSC as the platform's modem-status
// word (MS_CTS_ON from RTR, MS_DSR_ON from RTC, MS_RING_ON from IC,
// MS_RLSD_ON from DV).
DWORD V24ToModemStatus(BYTE v24);

#endif
