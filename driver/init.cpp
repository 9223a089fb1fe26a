// Driver instances: the registry configuration, the start-up of each
// instance's channel on a thread of its own, and the tear-down.
#include "platform/platform.h"
#include "driver/mux.h"
#include "channel/user_channel.h"
#include "diag/log.h"
#include "platform/own_calls.h"

#include <string.h>

// Channels have a non-virtual destructor by design and are always destroyed
// through their concrete class. Spelled out as destructor and release of the
// memory, which is what delete does here; a delete expression would draw the
// compilers' warning about a class with virtual slots and a non-virtual
// destructor.
static void DeleteUserChannel(CUserChannel* channel)
{
    if (channel != NULL) {
        channel->~CUserChannel();
        ::operator delete(channel);
    }
}

// Registry string values are read into 64 bytes, terminator included.
#define REG_STRING_BYTES 64
// DLCIs an instance may take: six bits, DLCI 0 being the control channel.
#define MUX_FIRST_USER_DLCI 1
#define MUX_LAST_USER_DLCI 63

// The start-up lock serialises the channel creation of all instances, so
// that the dispatcher is started once and the DLCIs register one after
// another. It exists while at least one instance record exists: the first
// record initialises it and the last MUX_Deinit deletes it, so no start-up
// thread or opener ever meets it uninitialised or deleted, and an instance
// loaded after all others were removed gets a fresh one. The count and the
// lock's state change under a small interlocked guard.
static CRITICAL_SECTION g_csMuxInit;
#define LOCK_ABSENT 0
#define LOCK_CHANGING 1
#define LOCK_READY 2
static volatile LONG s_lockState = LOCK_ABSENT;
static LONG s_lockUsers = 0;

// Takes the guard; returns the state it found (absent or ready).
static LONG TakeLockGuard()
{
    for (;;) {
        if (InterlockedCompareExchange(&s_lockState, LOCK_CHANGING, LOCK_ABSENT) == LOCK_ABSENT) {
            return LOCK_ABSENT;
        }
        if (InterlockedCompareExchange(&s_lockState, LOCK_CHANGING, LOCK_READY) == LOCK_READY) {
            return LOCK_READY;
        }
        Sleep(1);
    }
}

static void AddLockUser()
{
    if (TakeLockGuard() == LOCK_ABSENT) {
        InitializeCriticalSection(&g_csMuxInit);
        s_lockUsers = 0;
    }
    s_lockUsers++;
    InterlockedExchange(&s_lockState, LOCK_READY);
}

static void RemoveLockUser()
{
    LONG found = TakeLockGuard();
    if (found == LOCK_READY && --s_lockUsers == 0) {
        DeleteCriticalSection(&g_csMuxInit);
        found = LOCK_ABSENT;
    }
    InterlockedExchange(&s_lockState, found);
}

void EnterMuxInitLock()
{
    EnterCriticalSection(&g_csMuxInit);
}

void LeaveMuxInitLock()
{
    LeaveCriticalSection(&g_csMuxInit);
}

extern "C" BOOL WINAPI DllMain(HANDLE, DWORD, LPVOID)
{
    return TRUE;
}

// A string value of at most 64 bytes with its terminator; `out` holds 33
// units, so the copy is terminated whatever the value holds.
static BOOL ReadString(HKEY key, LPCWSTR valueName, WCHAR* out)
{
    DWORD type = 0;
    DWORD size = REG_STRING_BYTES;
    return RegQueryValueExW(key, valueName, NULL, &type, (LPBYTE)out, &size) == ERROR_SUCCESS;
}

static BOOL ReadDword(HKEY key, LPCWSTR valueName, DWORD* out)
{
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    return RegQueryValueExW(key, valueName, NULL, &type, (LPBYTE)out, &size) == ERROR_SUCCESS;
}

// The instance's configuration: name from the active key, DLCI and type
// from the driver key that the active key's "Key" names. None of them has
// a default.
static BOOL ReadInstanceConfig(LPCWSTR activeKey, WCHAR* name, DWORD* dlci, DWORD* type)
{
    WCHAR driverKey[REG_STRING_BYTES / sizeof(WCHAR) + 1];
    HKEY key = NULL;
    memset(driverKey, 0, sizeof(driverKey));

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, activeKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL ok = ReadString(key, TEXT("Key"), driverKey) && ReadString(key, TEXT("Name"), name);
    RegCloseKey(key);
    if (!ok) {
        return FALSE;
    }

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    ok = ReadDword(key, TEXT("GSM_0710_DLCI"), dlci) && ReadDword(key, TEXT("GSM_0710_TYPE"), type);
    RegCloseKey(key);
    return ok;
}

// The private log switch, read until it has been found once.
static void ReadLogSwitch()
{
    if (g_logSwitch != -1) {
        return;
    }
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\Ovadrel"), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD value = 0;
    if (ReadDword(key, TEXT("Ovadrel"), &value)) {
        g_logSwitch = (value == 1) ? 1 : 0;
    }
    RegCloseKey(key);
}

static DWORD WINAPI MuxInitThread(LPVOID arg)
{
    MuxDeviceContext* ctx = (MuxDeviceContext*)arg;
    PlatformSetThreadNameW(TEXT("MuxInitThread"));

    EnterMuxInitLock();
    // An instance being removed before its turn came creates nothing.
    if (ReadWord(&ctx->fDeinitPending) == 0 &&
        (ctx->ucDlci < MUX_FIRST_USER_DLCI || ctx->ucDlci > MUX_LAST_USER_DLCI)) {
        // The address octet has six bits for the DLCI and DLCI 0 is the
        // control channel: any other value would quietly carry the data of
        // another port.
        MuxLog(TEXT("MUX: MuxInitThread() for %s -> ERROR, GSM_0710_DLCI %d out of range 1..63 ; Time=%d\r\n"),
               ctx->szName, (int)ctx->ucDlci, GetTickCount());
        MuxLog(TEXT("MUX: MuxInitThread() for %s -> Fail ; Time=%d\r\n"), ctx->szName,
               GetTickCount());
    } else if (ReadWord(&ctx->fDeinitPending) == 0) {
        CUserChannel* channel = new CUserChannel(ctx->ucDlci, ctx->dwType, ctx->szName);
        if (channel == NULL || channel->IsNotReady()) {
            DeleteUserChannel(channel);
            ctx->pChannel = NULL;
            MuxLog(TEXT("MUX: MuxInitThread() for %s -> Fail ; Time=%d\r\n"), ctx->szName,
                   GetTickCount());
        } else {
            ctx->pChannel = channel;
            InterlockedExchange((volatile LONG*)&ctx->fInitDone, 1);
            SetEvent(ctx->hInitEvent);
        }
    }
    LeaveMuxInitLock();
    return 0;
}

extern "C" DWORD_PTR MUX_Init(LPCWSTR activeKey, LPCVOID)
{
    WCHAR name[REG_STRING_BYTES / sizeof(WCHAR) + 1];
    DWORD dlci = 0;
    DWORD type = 0;
    memset(name, 0, sizeof(name));

    NKDbgPrintfW(TEXT("MUX_version: %x\r\n"), MUX_DRIVER_VERSION);

    if (!ReadInstanceConfig(activeKey, name, &dlci, &type)) {
        return 0;
    }
    ReadLogSwitch();
    MuxLog(TEXT("MUX log start for %s ; Time = %d\r\n"), name, GetTickCount());

    MuxDeviceContext* ctx =
        (MuxDeviceContext*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(MuxDeviceContext));
    if (ctx == NULL) {
        MuxLog(TEXT("MUX: MUX_Init() for %s -> Fail ; Time=%d\r\n"), name, GetTickCount());
        return 0;
    }
    AddLockUser();
    ctx->ucDlci = (BYTE)(dlci & 0xFF);
    ctx->dwType = (type != 0) ? 1 : 0;
    wcscpy(ctx->szName, name);
    ctx->fInitDone = 0;

    // Manual reset: every opener that waits while start-up runs is let
    // through once it has succeeded.
    ctx->hInitEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (ctx->hInitEvent == NULL) {
        MuxLog(TEXT("MUX: MUX_Init() for %s -> CreateEvent() fail ; Time=%d\r\n"), name,
               GetTickCount());
        return (DWORD_PTR)ctx;
    }
    ctx->hInitThread = CreateThread(NULL, 0, MuxInitThread, ctx, 0, NULL);
    if (ctx->hInitThread == NULL) {
        MuxLog(TEXT("MUX: MUX_Init() for %s -> CreateThread() fail ; Time=%d\r\n"), name,
               GetTickCount());
    }
    return (DWORD_PTR)ctx;
}

// The start-up thread uses the record to its end: wait for it. One that has
// not begun to create the channel skips it.
static void EndStartUp(MuxDeviceContext* ctx)
{
    InterlockedExchange(&ctx->fDeinitPending, 1);
    if (ctx->hInitThread != NULL) {
        WaitForSingleObject(ctx->hInitThread, INFINITE);
        CloseHandle(ctx->hInitThread);
        ctx->hInitThread = NULL;
    }
}

// The device manager calls this as the instance is removed, once no new
// call can reach it, and calls MUX_Deinit only after every client call
// still inside the driver has returned. Those calls are released here: the
// channel is taken down (DISC when connected), so that a write held by the
// modem's flow control and a sender waiting for an answer fail, and a client
// waiting for communication events returns without any. No open brings the
// channel back from here on.
extern "C" BOOL MUX_PreDeinit(DWORD_PTR deviceContext)
{
    MuxDeviceContext* ctx = (MuxDeviceContext*)deviceContext;
    if (ctx == NULL) {
        return TRUE;
    }
    EndStartUp(ctx);
    CUserChannel* channel = ctx->pChannel;
    if (channel != NULL) {
        // As in MUX_Deinit: the channel's release may stop the dispatcher.
        EnterMuxInitLock();
        channel->Deinit();
        LeaveMuxInitLock();
        channel->ReleaseEventWaiters();
    }
    return TRUE;
}

extern "C" BOOL MUX_Deinit(DWORD_PTR deviceContext)
{
    MuxDeviceContext* ctx = (MuxDeviceContext*)deviceContext;
    if (ctx == NULL) {
        return TRUE;
    }
    EndStartUp(ctx);
    // An open in progress uses the channel and the record; it ends within
    // its own time-outs.
    while (ReadWord(&ctx->lOpenCalls) != 0) {
        Sleep(10);
    }
    if (ctx->pChannel != NULL) {
        // Not while another instance creates or re-initialises its channel:
        // this may stop the dispatcher under it.
        EnterMuxInitLock();
        DeleteUserChannel(ctx->pChannel);
        ctx->pChannel = NULL;
        LeaveMuxInitLock();
    }
    if (ctx->hInitEvent != NULL) {
        CloseHandle(ctx->hInitEvent);
        ctx->hInitEvent = NULL;
    }
    HeapFree(GetProcessHeap(), 0, ctx);
    RemoveLockUser();
    return TRUE;
}
