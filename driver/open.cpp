// Opening and closing an instance. The open context is the instance's
// channel itself: every open of an instance returns the same one.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "driver/mux.h"
#include "channel/user_channel.h"
#include "diag/log.h"

#define MUX_OPEN_INIT_WAIT_MS 7000

// Waits for the instance's start-up; FALSE when it has not succeeded. An
// instance with no start-up event or thread never gets a channel, so its
// opener fails at once instead of waiting for nothing.
static BOOL WaitForStartUp(MuxDeviceContext* ctx)
{
    if (InitDone(ctx)) {
        return TRUE;
    }
    if (ctx->hInitEvent == NULL || ctx->hInitThread == NULL) {
        return FALSE;
    }
    return WaitForSingleObject(ctx->hInitEvent, MUX_OPEN_INIT_WAIT_MS) == WAIT_OBJECT_0 &&
           InitDone(ctx);
}

// Brings a channel that lost its usability or its connection back, under
// the start-up lock so that two openers never initialise it at once. Not for
// an instance that is being removed: its removal has taken the channel down
// and waits for this open to return.
static BOOL RestoreChannel(MuxDeviceContext* ctx, CUserChannel* channel)
{
    BOOL ok = TRUE;
    EnterMuxInitLock();
    if (ReadWord(&ctx->fDeinitPending) != 0) {
        ok = FALSE;
    } else if (channel->IsNotReady() && !channel->Init()) {
        MuxLog(TEXT("MUX: MUX_Open() for %s -> Init() fail ; Time=%d\r\n"), channel->name,
               GetTickCount());
        ok = FALSE;
    } else if (ReadWord(&channel->connected) == 0) {
        if (channel->SendSABM()) {
            channel->MarkConnected();
        } else {
            MuxLog(TEXT("MUX: MUX_Open() for %s -> SendSABM() fail ; Time=%d\r\n"), channel->name,
                   GetTickCount());
            ok = FALSE;
        }
    }
    LeaveMuxInitLock();
    if (!ok) {
        SetLastError(ERROR_NOT_READY);
    }
    return ok;
}

static DWORD_PTR OpenInstance(MuxDeviceContext* ctx)
{
    if (ReadWord(&ctx->fDeinitPending) != 0) {
        SetLastError(ERROR_NOT_READY);
        return 0;
    }
    if (!WaitForStartUp(ctx) || ctx->pChannel == NULL) {
        MuxLog(TEXT("MUX: MUX_Open() for %s -> ERROR(Init fail) ; Time=%d\r\n"), ctx->szName,
               GetTickCount());
        return 0;
    }
    CUserChannel* channel = ctx->pChannel;
    if (channel->IsNotReady() || ReadWord(&channel->connected) == 0) {
        if (!RestoreChannel(ctx, channel)) {
            return 0;
        }
    }
    return (DWORD_PTR)channel;
}

extern "C" DWORD_PTR MUX_Open(DWORD_PTR deviceContext, DWORD, DWORD)
{
    MuxDeviceContext* ctx = (MuxDeviceContext*)deviceContext;
    if (ctx == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A device manager that does not wait for the calls in progress may
    // deinitialise the instance under an open: the count makes MUX_Deinit
    // wait for it.
    InterlockedIncrement(&ctx->lOpenCalls);
    DWORD_PTR result = OpenInstance(ctx);
    InterlockedDecrement(&ctx->lOpenCalls);
    return result;
}

extern "C" BOOL MUX_Close(DWORD_PTR)
{
    // The DLCI stays connected and buffered data stays for the next open.
    return TRUE;
}
