// Kernel objects behind HANDLEs: events, threads, files and devices share
// one base so that CloseHandle, ReadFile, WriteFile, FlushFileBuffers,
// SetFilePointer and WaitForSingleObject work on any of them through
// virtual hooks. Host code only (C++17).
#ifndef MUX_PLATFORM_OBJECT_H
#define MUX_PLATFORM_OBJECT_H

#include "platform/platform.h"

#include <atomic>
#include <functional>
#include <string>

namespace plat {

enum class ObjectKind { Event, Thread, File, Device, Other };

// One blocked WaitForSingleObject. An object that can be waited on decides,
// under the kernel lock, when the wait is satisfied by setting `released`.
struct WaitBlock {
    bool released = false;
};

class Object {
public:
    explicit Object(ObjectKind kind) : kind_(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectKind Kind() const { return kind_; }

    // Reference count: every handle holds one, and so does every call that
    // is using the object at the moment. The object is deleted at zero.
    void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release()
    {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // One handle to the object was closed (called before that handle's
    // reference is released). Returns FALSE with the last error set to
    // refuse, though the handle is gone either way.
    virtual BOOL Close() { return TRUE; }

    // The file operations. Defaults fail with ERROR_INVALID_HANDLE, as
    // Windows does for a handle of the wrong kind.
    virtual BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read);
    virtual BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written);
    virtual BOOL Flush();
    virtual DWORD SetPointer(LONG distance, LPLONG distanceHigh, DWORD method);

    // Waiting, all under the kernel lock (plat::kernel::Mutex()).
    // Waitable() says whether WaitForSingleObject accepts the handle.
    // BeginWait either satisfies the wait at once (returns true; consuming
    // the signal where the object has that notion) or queues `w` and returns
    // false; the object later sets w->released and calls kernel::Notify().
    // EndWait removes `w` again, whatever the outcome.
    virtual bool Waitable() const { return false; }
    virtual bool BeginWait(WaitBlock* w);
    virtual void EndWait(WaitBlock* w);

    // For deadlock reports: "event 'DataIn'", "thread 'ParseDataThread'".
    virtual std::string Describe() const;

private:
    const ObjectKind kind_;
    std::atomic<long> refs_{1};
};

// Makes a handle for `obj`, taking over one reference. Never 0 or -1.
HANDLE NewHandle(Object* obj);

// The object behind a handle, with a reference the caller must Release (or
// hold in an ObjectRef); null with ERROR_INVALID_HANDLE when the handle is
// not open.
Object* ReferenceHandle(HANDLE h);

// SetEvent on an event object held by reference rather than by handle (the
// kernel keeps events handed to it this way, so that the owner may close its
// handle). FALSE with ERROR_INVALID_HANDLE when `obj` is not an event.
BOOL SetEventObject(Object* obj);

// Holds one reference for a scope.
class ObjectRef {
public:
    explicit ObjectRef(Object* o = nullptr) : obj_(o) {}
    explicit ObjectRef(HANDLE h) : obj_(ReferenceHandle(h)) {}
    ~ObjectRef()
    {
        if (obj_) obj_->Release();
    }
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;
    Object* get() const { return obj_; }
    Object* operator->() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    Object* obj_;
};

// Devices: CreateFileW on a name ending in ':' ("COM9:") calls the factory
// registered for that name (compared without regard to case). The factory
// returns a new object with one reference, or null with the last error set.
using DeviceFactory =
    std::function<Object*(DWORD access, DWORD shareMode, DWORD disposition, DWORD flags)>;
void RegisterDevice(const std::u16string& name, DeviceFactory factory);
void UnregisterDevice(const std::u16string& name);

}  // namespace plat

#endif
