// The wait for communication events (WaitCommEvent on the port) and its
// event mask. The channel's thread turns every received frame into
// EV_RXCHAR in commEvents and sets commEvent; a mask change sets it too and
// marks the wait as aborted.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "driver/ioctl.h"
#include "driver/mux.h"
#include "channel/user_channel.h"
#include "diag/log.h"

#include <string.h>

namespace {

void StoreWord(PBYTE out, DWORD value)
{
    memcpy(out, &value, sizeof(value));
}

// The mask, the pending events and the abort flag are words that other
// threads change while a client waits: read with ReadWord.
LONG ReadMask(CUserChannel* channel)
{
    return ReadWord((volatile LONG*)&channel->commMask);
}

BOOL WaitFails(CUserChannel* channel, LPCWSTR format, DWORD error)
{
    if (error != 0) {
        SetLastError(error);
    }
    MuxLog(format, channel->name, GetTickCount());
    return FALSE;
}

// The channel has stopped, or its instance is being removed: no wait
// begins or goes on.
BOOL WaitIsOver(CUserChannel* channel)
{
    return ReadWord(&channel->stopThread) != 0 || ReadWord(&channel->eventWaitClosed) != 0;
}

enum WaitEnd {
    WAIT_END_EVENTS,   // an event in the mask is pending, or news came
    WAIT_END_ABORTED,  // the mask changed, or the DLCI was disconnected
    WAIT_END_OVER      // the channel stopped, or its instance is going
};

// A wait ended for a reason that holds for every client waiting on the
// port (each on its own handle): the next one is released too, and passes
// it on in turn. The last leaves the event set, which a later wait takes
// for no news.
void PassOnRelease(CUserChannel* channel)
{
    SetEvent(channel->commEvent);
}

// From the clearing of stale events to the end of the wait.
WaitEnd AwaitEvents(CUserChannel* channel)
{
    // Events of data the client has read in the meantime are stale.
    EnterCriticalSection(&channel->rxLock);
    if (channel->rxRead == channel->rxWrite) {
        InterlockedExchange(&channel->commEvents, 0);
    }
    LeaveCriticalSection(&channel->rxLock);

    // A mask change releases every client that was waiting when it came,
    // however many wait, and whichever of them begins its next wait first.
    LONG maskChanges = ReadWord(&channel->maskChanges);
    InterlockedExchange(&channel->waitAborted, 0);
    // The channel's thread sets commEvent (it does not pulse it), so news
    // that comes between the look at the events and the wait is not lost:
    // the wait finds the event set. Woken, every pending event counts,
    // whatever the mask; a set left over from news the client has already
    // read releases nothing, and the wait goes on.
    for (;;) {
        if ((ReadWord(&channel->commEvents) & ReadMask(channel)) != 0) {
            return WAIT_END_EVENTS;
        }
        // A channel stopped (or an instance being removed) before the wait
        // began has already released its waiters; this one must not wait
        // for a thread that is gone. No data comes on a disconnected DLCI.
        if (WaitIsOver(channel)) {
            return WAIT_END_OVER;
        }
        if (ReadWord(&channel->connected) != 1 || ReadWord(&channel->maskChanges) != maskChanges) {
            return WAIT_END_ABORTED;
        }
        WaitForSingleObject(channel->commEvent, INFINITE);
        if (WaitIsOver(channel)) {
            PassOnRelease(channel);
            return WAIT_END_OVER;
        }
        if (ReadWord(&channel->waitAborted) != 0 || ReadWord(&channel->connected) != 1 ||
            ReadWord(&channel->maskChanges) != maskChanges) {
            PassOnRelease(channel);
            return WAIT_END_ABORTED;
        }
        if (ReadWord(&channel->commEvents) != 0) {
            return WAIT_END_EVENTS;
        }
    }
}

}  // namespace

BOOL IoctlGetWaitMask(CUserChannel* channel, PBYTE, DWORD, PBYTE out, DWORD, PDWORD actualOut)
{
    StoreWord(out, (DWORD)ReadMask(channel));
    *actualOut = sizeof(DWORD);
    return TRUE;
}

BOOL IoctlSetWaitMask(CUserChannel* channel, PBYTE in, DWORD, PBYTE, DWORD, PDWORD)
{
    DWORD mask = 0;
    memcpy(&mask, in, sizeof(mask));
    InterlockedExchange((LONG volatile*)&channel->commMask, (LONG)mask);
    InterlockedExchange(&channel->waitAborted, 1);
    InterlockedIncrement(&channel->maskChanges);
    // Releases a client waiting now, or one that is about to wait.
    SetEvent(channel->commEvent);
    return TRUE;
}

BOOL IoctlWaitOnMask(CUserChannel* channel, PBYTE, DWORD, PBYTE out, DWORD outLength,
                     PDWORD actualOut)
{
    if (outLength < sizeof(DWORD) || out == NULL || actualOut == NULL) {
        return WaitFails(channel, TEXT("MUX: WAIT_ON_MASK for %s -> Invalid parameter ; Time=%d\r\n"),
                         ERROR_INVALID_PARAMETER);
    }
    StoreWord(out, 0);
    *actualOut = sizeof(DWORD);
    if (ReadMask(channel) == 0) {
        return WaitFails(channel,
                         TEXT("MUX: WAIT_ON_MASK for %s -> Wait event mask is cleared ; Time=%d\r\n"), 0);
    }
    if (ReadWord(&channel->connected) == 0) {
        return WaitFails(channel,
                         TEXT("MUX: WAIT_ON_MASK for %s -> Channel is disconnected ; Time=%d\r\n"),
                         ERROR_NOT_READY);
    }

    InterlockedIncrement(&channel->eventWaiters);
    BOOL result = FALSE;
    WaitEnd end = AwaitEvents(channel);
    if (end == WAIT_END_OVER) {
        WaitFails(channel,
                  TEXT("MUX: WAIT_ON_MASK for %s -> Connection have been terminated ; Time=%d\r\n"),
                  ERROR_NOT_READY);
    } else if (ReadWord(&channel->connected) != 1) {
        WaitFails(channel, TEXT("MUX: WAIT_ON_MASK for %s -> State is DISCONNECTED ; Time=%d\r\n"),
                  ERROR_NOT_READY);
    } else if (end == WAIT_END_ABORTED || ReadWord(&channel->waitAborted) != 0) {
        // The mask changed or the channel is going: no events.
        result = TRUE;
    } else {
        // Every pending event, whatever the mask.
        StoreWord(out, (DWORD)InterlockedExchange(&channel->commEvents, 0));
        result = TRUE;
    }
    // The channel may be freed from here on.
    InterlockedDecrement(&channel->eventWaiters);
    return result;
}
