// A channel's receive buffer, filled by the receive parser (and by the data
// call termination's injected messages) and emptied by the stream read. All
// positions move under the channel's rxLock; no other lock is taken with it.
#ifndef MUX_CHANNEL_RX_BUFFER_H
#define MUX_CHANNEL_RX_BUFFER_H

#include "platform/platform.h"

class CChannel;

enum RxAppendResult {
    RX_APPENDED = 0,     // copied; rxWrite and rxLast moved
    RX_DROPPED = 1,      // still no room after the pause: nothing copied
    RX_CHANNEL_GONE = 2  // the channel was closed during the pause
};

// Appends `count` octets at rxWrite (filling the buffer exactly to rxEnd is
// allowed). Without room: writes `fullLine` (when not null), leaves the lock,
// sleeps `pauseMs` so that a reader can drain the buffer meanwhile, and tests
// once more, unless the channel left the dispatcher's table or began to close
// during the pause, in which case its lock and buffer are no longer touched.
RxAppendResult RxBufferAppend(CChannel* channel, const BYTE* octets, DWORD count, DWORD pauseMs,
                              LPCWSTR fullLine);

// The receive parser's append of a frame, in one hold of rxLock: when
// unread data waits and bufferDrained is set (the reader has not caught up
// with the previous wake; its next read finds this frame as well), clears
// the flag and sets *wake to FALSE; then copies the octets when they fit.
// FALSE, nothing copied, when they do not (RxBufferAppend then waits).
BOOL RxBufferTryAppend(CChannel* channel, const BYTE* octets, DWORD count, BOOL* wake);

// Takes up to `count` unread octets into `out` and returns how many. Taking
// the last unread octet rewinds the buffer to its start and sets
// bufferDrained; a smaller take leaves the rest for the next one.
//
// Flow control towards the module: an append that takes a user channel's
// buffer past its high-water mark asks the module to hold the DLCI's data
// (MSC with FC set); a take that leaves fewer unread octets than its
// low-water mark moves them to the start and lets the module send again
// (MSC with FC clear). Both send after rxLock is left.
DWORD RxBufferTake(CChannel* channel, BYTE* out, DWORD count);

#endif
