// HKEY_LOCAL_MACHINE, held in memory.
//
// Keys form a tree; key and value names compare case-insensitively (ASCII
// letters fold), and keep the spelling they were created with. An HKEY is a
// pointer to a handle record that holds its key alive; handles are checked
// against the set of open ones, so a stale or foreign HKEY gives
// ERROR_INVALID_HANDLE instead of a crash. The access mask is enforced as
// desktop Windows enforces it: a value is read only through a handle opened
// with KEY_QUERY_VALUE and written only through one with KEY_SET_VALUE
// (ERROR_ACCESS_DENIED otherwise). Windows CE ignores the mask, so a mistake
// there would show only on a desktop system; here it shows on every run.
//
// Registry calls never block; one mutex serialises them.
#include "platform/host.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr LONG kErrorKeyDeleted = 1018;  // ERROR_KEY_DELETED

std::u16string Fold(const std::u16string& s)
{
    std::u16string r(s);
    for (char16_t& c : r) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return r;
}

struct Value {
    std::u16string name;  // as first written
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;
    std::weak_ptr<Key> parent;
    bool deleted = false;
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by folded name
    std::map<std::u16string, Value> values;                  // by folded name
};

struct Handle {
    std::shared_ptr<Key> key;
    REGSAM access;
};

std::mutex& Mutex()
{
    static std::mutex m;
    return m;
}

std::shared_ptr<Key>& Root()
{
    static std::shared_ptr<Key> root = std::make_shared<Key>();
    return root;
}

std::set<Handle*>& OpenHandles()
{
    static std::set<Handle*> handles;
    return handles;
}

// The key an HKEY stands for, or null (with the error in *err).
std::shared_ptr<Key> Resolve(HKEY h, LONG* err)
{
    if (h == HKEY_LOCAL_MACHINE) return Root();
    Handle* handle = reinterpret_cast<Handle*>(h);
    if (OpenHandles().count(handle) == 0) {
        *err = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (handle->key->deleted) {
        *err = kErrorKeyDeleted;
        return nullptr;
    }
    return handle->key;
}

// Splits a subkey path at '\'; empty components (doubled, leading or
// trailing separators) are skipped.
std::vector<std::u16string> SplitPath(LPCWSTR path)
{
    std::vector<std::u16string> parts;
    if (path == nullptr) return parts;
    std::u16string cur;
    for (const WCHAR* p = path; *p; ++p) {
        if (*p == u'\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(*p);
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::shared_ptr<Key> Find(std::shared_ptr<Key> key, const std::vector<std::u16string>& parts)
{
    for (const std::u16string& part : parts) {
        auto it = key->subkeys.find(Fold(part));
        if (it == key->subkeys.end()) return nullptr;
        key = it->second;
    }
    return key;
}

// Whether the HKEY was opened with `right`; the predefined root key has
// every right.
bool Allows(HKEY h, REGSAM right)
{
    if (h == HKEY_LOCAL_MACHINE) return true;
    return (reinterpret_cast<Handle*>(h)->access & right) == right;
}

HKEY NewHandle(const std::shared_ptr<Key>& key, REGSAM access)
{
    Handle* h = new Handle{key, access};
    OpenHandles().insert(h);
    return reinterpret_cast<HKEY>(h);
}

std::u16string ValueName(LPCWSTR name) { return name ? std::u16string(name) : std::u16string(); }

void MarkDeleted(const std::shared_ptr<Key>& key)
{
    key->deleted = true;
    for (auto& sub : key->subkeys) MarkDeleted(sub.second);
}

}  // namespace

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    (void)ulOptions;
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(Mutex());
    *phkResult = nullptr;
    LONG err = ERROR_SUCCESS;
    std::shared_ptr<Key> base = Resolve(hKey, &err);
    if (!base) return err;
    std::shared_ptr<Key> key = Find(base, SplitPath(lpSubKey));
    if (!key) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(key, samDesired);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(Mutex());
    *phkResult = nullptr;
    LONG err = ERROR_SUCCESS;
    std::shared_ptr<Key> key = Resolve(hKey, &err);
    if (!key) return err;
    bool created = false;
    for (const std::u16string& part : SplitPath(lpSubKey)) {
        std::shared_ptr<Key>& slot = key->subkeys[Fold(part)];
        if (!slot) {
            slot = std::make_shared<Key>();
            slot->name = part;
            slot->parent = key;
            created = true;
        }
        key = slot;
    }
    *phkResult = NewHandle(key, samDesired);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> guard(Mutex());
    Handle* handle = reinterpret_cast<Handle*>(hKey);
    if (OpenHandles().erase(handle) == 0) return ERROR_INVALID_HANDLE;
    delete handle;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(Mutex());
    LONG err = ERROR_SUCCESS;
    std::shared_ptr<Key> key = Resolve(hKey, &err);
    if (!key) return err;
    if (!Allows(hKey, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    auto it = key->values.find(Fold(ValueName(lpValueName)));
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
    const Value& v = it->second;
    const DWORD size = static_cast<DWORD>(v.data.size());
    if (lpType) *lpType = v.type;
    if (lpData == nullptr) {
        // Only the size is asked for (or nothing but the value's existence).
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size) memcpy(lpData, v.data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData)
{
    (void)Reserved;
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(Mutex());
    LONG err = ERROR_SUCCESS;
    std::shared_ptr<Key> key = Resolve(hKey, &err);
    if (!key) return err;
    if (!Allows(hKey, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    const std::u16string name = ValueName(lpValueName);
    Value v;
    v.name = name;
    v.type = dwType;
    if (cbData) v.data.assign(lpData, lpData + cbData);
    if (dwType == REG_SZ) {
        // A string is stored with its terminator, so that a reader who
        // trusts the size it gets back always finds one; a caller that
        // passed the length without the terminator gets it added.
        if (v.data.size() % 2) v.data.push_back(0);
        const size_t n = v.data.size();
        if (n < 2 || v.data[n - 2] != 0 || v.data[n - 1] != 0) {
            v.data.push_back(0);
            v.data.push_back(0);
        }
    }
    key->values[Fold(name)] = std::move(v);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(Mutex());
    LONG err = ERROR_SUCCESS;
    std::shared_ptr<Key> base = Resolve(hKey, &err);
    if (!base) return err;
    std::shared_ptr<Key> key = Find(base, SplitPath(lpSubKey));
    if (!key) return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Key> parent = key->parent.lock();
    // The root cannot go, and, as on Windows, neither can a key that still
    // has subkeys.
    if (!parent || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->subkeys.erase(Fold(key->name));
    key->deleted = true;  // handles still open on it now fail
    return ERROR_SUCCESS;
}

namespace plat {

std::vector<std::u16string> RegistrySubkeys(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(Mutex());
    std::vector<std::u16string> names;
    std::shared_ptr<Key> key = Find(Root(), SplitPath(path.c_str()));
    if (!key) return names;
    for (const auto& sub : key->subkeys) names.push_back(sub.second->name);
    return names;
}

void ClearRegistry()
{
    std::lock_guard<std::mutex> guard(Mutex());
    // Handles still open keep their (now deleted) keys and can be closed.
    MarkDeleted(Root());
    Root() = std::make_shared<Key>();
}

}  // namespace plat
