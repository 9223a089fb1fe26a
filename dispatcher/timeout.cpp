// TimeOutThread: bounds the waits for data from the modem.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#define TIMEOUT_THREAD_PRIORITY 250

static DWORD WINAPI TimeOutBody(LPVOID arg)
{
    CDispatcher* d = (CDispatcher*)arg;
    CeSetThreadPriority(GetCurrentThread(), TIMEOUT_THREAD_PRIORITY);
    for (;;) {
        if (ReadWord(&d->bStopTimeOut)) {
            return 0;
        }
        WaitForSingleObject(d->hTimeOutArm, INFINITE);
        if (ReadWord(&d->bStopTimeOut)) {
            return 0;
        }
        if (WaitForSingleObject(d->hTimeOutCancel, (DWORD)ReadWord(&d->timeOut)) != WAIT_TIMEOUT) {
            continue;
        }
        MuxLog(TEXT("MUX: TimeOutThread(%d) -> Time-out ; Time=%d\r\n"), (int)ReadWord(&d->timeOut),
               (int)GetTickCount());
        // Back to hunting for an opening flag, and release whoever waits
        // for a port event: setting the mask makes the wait return.
        d->parse.state = PS_FLAG;
        InterlockedExchange(&d->lTimeOutFired, 1);
        SetCommMask(hUART, UART_EVENT_MASK);
    }
}

DWORD WINAPI CDispatcher::TimeOutThread(LPVOID dispatcher)
{
    return RunGuarded(DispatcherExceptionGuard, TEXT("TimeOutThread"), TimeOutBody, dispatcher);
}
