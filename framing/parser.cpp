// The receive parser: cuts the octet stream into frames, resynchronises
// after a bad one and hands every frame to its sink.
#include "platform/platform.h"
#include "framing/frame.h"
#include "framing/parser.h"
#include "diag/log.h"

#include <string.h>

// The information field of the frame being received, gathered across nodes.
BYTE frameBuffer[MUX_FRAME_BUF_SIZE];
BYTE* pFrameBufPos = frameBuffer;

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

// The frame's information length as its length octet gives it (at most
// 127: the octet carries seven bits).
static DWORD InfoLength(const FrameParseState* p)
{
    return (DWORD)(p->lengthOctet >> 1);
}

static void AppendHexPair(WCHAR* out, DWORD* pos, BYTE octet)
{
    static const char digits[] = "0123456789ABCDEF";
    out[(*pos)++] = (WCHAR)digits[octet >> 4];
    out[(*pos)++] = (WCHAR)digits[octet & 0x0F];
}

// "MUX: Frame Data = ..." with the octets of the frame just dropped.
static void DumpFrame(const FrameParseState* p, DWORD infoLength)
{
    WCHAR dump[2 * MUX_MAX_FRAME + 1];
    DWORD pos = 0;
    AppendHexPair(dump, &pos, p->flagOctet);
    AppendHexPair(dump, &pos, p->addressOctet);
    AppendHexPair(dump, &pos, p->controlOctet);
    AppendHexPair(dump, &pos, p->lengthOctet);
    for (DWORD i = 0; i < infoLength; i++) {
        AppendHexPair(dump, &pos, frameBuffer[i]);
    }
    AppendHexPair(dump, &pos, p->fcsOctet);
    AppendHexPair(dump, &pos, p->closeOctet);
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

static BOOL HuntFlag(FrameParseState* p, ParseCursor* c)
{
    const BYTE* q = c->cur;
    if (c->end - q >= 4 && q[0] == MUX_FLAG && q[1] == MUX_FLAG && q[2] == MUX_FLAG &&
        q[3] == MUX_FLAG) {
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Detect F9F9F9F9 frame ; Time = %d\r\n"),
               GetTickCount());
        c->cur += 4;
        return TRUE;
    }
    p->flagOctet = *c->cur++;
    if (p->flagOctet != MUX_FLAG) {
        MuxLog(TEXT("0x%x,"), p->flagOctet);
    } else {
        p->state = PS_ADDRESS;
    }
    return TRUE;
}

static BOOL TakeAddress(FrameParseState* p, FrameSink* sink, ParseCursor* c)
{
    p->addressOctet = *c->cur++;
    if (p->addressOctet == MUX_FLAG) {
        // The flag before was a closing flag; this one opens the frame.
        if (!c->HasOctet()) {
            return FALSE;
        }
        p->addressOctet = *c->cur++;
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> Receive F9 in Address field ; Time=%d\r\n"),
               GetTickCount());
    }
    if (!sink->Address(p->addressOctet)) {
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> ERROR , Invalid Address field (0x%x) ; Time=%d\r\n"),
               p->addressOctet, GetTickCount());
        p->state = PS_FLAG;
    } else {
        p->state = PS_CONTROL;
    }
    return TRUE;
}

static BOOL TakeControl(FrameParseState* p, ParseCursor* c)
{
    p->controlOctet = *c->cur++;
    p->state = PS_LENGTH;
    return TRUE;
}

static BOOL TakeLength(FrameParseState* p, FrameSink* sink, ParseCursor* c)
{
    p->lengthOctet = *c->cur++;
    if ((p->lengthOctet & MUX_EA_BIT) == 0) {
        MuxLog(TEXT("MUX: CDispatcher::ParseRecBytes() -> SET_EA_MASK\r\n"));
        p->state = PS_FLAG;
        return TRUE;
    }
    if (!sink->Header(p->flagOctet, p->addressOctet, p->controlOctet, p->lengthOctet)) {
        p->state = PS_FLAG;
        return TRUE;
    }
    p->remaining = InfoLength(p);
    pFrameBufPos = frameBuffer;
    p->state = PS_DATA;
    return TRUE;
}

static BOOL TakeData(FrameParseState* p, ParseCursor* c)
{
    if (p->remaining != 0) {
        // remaining never exceeds the room left in frameBuffer: it starts at
        // most at 127 with the position at the start.
        DWORD k = (DWORD)(c->end - c->cur);
        if (k > p->remaining) {
            k = p->remaining;
        }
        memcpy(pFrameBufPos, c->cur, k);
        pFrameBufPos += k;
        c->cur += k;
        p->remaining -= k;
        if (p->remaining != 0) {
            return FALSE;
        }
    }
    p->state = PS_FCS;
    return TRUE;
}

static BOOL TakeFcs(FrameParseState* p, ParseCursor* c)
{
    p->fcsOctet = *c->cur++;  // checked with the closing octet
    p->state = PS_CLOSE;
    return TRUE;
}

// The FCS as the sender computes it, over address, control and length: a
// bit error there would hand the frame to another DLCI or turn it into
// another command, so such a frame is neither delivered nor acted on.
static BOOL FcsRight(const FrameParseState* p)
{
    BYTE header[3];
    header[0] = p->addressOctet;
    header[1] = p->controlOctet;
    header[2] = p->lengthOctet;
    return ComputeFCS(header, 3) == p->fcsOctet;
}

static BOOL TakeClose(FrameParseState* p, FrameSink* sink, ParseCursor* c)
{
    p->closeOctet = *c->cur++;
    p->state = PS_FLAG;
    // The receiver may have gone since the header arrived.
    if (!sink->Closing(p->addressOctet)) {
        return TRUE;
    }
    DWORD n = InfoLength(p);
    BOOL fcsRight = FcsRight(p);
    if (fcsRight) {
        sink->Control(p->controlOctet);
    }
    if (p->closeOctet == MUX_FLAG) {
        if (fcsRight) {
            sink->Frame(frameBuffer, n);
        } else {
            // One line with the whole frame, and counted.
            p->badFcsFrames++;
            DumpFrame(p, n);
        }
        return TRUE;
    }

    MuxLog(TEXT("MUX: ParseRecBytes() -> Detect not F9 closing flag, so ignore this frame ; Time = %d\r\n"),
           GetTickCount());
    DumpFrame(p, n);
    Resync(c, n);
    return TRUE;
}

void ResetFrameParse(FrameParseState* parse)
{
    parse->state = PS_FLAG;
    parse->remaining = 0;
    pFrameBufPos = frameBuffer;
}

void ParseFrames(FrameParseState* p, FrameSink* sink, const BYTE* octets, DWORD count)
{
    ParseCursor c;
    c.first = octets;
    c.cur = octets;
    c.end = octets + count;

    BOOL more = TRUE;
    while (more && c.HasOctet()) {
        switch (p->state) {
        case PS_FLAG: more = HuntFlag(p, &c); break;
        case PS_ADDRESS: more = TakeAddress(p, sink, &c); break;
        case PS_CONTROL: more = TakeControl(p, &c); break;
        case PS_LENGTH: more = TakeLength(p, sink, &c); break;
        case PS_DATA: more = TakeData(p, &c); break;
        case PS_FCS: more = TakeFcs(p, &c); break;
        case PS_CLOSE: more = TakeClose(p, sink, &c); break;
        default: p->state = PS_FLAG; break;
        }
    }
    sink->OctetsEnd();
}
