// The I/O control codes of serial ports and of the power manager, and the
// buffer layouts the serial codes carry, as Windows CE defines them. The
// serial calls of a client (GetCommState, WaitCommEvent, ...) become these
// codes on a stream device, and a stream driver's IOControl entry point
// answers them: both sides use the names from here.
//
// Included by platform.h; C++03-clean. On the phone (UNDER_CE) the system
// headers supply the same names, and only the layout checks remain; other
// Windows compilers have CTL_CODE and COMMPROP from <windows.h> and take the
// codes from here.
#ifndef MUX_PLATFORM_IOCTL_CODES_H
#define MUX_PLATFORM_IOCTL_CODES_H

#if defined(_WIN32) && defined(UNDER_CE)

#include <pegdser.h>  // IOCTL_SERIAL_*, SERIAL_DEV_STATUS
#include <pm.h>       // IOCTL_POWER_*

#else

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access)                            \
    (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | \
     (DWORD)(Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif
#ifndef FILE_DEVICE_SERIAL_PORT
#define FILE_DEVICE_SERIAL_PORT 0x0000001B
#endif
#ifndef FILE_DEVICE_POWER
#define FILE_DEVICE_POWER 0x00000032
#endif

// Serial ports: 0x001B0004 to 0x001B005C.
#define PLATFORM_SERIAL_CODE_(n) \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, n, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_BREAK_ON PLATFORM_SERIAL_CODE_(1)
#define IOCTL_SERIAL_SET_BREAK_OFF PLATFORM_SERIAL_CODE_(2)
#define IOCTL_SERIAL_SET_DTR PLATFORM_SERIAL_CODE_(3)
#define IOCTL_SERIAL_CLR_DTR PLATFORM_SERIAL_CODE_(4)
#define IOCTL_SERIAL_SET_RTS PLATFORM_SERIAL_CODE_(5)
#define IOCTL_SERIAL_CLR_RTS PLATFORM_SERIAL_CODE_(6)
#define IOCTL_SERIAL_SET_XOFF PLATFORM_SERIAL_CODE_(7)
#define IOCTL_SERIAL_SET_XON PLATFORM_SERIAL_CODE_(8)
#define IOCTL_SERIAL_GET_WAIT_MASK PLATFORM_SERIAL_CODE_(9)     // out: DWORD
#define IOCTL_SERIAL_SET_WAIT_MASK PLATFORM_SERIAL_CODE_(10)    // in: DWORD
#define IOCTL_SERIAL_WAIT_ON_MASK PLATFORM_SERIAL_CODE_(11)     // out: DWORD
#define IOCTL_SERIAL_GET_COMMSTATUS PLATFORM_SERIAL_CODE_(12)   // out: SERIAL_DEV_STATUS
#define IOCTL_SERIAL_GET_MODEMSTATUS PLATFORM_SERIAL_CODE_(13)  // out: DWORD (MS_*)
#define IOCTL_SERIAL_GET_PROPERTIES PLATFORM_SERIAL_CODE_(14)   // out: COMMPROP
#define IOCTL_SERIAL_SET_TIMEOUTS PLATFORM_SERIAL_CODE_(15)     // in: COMMTIMEOUTS
#define IOCTL_SERIAL_GET_TIMEOUTS PLATFORM_SERIAL_CODE_(16)     // out: COMMTIMEOUTS
#define IOCTL_SERIAL_PURGE PLATFORM_SERIAL_CODE_(17)            // in: DWORD (PURGE_*)
#define IOCTL_SERIAL_SET_QUEUE_SIZE PLATFORM_SERIAL_CODE_(18)
#define IOCTL_SERIAL_IMMEDIATE_CHAR PLATFORM_SERIAL_CODE_(19)
#define IOCTL_SERIAL_GET_DCB PLATFORM_SERIAL_CODE_(20)          // out: DCB
#define IOCTL_SERIAL_SET_DCB PLATFORM_SERIAL_CODE_(21)          // in: DCB
#define IOCTL_SERIAL_ENABLE_IR PLATFORM_SERIAL_CODE_(22)
#define IOCTL_SERIAL_DISABLE_IR PLATFORM_SERIAL_CODE_(23)

// The power manager's codes to a device: 0x00321000 to 0x00321018.
#define PLATFORM_POWER_CODE_(n) \
    CTL_CODE(FILE_DEVICE_POWER, n, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_POWER_CAPABILITIES PLATFORM_POWER_CODE_(0x400)
#define IOCTL_POWER_GET PLATFORM_POWER_CODE_(0x401)
#define IOCTL_POWER_SET PLATFORM_POWER_CODE_(0x402)
#define IOCTL_POWER_QUERY PLATFORM_POWER_CODE_(0x403)
#define IOCTL_REGISTER_POWER_RELATIONSHIP PLATFORM_POWER_CODE_(0x406)

#if !defined(_WIN32)
// What IOCTL_SERIAL_GET_PROPERTIES returns (GetCommProperties).
typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

#define SP_SERIALCOMM 0x00000001u
#define PST_RS232 0x00000001u
#define PCF_DTRDSR 0x0001u
#define PCF_RTSCTS 0x0002u
#define PCF_RLSD 0x0004u
#define PCF_PARITY_CHECK 0x0008u
#define PCF_XONXOFF 0x0010u
#define PCF_SETXCHAR 0x0020u
#define PCF_TOTALTIMEOUTS 0x0040u
#define PCF_INTTIMEOUTS 0x0080u
#define DATABITS_8 0x0008u
#define STOPBITS_10 0x0001u
#define PARITY_NONE 0x0100u
#endif  // !_WIN32

// What IOCTL_SERIAL_GET_COMMSTATUS returns (ClearCommError).
typedef struct _SERIAL_DEV_STATUS {
    DWORD Errors;     // CE_*
    COMSTAT ComStat;
} SERIAL_DEV_STATUS, *PSERIAL_DEV_STATUS;

#endif  // !UNDER_CE

// The layouts are those of the phone; a driver copies them by these sizes.
#define PLATFORM_LAYOUT_CHECK_(name, size) \
    typedef char platform_layout_check_##name[sizeof(name) == (size) ? 1 : -1]
PLATFORM_LAYOUT_CHECK_(COMMPROP, 64);
PLATFORM_LAYOUT_CHECK_(SERIAL_DEV_STATUS, 16);
PLATFORM_LAYOUT_CHECK_(DCB, 28);
PLATFORM_LAYOUT_CHECK_(COMMTIMEOUTS, 20);
#undef PLATFORM_LAYOUT_CHECK_

#endif
