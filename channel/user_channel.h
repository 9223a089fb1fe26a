// CUserChannel: the channel behind one driver instance ("MUX1:", "MUX2:",
// ...), the DLCI its client uses as a serial port.
#ifndef MUX_CHANNEL_USER_CHANNEL_H
#define MUX_CHANNEL_USER_CHANNEL_H

#include "channel/channel.h"

// Receive buffer sizes: a channel of type 1, the data port "MUX2:", any
// other port.
#define MUX_USER_RX_SIZE_TYPE1 2048
#define MUX_USER_RX_SIZE_DATA 30720
#define MUX_USER_RX_SIZE 10240

#define MUX_USER_THREAD_PRIORITY 249

class CUserChannel : public CChannel {
public:
    // Builds the channel and initialises it at once; the caller learns the
    // outcome from IsNotReady. A null name stands for "?".
    CUserChannel(BYTE dlci, DWORD type, LPCWSTR deviceName);
    ~CUserChannel();

    virtual BOOL Init();

    // Every client inside the event wait returns without events, and is
    // waited for until it has left the wait; none waits again.
    void ReleaseEventWaiters();

    static DWORD WINAPI UserChannelThread(LPVOID channel);

    // Fields added after those of CChannel, in this order.
    DWORD channelType;
    DWORD commMask;
    volatile LONG commEvents;
    volatile LONG waitAborted;
    HANDLE commEvent;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    // Clients inside the event wait (IOCTL_SERIAL_WAIT_ON_MASK). The
    // destructor releases them and waits until none is left before it
    // frees what they still look at.
    volatile LONG eventWaiters;
    // Set for good when the instance is being removed: no event wait lasts
    // from then on, even if the multiplexer's restart brings the channel
    // back meanwhile.
    volatile LONG eventWaitClosed;
    // Counts the client's mask changes: every wait that began before one
    // ends, however many clients wait on the port.
    volatile LONG maskChanges;

private:
    static BOOL Cleanup(CChannel* channel);
};

#endif
