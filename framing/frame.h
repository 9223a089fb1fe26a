// 27.010 basic option: frame layout constants and the frame check sequence.
#ifndef MUX_FRAMING_FRAME_H
#define MUX_FRAMING_FRAME_H

#include "platform/platform.h"

#define MUX_FLAG 0xF9
#define MUX_PF_BIT 0x10
#define MUX_CR_BIT 0x02
#define MUX_EA_BIT 0x01

// Control octets this side sends (P/F as sent).
#define MUX_CTL_SABM 0x3F  // SABM, P = 1
#define MUX_CTL_DISC 0x53  // DISC, P = 1
#define MUX_CTL_UA 0x73    // UA, F = 1
#define MUX_CTL_UIH 0xEF   // UIH, P = 0
// Recognised in received frames after forcing P/F to 1 (octet | 0x10).
#define MUX_CTL_DM 0x1F
#define MUX_CTL_UIH_PF 0xFF

#define MUX_MAX_INFO 127         // information octets per frame
#define MUX_MAX_FRAME 133        // 4 + 127 + 2
#define MUX_SEND_BUF_SIZE 134    // the dispatcher's transmit buffer

// The TS 27.010 table: reversed CRC-8 of x^8 + x^2 + x + 1.
extern const BYTE g_fcsTable[256];

// FCS over `count` octets (address, control, length): ones' complement of
// the register after feeding each octet through the table from 0xFF.
BYTE ComputeFCS(const BYTE* octets, int count);

// Receive parser states; PS_FLAG means no frame is in progress.
enum ParseState {
    PS_FLAG = 0,
    PS_ADDRESS = 1,
    PS_CONTROL = 2,
    PS_LENGTH = 3,
    PS_DATA = 4,
    PS_FCS = 5,
    PS_CLOSE = 6
};

#define MUX_FRAME_BUF_SIZE 128

#endif
