// The Windows CE calls that desktop Windows lacks, declared as the CE
// headers (pkfuncs.h, pm.h, winbase.h of CE) declare them. Only the compile
// check of the driver against a desktop <windows.h> uses this header; the
// phone's toolchain has the real ones.
#ifndef MUX_PLATFORM_WINCE_H
#define MUX_PLATFORM_WINCE_H

#ifdef __cplusplus
extern "C" {
#endif

// Threads on the 256-level priority scale (0 is the most urgent).
BOOL WINAPI CeSetThreadPriority(HANDLE hThread, int nPriority);
int WINAPI CeGetThreadPriority(HANDLE hThread);
#define CE_THREAD_PRIO_256_NORMAL 251

// Interrupts.
BOOL WINAPI InterruptInitialize(DWORD idInt, HANDLE hEvent, LPVOID pvData, DWORD cbData);
VOID WINAPI InterruptDone(DWORD idInt);
VOID WINAPI InterruptDisable(DWORD idInt);

// Kernel debug output.
VOID WINAPIV NKDbgPrintfW(LPCWSTR lpszFmt, ...);

// Power.
VOID WINAPI SystemIdleTimerReset(VOID);
BOOL WINAPI CeSetPowerOnEvent(HANDLE hEvt);

// Whether a system API set is registered yet (SH_WMGR: the window manager,
// SH_SHELL: the shell).
BOOL WINAPI IsAPIReady(DWORD hAPI);
#define SH_WMGR 17
#define SH_SHELL 21

#ifdef __cplusplus
}
#endif

#endif
