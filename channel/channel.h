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

    // The control-octet ring. The receive parser queues one octet per frame
    // header; a full ring is never overwritten: QueueControlOctet returns
    // FALSE and that octet is lost (the frame's data is still delivered),
    // except a UA or DM, which a sender may be waiting for: it is held
    // beside the ring (the newest one) and taken once the ring is empty.
    // A channel thread takes every queued octet on each wake:
    //     while (ch->TakeControlOctet(&x)) { ... }
    // and never resets its auto-reset wakeEvent, so no wake is lost.
    BOOL QueueControlOctet(BYTE control);
    BOOL TakeControlOctet(BYTE* control);
    // The reaction common to every channel thread: a UA or DM (after forcing
    // P/F) that a SABM or DISC sender awaits is stored unchanged in
    // lastResponse and responseEvent is set; one that nobody awaits is logged
    // and dropped, so it cannot satisfy the next sender's wait. Returns TRUE
    // when the octet was a UA or DM.
    BOOL NoteResponse(BYTE control);

    // Users of the channel's events from outside its thread (SABM/DISC and
    // control command senders, flow-control waiters in SendUIH) bracket that
    // use with these; Deinit releases and waits for every one of them before
    // it closes the events. BeginEventUse returns FALSE (and counts nothing)
    // when the channel is no longer initialised.
    BOOL BeginEventUse();
    void EndEventUse();

    // Flow control towards the module for this DLCI (user channels only).
    // The receive buffer's code decides, under rxLock, that the module is
    // to hold the DLCI's data (the buffer has passed its high-water mark)
    // or may send again (reads brought it below its low-water mark), and
    // calls SyncReceiveFlow once it has left the lock: the MSC command that
    // says so goes out on the control channel. Whoever finds another thread
    // sending leaves the next one to it, so the last MSC sent always
    // carries the latest wish. TRUE while the module is asked to hold.
    void SyncReceiveFlow();
    BOOL ReceiveFlowHeld();
    // The modem has connected the DLCI afresh: it has forgotten any hold.
    void RestartReceiveFlow();

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
    // "MUX3:" pauses after every UIH piece it sends: known by its name, once,
    // when the name is given, not on every frame it sends.
    BOOL paced;
    void SetName(const WCHAR* channelName);
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
    // Cleared with InterlockedExchange and read with ReadWord by a Stop on
    // another thread (IsChannelThread).
    DWORD threadId;
    // Threads between BeginEventUse and EndEventUse: senders of a SABM or
    // DISC or of a control command, flow-control waiters. Deinit waits for
    // them, so that no event is closed under a waiter and the channel's
    // owner never frees it under a released sender.
    volatile LONG responseWaiters;
    // Octets queued in ctlQueue and not yet taken (0 to 5).
    volatile LONG ctlQueued;
    // The control channel's command-response event (null on user channels):
    // created and closed by the control channel, set by Deinit to release
    // the command senders it waits for.
    HANDLE commandEvent;
    // 1 while a SABM or DISC sender waits for its UA or DM.
    volatile LONG responseAwaited;
    // Receive flow control towards the module: the marks (0: none, as on the
    // control channel), the hold wished for (1 between passing the high
    // mark and falling below the low one), the state last sent in an MSC,
    // and 1 while a thread is sending one.
    DWORD rxHighWater;
    DWORD rxLowWater;
    volatile LONG rxFlowWanted;
    volatile LONG rxFlowSent;
    volatile LONG rxFlowSending;
    // A UA or DM that found the ring full: 0x100 | the octet, 0 when none.
    volatile LONG heldResponse;

private:
    // Deinit's work, under the channel-down lock.
    void TakeDown();
    // Before each UIH piece: waits while the modem holds this DLCI (MSC
    // FC) or every user DLCI (FCoff), at most MUX_FLOW_WAIT_MS.
    void WaitForFlow();
    BOOL TransmitHeld();
    CChannel(const CChannel&);
    CChannel& operator=(const CChannel&);
};

#endif
