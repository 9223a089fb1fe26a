// The stream driver's entry points (prefix MUX) and the instance record.
//
// The device manager passes device and open contexts back as pointer-sized
// values: a DWORD on the 32-bit phone, wider on a 64-bit host, so that one
// source serves both.
#ifndef MUX_DRIVER_MUX_H
#define MUX_DRIVER_MUX_H

#include "platform/platform.h"
#include "platform/own_calls.h"

class CUserChannel;

#define MUX_DRIVER_VERSION 0x20061212
#define MUX_NAME_UNITS 64

// The driver's own I/O control codes (device type 0x0710, buffered, any
// access), issued by the radio interface layer. Each returns FALSE.
#define MUX_CTL_CODE_(n) (((DWORD)0x0710 << 16) | ((DWORD)(n) << 2))
// Ends an open data call in the clients' streams, then takes the
// multiplexer down and brings every port back; "ModuleReinit" tells so.
#define IOCTL_MUX_MODULEREINIT MUX_CTL_CODE_(1)
#define IOCTL_MUX_RESERVED MUX_CTL_CODE_(2)
// After an AT command timed out: finds out whether the module crashed and,
// if so, captures its debug output.
#define IOCTL_MUX_CRASHDEBUGCMD MUX_CTL_CODE_(3)

// One per instance, returned by MUX_Init and freed by MUX_Deinit.
struct MuxDeviceContext {
    BYTE ucDlci;
    DWORD dwType;
    WCHAR szName[MUX_NAME_UNITS];
    // Written before hInitEvent is signalled; never reset. Read without the
    // start-up lock: through InitDone.
    volatile DWORD fInitDone;
    // Manual-reset: once start-up has succeeded every opener passes.
    HANDLE hInitEvent;
    CUserChannel* pChannel;
    // The start-up thread, kept so that MUX_Deinit can wait for it; null
    // when it could not be started.
    HANDLE hInitThread;
    // Set by MUX_PreDeinit or MUX_Deinit: a start-up thread that has not
    // begun to create the channel leaves it alone. Read through ReadWord.
    volatile LONG fDeinitPending;
    // MUX_Open calls inside the driver: MUX_Deinit waits for them to leave
    // before it deletes the channel and the record they use.
    volatile LONG lOpenCalls;
};

// fInitDone is read through ReadWord (platform/own_calls.h).
inline BOOL InitDone(MuxDeviceContext* ctx)
{
    return ReadWord((volatile LONG*)&ctx->fInitDone) == 1;
}

// Tick count of the last idle-timer reset, shared by "MUX2:" and "MUX3:".
extern volatile DWORD g_dwLastIdleReset;

extern "C" {

BOOL WINAPI DllMain(HANDLE hInstance, DWORD dwReason, LPVOID lpReserved);

// Instances and start-up (init.cpp).
DWORD_PTR MUX_Init(LPCWSTR activeKey, LPCVOID busContext);
BOOL MUX_Deinit(DWORD_PTR deviceContext);
BOOL MUX_PreDeinit(DWORD_PTR deviceContext);

// Open and close (open.cpp).
DWORD_PTR MUX_Open(DWORD_PTR deviceContext, DWORD accessCode, DWORD shareMode);
BOOL MUX_Close(DWORD_PTR openContext);

// Read, write and seek (io.cpp).
DWORD MUX_Read(DWORD_PTR openContext, LPVOID buffer, DWORD count);
DWORD MUX_Write(DWORD_PTR openContext, LPCVOID buffer, DWORD count);
DWORD MUX_Seek(DWORD_PTR openContext, LONG amount, DWORD type);

// I/O control (ioctl.cpp).
BOOL MUX_IOControl(DWORD_PTR openContext, DWORD code, PBYTE in, DWORD inLength, PBYTE out,
                   DWORD outLength, PDWORD actualOut);

// Power notifications (power.cpp).
void MUX_PowerUp(DWORD_PTR deviceContext);
void MUX_PowerDown(DWORD_PTR deviceContext);

}  // extern "C"

// The start-up lock, also taken by an open that has to bring its channel up
// again: channel creation and re-initialisation happen one at a time.
void EnterMuxInitLock();
void LeaveMuxInitLock();

#endif
