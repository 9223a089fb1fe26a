// The process heap. Blocks come from the C allocator, so that the address
// sanitizer tracks them like any other allocation.
#include "platform/platform.h"

#include <cstdlib>

namespace {
// The one heap; its handle is only ever compared.
char g_processHeap;
HANDLE ProcessHeap() { return &g_processHeap; }
}  // namespace

HANDLE WINAPI GetProcessHeap(void) { return ProcessHeap(); }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (hHeap != ProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // A zero-byte request still gives a unique block, as on Windows.
    const size_t n = dwBytes == 0 ? 1 : dwBytes;
    void* p = (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, n) : std::malloc(n);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    (void)dwFlags;
    if (hHeap != ProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Freeing a null pointer is allowed and succeeds.
    std::free(lpMem);
    return TRUE;
}
