#include "instances.h"

#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace gsmmuxd {

namespace {

// A string value of HKEY_LOCAL_MACHINE\`path`; empty when there is none.
std::u16string ReadString(const std::u16string& path, const std::u16string& name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, 0, &key) !=
        ERROR_SUCCESS)
        return std::u16string();
    WCHAR buf[256] = {};
    DWORD size = sizeof buf - sizeof(WCHAR);
    const LONG rc = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name.c_str()), nullptr,
                                     nullptr, reinterpret_cast<LPBYTE>(buf), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(buf));
}

DWORD ReadDword(const std::u16string& path, const std::u16string& name)
{
    HKEY key = nullptr;
    DWORD value = 0, size = sizeof value;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, 0, &key) !=
        ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name.c_str()), nullptr, nullptr,
                         reinterpret_cast<LPBYTE>(&value), &size) != ERROR_SUCCESS)
        value = 0;
    RegCloseKey(key);
    return value;
}

bool SameIgnoringCase(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = char16_t(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = char16_t(y - u'a' + u'A');
        if (x != y) return false;
    }
    return true;
}

// The device name ("MUX1:") the device manager gave the instance of the
// driver key `driverKey`: the "Name" of the active key whose "Key" is it.
std::string ActiveNameOf(const std::u16string& driverKey)
{
    const std::u16string active = u"Drivers\\Active";
    for (const std::u16string& sub : plat::RegistrySubkeys(active)) {
        const std::u16string path = active + u"\\" + sub;
        if (SameIgnoringCase(ReadString(path, u"Key"), driverKey))
            return plat::ToUtf8(ReadString(path, u"Name"));
    }
    return std::string();
}

bool Readable(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

}  // namespace

std::string DefaultConfigurationPath()
{
    // Installed beside the program first, then the source tree it was built
    // from.
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, size_t(n));
        const size_t slash = dir.rfind('/');
        if (slash != std::string::npos) {
            const std::string beside = dir.substr(0, slash) + "/mux.reg";
            if (Readable(beside)) return beside;
        }
    }
#ifdef MUX_SOURCE_DIR
    const std::string source = std::string(MUX_SOURCE_DIR) + "/config/mux.reg";
    if (Readable(source)) return source;
#endif
    return std::string();
}

bool LoadConfiguration(const std::string& regFile, std::string* error)
{
    std::string path = regFile;
    if (path.empty()) {
        path = DefaultConfigurationPath();
        if (path.empty()) {
            *error = "no default configuration: mux.reg is neither beside the program nor in "
                     "the source tree; use --reg FILE";
            return false;
        }
    }
    return plat::LoadRegFile(path, error);
}

bool ActivateInstances(std::vector<Instance>* out, std::string* error)
{
    out->clear();
    muxhost::RegisterMuxDriver();
    std::string failure;
    for (const plat::BuiltInActivation& a : plat::ActivateBuiltInDrivers()) {
        // Keys of other drivers are the platform's, not this program's.
        if (ReadString(a.key, u"Prefix") != u"MUX") continue;
        if (a.device == INVALID_HANDLE_VALUE || a.device == nullptr) {
            if (failure.empty())
                failure = plat::ToUtf8(a.key) + ": activation failed (error " +
                          std::to_string(a.error) + ")";
            continue;
        }
        Instance instance;
        instance.device = a.device;
        instance.name = ActiveNameOf(a.key);
        instance.dlci = int(ReadDword(a.key, u"GSM_0710_DLCI"));
        out->push_back(instance);
        if (instance.name.empty() && failure.empty())
            failure = plat::ToUtf8(a.key) + ": active but without a device name";
    }
    if (failure.empty() && out->empty())
        failure = "the configuration declares no instance of the driver (no key with "
                  "\"Prefix\"=\"MUX\" under Drivers\\BuiltIn)";
    if (!failure.empty()) {
        DeactivateInstances(out);
        *error = failure;
        return false;
    }
    return true;
}

void DeactivateInstances(std::vector<Instance>* instances)
{
    for (auto it = instances->rbegin(); it != instances->rend(); ++it) {
        if (!DeactivateDevice(it->device))
            fprintf(stderr, "gsmmuxd: %s: deactivation failed (error %lu)\n", it->name.c_str(),
                    (unsigned long)GetLastError());
    }
    instances->clear();
}

}  // namespace gsmmuxd
