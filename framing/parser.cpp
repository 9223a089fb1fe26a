// The receive parser: cuts the octet stream of the receive ring into frames
// and hands each complete frame to the channel of its DLCI.
#include "platform/platform.h"
#include "framing/frame.h"
#include "channel/channel.h"
#include "channel/rx_buffer.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

// The information field of the frame being received, gathered across nodes.
BYTE frameBuffer[MUX_FRAME_BUF_SIZE];
BYTE* pFrameBufPos = frameBuffer;

// Pause before the one retry of an append that does not fit.
#define MUX_RX_FULL_PAUSE_MS 200

// Address octets that may start a frame found by the backward search after a
// bad closing octet (DLCI 49 and DLCI 41).
#define MUX_RESYNC_DLCI_A 0x31
#define MUX_RESYNC_DLCI_B 0x29

// The octets of one call: the first, the next to take, one past the last.
struct ParseCursor {
    const BYTE* first;
    const BYTE* cur;
    const BYTE* end;
    BOOL HasOctet() const { return cur < end; }
};

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

// At most 127 information octets: the length octet carries seven bits.
static DWORD FrameInfoLength(const CChannel* channel)
{
    DWORD n = channel->rxFrameLength;
    return n > MUX_MAX_INFO ? MUX_MAX_INFO : n;
}

static void AppendHexPair(WCHAR* out, DWORD* pos, BYTE octet)
{
    static const char digits[] = "0123456789ABCDEF";
    out[(*pos)++] = (WCHAR)digits[octet >> 4];
    out[(*pos)++] = (WCHAR)digits[octet & 0x0F];
}

// Appends the frame just received to the channel's buffer and owes its
// thread a wake. A full buffer gets one retry after a pause spent outside
// the lock, so that a reader can drain it meanwhile; the reader hears of
// the frames before this one first.
static void DeliverFrame(CChannel* channel)
{
    BOOL wake = TRUE;
    DWORD n = FrameInfoLength(channel);

    if (n != 0 && !RxBufferTryAppend(channel, frameBuffer, n, &wake)) {
        FlushWake();
        RxAppendResult result = RxBufferAppend(
            channel, frameBuffer, n, MUX_RX_FULL_PAUSE_MS,
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

// "MUX: Frame Data = ..." with the octets of the frame just dropped.
static void DumpFrame(const CDispatcher* d, DWORD infoLength)
{
    WCHAR dump[2 * MUX_MAX_FRAME + 1];
    DWORD pos = 0;
    AppendHexPair(dump, &pos, d->flagOctet);
    AppendHexPair(dump, &pos, d->addressOctet);
    AppendHexPair(dump, &pos, d->controlOctet);
    AppendHexPair(dump, &pos, d->lengthOctet);
    for (DWORD i = 0; i < infoLength; i++) {
        AppendHexPair(dump, &pos, frameBuffer[i]);
    }
    AppendHexPair(dump, &pos, d->fcsOctet);
    AppendHexPair(dump, &pos, d->closeOctet);
    dump[pos] = 0;
    MuxLog(TEXT("MUX: Frame Data = %s\r\n"), dump);
}

// After a bad closing octet: looks back, at most `tries` octets and within
// this call's octets only, for a flag that starts a frame of DLCI 49 or 41
// inside the octets just dropped, and resumes there when it finds one.
static void Resync(ParseCursor* c, DWORD tries)
{
    const BYTE* q = c->cur - 1;
    for (DWORD i = 0; i < tries; i++) {
        if (*q != MUX_FLAG) {
            if (q == c->first) {
                break;
            }
            q--;
            continue;
        }
        // q is before the bad closing octet, so q + 1 is in the node.
        BYTE next = (BYTE)(q[1] >> 2);
        if (next == MUX_RESYNC_DLCI_A || next == MUX_RESYNC_DLCI_B) {
            // Printed as the offset of the flag in the node.
            MuxLog(TEXT("MUX: Reset pCurPtr to 0x%08X\r\n"), (DWORD)(q - c->first));
            c->cur = q;
            return;
        }
        break;
    }
    MuxLog(TEXT("MUX: Cannot find F9.\r\n"));
}

// Each step takes what it needs from the cursor and sets the next state.
// It returns FALSE when the octets ran out inside the step; the state then
// stays for the next call.

static BOOL HuntFlag(CDispatcher* d, ParseCursor* c)
{
    const BYTE* p = c->cur;
    if (c->end - p >= 4 && p[0] == MUX_FLAG && p[1] == MUX_FLAG && p[2] == MUX_FLAG &&
        p[3] == MUX_FLAG) {
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Detect F9F9F9F9 frame ; Time = %d\r\n"),
               GetTickCount());
        c->cur += 4;
        return TRUE;
    }
    d->flagOctet = *c->cur++;
    if (d->flagOctet != MUX_FLAG) {
        MuxLog(TEXT("0x%x,"), d->flagOctet);
    } else {
        d->parseState = PS_ADDRESS;
    }
    return TRUE;
}

static BOOL TakeAddress(CDispatcher* d, ParseCursor* c)
{
    d->addressOctet = *c->cur++;
    if (d->addressOctet == MUX_FLAG) {
        // The flag before was a closing flag; this one opens the frame.
        if (!c->HasOctet()) {
            return FALSE;
        }
        d->addressOctet = *c->cur++;
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Receive F9 in Address field ; Time=%d\r\n"),
               GetTickCount());
    }
    d->pCurChannel = HoldChannel((BYTE)(d->addressOctet >> 2));
    if (d->pCurChannel == NULL) {
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> ERROR , Invalid Address field (0x%x) ; Time=%d\r\n"),
               d->addressOctet, GetTickCount());
        d->parseState = PS_FLAG;
    } else {
        d->parseState = PS_CONTROL;
    }
    return TRUE;
}

static BOOL TakeControl(CDispatcher* d, ParseCursor* c)
{
    d->controlOctet = *c->cur++;
    d->parseState = PS_LENGTH;
    return TRUE;
}

static void LogUninitializedChannel(const CDispatcher* d, const CChannel* entry)
{
    DWORD now = GetTickCount();
    MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> ERROR , uninitialized channel ; Time=%d\r\n"),
           now);
    MuxLog(TEXT("\t- header 0x%x, 0x%x, 0x%x, 0x%x ; Time=%d\r\n"), d->flagOctet,
           d->addressOctet, d->controlOctet, d->lengthOctet, now);
    // The table entry's address (its low 32 bits), 0 for an empty slot.
    MuxLog(TEXT("\t- current channel 0x%x ; Time=%d\r\n"), (DWORD)(ULONG_PTR)entry, now);
}

static BOOL TakeLength(CDispatcher* d, ParseCursor* c)
{
    d->lengthOctet = *c->cur++;
    if ((d->lengthOctet & MUX_EA_BIT) == 0) {
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> SET_EA_MASK\r\n"));
        d->parseState = PS_FLAG;
        return TRUE;
    }
    BYTE dlci = (BYTE)(d->addressOctet >> 2);
    CChannel* channel = HoldChannel(dlci);
    d->pCurChannel = channel;
    if (channel == NULL) {
        LogUninitializedChannel(d, d->channels[dlci]);  // printed only, never touched
        d->parseState = PS_FLAG;
        return TRUE;
    }
    d->remaining = (DWORD)(d->lengthOctet >> 1);
    channel->rxFrameLength = d->remaining;
    pFrameBufPos = frameBuffer;
    if (!channel->QueueControlOctet(d->controlOctet) && MuxLogOn()) {
        // The channel's thread has five octets untaken: none is overwritten.
        // This one is lost; an information field still reaches the buffer
        // and wakes the thread, which walks all buffered data when it next
        // handles a UIH octet (the control channel on every wake). The line
        // is built only when it is written: a thread that falls behind
        // meets this for every frame.
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Control queue of %s is full, control octet 0x%x lost ; Time=%d\r\n"),
               channel->name, d->controlOctet, GetTickCount());
    }
    d->parseState = PS_DATA;
    return TRUE;
}

static BOOL TakeData(CDispatcher* d, ParseCursor* c)
{
    if (d->remaining != 0) {
        // remaining never exceeds the room left in frameBuffer: it starts at
        // most at 127 with the position at the start.
        DWORD k = (DWORD)(c->end - c->cur);
        if (k > d->remaining) {
            k = d->remaining;
        }
        memcpy(pFrameBufPos, c->cur, k);
        pFrameBufPos += k;
        c->cur += k;
        d->remaining -= k;
        if (d->remaining != 0) {
            return FALSE;
        }
    }
    d->parseState = PS_FCS;
    return TRUE;
}

static BOOL TakeFcs(CDispatcher* d, ParseCursor* c)
{
    d->fcsOctet = *c->cur++;  // kept for the dump; not verified
    d->parseState = PS_CLOSE;
    return TRUE;
}

static BOOL TakeClose(CDispatcher* d, ParseCursor* c)
{
    d->closeOctet = *c->cur++;
    d->parseState = PS_FLAG;
    // The channel may have been closed since its header arrived.
    BYTE dlci = (BYTE)(d->addressOctet >> 2);
    CChannel* channel = HoldChannel(dlci);
    if (channel == NULL || channel != d->pCurChannel) {
        return TRUE;
    }
    if (d->closeOctet == MUX_FLAG) {
        DeliverFrame(channel);
        return TRUE;
    }

    MuxLog(TEXT("MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = %d\r\n"),
           GetTickCount());
    DWORD n = FrameInfoLength(channel);
    DumpFrame(d, n);
    Resync(c, n);
    return TRUE;
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
    ParseCursor c;
    c.first = octets;
    c.cur = octets;
    c.end = octets + count;

    BOOL more = TRUE;
    while (more && c.HasOctet()) {
        switch (parseState) {
        case PS_FLAG: more = HuntFlag(this, &c); break;
        case PS_ADDRESS: more = TakeAddress(this, &c); break;
        case PS_CONTROL: more = TakeControl(this, &c); break;
        case PS_LENGTH: more = TakeLength(this, &c); break;
        case PS_DATA: more = TakeData(this, &c); break;
        case PS_FCS: more = TakeFcs(this, &c); break;
        case PS_CLOSE: more = TakeClose(this, &c); break;
        default: parseState = PS_FLAG; break;
        }
    }
    // Nothing is held between calls: a frame that goes on in the next node
    // looks its channel up again there.
    EndRun();
}

void CDispatcher::WaitChannelIdle(BYTE dlci)
{
    // The interlocked read orders this after the caller's stopThread store or
    // table change, so a parser that has not taken its hold yet will see them.
    while (InterlockedCompareExchange(&channelInUse[dlci], 0, 0) != 0) {
        Sleep(1);
    }
}
