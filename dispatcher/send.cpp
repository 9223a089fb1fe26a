// The transmit path: every frame to the modem leaves through CDispatcher::Send.
#include "platform/platform.h"
#include "dispatcher/dispatcher.h"
#include "modem/lines.h"
#include "diag/log.h"

#include <string.h>

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

    if (MuxLogOn()) {
        MuxLog(TEXT("MUX: CDispatcher::Send() ->Chick Module Status\r\n"));
    }

    if (ModuleSleeps()) {
        MuxLog(TEXT("MUX: CDispatcher::Send() ->Will Wake up module\r\n"));
        if (!WakeModule()) {
            MuxLog(TEXT("MUX: CDispatcher::Send() -> Cannot wake Module up\r\n"));
            SetLastError(ERROR_NOT_READY);
            return -1;
        }
    }

    // Gather the pieces so that the frame leaves in one port write.
    if (!FitsSendBuffer(frame)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Read once into locals: the copies may not alias the descriptor, but
    // the compiler cannot know that.
    const FrameDescriptor f = *frame;
    BYTE* out = pSendBuf;
    LONG result = 0;
    DWORD length = (DWORD)f.headerLength;
    memcpy(out, f.pHeader, length);
    if (f.pData != NULL) {
        memcpy(out + length, f.pData, f.dataLength);
        length += (DWORD)f.dataLength;
        memcpy(out + length, f.pTrailer, f.trailerLength);
        length += (DWORD)f.trailerLength;
        result = f.dataLength;
    }
    sendLength = length;

    DWORD written = 0;
    WriteFile(hUART, pSendBuf, sendLength, &written, NULL);
    if (written != sendLength) {
        return -1;
    }
    return result;
}
