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

    BOOL ParseUIH();
    BOOL SendSNC(BYTE dlci);
    BOOL SendMSC(BYTE dlci, DWORD* status);

    static DWORD WINAPI CtrlChannelThread(LPVOID channel);

    // Fields added after those of CChannel, in this order.
    HANDLE responseDoneEvent;
    BYTE cmdBuf[128];
    BYTE* curMsg;
    BYTE* nextMsg;
    CRITICAL_SECTION cmdLock;

private:
    static BOOL Cleanup(CChannel* channel);
};

#endif
