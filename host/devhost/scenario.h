// The device manager and the client of the Win32 leg: what a desktop device
// manager does with a stream driver's entry points (activate every instance
// of the registry in "Order", deactivate them at the end) and what the
// radio interface layer does with the ports (AT and its answer, the modem
// status, a data call, a module re-initialisation). The same code runs the
// driver built as gsmmux.dll under Wine (win32/devhost.cpp) and the driver
// on our platform (host/devhost/main.cpp), so that the two diagnostic logs
// can be compared line for line.
//
// Portable C++17 over the Win32 names: it builds against our platform and
// against the real <windows.h> (mingw-w64).
#ifndef MUX_HOST_DEVHOST_SCENARIO_H
#define MUX_HOST_DEVHOST_SCENARIO_H

#include "platform/platform.h"

#include <string>
#include <vector>

namespace devhost {

typedef std::basic_string<WCHAR> WString;

// A stream driver's entry points, as the device manager finds them in its
// DLL (GetProcAddress) or in our platform's table.
struct Entries {
    DWORD_PTR (*Init)(LPCWSTR activeKey, LPCVOID busContext);
    BOOL (*PreDeinit)(DWORD_PTR deviceContext);
    BOOL (*Deinit)(DWORD_PTR deviceContext);
    DWORD_PTR (*Open)(DWORD_PTR deviceContext, DWORD accessCode, DWORD shareMode);
    BOOL (*Close)(DWORD_PTR openContext);
    DWORD (*Read)(DWORD_PTR openContext, LPVOID buffer, DWORD count);
    DWORD (*Write)(DWORD_PTR openContext, LPCVOID buffer, DWORD count);
    BOOL (*IOControl)(DWORD_PTR openContext, DWORD code, PBYTE in, DWORD inLength, PBYTE out,
                      DWORD outLength, PDWORD actualOut);
};

// The names of the entry points the device manager looks up, without the
// prefix's "XXX_": Init, PreDeinit, Deinit, Open, Close, Read, Write,
// IOControl, in the order of the members above.
extern const char* const kEntryNames[8];

// The instances under HKEY_LOCAL_MACHINE\`builtInRoot` in ascending "Order"
// (keys without one are left out): their key paths and device names
// ("Prefix" "Index" ":").
struct Instance {
    WString key;
    WString name;
    DWORD order;
};
std::vector<Instance> InstancesInOrder(const WString& builtInRoot,
                                       const std::vector<WString>& subkeyNames);

// Activates the instances, runs the client on their ports and deactivates
// them; each step is printed on standard output. 0 when every step did what
// the client expects, 1 otherwise. A step that hangs ends the process with
// status 3 after `stepLimitMs`.
int Run(const Entries& entries, const std::vector<Instance>& instances, DWORD stepLimitMs);

// Narrow text of a wide string (its ASCII part) for messages.
std::string Narrow(const WString& s);
WString Widen(const std::string& s);

}  // namespace devhost

#endif
