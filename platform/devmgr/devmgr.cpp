// The device manager: stream drivers by prefix, their instances activated
// from driver keys, and the routing of the file calls on a device name
// ("MUX1:") to the instance's entry points.
//
// Locks: the activation lock (a critical section of this platform, so that
// simulated threads wait on it properly) serialises activation,
// deactivation and the power calls, and is held across the driver's Init,
// Deinit, PowerUp and PowerDown. The state mutex only guards the tables for a
// few lines and is never held across a platform call that may block.
//
// Deinit never runs under a thread that is still inside one of the
// instance's entry points: every call on the instance is counted, and
// deactivation stops new calls, lets the driver wake the blocked ones
// (PreDeinit) and waits for the count to fall to zero before Deinit frees
// what those calls use.
#include "platform/devmgr/devmgr.h"

#include "platform/devmgr/devmgr_impl.h"
#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace plat::devmgr {
namespace {

struct Instance {
    StreamDriverEntries entries;
    std::u16string driverKey;
    std::u16string activeKey;
    std::u16string name;  // "MUX1:"
    DWORD_PTR context = 0;
    uintptr_t id = 0;     // the device handle's value
    std::atomic<bool> active{true};
    std::atomic<int> calls{0};  // threads inside the driver's entry points
};
using InstancePtr = std::shared_ptr<Instance>;

// One call on an instance. Counted before `active` is looked at, while
// deactivation clears `active` before it looks at the count: a call either
// finds the instance gone or is counted and waited for.
class CallScope {
public:
    explicit CallScope(Instance& inst) : inst_(inst) { inst_.calls.fetch_add(1); }
    ~CallScope() { inst_.calls.fetch_sub(1); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    bool Live() const { return inst_.active.load(); }

private:
    Instance& inst_;
};

struct State {
    std::mutex mutex;
    std::map<std::string, StreamDriverEntries> drivers;  // by upper-case prefix
    std::vector<InstancePtr> instances;                  // in activation order
    uintptr_t nextId = 0x10001;                          // odd: never a kernel handle
};

State& S()
{
    static State* s = new State;
    return *s;
}

CRITICAL_SECTION& ActivationLock()
{
    static CRITICAL_SECTION* cs = [] {
        auto* c = new CRITICAL_SECTION;
        InitializeCriticalSection(c);
        return c;
    }();
    return *cs;
}

class ActivationGuard {
public:
    ActivationGuard() { EnterCriticalSection(&ActivationLock()); }
    ~ActivationGuard() { LeaveCriticalSection(&ActivationLock()); }
    ActivationGuard(const ActivationGuard&) = delete;
    ActivationGuard& operator=(const ActivationGuard&) = delete;
};

std::string UpperAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

std::u16string Fold(std::u16string s)
{
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
    return s;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// One open handle on an instance: the driver's open context.
class StreamHandle final : public Object {
public:
    StreamHandle(InstancePtr inst, DWORD_PTR openContext)
        : Object(ObjectKind::Device), inst_(std::move(inst)), open_(openContext)
    {
    }

    BOOL Close() override
    {
        CallScope call(*inst_);
        if (!call.Live()) return TRUE;  // Deinit has released the open context
        return inst_->entries.Close(open_);
    }

    BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read) override
    {
        CallScope call(*inst_);
        if (!call.Live()) return Fail(ERROR_INVALID_HANDLE);
        const DWORD n = inst_->entries.Read(open_, buffer, toRead);
        if (n == (DWORD)-1) return FALSE;
        *read = std::min(n, toRead);
        return TRUE;
    }

    BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written) override
    {
        CallScope call(*inst_);
        if (!call.Live()) return Fail(ERROR_INVALID_HANDLE);
        const DWORD n = inst_->entries.Write(open_, buffer, toWrite);
        if (n == (DWORD)-1) return FALSE;
        *written = std::min(n, toWrite);
        return TRUE;
    }

    DWORD SetPointer(LONG distance, LPLONG distanceHigh, DWORD method) override
    {
        CallScope call(*inst_);
        if (!call.Live()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return INVALID_SET_FILE_POINTER;
        }
        if (distanceHigh) *distanceHigh = 0;
        return inst_->entries.Seek(open_, distance, method);
    }

    BOOL IoControl(DWORD code, LPVOID in, DWORD inLen, LPVOID out, DWORD outLen,
                   LPDWORD returned)
    {
        CallScope call(*inst_);
        if (!call.Live()) return Fail(ERROR_INVALID_HANDLE);
        return inst_->entries.IOControl(open_, code, static_cast<PBYTE>(in), inLen,
                                        static_cast<PBYTE>(out), outLen, returned);
    }

    std::string Describe() const override { return "stream device '" + ToUtf8(inst_->name) + "'"; }

private:
    const InstancePtr inst_;
    const DWORD_PTR open_;
};

Object* OpenInstance(const InstancePtr& inst, DWORD access, DWORD share)
{
    CallScope call(*inst);
    if (!call.Live()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const DWORD_PTR openContext = inst->entries.Open(inst->context, access, share);
    if (openContext == 0) return nullptr;  // the driver's last error stands
    return new StreamHandle(inst, openContext);
}

// What the driver key says about the instance to be: the driver's entries
// and the device name. ERROR_* on failure.
DWORD ReadDriverKey(LPCWSTR driverKey, StreamDriverEntries* entries, std::u16string* prefix,
                    DWORD* index, bool* hasIndex)
{
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverKey, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return (DWORD)rc;
    WCHAR text[16] = {};
    DWORD size = sizeof text - sizeof(WCHAR), type = REG_NONE;
    rc = RegQueryValueExW(key, u"Prefix", nullptr, &type, (LPBYTE)text, &size);
    if (type != REG_SZ) rc = ERROR_INVALID_PARAMETER;
    DWORD value = 0;
    DWORD valueSize = sizeof value;
    *hasIndex = RegQueryValueExW(key, u"Index", nullptr, &type, (LPBYTE)&value, &valueSize) ==
                    ERROR_SUCCESS &&
                type == REG_DWORD;
    *index = value;
    RegCloseKey(key);
    *prefix = text;
    if (rc != ERROR_SUCCESS || prefix->size() != 3) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(S().mutex);
    auto it = S().drivers.find(UpperAscii(ToUtf8(*prefix)));
    if (it == S().drivers.end()) return ERROR_FILE_NOT_FOUND;
    *entries = it->second;
    return ERROR_SUCCESS;
}

bool NameInUse(const std::u16string& name)
{
    std::lock_guard<std::mutex> g(S().mutex);
    for (const InstancePtr& i : S().instances)
        if (Fold(i->name) == Fold(name)) return true;
    return false;
}

// The device name for the instance, or empty when every candidate is taken.
std::u16string PickName(const std::u16string& prefix, DWORD index, bool hasIndex)
{
    auto nameFor = [&](DWORD n) { return prefix + FromUtf8(std::to_string(n)) + u":"; };
    if (hasIndex) return NameInUse(nameFor(index)) ? std::u16string() : nameFor(index);
    for (DWORD n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 0u})
        if (!NameInUse(nameFor(n))) return nameFor(n);
    return std::u16string();
}

// Creates the first free "Drivers\Active\NN" with "Key" and "Name".
std::u16string CreateActiveKey(const std::u16string& driverKey, const std::u16string& name)
{
    for (int n = 1; n <= 99; ++n) {
        char digits[4];
        snprintf(digits, sizeof digits, "%02d", n);
        const std::u16string path = u"Drivers\\Active\\" + FromUtf8(digits);
        HKEY key = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition) != ERROR_SUCCESS)
            return std::u16string();
        if (disposition != REG_CREATED_NEW_KEY) {
            RegCloseKey(key);
            continue;
        }
        RegSetValueExW(key, u"Key", 0, REG_SZ, (const BYTE*)driverKey.c_str(),
                       (DWORD)((driverKey.size() + 1) * sizeof(WCHAR)));
        RegSetValueExW(key, u"Name", 0, REG_SZ, (const BYTE*)name.c_str(),
                       (DWORD)((name.size() + 1) * sizeof(WCHAR)));
        RegCloseKey(key);
        return path;
    }
    return std::u16string();
}

HANDLE ActivateLocked(LPCWSTR lpszDevKey, LPVOID lpvParam)
{
    StreamDriverEntries entries{};
    std::u16string prefix;
    DWORD index = 0;
    bool hasIndex = false;
    const DWORD err = ReadDriverKey(lpszDevKey, &entries, &prefix, &index, &hasIndex);
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    auto inst = std::make_shared<Instance>();
    inst->entries = entries;
    inst->driverKey = lpszDevKey;
    inst->name = PickName(prefix, index, hasIndex);
    if (inst->name.empty()) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    inst->activeKey = CreateActiveKey(inst->driverKey, inst->name);
    if (inst->activeKey.empty()) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    inst->context = entries.Init(inst->activeKey.c_str(), lpvParam);
    if (inst->context == 0) {
        const DWORD driverError = GetLastError();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, inst->activeKey.c_str());
        SetLastError(driverError ? driverError : ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    {
        std::lock_guard<std::mutex> g(S().mutex);
        inst->id = S().nextId;
        S().nextId += 2;
        S().instances.push_back(inst);
    }
    RegisterDevice(inst->name, [inst](DWORD access, DWORD share, DWORD, DWORD) {
        return OpenInstance(inst, access, share);
    });
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(inst->id);
}

// Takes the instance of a device handle out of the table.
InstancePtr Withdraw(HANDLE device)
{
    std::lock_guard<std::mutex> g(S().mutex);
    auto& list = S().instances;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->id != reinterpret_cast<uintptr_t>(device)) continue;
        InstancePtr inst = *it;
        list.erase(it);
        return inst;
    }
    return nullptr;
}

std::vector<InstancePtr> Snapshot()
{
    std::lock_guard<std::mutex> g(S().mutex);
    return S().instances;
}

}  // namespace

void PowerAll(bool up)
{
    ActivationGuard guard;
    std::vector<InstancePtr> list = Snapshot();
    if (!up) std::reverse(list.begin(), list.end());
    for (const InstancePtr& inst : list) {
        if (!inst->active) continue;
        if (up && inst->entries.PowerUp) inst->entries.PowerUp(inst->context);
        if (!up && inst->entries.PowerDown) inst->entries.PowerDown(inst->context);
    }
}

}  // namespace plat::devmgr

namespace plat {

void RegisterStreamDriver(const StreamDriverEntries& entries)
{
    std::lock_guard<std::mutex> g(devmgr::S().mutex);
    devmgr::S().drivers[devmgr::UpperAscii(entries.prefix ? entries.prefix : "")] = entries;
}

void UnregisterStreamDriver(const char* prefix)
{
    std::lock_guard<std::mutex> g(devmgr::S().mutex);
    devmgr::S().drivers.erase(devmgr::UpperAscii(prefix ? prefix : ""));
}

std::vector<BuiltInActivation> ActivateBuiltInDrivers(const std::u16string& root)
{
    struct Candidate {
        bool hasOrder;
        DWORD order;
        std::u16string folded;
        std::u16string path;
    };
    std::vector<Candidate> keys;
    for (const std::u16string& name : RegistrySubkeys(root)) {
        Candidate c{false, 0, devmgr::Fold(name), root + u"\\" + name};
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            DWORD type = REG_NONE, size = sizeof c.order;
            c.hasOrder = RegQueryValueExW(key, u"Order", nullptr, &type, (LPBYTE)&c.order,
                                          &size) == ERROR_SUCCESS &&
                         type == REG_DWORD;
            RegCloseKey(key);
        }
        keys.push_back(c);
    }
    std::stable_sort(keys.begin(), keys.end(), [](const Candidate& a, const Candidate& b) {
        if (a.hasOrder != b.hasOrder) return a.hasOrder;
        if (a.hasOrder && a.order != b.order) return a.order < b.order;
        return a.folded < b.folded;
    });
    std::vector<BuiltInActivation> results;
    for (const Candidate& c : keys) {
        HANDLE device = ActivateDeviceEx(c.path.c_str(), nullptr, 0, nullptr);
        results.push_back({c.path, device, device == INVALID_HANDLE_VALUE ? GetLastError() : 0});
    }
    return results;
}

}  // namespace plat

using namespace plat;

HANDLE ActivateDeviceEx(LPCWSTR lpszDevKey, LPCVOID lpRegEnts, DWORD cRegEnts, LPVOID lpvParam)
{
    kernel::YieldPoint();
    (void)lpRegEnts;
    if (!lpszDevKey || !*lpszDevKey || cRegEnts != 0) {
        SetLastError(cRegEnts != 0 ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    devmgr::ActivationGuard guard;
    return devmgr::ActivateLocked(lpszDevKey, lpvParam);
}

BOOL DeactivateDevice(HANDLE hDevice)
{
    kernel::YieldPoint();
    devmgr::ActivationGuard guard;
    devmgr::InstancePtr inst = devmgr::Withdraw(hDevice);
    if (!inst) return devmgr::Fail(ERROR_INVALID_HANDLE);
    UnregisterDevice(inst->name);  // no new opens
    inst->active = false;          // open handles no longer reach the driver
    if (inst->entries.PreDeinit) inst->entries.PreDeinit(inst->context);
    // Calls still inside the driver end before it frees what they use.
    while (inst->calls.load() != 0) Sleep(1);
    inst->entries.Deinit(inst->context);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, inst->activeKey.c_str());
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    kernel::YieldPoint();
    if (lpOverlapped) return devmgr::Fail(ERROR_NOT_SUPPORTED);
    ObjectRef ref(hDevice);
    if (!ref) return FALSE;
    auto* stream = dynamic_cast<devmgr::StreamHandle*>(ref.get());
    if (!stream)
        return devmgr::Fail(ref->Kind() == ObjectKind::Device ? ERROR_NOT_SUPPORTED
                                                               : ERROR_INVALID_HANDLE);
    return stream->IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                             nOutBufferSize, lpBytesReturned);
}
