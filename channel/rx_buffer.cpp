// A channel's receive buffer: append with one retry, take with rewind, and
// the marks at which the module is asked to hold the DLCI's data and to
// send again.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "channel/rx_buffer.h"
#include "channel/channel.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#include <string.h>

// Set by a take that empties a channel buffer; cleared by the parser when it
// appends behind unread data (one flag for all channels).
volatile LONG bufferDrained = 1;

static BOOL HasRoom(const CChannel* channel, DWORD count)
{
    return (DWORD)(channel->rxEnd - channel->rxWrite) >= count;
}

// With rxLock held and room for `count`. TRUE when the append took the
// buffer past its high-water mark: the module is to hold the DLCI's data
// (the caller tells it once it has left the lock).
static BOOL CopyIn(CChannel* channel, const BYTE* octets, DWORD count)
{
    memcpy(channel->rxWrite, octets, count);
    channel->rxWrite += count;
    channel->rxLast = channel->rxWrite - 1;
    // The buffer does not wrap: what counts is how far the write position
    // has come, not how much of it is unread.
    if (channel->rxHighWater == 0 || channel->rxFlowWanted != 0 ||
        (DWORD)(channel->rxWrite - channel->rxBase) <= channel->rxHighWater) {
        return FALSE;
    }
    InterlockedExchange(&channel->rxFlowWanted, 1);
    return TRUE;
}

// With rxLock held, after a take. TRUE when the module that was asked to
// hold may send again: fewer than the low-water mark of octets are unread.
// They are moved to the buffer's start, so that the room the module may now
// fill is there.
static BOOL FellBelowLowWater(CChannel* channel)
{
    DWORD unread = (DWORD)(channel->rxWrite - channel->rxRead);
    if (ReadWord(&channel->rxFlowWanted) == 0 || unread >= channel->rxLowWater) {
        return FALSE;
    }
    if (channel->rxRead != channel->rxBase) {
        memmove(channel->rxBase, channel->rxRead, unread);
        channel->rxRead = channel->rxBase;
        channel->rxWrite = channel->rxBase + unread;
        channel->rxLast = unread != 0 ? channel->rxWrite - 1 : channel->rxBase;
    }
    InterlockedExchange(&channel->rxFlowWanted, 0);
    return TRUE;
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
    BOOL hold = CopyIn(channel, octets, count);
    LeaveCriticalSection(&channel->rxLock);
    if (hold) {
        channel->SyncReceiveFlow();
    }
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
    BOOL hold = room && CopyIn(channel, octets, count);
    LeaveCriticalSection(&channel->rxLock);
    if (hold) {
        channel->SyncReceiveFlow();
    }
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
    BOOL resume = taken != 0 && FellBelowLowWater(channel);
    LeaveCriticalSection(&channel->rxLock);
    if (resume) {
        channel->SyncReceiveFlow();
    }
    return taken;
}
