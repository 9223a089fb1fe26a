// The dispatcher's side of the receive parser: which channel a frame is
// for, the append to its receive buffer, its control octet queue and the
// wake of its thread. The state machine itself is framing/parser.cpp.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "framing/frame.h"
#include "framing/parser.h"
#include "channel/channel.h"
#include "channel/rx_buffer.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

// Pause before the one retry of an append that does not fit.
#define MUX_RX_FULL_PAUSE_MS 200

static BOOL ChannelReady(CChannel* channel)
{
    return channel != NULL && ReadWord(&channel->stopThread) == 0;
}

// At most this many deliveries share one wake: fewer than the five control
// octets a channel's ring holds, so that a thread that runs as soon as it is
// woken (on the phone it runs above the parser) never finds its ring full.
#define MUX_WAKE_BATCH 4

// The parser holds a DLCI while it touches the channel registered for it, so
// that the channel's Deinit and destructor, which wait for the hold to go,
// never delete the lock, events or object under it. The hold is taken before
// the table is read: a channel that leaves the table afterwards sees it.
//
// One hold covers a run of frames to the same DLCI within one call, and the
// channel is woken once for the run's deliveries: when the run ends (another
// DLCI, a channel no longer ready, the end of the octets), before the parser
// pauses on a full buffer, and after MUX_WAKE_BATCH deliveries. Every frame
// still checks that its channel is ready, so a channel that begins to close
// between two frames gets nothing more and is let go at once.
struct ParserRun {
    BOOL holding;
    BYTE dlci;
    CChannel* wakeOwed;  // delivered to since its last wake, or NULL
    DWORD unwoken;       // deliveries since that wake
};
static ParserRun s_run = {FALSE, 0, NULL, 0};

// Only while the hold on the channel's DLCI is still taken.
static void FlushWake()
{
    CChannel* channel = s_run.wakeOwed;
    s_run.wakeOwed = NULL;
    s_run.unwoken = 0;
    if (channel != NULL && ReadWord(&channel->stopThread) == 0) {
        channel->WakeThread();
    }
}

static void EndRun()
{
    FlushWake();
    if (s_run.holding) {
        s_run.holding = FALSE;
        InterlockedDecrement(&g_dispatcher.channelInUse[s_run.dlci]);
    }
}

static void StartRun(BYTE dlci)
{
    EndRun();
    InterlockedIncrement(&g_dispatcher.channelInUse[dlci]);
    s_run.holding = TRUE;
    s_run.dlci = dlci;
}

// The ready channel registered for `dlci`, held until the run ends, or NULL
// (nothing held).
static inline CChannel* HoldChannel(BYTE dlci)
{
    if (!s_run.holding || s_run.dlci != dlci) {
        StartRun(dlci);
    }
    CChannel* channel = g_dispatcher.channels[dlci];
    if (!ChannelReady(channel)) {
        EndRun();
        return NULL;
    }
    return channel;
}

static void OweWake(CChannel* channel)
{
    if (s_run.wakeOwed != channel) {
        FlushWake();
        s_run.wakeOwed = channel;
    }
    if (++s_run.unwoken >= MUX_WAKE_BATCH) {
        FlushWake();
    }
}

// Appends a received frame's information to the channel's receive buffer
// and owes its thread a wake. A full buffer gets one retry after a pause
// spent outside the lock, so that a reader can drain it meanwhile; the
// reader hears of the frames before this one first.
static void AppendToChannel(CChannel* channel, const BYTE* info, DWORD n)
{
    BOOL wake = TRUE;
    if (n != 0 && !RxBufferTryAppend(channel, info, n, &wake)) {
        FlushWake();
        RxAppendResult result = RxBufferAppend(
            channel, info, n, MUX_RX_FULL_PAUSE_MS,
            TEXT("MUX: CDispatcher::ParseRecBytes() -> Channel buffer space is not enough.\r\n"));
        if (result == RX_CHANNEL_GONE) {
            return;
        }
        if (result == RX_DROPPED) {
            wake = FALSE;
            MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Channel buffer is not enough for %s, ignore this frame ; Time=%d\r\n"),
                   channel->name, GetTickCount());
        }
    }
    if (wake) {
        OweWake(channel);
    }
}

static void LogUninitializedChannel(BYTE flag, BYTE address, BYTE control, BYTE length,
                                    const CChannel* entry)
{
    DWORD now = GetTickCount();
    MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> ERROR , uninitialized channel ; Time=%d\r\n"),
           now);
    MuxLog(TEXT("\t- header 0x%x, 0x%x, 0x%x, 0x%x ; Time=%d\r\n"), flag, address, control,
           length, now);
    // The table entry's address (its low 32 bits), 0 for an empty slot.
    MuxLog(TEXT("\t- current channel 0x%x ; Time=%d\r\n"), (DWORD)(ULONG_PTR)entry, now);
}

BOOL CDispatcher::Address(BYTE address)
{
    pCurChannel = HoldChannel((BYTE)(address >> 2));
    return pCurChannel != NULL;
}

BOOL CDispatcher::Header(BYTE flag, BYTE address, BYTE control, BYTE length)
{
    BYTE dlci = (BYTE)(address >> 2);
    CChannel* channel = HoldChannel(dlci);
    pCurChannel = channel;
    if (channel == NULL) {
        LogUninitializedChannel(flag, address, control, length, channels[dlci]);  // printed only
        return FALSE;
    }
    channel->rxFrameLength = (DWORD)(length >> 1);
    return TRUE;
}

void CDispatcher::Control(BYTE control)
{
    CChannel* channel = pCurChannel;
    if (!channel->QueueControlOctet(control) && MuxLogOn()) {
        // The channel's thread has five octets untaken: none is overwritten.
        // This one is lost; an information field still reaches the buffer
        // and wakes the thread, which walks all buffered data when it next
        // handles a UIH octet (the control channel on every wake). The line
        // is built only when it is written: a thread that falls behind
        // meets this for every frame.
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Control queue of %s is full, control octet 0x%x lost ; Time=%d\r\n"),
               channel->name, control, GetTickCount());
    }
}

BOOL CDispatcher::Closing(BYTE address)
{
    CChannel* channel = HoldChannel((BYTE)(address >> 2));
    return channel != NULL && channel == pCurChannel;
}

void CDispatcher::Frame(const BYTE* info, DWORD n)
{
    AppendToChannel(pCurChannel, info, n);
}

void CDispatcher::OctetsEnd()
{
    // Nothing is held between calls: a frame that goes on in the next node
    // looks its channel up again there.
    EndRun();
}

void CDispatcher::ParseRecBytes()
{
    FFUARTDATA* node = pReadNode;
    if (node == NULL) {
        return;
    }
    DWORD count = node->count;
    if (count > MUX_NODE_DATA_SIZE) {
        count = MUX_NODE_DATA_SIZE;
    }
    ParseOctets(node->data, count);
}

void CDispatcher::ParseOctets(const BYTE* octets, DWORD count)
{
    ParseFrames(&parse, this, octets, count);
}

void CDispatcher::WaitChannelIdle(BYTE dlci)
{
    // The interlocked read orders this after the caller's stopThread store or
    // table change, so a parser that has not taken its hold yet will see them.
    while (InterlockedCompareExchange(&channelInUse[dlci], 0, 0) != 0) {
        Sleep(1);
    }
}
