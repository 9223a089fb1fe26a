// The receive parser's state machine: cuts an octet stream into 27.010
// frames and hands what it finds to a sink. It does no I/O and knows no
// channel: whether a DLCI has a receiver, and what becomes of a frame, is
// the sink's business.
#ifndef MUX_FRAMING_PARSER_H
#define MUX_FRAMING_PARSER_H

#include "platform/platform.h"
#include "framing/frame.h"

// What the parser hands on, in the order it finds it. Every call is made on
// the parser's thread.
class FrameSink {
public:
    // The address octet of a frame: TRUE when its DLCI has a receiver ready.
    // FALSE sends the parser back to hunting (it logs the address).
    virtual BOOL Address(BYTE address) = 0;
    // The header of a frame with a one-octet length: TRUE when the receiver
    // takes the frame. FALSE drops it; the sink has logged why.
    virtual BOOL Header(BYTE flag, BYTE address, BYTE control, BYTE length) = 0;
    // The closing octet of the frame whose header was taken has arrived:
    // TRUE while the receiver that took the header is still there. FALSE
    // ends the frame without a word.
    virtual BOOL Closing(BYTE address) = 0;
    // The frame's FCS is right: its control octet, for the receiver to act
    // on. A frame whose FCS is wrong never gets this far.
    virtual void Control(BYTE control) = 0;
    // A frame closed by a flag, its FCS right: its `n` information octets.
    virtual void Frame(const BYTE* info, DWORD n) = 0;
    // The octets of one call are used up.
    virtual void OctetsEnd() = 0;

protected:
    ~FrameSink() {}
};

// The parser's state between calls: a frame may begin in one call and end
// in a later one.
struct FrameParseState {
    volatile LONG state;  // ParseState; other threads only ever store PS_FLAG
    BYTE flagOctet;
    BYTE addressOctet;
    BYTE controlOctet;
    BYTE lengthOctet;
    BYTE fcsOctet;
    BYTE closeOctet;
    DWORD remaining;  // information octets still expected
    DWORD badFcsFrames;  // frames dropped for a wrong FCS, since start-up
};

// Back to hunting with nothing in progress (the count of bad frames stays).
void ResetFrameParse(FrameParseState* parse);

// Parses `count` octets, carrying the state over from the previous call.
void ParseFrames(FrameParseState* parse, FrameSink* sink, const BYTE* octets, DWORD count);

// The information field of the frame being received, gathered across
// calls, and the write position into it.
extern BYTE frameBuffer[MUX_FRAME_BUF_SIZE];
extern BYTE* pFrameBufPos;

#endif
