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
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, &key) !=
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
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, &key) !=
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

bool HasDword(const std::u16string& path, const std::u16string& name)
{
    HKEY key = nullptr;
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return false;
    const bool ok = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name.c_str()), nullptr, &type,
                                     reinterpret_cast<LPBYTE>(&value), &size) == ERROR_SUCCESS &&
                    type == REG_DWORD;
    RegCloseKey(key);
    return ok;
}

// Why the device manager could not activate the instance of `key`, in the
// words of its configuration: the driver creates no instance without its
// DLCI and type, and the device manager none without a usable name.
std::string WhyNotActivated(const std::u16string& key, DWORD error)
{
    const std::string where = plat::ToUtf8(key) + ": not activated: ";
    for (const char16_t* value : {u"GSM_0710_DLCI", u"GSM_0710_TYPE"}) {
        if (!HasDword(key, value))
            return where + "no \"" + plat::ToUtf8(value) + "\" (a dword) in the key";
    }
    const DWORD dlci = ReadDword(key, u"GSM_0710_DLCI") & 0xFF;
    if (dlci < 1 || dlci > 63)
        return where + "\"GSM_0710_DLCI\" gives DLCI " + std::to_string(dlci) +
               ", not one of 1 to 63";
    switch (error) {
    case ERROR_ALREADY_EXISTS: return where + "its device name is already taken";
    case ERROR_FILE_NOT_FOUND: return where + "no driver is registered for its \"Prefix\"";
    case ERROR_INVALID_PARAMETER:
        return where + "its \"Prefix\" and \"Index\" do not make a device name";
    default: return where + "the driver refused it (error " + std::to_string(error) + ")";
    }
}

}  // namespace

bool LoadConfiguration(const std::string& regFile, std::string* error)
{
    std::string path = regFile;
    if (path.empty()) {
        path = muxhost::DefaultConfigurationPath();
        if (path.empty()) {
            *error = "no default configuration: mux.reg is neither beside the program, nor in "
                     "its share/gsmmux, nor in the source tree; use --reg FILE";
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
            if (failure.empty()) failure = WhyNotActivated(a.key, a.error);
            continue;
        }
        Instance instance;
        instance.device = a.device;
        instance.key = a.key;
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

bool ReactivateInstance(Instance* instance, std::string* error)
{
    if (instance->device != nullptr && instance->device != INVALID_HANDLE_VALUE)
        DeactivateDevice(instance->device);
    instance->device = ActivateDeviceEx(reinterpret_cast<LPCWSTR>(instance->key.c_str()), nullptr,
                                        0, nullptr);
    if (instance->device != nullptr && instance->device != INVALID_HANDLE_VALUE) return true;
    *error = instance->name + ": activation failed (error " + std::to_string(GetLastError()) + ")";
    instance->device = nullptr;
    return false;
}

void DeactivateInstances(std::vector<Instance>* instances)
{
    for (auto it = instances->rbegin(); it != instances->rend(); ++it) {
        if (it->device == nullptr) continue;
        if (!DeactivateDevice(it->device))
            fprintf(stderr, "gsmmuxd: %s: deactivation failed (error %lu)\n", it->name.c_str(),
                    (unsigned long)GetLastError());
    }
    instances->clear();
}

}  // namespace gsmmuxd
