// The control messages of DLCI 0 as the control channel's files build and
// read them: types, octet layouts, V.24 signals and the command time-out.
#ifndef MUX_CHANNEL_CTRL_MESSAGES_H
#define MUX_CHANNEL_CTRL_MESSAGES_H

#define CTRL_COMMAND_TIMEOUT_MS 3000

// Control message types (type octet AND 0xFC).
#define CTRL_MSG_NSC 0x10
#define CTRL_MSG_TEST 0x20
#define CTRL_MSG_PSC 0x40
#define CTRL_MSG_RLS 0x50
#define CTRL_MSG_FCOFF 0x60
#define CTRL_MSG_PN 0x80
#define CTRL_MSG_RPN 0x90
#define CTRL_MSG_FCON 0xA0
#define CTRL_MSG_CLD 0xC0
#define CTRL_MSG_SNC 0xD0
#define CTRL_MSG_MSC 0xE0

// A message's type octet: the type with EA set, and C/R set on a command,
// clear on a response. Its length octet: a length below 128 shifted past EA.
#define CTRL_COMMAND(type) ((BYTE)((type) | MUX_CR_BIT | MUX_EA_BIT))
#define CTRL_RESPONSE(type) ((BYTE)((type) | MUX_EA_BIT))
#define CTRL_LENGTH(count) ((BYTE)(((count) << 1) | MUX_EA_BIT))

// The DLCI octet of MSC and SNC: EA, C/R (always 1 here) and the DLCI.
#define CTRL_DLCI_OCTET(dlci) ((BYTE)((dlci) * 4 + 3))

// SNC's values: the service octet (EA, data service) and the voice codec.
#define SNC_SERVICE_DATA 0x03
#define SNC_CODEC 0x01

// V.24 signal octet of MSC.
#define V24_FC 0x02
#define V24_RTC 0x04
#define V24_RTR 0x08
#define V24_IC 0x40
#define V24_DV 0x80

// The signal octet this side reports: EA, RTC, RTR; FC clear.
#define OWN_V24_SIGNALS 0x0D

// A message is at most a type octet, a length octet and 127 value octets.
#define CTRL_MAX_MESSAGE (2 + 127)

#endif
