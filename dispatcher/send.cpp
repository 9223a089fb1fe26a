// The transmit path: every frame to the modem leaves through CDispatcher::Send.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "modem/lines.h"
#include "diag/log.h"

// Wake line pulse and sleep status polling.
#define WAKE_PULSE_MS 50
#define WAKE_POLL_MS 50
#define WAKE_POLL_COUNT 20

// C8 as output: clear the upper bit of its configuration field, then set the
// lower one, each a read-modify-write of its own.
#define C8_CFG_HIGH_BIT 0x20000
#define C8_CFG_LOW_BIT 0x10000

static void ConfigureWakeLineAsOutput()
{
    IoPortModify(IOPORT_C_CFG, C8_CFG_HIGH_BIT, 0);
    IoPortModify(IOPORT_C_CFG, 0, C8_CFG_LOW_BIT);
}

static BOOL ModuleSleeps()
{
    return (IoPortRead(IOPORT_D_DATA) & PIN_D1_SLEEP) != 0;
}

// Pulses the wake line and waits for the module to leave its sleep.
// Returns FALSE when it is still asleep after the last pause.
static BOOL WakeModule()
{
    MuxLog(TEXT("MUX: CDispatcher::Send() ->Will Wake up module\r\n"));

    ConfigureWakeLineAsOutput();
    IoPortModify(IOPORT_C_DATA, 0, PIN_C8_WAKE);
    Sleep(WAKE_PULSE_MS);
    ConfigureWakeLineAsOutput();
    IoPortModify(IOPORT_C_DATA, PIN_C8_WAKE, 0);

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

// The pieces that will be gathered fit the transmit buffer (a header of 4
// with up to 127 information octets and the trailer is the longest frame).
static BOOL FitsSendBuffer(const FrameDescriptor* frame)
{
    if (frame->headerLength < 0 || frame->headerLength > MUX_SEND_BUF_SIZE) {
        return FALSE;
    }
    LONG room = MUX_SEND_BUF_SIZE - frame->headerLength;
    if (frame->pData == NULL) {
        return TRUE;
    }
    if (frame->dataLength < 0 || frame->trailerLength < 0 || frame->dataLength > room) {
        return FALSE;
    }
    return frame->trailerLength <= room - frame->dataLength;
}

LONG CDispatcher::Send(FrameDescriptor* frame)
{
    // A stopped multiplexer has no transmit buffer and sends nothing.
    if (pSendBuf == NULL) {
        SetLastError(ERROR_NOT_READY);
        return -1;
    }

    MuxLog(TEXT("MUX: CDispatcher::Send() ->Chick Module Status\r\n"));

    if (ModuleSleeps() && !WakeModule()) {
        MuxLog(TEXT("MUX: CDispatcher::Send() -> Cannot wake Module up\r\n"));
        SetLastError(ERROR_NOT_READY);
        return -1;
    }

    // Gather the pieces so that the frame leaves in one port write.
    if (!FitsSendBuffer(frame)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    LONG result = 0;
    sendLength = 0;
    memcpy(pSendBuf, frame->pHeader, frame->headerLength);
    sendLength += frame->headerLength;
    if (frame->pData != NULL) {
        memcpy(pSendBuf + sendLength, frame->pData, frame->dataLength);
        sendLength += frame->dataLength;
        memcpy(pSendBuf + sendLength, frame->pTrailer, frame->trailerLength);
        sendLength += frame->trailerLength;
        result = frame->dataLength;
    }

    DWORD written = 0;
    WriteFile(hUART, pSendBuf, sendLength, &written, NULL);
    if (written != sendLength) {
        return -1;
    }
    return result;
}
