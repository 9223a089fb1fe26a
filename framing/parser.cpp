// The receive parser: cuts the octet stream of the receive ring into frames
// and hands each complete frame to the channel of its DLCI.
#include "platform/platform.h"
#include "framing/frame.h"
#include "channel/channel.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

// The information field of the frame being received, gathered across nodes.
BYTE frameBuffer[MUX_FRAME_BUF_SIZE];
BYTE* pFrameBufPos = frameBuffer;

// Set by the stream read when it empties a channel buffer.
volatile LONG bufferDrained = 1;

// Pause before the one retry of an append that does not fit.
#define MUX_RX_FULL_PAUSE_MS 200

// Address octets that may start a frame found by the backward search after a
// bad closing octet (DLCI 49 and DLCI 41).
#define MUX_RESYNC_DLCI_A 0x31
#define MUX_RESYNC_DLCI_B 0x29

static BOOL ChannelReady(CChannel* channel)
{
    return channel != NULL && channel->stopThread == 0;
}

// The parser holds a DLCI while it touches the channel registered for it, so
// that the channel's Deinit and destructor, which wait for the hold to go,
// never delete the lock, events or object under it. The hold is taken before
// the table is read: a channel that leaves the table afterwards sees it.
static CChannel* HoldChannel(BYTE dlci)
{
    InterlockedIncrement(&g_dispatcher.channelInUse[dlci]);
    CChannel* channel = g_dispatcher.channels[dlci];
    if (!ChannelReady(channel)) {
        InterlockedDecrement(&g_dispatcher.channelInUse[dlci]);
        return NULL;
    }
    return channel;
}

static void ReleaseChannel(BYTE dlci)
{
    InterlockedDecrement(&g_dispatcher.channelInUse[dlci]);
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

// Appends the frame just received to the channel's buffer and wakes its
// thread. A full buffer gets one retry after a pause spent outside the lock,
// so that a reader can drain it meanwhile.
static void DeliverFrame(CChannel* channel)
{
    BOOL wake = TRUE;
    DWORD n = FrameInfoLength(channel);

    if (n != 0) {
        EnterCriticalSection(&channel->rxLock);
        if (channel->rxRead != channel->rxWrite && bufferDrained) {
            // The reader has not caught up with the previous wake yet; its
            // next read finds this frame as well.
            bufferDrained = 0;
            wake = FALSE;
        }
        BOOL room = (DWORD)(channel->rxEnd - channel->rxWrite) >= n;
        if (!room) {
            MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Channel buffer space is not enough.\r\n"));
            LeaveCriticalSection(&channel->rxLock);
            Sleep(MUX_RX_FULL_PAUSE_MS);
            // The channel may have been closed during the pause; its lock
            // and buffer are then no longer ours to touch.
            if (g_dispatcher.channels[channel->Dlci()] != channel || channel->stopThread != 0) {
                return;
            }
            EnterCriticalSection(&channel->rxLock);
            room = (DWORD)(channel->rxEnd - channel->rxWrite) >= n;
            if (!room) {
                LeaveCriticalSection(&channel->rxLock);
                wake = FALSE;
                MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Channel buffer is not enough for %s, ignore this frame ; Time=%d\r\n"),
                       channel->name, GetTickCount());
            }
        }
        if (room) {
            memcpy(channel->rxWrite, frameBuffer, n);
            channel->rxWrite += n;
            channel->rxLast = channel->rxWrite - 1;
            LeaveCriticalSection(&channel->rxLock);
        }
    }
    if (wake) {
        channel->WakeThread();
    }
}

void CDispatcher::ParseRecBytes()
{
    FFUARTDATA* node = pReadNode;
    if (node == NULL) {
        return;
    }
    BYTE* const pFirst = node->data;
    DWORD count = node->count;
    if (count > MUX_NODE_DATA_SIZE) {
        count = MUX_NODE_DATA_SIZE;
    }
    BYTE* const pEnd = pFirst + count;
    BYTE* pCurPtr = pFirst;

    while (pCurPtr < pEnd) {
        switch (parseState) {
        case PS_FLAG:
            if (pEnd - pCurPtr >= 4 && pCurPtr[0] == MUX_FLAG && pCurPtr[1] == MUX_FLAG &&
                pCurPtr[2] == MUX_FLAG && pCurPtr[3] == MUX_FLAG) {
                MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Detect F9F9F9F9 frame ; Time = %d\r\n"),
                       GetTickCount());
                pCurPtr += 4;
                break;
            }
            flagOctet = *pCurPtr++;
            if (flagOctet != MUX_FLAG) {
                MuxLog(TEXT("0x%x,"), flagOctet);
            } else {
                parseState = PS_ADDRESS;
            }
            break;

        case PS_ADDRESS:
            addressOctet = *pCurPtr++;
            if (addressOctet == MUX_FLAG) {
                // The flag before was a closing flag; this one opens the frame.
                if (pCurPtr >= pEnd) {
                    return;
                }
                addressOctet = *pCurPtr++;
                MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Receive F9 in Address field ; Time=%d\r\n"),
                       GetTickCount());
            }
            pCurChannel = HoldChannel((BYTE)(addressOctet >> 2));
            if (pCurChannel != NULL) {
                ReleaseChannel((BYTE)(addressOctet >> 2));
            }
            if (pCurChannel == NULL) {
                MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> ERROR , Invalid Address field (0x%x) ; Time=%d\r\n"),
                       addressOctet, GetTickCount());
                parseState = PS_FLAG;
            } else {
                parseState = PS_CONTROL;
            }
            break;

        case PS_CONTROL:
            controlOctet = *pCurPtr++;
            parseState = PS_LENGTH;
            break;

        case PS_LENGTH: {
            lengthOctet = *pCurPtr++;
            if ((lengthOctet & MUX_EA_BIT) == 0) {
                MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> SET_EA_MASK\r\n"));
                parseState = PS_FLAG;
                break;
            }
            BYTE dlci = (BYTE)(addressOctet >> 2);
            CChannel* channel = HoldChannel(dlci);
            pCurChannel = channel;
            if (channel == NULL) {
                CChannel* entry = channels[dlci];  // printed only, never touched
                DWORD now = GetTickCount();
                MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> ERROR , uninitialized channel ; Time=%d\r\n"),
                       now);
                MuxLog(TEXT("\t- header 0x%x, 0x%x, 0x%x, 0x%x ; Time=%d\r\n"), flagOctet, addressOctet,
                       controlOctet, lengthOctet, now);
                // The table entry's address (its low 32 bits), 0 for an empty slot.
                MuxLog(TEXT("\t- current channel 0x%x ; Time=%d\r\n"), (DWORD)(ULONG_PTR)entry, now);
                parseState = PS_FLAG;
                break;
            }
            remaining = (DWORD)(lengthOctet >> 1);
            channel->rxFrameLength = remaining;
            pFrameBufPos = frameBuffer;
            DWORD slot = (DWORD)channel->ctlQueueWrite % MUX_CTL_QUEUE_SIZE;
            channel->ctlQueue[slot] = controlOctet;
            channel->ctlQueueWrite = (LONG)((slot + 1) % MUX_CTL_QUEUE_SIZE);
            ReleaseChannel(dlci);
            parseState = PS_DATA;
            break;
        }

        case PS_DATA:
            if (remaining != 0) {
                // remaining never exceeds the room left in frameBuffer: it
                // starts at most at 127 with the position at the start.
                DWORD k = (DWORD)(pEnd - pCurPtr);
                if (k > remaining) {
                    k = remaining;
                }
                memcpy(pFrameBufPos, pCurPtr, k);
                pFrameBufPos += k;
                pCurPtr += k;
                remaining -= k;
                if (remaining != 0) {
                    return;
                }
            }
            parseState = PS_FCS;
            break;

        case PS_FCS:
            fcsOctet = *pCurPtr++;  // kept for the dump; not verified
            parseState = PS_CLOSE;
            break;

        case PS_CLOSE: {
            closeOctet = *pCurPtr++;
            parseState = PS_FLAG;
            // The channel may have been closed since its header arrived.
            BYTE dlci = (BYTE)(addressOctet >> 2);
            CChannel* channel = HoldChannel(dlci);
            if (channel == NULL || channel != pCurChannel) {
                if (channel != NULL) {
                    ReleaseChannel(dlci);
                }
                break;
            }
            if (closeOctet == MUX_FLAG) {
                DeliverFrame(channel);
                ReleaseChannel(dlci);
                break;
            }

            MuxLog(TEXT("MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = %d\r\n"),
                   GetTickCount());
            DWORD n = FrameInfoLength(channel);
            ReleaseChannel(dlci);
            WCHAR dump[2 * MUX_MAX_FRAME + 1];
            DWORD pos = 0;
            AppendHexPair(dump, &pos, flagOctet);
            AppendHexPair(dump, &pos, addressOctet);
            AppendHexPair(dump, &pos, controlOctet);
            AppendHexPair(dump, &pos, lengthOctet);
            for (DWORD i = 0; i < n; i++) {
                AppendHexPair(dump, &pos, frameBuffer[i]);
            }
            AppendHexPair(dump, &pos, fcsOctet);
            AppendHexPair(dump, &pos, closeOctet);
            dump[pos] = 0;
            MuxLog(TEXT("MUX: Frame Data = %s\r\n"), dump);

            // Look back, within this node only, for a flag that starts a
            // frame of DLCI 49 or 41 inside the octets just dropped.
            BYTE* q = pCurPtr - 1;
            BOOL found = FALSE;
            for (DWORD tries = 0; tries < n; tries++) {
                if (*q != MUX_FLAG) {
                    if (q == pFirst) {
                        break;
                    }
                    q--;
                    continue;
                }
                // q is before the bad closing octet, so q + 1 is in the node.
                BYTE next = (BYTE)(q[1] >> 2);
                if (next == MUX_RESYNC_DLCI_A || next == MUX_RESYNC_DLCI_B) {
                    // Printed as the offset of the flag in the node.
                    MuxLog(TEXT("MUX: Reset pCurPtr to 0x%08X\r\n"), (DWORD)(q - pFirst));
                    pCurPtr = q;
                    found = TRUE;
                }
                break;
            }
            if (!found) {
                MuxLog(TEXT("MUX: Cannot find F9.\r\n"));
            }
            break;
        }

        default:
            parseState = PS_FLAG;
            break;
        }
    }
}

void CDispatcher::WaitChannelIdle(BYTE dlci)
{
    // The interlocked read orders this after the caller's stopThread store or
    // table change, so a parser that has not taken its hold yet will see them.
    while (InterlockedCompareExchange(&channelInUse[dlci], 0, 0) != 0) {
        Sleep(1);
    }
}
