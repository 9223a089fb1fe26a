// The device manager's stand-in: loads stream drivers' instances from the
// registry and routes the file calls on their device names to the drivers'
// entry points, as the Windows CE device manager does. C++17, host code
// only; the driver never includes it (it only exports its entry points).
#ifndef MUX_PLATFORM_DEVMGR_H
#define MUX_PLATFORM_DEVMGR_H

#include "platform/platform.h"

#include <string>

namespace plat {

// A stream driver's entry points, found by prefix ("MUX") the way the phone's
// device manager finds XXX_Init and friends in the driver's DLL. Device and
// open contexts are pointer-sized values (a DWORD on the 32-bit phone).
struct StreamDriverEntries {
    const char* prefix;  // three capitals, e.g. "MUX"
    DWORD_PTR (*Init)(LPCWSTR activeKey, LPCVOID busContext);
    BOOL (*Deinit)(DWORD_PTR deviceContext);
    DWORD_PTR (*Open)(DWORD_PTR deviceContext, DWORD accessCode, DWORD shareMode);
    BOOL (*Close)(DWORD_PTR openContext);
    DWORD (*Read)(DWORD_PTR openContext, LPVOID buffer, DWORD count);
    DWORD (*Write)(DWORD_PTR openContext, LPCVOID buffer, DWORD count);
    DWORD (*Seek)(DWORD_PTR openContext, LONG amount, DWORD type);
    BOOL (*IOControl)(DWORD_PTR openContext, DWORD code, PBYTE in, DWORD inLen, PBYTE out,
                      DWORD outLen, PDWORD actualOut);
    void (*PowerUp)(DWORD_PTR deviceContext);
    void (*PowerDown)(DWORD_PTR deviceContext);
};

// Makes a driver's entry points known under its prefix (replaces an earlier
// registration of the same prefix). The driver key's "Prefix" value names it.
void RegisterStreamDriver(const StreamDriverEntries& entries);

// Reads a registry file in the text format of Windows CE platform files
// ([HKEY_LOCAL_MACHINE\...] sections, "Name"="value", dword:, hex:,
// multi_sz:, ; comments, \ continuations) into the in-memory registry.
// On bad input nothing of the file is loaded and `error` says
// "FILE:LINE: what is wrong".
bool LoadRegFile(const std::string& path, std::string* error);
bool LoadRegText(const std::string& text, const std::string& name, std::string* error);

// A system suspend: every active instance's PowerDown, in activation order.
// A resume: every PowerUp, then the events handed to CeSetPowerOnEvent are
// signalled. Both run on the calling thread.
void SystemSuspend();
void SystemResume();

}  // namespace plat

// Win32/CE names of the device manager's calls. ActivateDeviceEx takes the
// driver key's path under HKEY_LOCAL_MACHINE; it creates the active key under
// "Drivers\Active" with "Key" and "Name" ("MUX" plus the key's "Index" and a
// colon), calls Init with the active key's path and registers the device
// name, so that CreateFileW(L"MUX1:") reaches Open. Returns the device handle,
// or INVALID_HANDLE_VALUE. DeactivateDevice calls Deinit and removes both.
HANDLE ActivateDeviceEx(LPCWSTR lpszDevKey, LPCVOID lpRegEnts, DWORD cRegEnts, LPVOID lpvParam);
BOOL DeactivateDevice(HANDLE hDevice);

#endif
