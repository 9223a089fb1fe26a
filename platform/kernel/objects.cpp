// The handle table, the default object hooks and the calls that work on
// any handle: CloseHandle, ReadFile, WriteFile, FlushFileBuffers,
// SetFilePointer.
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"
#include "platform/platform.h"

#include "platform/host.h"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>

namespace plat {
namespace {

const int kStackDepth = 16;
// Closed handles remembered with their context; beyond this many, a use
// after close is still found (values are never reused), only without it.
const size_t kClosedRemembered = 1u << 18;

struct ClosedRecord {
    std::string what;    // "event 'DataIn'"
    std::string closer;  // the thread that closed it
    void* stack[kStackDepth];
    int depth = 0;
};

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, Object*> objects;
    uintptr_t next = 0x100;  // steps of 4, like Windows; never 0 or -1
    std::unordered_map<uintptr_t, ClosedRecord> closed;
};

std::atomic<bool> gClosedHandleCheck{true};
std::atomic<bool> gClosedHandleContext{true};

// Never destroyed: objects may still be closed from static destructors and
// from threads that outlive main().
HandleTable& Handles()
{
    static HandleTable* t = new HandleTable;
    return *t;
}

// Handle values are never reused here, so a value below `next` that is not
// open was valid once and has been closed. Such a use is reported with the
// object it named, who closed it, and both stacks; then the process aborts
// (the simulation's abort banner adds the seed). Called without t.mutex
// (the thread name needs the kernel lock, which is taken before t.mutex).
void ReportIfClosed(uintptr_t v, const char* call)
{
    if (!gClosedHandleCheck.load(std::memory_order_relaxed)) return;
    HandleTable& t = Handles();
    ClosedRecord rec;
    bool known = false;
    {
        std::lock_guard<std::mutex> g(t.mutex);
        if (v < 0x100 || v >= t.next || (v & 3) != 0) return;  // never a handle of ours
        if (t.objects.count(v)) return;  // open (again in use: not ours to judge)
        auto it = t.closed.find(v);
        if (it != t.closed.end()) {
            rec = it->second;
            known = true;
        }
    }
    std::string me = CurrentThreadName();
    fprintf(stderr, "platform: handle 0x%lx used after close (%s) by thread '%s' at:\n", (unsigned long)v, call,
            me.c_str());
    void* here[kStackDepth];
    int n = backtrace(here, kStackDepth);
    backtrace_symbols_fd(here, n, 2);
    if (known) {
        fprintf(stderr, "platform: it was %s, closed by thread '%s' at:\n", rec.what.c_str(), rec.closer.c_str());
        backtrace_symbols_fd(rec.stack, rec.depth, 2);
    }
    fflush(stderr);
    abort();
}

void RememberClosed(uintptr_t v, Object* obj)
{
    if (!gClosedHandleCheck.load(std::memory_order_relaxed) || !gClosedHandleContext.load(std::memory_order_relaxed))
        return;
    ClosedRecord r;
    r.what = obj->Describe();
    r.closer = CurrentThreadName();
    r.depth = backtrace(r.stack, kStackDepth);
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> g(t.mutex);
    if (t.closed.size() < kClosedRemembered) t.closed[v] = r;
}

}  // namespace

void SetClosedHandleCheck(bool on) { gClosedHandleCheck.store(on); }
bool ClosedHandleCheck() { return gClosedHandleCheck.load(); }
void SetClosedHandleContext(bool on) { gClosedHandleContext.store(on); }

BOOL Object::Read(LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL Object::Write(LPCVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL Object::Flush()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

DWORD Object::SetPointer(LONG, LPLONG, DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
}

bool Object::BeginWait(WaitBlock*) { return false; }
void Object::EndWait(WaitBlock*) {}

std::string Object::Describe() const
{
    switch (kind_) {
    case ObjectKind::Event: return "event";
    case ObjectKind::Thread: return "thread";
    case ObjectKind::File: return "file";
    case ObjectKind::Device: return "device";
    case ObjectKind::Other: break;
    }
    return "object";
}

HANDLE NewHandle(Object* obj)
{
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> g(t.mutex);
    uintptr_t v = t.next;
    t.next += 4;
    t.objects[v] = obj;
    return reinterpret_cast<HANDLE>(v);
}

Object* ReferenceHandle(HANDLE h)
{
    HandleTable& t = Handles();
    {
        std::lock_guard<std::mutex> g(t.mutex);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
        if (it != t.objects.end()) {
            it->second->AddRef();
            return it->second;
        }
    }
    ReportIfClosed(reinterpret_cast<uintptr_t>(h), "use");
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

}  // namespace plat

using namespace plat;

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    kernel::YieldPoint();
    if (hObject == GetCurrentThread()) return TRUE;  // pseudo-handles need no closing
    Object* obj = nullptr;
    {
        HandleTable& t = Handles();
        std::lock_guard<std::mutex> g(t.mutex);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(hObject));
        if (it != t.objects.end()) {
            obj = it->second;
            t.objects.erase(it);
        }
    }
    if (!obj) {
        ReportIfClosed(reinterpret_cast<uintptr_t>(hObject), "CloseHandle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RememberClosed(reinterpret_cast<uintptr_t>(hObject), obj);
    BOOL ok = obj->Close();
    obj->Release();
    return ok;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    kernel::YieldPoint();
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (lpOverlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    ObjectRef obj(hFile);
    if (!obj) return FALSE;
    if (!lpBuffer && nNumberOfBytesToRead) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    BOOL ok = obj->Read(lpBuffer, nNumberOfBytesToRead, &done);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    return ok;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    kernel::YieldPoint();
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (lpOverlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    ObjectRef obj(hFile);
    if (!obj) return FALSE;
    if (!lpBuffer && nNumberOfBytesToWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    BOOL ok = obj->Write(lpBuffer, nNumberOfBytesToWrite, &done);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return ok;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    kernel::YieldPoint();
    ObjectRef obj(hFile);
    if (!obj) return FALSE;
    return obj->Flush();
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LPLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod)
{
    kernel::YieldPoint();
    ObjectRef obj(hFile);
    if (!obj) return INVALID_SET_FILE_POINTER;
    return obj->SetPointer(lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod);
}
