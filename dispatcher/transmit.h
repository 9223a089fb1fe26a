// A frame handed to the transmit path as up to three pieces.
#ifndef MUX_DISPATCHER_TRANSMIT_H
#define MUX_DISPATCHER_TRANSMIT_H

#include "platform/platform.h"

struct FrameDescriptor {
    BYTE* pHeader;       // always the channel's frame template
    LONG headerLength;   // 6 without information, 4 for UIH
    const BYTE* pData;   // information octets held by the caller, or null
    LONG dataLength;     // 0 to 127
    BYTE* pTrailer;      // FCS and closing flag: the template's last two octets
    LONG trailerLength;  // 2
};

#endif
