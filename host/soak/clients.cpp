// The client threads of a soak run: each runs its drawn operations through
// the Win32 serial API on handles of its own, checks what each call
// returns, and ends when the fault window is over.
#include "world.h"

#include "driver/mux.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"

namespace soak {

namespace {

struct Client {
    World* w = nullptr;
    int id = 0;
    std::vector<HANDLE> handles;  // per instance
    std::mt19937_64 rng;
};

std::string Where(const Client& c, const Op& op)
{
    return "client " + std::to_string(c.id) + " " + OpName(op.kind) + " " +
           c.w->plan.instances[op.instance].Name();
}

void Wait(Client& c, HANDLE h, const Op& op)
{
    if (!SetCommMask(h, EV_RXCHAR)) return;
    World& w = *c.w;
    EnterCriticalSection(&w.lock);
    w.waiters[c.id].handle = h;
    w.waiters[c.id].sinceMs = plat::NowMs();
    LeaveCriticalSection(&w.lock);
    DWORD events = 0xFFFFFFFFu;
    BOOL ok = WaitCommEvent(h, &events, nullptr);
    EnterCriticalSection(&w.lock);
    w.waiters[c.id].handle = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&w.lock);
    if (ok && (events & ~static_cast<DWORD>(EV_RXCHAR)) != 0) {
        w.Fail(Where(c, op) + ": WaitCommEvent returned events " + std::to_string(events));
    }
}

void Reactivate(Client& c, const Op& op)
{
    World& w = *c.w;
    EnterCriticalSection(&w.lock);
    HANDLE device = w.devices[op.instance];
    w.devices[op.instance] = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&w.lock);
    if (device == INVALID_HANDLE_VALUE) return;  // another client has it
    DeactivateDevice(device);
    Sleep(op.arg);
    const std::u16string key = w.DriverKey(op.instance);
    w.SetDevice(op.instance, ActivateDeviceEx(key.c_str(), nullptr, 0, nullptr));
}

// Calls a client must not make; each fails and changes nothing.
void Misuse(Client& c, HANDLE h, const Op& op)
{
    char buf[32] = {};
    DWORD n = 0;
    BOOL ok = FALSE;
    switch (op.arg) {
    case 0: ok = ReadFile(h, nullptr, 16, &n, nullptr); break;
    case 1: ok = ReadFile(h, buf, 0xFFFFFFFFu, &n, nullptr); break;
    case 2: ok = WriteFile(h, nullptr, 5, &n, nullptr); break;
    case 3: ok = WriteFile(h, buf, 0xFFFFFFFFu, &n, nullptr); break;
    case 4: ok = DeviceIoControl(h, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, nullptr, 0, &n, nullptr); break;
    default: ok = DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, buf, 2, &n, nullptr); break;
    }
    if (ok) c.w->Fail(Where(c, op) + ": misuse " + std::to_string(op.arg) + " succeeded");
}

void DriverCode(Client& c, HANDLE h, const Op& op, DWORD code)
{
    DWORD n = 0;
    if (DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &n, nullptr)) {
        c.w->Fail(Where(c, op) + ": the driver's own code returned TRUE");
    }
}

void ReadWrite(Client& c, HANDLE h, const Op& op)
{
    DWORD n = 0;
    if (op.kind == OpKind::Read) {
        std::vector<uint8_t> buf(op.arg);
        if (ReadFile(h, buf.data(), op.arg, &n, nullptr) && n > op.arg) {
            c.w->Fail(Where(c, op) + ": ReadFile returned " + std::to_string(n) + " octets");
        }
        return;
    }
    std::vector<uint8_t> data = op.arg == 0 ? std::vector<uint8_t>{'A', 'T', '\r'} : DrawOctets(c.rng, op.arg);
    if (WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n != data.size()) {
        c.w->Fail(Where(c, op) + ": WriteFile wrote " + std::to_string(n) + " of " +
                  std::to_string(data.size()));
    }
}

void Do(Client& c, const Op& op)
{
    World& w = *c.w;
    HANDLE& h = c.handles[op.instance];
    const bool open = h != INVALID_HANDLE_VALUE;
    DWORD status = 0;
    switch (op.kind) {
    case OpKind::Open: {
        if (open) CloseHandle(h);
        const std::u16string name = w.PortName(op.instance);
        h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return;
    }
    case OpKind::Close:
        if (open) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        return;
    case OpKind::Power:
        plat::SystemSuspend();
        Sleep(op.arg);
        plat::SystemResume();
        return;
    case OpKind::Reactivate: Reactivate(c, op); return;
    default: break;
    }
    if (!open) return;
    switch (op.kind) {
    case OpKind::Read:
    case OpKind::Write: ReadWrite(c, h, op); break;
    case OpKind::Wait: Wait(c, h, op); break;
    case OpKind::Mask: SetCommMask(h, op.arg ? EV_RXCHAR : 0); break;
    case OpKind::ModemStatus:
        if (GetCommModemStatus(h, &status) && (status & ~0xF0u) != 0) {
            w.Fail(Where(c, op) + ": modem status " + std::to_string(status));
        }
        break;
    case OpKind::Reinit: DriverCode(c, h, op, IOCTL_MUX_MODULEREINIT); break;
    case OpKind::CrashCheck: DriverCode(c, h, op, IOCTL_MUX_CRASHDEBUGCMD); break;
    case OpKind::Misuse: Misuse(c, h, op); break;
    default: break;
    }
}

void SetState(World& w, int id, const std::string& what)
{
    EnterCriticalSection(&w.lock);
    w.clientOps[id] = what;
    LeaveCriticalSection(&w.lock);
}

DWORD WINAPI ClientThread(LPVOID arg)
{
    Client* c = static_cast<Client*>(arg);
    World& w = *c->w;
    for (const Op& op : w.plan.clients[c->id]) {
        if (w.stop) break;
        Sleep(op.pauseMs);
        if (w.stop) break;
        SetState(w, c->id, Where(*c, op) + " since " + std::to_string(plat::NowMs()) + " ms");
        Do(*c, op);
    }
    for (HANDLE h : c->handles) {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    SetState(w, c->id, "");
    delete c;
    return 0;
}

// Releases clients that have waited a period: the data that should have
// released them may have been lost on the line, and a mask change always
// ends a wait.
DWORD WINAPI WakerThread(LPVOID arg)
{
    World& w = *static_cast<World*>(arg);
    while (!w.stopWaker) {
        Sleep(w.plan.wakePeriodMs);
        EnterCriticalSection(&w.lock);
        for (World::Waiter& waiter : w.waiters) {
            if (waiter.handle != INVALID_HANDLE_VALUE && plat::NowMs() - waiter.sinceMs >= w.plan.wakePeriodMs) {
                SetCommMask(waiter.handle, EV_RXCHAR);
            }
        }
        LeaveCriticalSection(&w.lock);
    }
    return 0;
}

}  // namespace

HANDLE StartClient(World& w, int id)
{
    Client* c = new Client;
    c->w = &w;
    c->id = id;
    c->handles.assign(w.plan.instances.size(), INVALID_HANDLE_VALUE);
    c->rng.seed(w.plan.seed * 1000003u + static_cast<uint64_t>(id));
    return CreateThread(nullptr, 0, ClientThread, c, 0, nullptr);
}

HANDLE StartWaker(World& w)
{
    return CreateThread(nullptr, 0, WakerThread, &w, 0, nullptr);
}

std::string ClientState(World& w, int id)
{
    EnterCriticalSection(&w.lock);
    std::string s = w.clientOps[id];
    LeaveCriticalSection(&w.lock);
    return s;
}

}  // namespace soak
