// Synchronisation objects of the POSIX platform: events (named and
// unnamed), WaitForSingleObject, critical sections and interlocked
// operations.
#include "platform/kernel/kernel_internal.h"

namespace plat {
namespace kcore {
namespace {

class EventObject;

std::map<std::u16string, EventObject*>& EventNames()
{
    static auto* names = new std::map<std::u16string, EventObject*>;
    return *names;
}

class EventObject : public Object {
public:
    EventObject(bool manual, bool initial, std::u16string name)
        : Object(ObjectKind::Event), manual_(manual), signalled_(initial), name_(std::move(name))
    {
    }
    // Under the kernel lock.
    bool Waitable() const override { return true; }
    bool BeginWait(WaitBlock* w) override
    {
        if (signalled_) {
            if (!manual_) signalled_ = false;
            return true;
        }
        waiters_.push_back(w);
        return false;
    }
    void EndWait(WaitBlock* w) override { RemoveWaiter(waiters_, w); }
    void Set()
    {
        if (manual_) {
            signalled_ = true;
            ReleaseAll();
        } else if (!waiters_.empty()) {
            ReleaseOne();
        } else {
            signalled_ = true;
        }
        kernel::Notify();
    }
    void Pulse()
    {
        if (manual_)
            ReleaseAll();
        else if (!waiters_.empty())
            ReleaseOne();
        signalled_ = false;
        kernel::Notify();
    }
    void Reset() { signalled_ = false; }
    BOOL Close() override
    {
        Lock lk(kernel::Mutex());
        if (--handles_ == 0 && !name_.empty()) {
            auto& names = EventNames();
            auto it = names.find(name_);
            if (it != names.end() && it->second == this) names.erase(it);
        }
        return TRUE;
    }
    std::string Describe() const override
    {
        return name_.empty() ? std::string("unnamed event") : "event '" + ToUtf8(name_) + "'";
    }
    void AddHandle() { ++handles_; }

private:
    void ReleaseAll()
    {
        for (WaitBlock* w : waiters_) w->released = true;
        waiters_.clear();
    }
    void ReleaseOne()
    {
        waiters_.front()->released = true;
        waiters_.erase(waiters_.begin());
    }

    const bool manual_;
    bool signalled_;
    const std::u16string name_;
    int handles_ = 1;
    std::vector<WaitBlock*> waiters_;
};

struct CsImpl {
    std::recursive_mutex m;
};

}  // namespace
}  // namespace kcore
}  // namespace plat

using namespace plat;
using namespace plat::kcore;

// --- events and waits -------------------------------------------------------------------

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    kernel::YieldPoint();
    std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
    Lock lk(kernel::Mutex());
    if (!name.empty()) {
        auto& names = EventNames();
        auto it = names.find(name);
        if (it != names.end()) {
            it->second->AddRef();
            it->second->AddHandle();
            HANDLE h = NewHandle(it->second);
            SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
    }
    auto* ev = new EventObject(bManualReset != FALSE, bInitialState != FALSE, name);
    if (!name.empty()) EventNames()[name] = ev;
    HANDLE h = NewHandle(ev);
    SetLastError(ERROR_SUCCESS);
    return h;
}

namespace {

EventObject* EventFromHandle(HANDLE h, ObjectRef& ref)
{
    if (!ref) return nullptr;
    if (ref->Kind() != ObjectKind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    (void)h;
    return static_cast<EventObject*>(ref.get());
}

}  // namespace

// Set, reset and pulse: the event behind the handle, changed under the
// kernel lock after the call's scheduling point.
static BOOL OnEvent(HANDLE hEvent, void (EventObject::*change)())
{
    kernel::YieldPoint();
    ObjectRef ref(hEvent);
    EventObject* ev = EventFromHandle(hEvent, ref);
    if (!ev) return FALSE;
    Lock lk(kernel::Mutex());
    (ev->*change)();
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return OnEvent(hEvent, &EventObject::Set);
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return OnEvent(hEvent, &EventObject::Reset);
}

BOOL WINAPI PulseEvent(HANDLE hEvent)
{
    return OnEvent(hEvent, &EventObject::Pulse);
}

BOOL plat::SetEventObject(Object* obj)
{
    if (!obj || obj->Kind() != ObjectKind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Lock lk(kernel::Mutex());
    static_cast<EventObject*>(obj)->Set();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    kernel::YieldPoint();
    ObjectRef obj(hHandle);
    if (!obj) return WAIT_FAILED;
    if (!obj->Waitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    Lock lk(kernel::Mutex());
    WaitBlock wb;
    if (obj->BeginWait(&wb)) return WAIT_OBJECT_0;
    if (dwMilliseconds != 0) {
        uint64_t deadline = dwMilliseconds == INFINITE ? kForever : NowLocked() + dwMilliseconds;
        const std::function<std::string()> what = [&obj] {
            return "WaitForSingleObject(" + obj->Describe() + ")";
        };
        kernel::WaitUntil(lk, [&wb] { return wb.released; }, deadline, what);
    }
    obj->EndWait(&wb);
    return wb.released ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// --- critical sections ------------------------------------------------------------------

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    cs->impl = new CsImpl;
    cs->OwnerThread = 0;
    cs->LockCount = 0;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    delete static_cast<CsImpl*>(cs->impl);
    cs->impl = nullptr;
    cs->OwnerThread = 0;
    cs->LockCount = 0;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    if (!Simulated()) {
        static_cast<CsImpl*>(cs->impl)->m.lock();
        cs->OwnerThread = RealSelf()->id;
        ++cs->LockCount;
        return;
    }
    kernel::YieldPoint();
    Lock lk(kernel::Mutex());
    DWORD me = Self()->id;
    const std::function<std::string()> what = [cs] {
        return "EnterCriticalSection (held by '" +
               ThreadNameById(K().world.load(), cs->OwnerThread) + "')";
    };
    while (cs->OwnerThread != 0 && cs->OwnerThread != me)
        kernel::WaitUntil(lk, [cs] { return cs->OwnerThread == 0; }, kForever, what);
    cs->OwnerThread = me;
    ++cs->LockCount;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs)
{
    if (!Simulated()) {
        if (!static_cast<CsImpl*>(cs->impl)->m.try_lock()) return FALSE;
        cs->OwnerThread = RealSelf()->id;
        ++cs->LockCount;
        return TRUE;
    }
    kernel::YieldPoint();
    Lock lk(kernel::Mutex());
    DWORD me = Self()->id;
    if (cs->OwnerThread != 0 && cs->OwnerThread != me) return FALSE;
    cs->OwnerThread = me;
    ++cs->LockCount;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    if (!Simulated()) {
        if (--cs->LockCount == 0) cs->OwnerThread = 0;
        static_cast<CsImpl*>(cs->impl)->m.unlock();
        return;
    }
    kernel::YieldPoint();
    Lock lk(kernel::Mutex());
    if (cs->OwnerThread != Self()->id || cs->LockCount <= 0) return;  // not the owner
    if (--cs->LockCount == 0) {
        cs->OwnerThread = 0;
        kernel::Notify();
    }
}

// --- interlocked ------------------------------------------------------------------------

LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value)
{
    kernel::YieldPoint();
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedIncrement(LONG volatile* lpAddend)
{
    kernel::YieldPoint();
    return __atomic_add_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedDecrement(LONG volatile* lpAddend)
{
    kernel::YieldPoint();
    return __atomic_sub_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand)
{
    kernel::YieldPoint();
    LONG expected = Comperand;
    __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}
