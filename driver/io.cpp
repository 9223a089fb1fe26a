// Reading, writing and seeking on an open instance. A read copies what the
// receive parser has buffered and never waits.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "driver/mux.h"
#include "channel/user_channel.h"
#include "channel/rx_buffer.h"
#include "diag/log.h"

#define MUX_IDLE_RESET_PERIOD_MS 30000

// The largest count a read or write takes: the result is a byte count or
// -1, so a larger one could not be told from a failure, and no client
// buffer is that large.
#define MUX_MAX_IO_COUNT 0x7FFFFFFFUL

// A null context, a null buffer for a non-empty transfer, or a count past
// the largest: refused with ERROR_INVALID_PARAMETER before anything is
// touched. A write refuses a null buffer even for 0 octets: a UIH piece
// without data would leave the port as a header without its FCS and
// closing flag, and the module would lose the next frame.
static BOOL IsBadTransfer(DWORD_PTR openContext, LPCVOID buffer, DWORD count, BOOL writing)
{
    if (openContext == 0 || (buffer == NULL && (count != 0 || writing)) ||
        count > MUX_MAX_IO_COUNT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TRUE;
    }
    return FALSE;
}

volatile DWORD g_dwLastIdleReset = 0;

// Data flowing through the data ports keeps the device from suspending.
static BOOL KeepsSystemAwake(const CUserChannel* channel)
{
    return channel->name != NULL &&
           (wcscmp(channel->name, TEXT("MUX2:")) == 0 || wcscmp(channel->name, TEXT("MUX3:")) == 0);
}

// At most one reset per period; the unsigned difference survives the wrap
// of the tick count. Two threads may both reset at the same moment, which
// does no harm.
static void ApplyIdleTimerRule()
{
    DWORD now = GetTickCount();
    if ((DWORD)(now - g_dwLastIdleReset) > MUX_IDLE_RESET_PERIOD_MS) {
        SystemIdleTimerReset();
        g_dwLastIdleReset = GetTickCount();
    }
}

extern "C" DWORD MUX_Read(DWORD_PTR openContext, LPVOID buffer, DWORD count)
{
    if (IsBadTransfer(openContext, buffer, count, FALSE)) {
        return (DWORD)-1;
    }
    CUserChannel* channel = (CUserChannel*)openContext;
    if (channel->IsNotReady()) {
        MuxLog(TEXT("MUX: MUX_Read() for %s -> Channel not usable ; Time=%d\r\n"), channel->name,
               GetTickCount());
        return (DWORD)-1;
    }

    DWORD copied = RxBufferTake(channel, (BYTE*)buffer, count);

    if (copied != 0 && KeepsSystemAwake(channel)) {
        ApplyIdleTimerRule();
    }
    return copied;
}

extern "C" DWORD MUX_Write(DWORD_PTR openContext, LPCVOID buffer, DWORD count)
{
    if (IsBadTransfer(openContext, buffer, count, TRUE)) {
        return (DWORD)-1;
    }
    CUserChannel* channel = (CUserChannel*)openContext;
    if (channel->IsNotReady() || ReadWord(&channel->connected) == 0) {
        MuxLog(TEXT("MUX: MUX_Write() for %s -> Channel not usable ; Time=%d\r\n"), channel->name,
               GetTickCount());
        SetLastError(ERROR_NOT_READY);
        return (DWORD)-1;
    }
    LONG result = channel->SendUIH((const BYTE*)buffer, count);
    if (KeepsSystemAwake(channel)) {
        ApplyIdleTimerRule();
    }
    return (DWORD)result;
}

extern "C" DWORD MUX_Seek(DWORD_PTR, LONG, DWORD)
{
    return (DWORD)-1;
}
