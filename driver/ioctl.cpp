// I/O control on an open instance. No control is served yet.
#include "platform/platform.h"
#include "driver/mux.h"

extern "C" BOOL MUX_IOControl(DWORD_PTR, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
