// Suspend and resume. Only "MUX1:" acts: the modem's DTR line tells it
// whether the host is suspended. These run in the power-management context:
// they touch the register block and hand an event to the system, nothing
// else (no lock, no wait).
#include "platform/platform.h"
#include "driver/mux.h"
#include "channel/user_channel.h"
#include "modem/lines.h"

static BOOL DrivesDTR(MuxDeviceContext* ctx)
{
    return ctx != NULL && InitDone(ctx) && ctx->pChannel != NULL &&
           ctx->pChannel->name != NULL && wcscmp(ctx->pChannel->name, TEXT("MUX1:")) == 0;
}

extern "C" void MUX_PowerDown(DWORD_PTR deviceContext)
{
    if (DrivesDTR((MuxDeviceContext*)deviceContext)) {
        SetDTRHigh();
    }
}

extern "C" void MUX_PowerUp(DWORD_PTR deviceContext)
{
    if (!DrivesDTR((MuxDeviceContext*)deviceContext)) {
        return;
    }
    SetupModulePins(NULL);
    // Signalled once the system runs again; the DTR thread then lowers DTR
    // a second later and wakes the RIL.
    HANDLE request = g_hSetDTREvent;
    if (request != NULL && request != INVALID_HANDLE_VALUE) {
        CeSetPowerOnEvent(request);
    }
}
