// devhost.exe: what the device manager does on a desktop Windows, for the
// driver built as gsmmux.dll (run under Wine by scripts/wine-leg). The
// registry file has been imported into the system's registry (reg import);
// this program finds the instances under HKLM\Drivers\BuiltIn, loads the DLL
// their "Dll" value names, looks up the prefix's entry points, provides the
// module's lines as the I/O port block the DLL maps, and runs the scenario
// of host/devhost/scenario.h ("COM9:" is the system's serial port, mapped by
// the leg to the tty where the simulated module answers).
#include "host/devhost/scenario.h"
#include "platform/own_calls.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The lines the host stands for: GSM_RF_OK (port F, data bit 0x20) high, so
// that the module counts as running, and the sleep status (port D, bit 0x02)
// low, so that it counts as awake.
const DWORD kPortFData = 0x54, kRfOkPin = 0x20;
const DWORD kPortDData = 0x34, kSleepPin = 0x02;

struct Lines {
    HANDLE mapping;
    volatile LONG* block;
};

bool ProvideLines(Lines* lines)
{
    lines->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                        MUX_IOPORT_BLOCK_BYTES, MUX_IOPORT_BLOCK_NAME);
    if (lines->mapping == NULL) return false;
    lines->block = (volatile LONG*)MapViewOfFile(lines->mapping, FILE_MAP_ALL_ACCESS, 0, 0,
                                                 MUX_IOPORT_BLOCK_BYTES);
    if (lines->block == NULL) return false;
    lines->block[kPortFData / 4] |= kRfOkPin;
    lines->block[kPortDData / 4] &= ~(LONG)kSleepPin;
    return true;
}

std::vector<devhost::WString> Subkeys(const devhost::WString& path)
{
    std::vector<devhost::WString> names;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

bool ReadString(const devhost::WString& path, LPCWSTR name, devhost::WString* value)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    WCHAR buffer[260] = {0};
    DWORD size = sizeof buffer - sizeof(WCHAR), type = 0;
    const bool ok = RegQueryValueExW(key, name, NULL, &type, (LPBYTE)buffer, &size) ==
                        ERROR_SUCCESS && type == REG_SZ;
    RegCloseKey(key);
    if (ok) *value = buffer;
    return ok;
}

template <typename F>
bool Find(HMODULE dll, const std::string& name, F* entry)
{
    *entry = (F)(void*)GetProcAddress(dll, name.c_str());
    if (*entry == NULL) std::fprintf(stderr, "devhost: %s not exported\n", name.c_str());
    return *entry != NULL;
}

}  // namespace

int main(int argc, char** argv)
{
    DWORD stepLimit = 60000;
    if (argc == 3 && std::string(argv[1]) == "--step-limit") {
        stepLimit = (DWORD)std::strtoul(argv[2], NULL, 10);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: devhost [--step-limit MS]\n");
        return 2;
    }
    const devhost::WString root = L"Drivers\\BuiltIn";
    const std::vector<devhost::Instance> instances = devhost::InstancesInOrder(root, Subkeys(root));
    if (instances.empty()) {
        std::fprintf(stderr, "devhost: no instance under HKLM\\Drivers\\BuiltIn\n");
        return 2;
    }
    devhost::WString dllName, prefix;
    if (!ReadString(instances[0].key, L"Dll", &dllName) ||
        !ReadString(instances[0].key, L"Prefix", &prefix)) {
        std::fprintf(stderr, "devhost: %s has no \"Dll\" or \"Prefix\"\n",
                     devhost::Narrow(instances[0].key).c_str());
        return 2;
    }
    Lines lines;
    if (!ProvideLines(&lines)) {
        std::fprintf(stderr, "devhost: no I/O port block (error %lu)\n", GetLastError());
        return 2;
    }
    HMODULE dll = LoadLibraryW(dllName.c_str());
    if (dll == NULL) {
        std::fprintf(stderr, "devhost: LoadLibrary(%s) failed (error %lu)\n",
                     devhost::Narrow(dllName).c_str(), GetLastError());
        return 2;
    }
    std::printf("-- %s loaded\n", devhost::Narrow(dllName).c_str());
    const std::string p = devhost::Narrow(prefix) + "_";
    devhost::Entries e;
    const char* const* n = devhost::kEntryNames;
    if (!Find(dll, p + n[0], &e.Init) || !Find(dll, p + n[1], &e.PreDeinit) ||
        !Find(dll, p + n[2], &e.Deinit) || !Find(dll, p + n[3], &e.Open) ||
        !Find(dll, p + n[4], &e.Close) || !Find(dll, p + n[5], &e.Read) ||
        !Find(dll, p + n[6], &e.Write) || !Find(dll, p + n[7], &e.IOControl)) {
        return 2;
    }
    const int status = devhost::Run(e, instances, stepLimit);
    FreeLibrary(dll);
    UnmapViewOfFile((LPCVOID)lines.block);
    CloseHandle(lines.mapping);
    return status;
}
