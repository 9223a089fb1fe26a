// The handlers behind MUX_IOControl's table of codes, one family per file:
// ioctl.cpp (the gate, the table, the plain serial codes), waitmask.cpp (the
// event wait and its mask), module_ioctl.cpp (modem status and the
// driver's own codes).
#ifndef MUX_DRIVER_IOCTL_H
#define MUX_DRIVER_IOCTL_H

#include "platform/platform.h"

class CUserChannel;

// A handler gets buffers that already passed the table's length rule and
// returns the control's result; it stores the returned byte count itself.
typedef BOOL (*IoctlHandler)(CUserChannel* channel, PBYTE in, DWORD inLength, PBYTE out,
                             DWORD outLength, PDWORD actualOut);

// waitmask.cpp
BOOL IoctlGetWaitMask(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL IoctlSetWaitMask(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL IoctlWaitOnMask(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);

// module_ioctl.cpp
BOOL IoctlGetModemStatus(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL IoctlModuleReinit(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL IoctlCrashDebugCmd(CUserChannel*, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
// The work of IOCTL_MUX_MODULEREINIT: the data call ended in the clients'
// streams, the multiplexer stopped and every registered channel initialised
// again (which starts the multiplexer anew), "ModuleReinit" signalled.
// TRUE when the new control channel is usable. Also for a host that
// supervises the module itself, whether or not the multiplexer still runs.
BOOL ReinitModuleLink();

#endif
