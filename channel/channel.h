// CChannel: one data link connection of the multiplexer.
#ifndef MUX_CHANNEL_CHANNEL_H
#define MUX_CHANNEL_CHANNEL_H

#include "platform/platform.h"
#include "framing/frame.h"
#include "dispatcher/transmit.h"

class CChannel;
typedef BOOL (*ChannelCleanupHook)(CChannel* channel);

#define MUX_CTL_QUEUE_SIZE 5

// Process-wide: set by a reader that empties a channel buffer, cleared by the
// receive parser when it uses it to skip one wake.
extern volatile LONG bufferDrained;

class CChannel {
public:
    CChannel(BYTE dlci, LPTHREAD_START_ROUTINE threadProc, ChannelCleanupHook cleanupHook);
    // Not virtual: channels are destroyed through their concrete class.
    ~CChannel();

    virtual BOOL Init();    // slot 0
    virtual void Deinit();  // slot 1

    BOOL IsNotReady();
    BOOL SendSABM();
    BOOL SendDISC();
    LONG SendUIH(const BYTE* data, DWORD length);
    void SendUA();
    void WakeThread();
    DWORD GetRxCount();

    // FCS over address, control and length of frameHeader, stored at `fcs`,
    // with the closing flag after it.
    void CalcFCS(int headerLength, BYTE* fcs);

    BYTE Dlci() const { return (BYTE)(frameHeader[1] >> 2); }

    // Every change of `connected` goes through these two, so that the
    // dispatcher's refCount always equals the number of connected channels:
    // `connected` is exchanged and refCount moves by one only when the state
    // really changed. Each returns TRUE when it changed the state.
    BOOL MarkConnected();
    BOOL MarkDisconnected();

    // For the channel threads: takes the ctlQueue entry at ctlQueueRead and
    // advances it (one entry per wake).
    BYTE TakeControlOctet();
    // The reaction common to every channel thread: a UA or DM (after forcing
    // P/F) is stored unchanged in lastResponse and responseEvent is set.
    // Returns TRUE when the octet was such a response.
    BOOL NoteResponse(BYTE control);

    // Fields, in this order.
    volatile LONG connected;
    HANDLE flowEvent;
    volatile LONG flowStopped;
    CRITICAL_SECTION rxLock;
    DWORD rxFrameLength;
    LONG rxSize;
    BYTE* rxBase;
    BYTE* rxRead;
    BYTE* rxLast;
    BYTE* rxEnd;
    BYTE* rxWrite;
    const WCHAR* name;
    volatile LONG stopThread;
    volatile LONG initialized;
    BYTE ctlQueue[MUX_CTL_QUEUE_SIZE];
    BYTE lastResponse;
    volatile LONG ctlQueueWrite;
    volatile LONG ctlQueueRead;
    HANDLE thread;
    HANDLE wakeEvent;
    HANDLE responseEvent;
    BYTE frameHeader[6];
    FrameDescriptor txFrame;
    LPTHREAD_START_ROUTINE threadProc;
    ChannelCleanupHook cleanupHook;
    // Id of the channel's thread, so that Deinit run by that very thread
    // (the control channel ending the multiplexer) does not wait for itself.
    DWORD threadId;
    // Senders of a SABM or DISC, from building the frame to their last use
    // of the channel after the answer (or its absence). Deinit waits for
    // them, so the channel's owner never frees it under a released sender.
    volatile LONG responseWaiters;

private:
    CChannel(const CChannel&);
    CChannel& operator=(const CChannel&);
};

#endif
