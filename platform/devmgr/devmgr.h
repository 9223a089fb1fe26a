// The device manager's stand-in: loads stream drivers' instances from the
// registry and routes the file calls on their device names to the drivers'
// entry points, as the Windows CE device manager does. C++17, host code
// only; the driver never includes it (it only exports its entry points).
#ifndef MUX_PLATFORM_DEVMGR_H
#define MUX_PLATFORM_DEVMGR_H

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

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
    // Optional (null when the driver has none). Called as the instance is
    // deactivated, once no new call can reach it: the driver wakes every
    // thread still blocked in its entry points. Deinit follows only when
    // all of them have left.
    BOOL (*PreDeinit)(DWORD_PTR deviceContext);
};

// Makes a driver's entry points known under its prefix (replaces an earlier
// registration of the same prefix). The driver key's "Prefix" value names it.
void RegisterStreamDriver(const StreamDriverEntries& entries);
// Forgets the driver of `prefix`. Instances already active keep its entries.
void UnregisterStreamDriver(const char* prefix);

// What the device manager does at boot: activates every subkey of
// HKEY_LOCAL_MACHINE\`root` whose "Prefix" names a registered driver, in
// ascending "Order" (keys without one last; ties by key name). Keys of
// unregistered drivers are left alone and reported with
// ERROR_FILE_NOT_FOUND. One entry per subkey, in the order tried.
struct BuiltInActivation {
    std::u16string key;  // the driver key's path, e.g. u"Drivers\\BuiltIn\\MUX1"
    HANDLE device;       // from ActivateDeviceEx, INVALID_HANDLE_VALUE on failure
    DWORD error;         // the last error of a failed activation, else 0
};
std::vector<BuiltInActivation> ActivateBuiltInDrivers(
    const std::u16string& root = u"Drivers\\BuiltIn");

// Reads a registry file in the text format of Windows CE platform files
// ([HKEY_LOCAL_MACHINE\...] sections, "Name"="value", dword:, hex:,
// multi_sz:, ; comments, \ continuations) into the in-memory registry.
// On bad input nothing of the file is loaded and `error` says
// "FILE:LINE: what is wrong".
bool LoadRegFile(const std::string& path, std::string* error);
bool LoadRegText(const std::string& text, const std::string& name, std::string* error);

// A system suspend: every active instance's PowerDown, the last activated
// first. A resume: every PowerUp, in activation order, then the events handed
// to CeSetPowerOnEvent since the last resume are signalled (once each) and
// forgotten (SignalPowerOnEvents, host.h). Both run on the calling thread,
// one at a time, and never overlap an activation or deactivation.
void SystemSuspend();
void SystemResume();

}  // namespace plat

// Win32/CE names of the device manager's calls. ActivateDeviceEx takes the
// driver key's path under HKEY_LOCAL_MACHINE; it creates the active key under
// "Drivers\Active" with "Key" and "Name" ("MUX" plus the key's "Index" and a
// colon), calls Init with the active key's path and registers the device
// name, so that CreateFileW(L"MUX1:") reaches Open. Returns the device handle,
// or INVALID_HANDLE_VALUE. DeactivateDevice calls Deinit and removes both.
//
// The "Index" value picks the number of the name; without it the first free
// number from 1 to 9, then 0, is taken. The active key is the first free
// "Drivers\Active\NN" (two digits, from 01). A failed Init leaves nothing
// behind (last error: the driver's, else ERROR_GEN_FAILURE). lpRegEnts is not
// supported (cRegEnts must be 0); lpvParam reaches Init as its bus context.
//
// Handles opened on an instance that is then deactivated: the name is gone at
// once, and every later ReadFile, WriteFile, SetFilePointer and
// DeviceIoControl on them fails with ERROR_INVALID_HANDLE without reaching
// the driver; CloseHandle succeeds and does not call the driver's Close
// either, since Deinit has released all the instance's state. A call that
// is already inside the driver when DeactivateDevice runs is the driver's to
// end (its Deinit must release a waiting caller): the device manager does not
// wait for it, since that wait is the one Deinit ends.
HANDLE ActivateDeviceEx(LPCWSTR lpszDevKey, LPCVOID lpRegEnts, DWORD cRegEnts, LPVOID lpvParam);
BOOL DeactivateDevice(HANDLE hDevice);

#endif
