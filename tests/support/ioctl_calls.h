// MUX_IOControl as the tests call it: the result, the returned byte count
// and the last error of one call, and the event-wait calls by name.
#ifndef MUX_TESTS_IOCTL_CALLS_H
#define MUX_TESTS_IOCTL_CALLS_H

#include "platform/platform.h"

#include "channel/user_channel.h"
#include "driver/mux.h"

inline CUserChannel* Channel(DWORD_PTR open)
{
    return reinterpret_cast<CUserChannel*>(open);
}

struct Result {
    BOOL ok = FALSE;
    DWORD bytes = 0xDEAD;
    DWORD error = 0;
};

inline Result Control(DWORD_PTR open, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength)
{
    Result r;
    SetLastError(0xBEEF);
    r.ok = MUX_IOControl(open, code, static_cast<PBYTE>(in), inLength, static_cast<PBYTE>(out),
                         outLength, &r.bytes);
    r.error = GetLastError();
    return r;
}

inline Result SetMask(DWORD_PTR open, DWORD mask)
{
    return Control(open, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0);
}

inline Result Wait(DWORD_PTR open, DWORD* events)
{
    *events = 0xFFFFFFFFu;
    return Control(open, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, events, sizeof(*events));
}

#endif
