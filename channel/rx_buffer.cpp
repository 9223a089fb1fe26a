// A channel's receive buffer: append with one retry, take with rewind.
#include "platform/platform.h"
#include "channel/rx_buffer.h"
#include "channel/channel.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

// Set by a take that empties a channel buffer; cleared by the parser when it
// appends behind unread data (one flag for all channels).
volatile LONG bufferDrained = 1;

static BOOL HasRoom(const CChannel* channel, DWORD count)
{
    return (DWORD)(channel->rxEnd - channel->rxWrite) >= count;
}

// With rxLock held and room for `count`.
static void CopyIn(CChannel* channel, const BYTE* octets, DWORD count)
{
    memcpy(channel->rxWrite, octets, count);
    channel->rxWrite += count;
    channel->rxLast = channel->rxWrite - 1;
}

RxAppendResult RxBufferAppend(CChannel* channel, const BYTE* octets, DWORD count, DWORD pauseMs,
                              LPCWSTR fullLine)
{
    EnterCriticalSection(&channel->rxLock);
    if (!HasRoom(channel, count)) {
        if (fullLine != NULL) {
            MuxLog(fullLine);
        }
        LeaveCriticalSection(&channel->rxLock);
        Sleep(pauseMs);
        if (g_dispatcher.channels[channel->Dlci()] != channel || ReadWord(&channel->stopThread) != 0) {
            return RX_CHANNEL_GONE;
        }
        EnterCriticalSection(&channel->rxLock);
        if (!HasRoom(channel, count)) {
            LeaveCriticalSection(&channel->rxLock);
            return RX_DROPPED;
        }
    }
    CopyIn(channel, octets, count);
    LeaveCriticalSection(&channel->rxLock);
    return RX_APPENDED;
}

BOOL RxBufferTryAppend(CChannel* channel, const BYTE* octets, DWORD count, BOOL* wake)
{
    EnterCriticalSection(&channel->rxLock);
    // One flag for every channel, so set and cleared under no single
    // rxLock: through the interlocked calls, as the readers set it.
    if (channel->rxRead != channel->rxWrite && InterlockedCompareExchange(&bufferDrained, 0, 0) != 0) {
        InterlockedExchange(&bufferDrained, 0);
        *wake = FALSE;
    }
    BOOL room = HasRoom(channel, count);
    if (room) {
        CopyIn(channel, octets, count);
    }
    LeaveCriticalSection(&channel->rxLock);
    return room;
}

DWORD RxBufferTake(CChannel* channel, BYTE* out, DWORD count)
{
    EnterCriticalSection(&channel->rxLock);
    DWORD available = (DWORD)(channel->rxWrite - channel->rxRead);
    DWORD taken = 0;
    if (count == 0) {
        // Nothing asked for (the buffer may be null then): nothing taken.
    } else if (available > count) {
        memcpy(out, channel->rxRead, count);
        channel->rxRead += count;
        taken = count;
    } else if (available != 0) {
        memcpy(out, channel->rxRead, available);
        channel->rxRead = channel->rxBase;
        channel->rxWrite = channel->rxBase;
        InterlockedExchange(&bufferDrained, 1);  // shared by every channel
        taken = available;
    }
    LeaveCriticalSection(&channel->rxLock);
    return taken;
}
