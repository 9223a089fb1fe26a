// The module's control lines: pin set-up, the reset sequence, GSM_RF_OK,
// DTR, the wake line with the sleep status, and the two supervision threads
// (crash watcher and DTR on resume).
#include "platform/platform.h"
#include "modem/lines.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"
#include "platform/own_calls.h"

HANDLE g_hRFOKEvent = 0;
HANDLE g_hSetDTREvent = INVALID_HANDLE_VALUE;

// Configuration fields: the upper and the lower bit of each output pin's
// two-bit field (01 = output).
#define CFG_B3_UPPER 0x80
#define CFG_B3_LOWER 0x40
#define CFG_B4_UPPER 0x200
#define CFG_B4_LOWER 0x100
#define CFG_C8_UPPER 0x20000
#define CFG_C8_LOWER 0x10000
#define CFG_H8_UPPER 0x20000
#define CFG_H8_LOWER 0x10000
// Input pins: the whole field cleared.
#define CFG_D1_FIELD 0x0C
#define CFG_F4_FIELD 0x300
#define CFG_F5_FIELD 0xC00

// Reset sequence timings (milliseconds) and GSM_RF_OK polling.
#define RESET_B4_FIRST_HIGH_MS 600
#define RESET_H8_HIGH_MS 100
#define RESET_H8_LOW_MS 200
#define RESET_B4_LOW_MS 300
#define RESET_B4_SECOND_HIGH_MS 600
#define RFOK_POLL_MS 500
#define RFOK_POLL_COUNT 30

// Wake line pulse and sleep status polling before a frame is sent.
#define WAKE_PULSE_MS 50
#define WAKE_POLL_MS 50
#define WAKE_POLL_COUNT 20

// DTR goes low this long after a resume request.
#define DTR_RESUME_DELAY_MS 1000
// The crash watcher looks at GSM_RF_OK again this long after the interrupt,
// so that a short glitch is not reported as a crash.
#define RFOK_SETTLE_MS 10

// Always two steps on the configuration register: clear the upper bit of
// the pin's field, then set the lower one.
static void ConfigureOutput(DWORD cfgOffset, DWORD upperBit, DWORD lowerBit)
{
    IoPortModify(cfgOffset, upperBit, 0);
    IoPortModify(cfgOffset, 0, lowerBit);
}

static void DriveB4(BOOL high)
{
    ConfigureOutput(IOPORT_B_CFG, CFG_B4_UPPER, CFG_B4_LOWER);
    if (high) {
        IoPortModify(IOPORT_B_DATA, 0, PIN_B4_RESET);
    } else {
        IoPortModify(IOPORT_B_DATA, PIN_B4_RESET, 0);
    }
}

static void DriveH8(BOOL high)
{
    ConfigureOutput(IOPORT_H_CFG, CFG_H8_UPPER, CFG_H8_LOWER);
    if (high) {
        IoPortModify(IOPORT_H_DATA, 0, PIN_H8_RESET);
    } else {
        IoPortModify(IOPORT_H_DATA, PIN_H8_RESET, 0);
    }
}

static void DriveC8(BOOL high)
{
    ConfigureOutput(IOPORT_C_CFG, CFG_C8_UPPER, CFG_C8_LOWER);
    if (high) {
        IoPortModify(IOPORT_C_DATA, 0, PIN_C8_WAKE);
    } else {
        IoPortModify(IOPORT_C_DATA, PIN_C8_WAKE, 0);
    }
}

void SetupModulePins(void* unused)
{
    (void)unused;

    // B4: reset line, idle low.
    DriveB4(FALSE);

    // F5 (GSM_RF_OK): input, pull-up off. The pull-up bit is cleared and
    // set again.
    IoPortModify(IOPORT_F_CFG, CFG_F5_FIELD, 0);
    IoPortModify(IOPORT_F_PULL, PIN_F5_RF_OK, 0);
    IoPortModify(IOPORT_F_PULL, 0, PIN_F5_RF_OK);

    // D1 (sleep status): input, pull-up off.
    IoPortModify(IOPORT_D_CFG, CFG_D1_FIELD, 0);
    IoPortModify(IOPORT_D_PULL, 0, PIN_D1_SLEEP);

    // F4: input, pull-up on.
    IoPortModify(IOPORT_F_CFG, CFG_F4_FIELD, 0);
    IoPortModify(IOPORT_F_PULL, PIN_F4, 0);

    // C8: wake line, idle low.
    DriveC8(FALSE);

    // H8: reset line, idle low.
    DriveH8(FALSE);

    // DTR (B3) keeps whatever level it has.
}

void SetDTRLow()
{
    ConfigureOutput(IOPORT_B_CFG, CFG_B3_UPPER, CFG_B3_LOWER);
    IoPortModify(IOPORT_B_DATA, PIN_B3_DTR, 0);
}

void SetDTRHigh()
{
    ConfigureOutput(IOPORT_B_CFG, CFG_B3_UPPER, CFG_B3_LOWER);
    IoPortModify(IOPORT_B_DATA, 0, PIN_B3_DTR);
}

BOOL ModuleSleeps()
{
    return (IoPortRead(IOPORT_D_DATA) & PIN_D1_SLEEP) != 0;
}

BOOL WakeModule()
{
    DriveC8(TRUE);
    Sleep(WAKE_PULSE_MS);
    DriveC8(FALSE);

    // The status is not read again after the last pause.
    int pauses = 0;
    while (pauses < WAKE_POLL_COUNT) {
        if (!ModuleSleeps()) {
            return TRUE;
        }
        Sleep(WAKE_POLL_MS);
        pauses++;
    }
    return FALSE;
}

DWORD CDispatcher::GetRFOKPinState()
{
    return (IoPortRead(IOPORT_F_DATA) & PIN_F5_RF_OK) ? 1 : 0;
}

BOOL CDispatcher::ModuleReset()
{
    SetupModulePins(NULL);

    DriveB4(TRUE);
    Sleep(RESET_B4_FIRST_HIGH_MS);
    DriveH8(TRUE);
    Sleep(RESET_H8_HIGH_MS);
    DriveH8(FALSE);
    Sleep(RESET_H8_LOW_MS);
    DriveB4(FALSE);
    Sleep(RESET_B4_LOW_MS);
    DriveB4(TRUE);
    Sleep(RESET_B4_SECOND_HIGH_MS);
    DriveB4(FALSE);

    // GSM_RF_OK is read before each pause; the last read is followed by a
    // pause too.
    WORD polls = 0;
    for (;;) {
        if (GetRFOKPinState()) {
            MuxLog(TEXT("MUX: CDispatcher::ModuleReset() ; GSM_RF_OK success\r\n"));
            break;
        }
        Sleep(RFOK_POLL_MS);
        polls++;
        if (polls >= RFOK_POLL_COUNT) {
            break;
        }
    }

    if (polls >= RFOK_POLL_COUNT) {
        MuxLog(TEXT("MUX: CDispatcher::ModuleReset() ; GSM_RF_OK fail\r\n"));
        return FALSE;
    }

    MuxLog(TEXT("MUX: Trel set DTR Low\r\n"));
    SetDTRLow();
    return TRUE;
}

// One interrupt, one decision. The interrupt event is published before the
// stop flag is looked at, so that a Stop either finds the event to wake us
// or is seen here before the wait.
static DWORD WINAPI RFOKPinBody(LPVOID arg)
{
    CDispatcher* dispatcher = (CDispatcher*)arg;
    HANDLE hInterrupt = CreateEvent(NULL, FALSE, FALSE, NULL);
    g_hRFOKEvent = hInterrupt;
    if (hInterrupt == NULL) {
        return 0;
    }

    NKDbgPrintfW(TEXT("MUX: Trel1 RFOKPinThread\r\n"));

    HANDLE hCrashed = NULL;
    if (InterruptInitialize(SYSINTR_RF_OK, hInterrupt, NULL, 0)) {
        hCrashed = CreateEvent(NULL, FALSE, FALSE, TEXT("ModuleCrashed"));
        if (hCrashed != NULL && !ReadWord(&dispatcher->bStopThreads)) {
            WaitForSingleObject(hInterrupt, INFINITE);
            if (!ReadWord(&dispatcher->bStopThreads)) {
                Sleep(RFOK_SETTLE_MS);
                if (!dispatcher->GetRFOKPinState()) {
                    MuxLog(TEXT("Detect REZ crashed, notify RIL driver ; Time = %d\r\n"),
                           GetTickCount());
                    SetEvent(hCrashed);
                }
                InterruptDone(SYSINTR_RF_OK);
            }
        }
        // Whatever ended the watch, the interrupt no longer points at our
        // event (which is closed below), and a later watcher can bind it.
        InterruptDisable(SYSINTR_RF_OK);
    }

    if (hCrashed != NULL) {
        CloseHandle(hCrashed);
    }
    // Unpublish before closing, so that a Stop arriving now finds no event.
    g_hRFOKEvent = INVALID_HANDLE_VALUE;
    CloseHandle(hInterrupt);
    return 0;
}

DWORD WINAPI CDispatcher::RFOKPinThread(LPVOID dispatcher)
{
    return RunGuarded(DispatcherExceptionGuard, TEXT("RFOKPinThread"), RFOKPinBody, dispatcher);
}

static DWORD WINAPI SetDTRBody(LPVOID arg)
{
    CDispatcher* dispatcher = (CDispatcher*)arg;
    HANDLE hRequest = CreateEvent(NULL, FALSE, FALSE, TEXT("SetFFUART_DTR"));
    if (hRequest == NULL) {
        return 0;
    }
    HANDLE hWakeUp = CreateEvent(NULL, TRUE, TRUE, TEXT("RILWakeUp"));
    if (hWakeUp == NULL) {
        CloseHandle(hRequest);
        return 0;
    }
    // Published only now that the thread is set up: whoever sees the handle
    // (MUX_PowerUp hands it to the power-on service, Stop sets it) may rely
    // on "RILWakeUp" existing as created here, and never gets a handle this
    // thread closes again because its set-up failed.
    g_hSetDTREvent = hRequest;

    while (!ReadWord(&dispatcher->bStopThreads)) {
        WaitForSingleObject(hRequest, INFINITE);
        if (ReadWord(&dispatcher->bStopThreads)) {
            break;
        }
        Sleep(DTR_RESUME_DELAY_MS);
        MuxLog(TEXT("MUX: Trel set DTR Low\r\n"));
        SetDTRLow();
        // Requests that came in meanwhile are served by this one action.
        ResetEvent(hRequest);
        // Left set for the RIL, which resets it.
        SetEvent(hWakeUp);
    }

    g_hSetDTREvent = INVALID_HANDLE_VALUE;
    CloseHandle(hRequest);
    // Our handle only; the RIL keeps its own, and the named event lives on.
    CloseHandle(hWakeUp);
    return 0;
}

DWORD WINAPI CDispatcher::SetDTRThread(LPVOID dispatcher)
{
    return RunGuarded(DispatcherExceptionGuard, TEXT("SetDTRThread"), SetDTRBody, dispatcher);
}
