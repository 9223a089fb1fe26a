// The checks after the fault window: every port answers AT again within a
// bound, carries data both ways octet for octet, and a waiting client is
// released within a bound of the data or mask change that should release
// it.
#include "world.h"

#include "driver/mux.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"

#include <algorithm>

namespace soak {

namespace {

const uint32_t kPollMs = 5;
const uint32_t kAnswerMs = 3000;
const uint32_t kRetryMs = 500;

// Reads what the port has until `done` holds for it or maxMs passed.
template <typename Done>
bool ReadUntil(HANDLE h, std::vector<uint8_t>* got, uint32_t maxMs, Done done)
{
    const uint64_t end = plat::NowMs() + maxMs;
    for (;;) {
        uint8_t buf[512];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0) got->insert(got->end(), buf, buf + n);
        if (done(*got)) return true;
        if (plat::NowMs() >= end) return false;
        Sleep(kPollMs);
    }
}

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// One attempt: open, "AT", an OK back. The handle stays open on success.
HANDLE TryPort(World& w, int i, std::string* why)
{
    if (w.Device(i) == INVALID_HANDLE_VALUE) {
        const std::u16string key = w.DriverKey(i);
        w.SetDevice(i, ActivateDeviceEx(key.c_str(), nullptr, 0, nullptr));
        if (w.Device(i) == INVALID_HANDLE_VALUE) {
            *why = "activation failed, error " + std::to_string(GetLastError());
            return INVALID_HANDLE_VALUE;
        }
    }
    const std::u16string name = w.PortName(i);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = "CreateFileW failed, error " + std::to_string(GetLastError());
        return h;
    }
    std::vector<uint8_t> got;
    ReadUntil(h, &got, 0, [](const std::vector<uint8_t>&) { return true; });
    got.clear();
    DWORD n = 0;
    // A client's random writes may have left the modem in numeric results
    // (ATV0): "0\r" is its OK.
    const std::vector<uint8_t> ok = {'O', 'K', '\r', '\n'};
    const std::vector<uint8_t> zero = {'0', '\r'};
    if (!WriteFile(h, "AT\r", 3, &n, nullptr)) {
        *why = "WriteFile(\"AT\\r\") failed, error " + std::to_string(GetLastError());
    } else if (!ReadUntil(h, &got, kAnswerMs, [&](const std::vector<uint8_t>& g) { return Contains(g, ok) || Contains(g, zero); })) {
        *why = "no OK to AT within " + std::to_string(kAnswerMs) + " ms";
        // As the radio interface layer does after an AT time-out: the driver
        // tells a crashed module from a running one, and takes the
        // multiplexer down for a crashed one, so that the next open resets
        // the module and starts it again.
        DeviceIoControl(h, IOCTL_MUX_CRASHDEBUGCMD, nullptr, 0, nullptr, 0, &n, nullptr);
    } else {
        return h;
    }
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
}

// An instance whose start-up failed under the faults refuses every open
// for good (the driver logs why); the device manager's answer is a fresh
// activation, tried after every second failed open.
void Reactivate(World& w, int i)
{
    HANDLE d = w.Device(i);
    if (d != INVALID_HANDLE_VALUE) DeactivateDevice(d);
    w.SetDevice(i, INVALID_HANDLE_VALUE);
    w.Note(w.plan.instances[i].Name() + " re-activated at " + std::to_string(plat::NowMs()) + " ms");
}

// Rounds over the ports that do not answer yet, so that one that opens can
// report the crash (TryPort) that keeps the others from starting.
std::vector<HANDLE> Recover(World& w)
{
    const size_t count = w.plan.instances.size();
    const uint64_t deadline = plat::NowMs() + w.bounds.recoverMs;
    std::vector<HANDLE> handles(count, INVALID_HANDLE_VALUE);
    std::vector<std::string> why(count);
    std::vector<int> failures(count, 0);
    for (;;) {
        bool all = true;
        for (size_t i = 0; i < count; i++) {
            if (handles[i] != INVALID_HANDLE_VALUE) continue;
            handles[i] = TryPort(w, static_cast<int>(i), &why[i]);
            if (handles[i] != INVALID_HANDLE_VALUE) continue;
            all = false;
            if (++failures[i] % 2 == 0 && why[i].rfind("CreateFileW", 0) == 0) Reactivate(w, static_cast<int>(i));
        }
        if (all || plat::NowMs() >= deadline) break;
        Sleep(kRetryMs);
    }
    for (size_t i = 0; i < count; i++) {
        if (handles[i] != INVALID_HANDLE_VALUE) continue;
        w.Fail(w.plan.instances[i].Name() + " did not recover within " + std::to_string(w.bounds.recoverMs) +
               " ms after the faults ended: " + why[i]);
    }
    return handles;
}

std::vector<uint8_t> Pattern(std::mt19937_64& rng)
{
    // No carriage return: the modem behind the DLCI would take the octets
    // before it as a command line and answer it.
    std::vector<uint8_t> p = DrawOctets(rng, std::uniform_int_distribution<size_t>(1, 700)(rng));
    for (uint8_t& o : p) {
        if (o == '\r') o = '.';
    }
    return p;
}

void CheckDataBothWays(World& w, int i, HANDLE h, std::mt19937_64& rng)
{
    const Instance& in = w.plan.instances[i];
    sim::ModuleSerial& modem = w.module.Serial();
    const size_t before = modem.DataFromHost(in.dlci).size();
    const std::vector<uint8_t> out = Pattern(rng);
    DWORD n = 0;
    if (!WriteFile(h, out.data(), static_cast<DWORD>(out.size()), &n, nullptr) || n != out.size()) {
        w.Fail(in.Name() + " a write of " + std::to_string(out.size()) + " octets failed after recovery");
        return;
    }
    const uint64_t end = plat::NowMs() + w.bounds.deliverMs;
    while (modem.DataFromHost(in.dlci).size() < before + out.size() && plat::NowMs() < end) Sleep(kPollMs);
    const std::vector<uint8_t> all = modem.DataFromHost(in.dlci);
    if (all.size() != before + out.size() || !std::equal(out.begin(), out.end(), all.begin() + before)) {
        w.Fail(in.Name() + " the module got " + std::to_string(all.size() - before) + " octets of the " +
               std::to_string(out.size()) + " written, or not in order");
    }
    // The modem's echo and answers first, then the module's own data.
    Sleep(300);
    std::vector<uint8_t> got;
    ReadUntil(h, &got, 0, [](const std::vector<uint8_t>&) { return true; });
    got.clear();
    const std::vector<uint8_t> back = Pattern(rng);
    const size_t chunk = std::max<size_t>(1, modem.FrameSize());
    for (size_t at = 0; at < back.size(); at += chunk) {
        modem.SendUih(in.dlci, std::vector<uint8_t>(back.begin() + at, back.begin() + std::min(back.size(), at + chunk)));
    }
    if (!ReadUntil(h, &got, w.bounds.deliverMs, [&](const std::vector<uint8_t>& g) { return Contains(g, back); })) {
        w.Fail(in.Name() + " the client read " + std::to_string(got.size()) + " octets, not the " +
               std::to_string(back.size()) + " the module sent in order");
    }
}

struct WaitCall {
    HANDLE h;
    volatile LONG done = 0;
    uint64_t atMs = 0;
};

DWORD WINAPI WaitThread(LPVOID arg)
{
    WaitCall* call = static_cast<WaitCall*>(arg);
    DWORD events = 0;
    WaitCommEvent(call->h, &events, nullptr);
    call->atMs = plat::NowMs();
    InterlockedExchange(&call->done, 1);
    return 0;
}

// By data from the module (even instances) or a mask change from this
// thread (odd ones).
void CheckRelease(World& w, int i, HANDLE h)
{
    const Instance& in = w.plan.instances[i];
    SetCommMask(h, EV_RXCHAR);
    WaitCall call{h};
    HANDLE t = CreateThread(nullptr, 0, WaitThread, &call, 0, nullptr);
    Sleep(200);
    const bool byData = i % 2 == 0;
    const uint64_t t0 = plat::NowMs();
    if (byData) {
        w.module.Serial().SendUih(in.dlci, {'x'});
    } else {
        SetCommMask(h, EV_RXCHAR);
    }
    while (!call.done && plat::NowMs() - t0 < w.bounds.releaseMs) Sleep(kPollMs);
    if (!call.done) {
        w.Fail(in.Name() + " a client waiting in WaitCommEvent was not released within " +
               std::to_string(w.bounds.releaseMs) + " ms of " + (byData ? "data arriving" : "a mask change"));
        SetCommMask(h, EV_RXCHAR);  // once more, so that the thread can be joined
    }
    WaitForSingleObject(t, w.bounds.clientEndMs);
    CloseHandle(t);
}

}  // namespace

void CheckRecovery(World& w)
{
    std::mt19937_64 rng(w.plan.seed ^ 0x5eed);
    const std::vector<HANDLE> handles = Recover(w);
    for (size_t i = 0; i < handles.size(); i++) {
        if (handles[i] == INVALID_HANDLE_VALUE) continue;
        CheckDataBothWays(w, static_cast<int>(i), handles[i], rng);
        CheckRelease(w, static_cast<int>(i), handles[i]);
        CloseHandle(handles[i]);
    }
    w.Note("recovery checked at " + std::to_string(plat::NowMs()) + " ms");
}

}  // namespace soak
