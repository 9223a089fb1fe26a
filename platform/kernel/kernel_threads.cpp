// Threads and time of the POSIX platform: the thread objects, their start
// and end, priorities and names, the last error, Sleep, the tick count and
// the local time.
#include "platform/kernel/kernel_internal.h"
#include "platform/own_calls.h"

namespace plat {
namespace kcore {
namespace {

thread_local DWORD tlsLastError = 0;

std::string NameOf(const ThreadRec* r) { return r ? r->name : std::string(); }

// The thread behind a handle, or the caller for the GetCurrentThread()
// pseudo-handle. Holds a reference on the handle's object while alive.
struct ThreadRef {
    explicit ThreadRef(HANDLE h)
    {
        if (h == GetCurrentThread()) {
            rec = Self();
            return;
        }
        obj = ReferenceHandle(h);
        if (obj && obj->Kind() == ObjectKind::Thread)
            rec = static_cast<ThreadObject*>(obj)->Rec();
        else
            SetLastError(ERROR_INVALID_HANDLE);
    }
    ~ThreadRef()
    {
        if (obj) obj->Release();
    }
    Object* obj = nullptr;
    ThreadRec* rec = nullptr;
};

// The end of a thread, under the kernel lock: its exit code, and whoever
// waits for it released.
void RecordExit(ThreadRec* rec, DWORD code)
{
    rec->exitCode = code;
    rec->finished = true;
    for (WaitBlock* b : rec->exitWaiters) b->released = true;
    rec->exitWaiters.clear();
    kernel::Notify();
}

// Real mode: a platform thread is an OS thread of its own.
void ThreadMain(std::shared_ptr<ThreadRec> rec, LPTHREAD_START_ROUTINE start, LPVOID param)
{
    tlsRec = rec;
    pthread_setname_np(pthread_self(), rec->name.substr(0, 15).c_str());
    DWORD code = start(param);
    Lock lk(K().mutex);
    RecordExit(rec.get(), code);
}

constexpr uint64_t kLocalTimeBase = 1783865039;  // 2026-07-12 14:03:59 (as UTC, shown as local)

void FillSystemTime(LPSYSTEMTIME st, const struct tm& tm, unsigned ms)
{
    st->wYear = (WORD)(tm.tm_year + 1900);
    st->wMonth = (WORD)(tm.tm_mon + 1);
    st->wDayOfWeek = (WORD)tm.tm_wday;
    st->wDay = (WORD)tm.tm_mday;
    st->wHour = (WORD)tm.tm_hour;
    st->wMinute = (WORD)tm.tm_min;
    st->wSecond = (WORD)tm.tm_sec;
    st->wMilliseconds = (WORD)ms;
}

}  // namespace

// Simulation: the thread runs on its own stack from its first pick, and at
// its end leaves its world and hands the baton on for good.
void RunSimThread(ThreadRec* rec, LPTHREAD_START_ROUTINE start, LPVOID param)
{
    DWORD code = start(param);
    Kernel& k = K();
    Lock lk(k.mutex);
    RecordExit(rec, code);
    World* w = rec->world;
    rec->state = State::Done;
    Leave(w, rec);
    if (k.world.load() != w) {
        // Only a thread of the world can have ended it, and the host's own
        // thread, parked, can no longer be resumed.
        fprintf(stderr, "platform: thread '%s' ended after its simulated world had ended\n",
                rec->name.c_str());
        abort();
    }
    Reschedule(lk, rec);
}

}  // namespace kcore

using namespace kcore;

std::string ThreadName(HANDLE thread)
{
    Lock lk(K().mutex);
    ThreadRef t(thread);
    return NameOf(t.rec);
}

std::string CurrentThreadName()
{
    ThreadRec* r = Self();
    Lock lk(K().mutex);
    return r->name;
}

void SetCurrentThreadName(const std::string& name)
{
    ThreadRec* r = Self();
    Lock lk(K().mutex);
    r->name = name;
    r->traceName = -1;
    // A simulated thread shares its OS thread with the whole world.
    if (!r->world) pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace plat

// --- Win32: errors, threads, time -------------------------------------------------

using namespace plat;
using namespace plat::kcore;

// A simulated thread keeps its last error in its record: its OS thread is
// the world's host, shared by every thread of the world.
DWORD WINAPI GetLastError(void)
{
    if (Simulated())
        if (ThreadRec* r = RunningSimThread()) return r->lastError;
    return tlsLastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    if (Simulated())
        if (ThreadRec* r = RunningSimThread()) {
            r->lastError = dwErrCode;
            return;
        }
    tlsLastError = dwErrCode;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    kernel::YieldPoint();
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {
        // There is no ResumeThread here, so a suspended thread could never run.
        SetLastError(ERROR_NOT_SUPPORTED);
        return NULL;
    }
    Kernel& k = K();
    std::shared_ptr<ThreadRec> rec;
    if (Simulated()) {
        Lock lk(k.mutex);
        World* w = SimSelf(lk)->world;
        rec = NewRec(w, "thread-" + std::to_string(w->nextName++));
        if (!StartFiber(rec, lpStartAddress, lpParameter)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        w->threads.push_back(rec);
    } else {
        rec = NewRec(nullptr, "");
        rec->name = "thread-" + std::to_string(rec->id);
    }
    HANDLE h = NewHandle(new ThreadObject(rec));
    if (!rec->world) {
        try {
            std::thread(ThreadMain, rec, lpStartAddress, lpParameter).detach();
        } catch (...) {
            {
                Lock lk(k.mutex);
                rec->finished = true;
                rec->state = State::Done;
            }
            CloseHandle(h);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
    }
    if (lpThreadId) *lpThreadId = rec->id;
    kernel::YieldPoint();
    return h;
}

HANDLE WINAPI GetCurrentThread(void) { return (HANDLE)(LONG_PTR)-2; }

DWORD WINAPI GetCurrentThreadId(void)
{
    kernel::YieldPoint();
    return Self()->id;
}

BOOL WINAPI CeSetThreadPriority(HANDLE hThread, int nPriority)
{
    kernel::YieldPoint();
    if (nPriority < 0 || nPriority > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ThreadRef t(hThread);
    if (!t.rec) return FALSE;
    Lock lk(K().mutex);
    t.rec->priority = nPriority;
    return TRUE;
}

int WINAPI CeGetThreadPriority(HANDLE hThread)
{
    kernel::YieldPoint();
    ThreadRef t(hThread);
    if (!t.rec) return THREAD_PRIORITY_ERROR_RETURN;
    Lock lk(K().mutex);
    return t.rec->priority;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    kernel::YieldPoint();
    ThreadRef t(hThread);
    if (!t.rec) return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Lock lk(K().mutex);
    *lpExitCode = t.rec->finished ? t.rec->exitCode : STILL_ACTIVE;
    return TRUE;
}

void PlatformSetThreadNameW(LPCWSTR name)
{
    kernel::YieldPoint();
    SetCurrentThreadName(name ? ToUtf8(name) : std::string());
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    kernel::YieldPoint();
    if (!Simulated()) {
        if (dwMilliseconds == INFINITE) {
            Lock lk(K().mutex);
            kernel::WaitUntil(lk, [] { return false; }, kForever, "Sleep(INFINITE)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
        return;
    }
    if (dwMilliseconds == 0) return;
    Lock lk(K().mutex);
    const std::function<std::string()> what = [dwMilliseconds] {
        return "Sleep(" + std::to_string(dwMilliseconds) + ")";
    };
    uint64_t deadline = dwMilliseconds == INFINITE ? kForever : NowLocked() + dwMilliseconds;
    kernel::WaitUntil(lk, [] { return false; }, deadline, what);
}

DWORD WINAPI GetTickCount(void)
{
    kernel::YieldPoint();
    Kernel& k = K();
    Lock lk(k.mutex);
    if (Simulated()) {
        World* w = k.world.load();
        return w ? (DWORD)(w->now + w->tickBase) : 0;
    }
    return (DWORD)(NowLocked() + k.realTickBase);
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    kernel::YieldPoint();
    if (!lpSystemTime) return;
    struct tm tm;
    if (Simulated()) {
        uint64_t now = NowMs();
        time_t t = (time_t)(kLocalTimeBase + now / 1000);
        gmtime_r(&t, &tm);
        FillSystemTime(lpSystemTime, tm, (unsigned)(now % 1000));
        return;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t t = ts.tv_sec;
    localtime_r(&t, &tm);
    FillSystemTime(lpSystemTime, tm, (unsigned)(ts.tv_nsec / 1000000));
}

