// The module's control lines on the I/O port register block.
#ifndef MUX_MODEM_LINES_H
#define MUX_MODEM_LINES_H

#include "platform/platform.h"

// Register offsets in the I/O port block (ports 16 bytes apart: config +0,
// data +4, pull-up +8).
#define IOPORT_B_CFG 0x10
#define IOPORT_B_DATA 0x14
#define IOPORT_C_CFG 0x20
#define IOPORT_C_DATA 0x24
#define IOPORT_D_CFG 0x30
#define IOPORT_D_DATA 0x34
#define IOPORT_D_PULL 0x38
#define IOPORT_F_CFG 0x50
#define IOPORT_F_DATA 0x54
#define IOPORT_F_PULL 0x58
#define IOPORT_H_CFG 0x70
#define IOPORT_H_DATA 0x74

#define PIN_B3_DTR 0x08
#define PIN_B4_RESET 0x10
#define PIN_C8_WAKE 0x100
#define PIN_D1_SLEEP 0x02
#define PIN_F4 0x10
#define PIN_F5_RF_OK 0x20
#define PIN_H8_RESET 0x100

#define SYSINTR_RF_OK 0x6000009F

// Process-wide: the RF-OK watcher's interrupt event (0 = none, -1 = closed)
// and the "SetFFUART_DTR" handle (-1 = none).
extern HANDLE g_hRFOKEvent;
extern HANDLE g_hSetDTREvent;

void SetupModulePins(void* unused);
void SetDTRLow();
void SetDTRHigh();

// Pin D1: TRUE while the module sleeps.
BOOL ModuleSleeps();
// Pulses the wake line C8 high for 50 ms and waits, up to 20 pauses of 50 ms,
// for the module to leave its sleep. FALSE when it still sleeps after the
// last pause (the status is not read again after it).
BOOL WakeModule();

#endif
