// The handle table, the default object hooks and the calls that work on
// any handle: CloseHandle, ReadFile, WriteFile, FlushFileBuffers,
// SetFilePointer.
#include "kernel.h"
#include "object.h"
#include "platform.h"

#include <mutex>
#include <unordered_map>

namespace plat {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, Object*> objects;
    uintptr_t next = 0x100;  // steps of 4, like Windows; never 0 or -1
};

// Never destroyed: objects may still be closed from static destructors and
// from threads that outlive main().
HandleTable& Handles()
{
    static HandleTable* t = new HandleTable;
    return *t;
}

}  // namespace

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
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
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
