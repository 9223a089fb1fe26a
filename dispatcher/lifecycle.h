// Private to dispatcher/: what the start-up (dispatcher.cpp) and the
// shutdown (stop.cpp) of the multiplexer share.
#ifndef MUX_DISPATCHER_LIFECYCLE_H
#define MUX_DISPATCHER_LIFECYCLE_H

#include "platform/platform.h"

// Start and stop exclude each other: a Stop that arrives while Init runs (the
// modem closing DLCI 0 right after it connected, an I/O control) waits for
// it, and so does one that arrives while another Stop is still at work, so
// that its caller goes on only once the multiplexer is really down. Each
// start begins a new generation; a Stop that was waiting while a stop and a
// new start went by is stale and leaves the new multiplexer alone.
extern CRITICAL_SECTION g_csStartStop;
extern volatile LONG g_startGeneration;

// The send lock lives as long as the process once made: a thread that is
// still on its way out of a send must never find csSend deleted or
// initialised anew under it.
extern BOOL g_csSendReady;

// Ids of the worker threads, so that Stop never waits for the thread it runs on.
struct WorkerThreadIds {
    DWORD getData;
    DWORD parseData;
    DWORD timeOut;
    DWORD rfok;
    DWORD setDtr;
};
extern WorkerThreadIds g_workerIds;

BOOL IsOpenHandle(HANDLE h);
void CloseAndClear(HANDLE* h);

#endif
