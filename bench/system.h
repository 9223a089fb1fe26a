// The whole system for the benchmarks, as muxsim runs it: a fresh simulated
// world, the simulated module with its modem on every user DLCI, the device
// manager loading config/mux.reg and activating every MUX instance, and a
// client on "MUXn:" through the Win32 serial API. Host code (C++17).
#ifndef MUX_BENCH_SYSTEM_H
#define MUX_BENCH_SYSTEM_H

#include "platform/platform.h"

#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "sim/module.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// The line's ceiling for one direction of bulk data at 460800 bit/s 8N1:
// 46,080 octets/s, of which a 127-octet UIH frame (133 octets) carries 127.
constexpr double kCeiling = 127.0 / 133.0 * 46080.0;

[[noreturn]] inline void Fail(const std::string& why)
{
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    std::exit(1);
}

inline sim::ModuleSettings WithModem(sim::DataMode mode = sim::DataMode::Echo)
{
    sim::ModuleSettings m;
    m.serial.modem.modemDlcis = ~uint64_t(1);
    m.serial.modem.dataMode = mode;
    return m;
}

// A platform thread running fn; Join waits for it and closes the handle.
inline HANDLE Spawn(std::function<void()> fn)
{
    auto* job = new std::function<void()>(std::move(fn));
    HANDLE h = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
            (*f)();
            return 0;
        },
        job, 0, nullptr);
    if (!h) Fail("CreateThread failed");
    return h;
}

inline void Join(HANDLE h)
{
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}

class System {
public:
    System(uint64_t seed, const sim::ModuleSettings& module)
    {
        plat::BeginSimulation(seed);
        plat::SetDebugSink([](const std::u16string&) {});
        module_ = std::make_unique<sim::SimModule>(module);
        std::string error;
        if (!plat::LoadRegFile(std::string(MUX_SOURCE_DIR) + "/config/mux.reg", &error))
            Fail(error);
        muxhost::RegisterMuxDriver();
        for (const plat::BuiltInActivation& a : plat::ActivateBuiltInDrivers())
            if (a.device != INVALID_HANDLE_VALUE) devices_.push_back(a.device);
        if (devices_.size() != 3) Fail("the device manager did not activate MUX1: to MUX3:");
    }
    ~System()
    {
        for (HANDLE h : handles_) CloseHandle(h);
        for (HANDLE d : devices_) DeactivateDevice(d);
        plat::UnregisterStreamDriver("MUX");
        muxhost::UnloadMuxDriver();
        module_.reset();
        plat::SetDebugSink(nullptr);
        plat::EndSimulation();
        plat::ClearRegistry();
    }
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    sim::ModuleSerial& Modem() { return module_->Serial(); }

    // A port opened by the client, waiting on EV_RXCHAR.
    HANDLE Open(const char16_t* name)
    {
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) Fail("cannot open a MUX port");
        if (!SetCommMask(h, EV_RXCHAR)) Fail("SetCommMask failed");
        handles_.push_back(h);
        return h;
    }

private:
    std::unique_ptr<sim::SimModule> module_;
    std::vector<HANDLE> devices_;
    std::vector<HANDLE> handles_;
};

// What the client has read so far; Wait blocks in WaitCommEvent, then reads
// what has arrived, as the radio interface layer does.
inline size_t WaitAndRead(HANDLE h, std::string* into)
{
    DWORD events = 0;
    if (!WaitCommEvent(h, &events, nullptr)) Fail("WaitCommEvent failed");
    char buf[8192];
    size_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) Fail("ReadFile failed");
        if (got == 0) break;
        into->append(buf, got);
        total += got;
        if (got < sizeof buf) break;
    }
    return total;
}

inline void WriteAll(HANDLE h, const std::string& data)
{
    DWORD n = 0;
    if (!WriteFile(h, data.data(), (DWORD)data.size(), &n, nullptr) || n != data.size())
        Fail("WriteFile failed or was short");
}

// Dials the packet data call on the port and waits for CONNECT; what came
// after CONNECT stays in *rest.
inline void Dial(HANDLE h, std::string* rest)
{
    WriteAll(h, "ATD*99#\r");
    std::string got;
    for (;;) {
        WaitAndRead(h, &got);
        const size_t at = got.find("CONNECT\r\n");
        if (at != std::string::npos) {
            *rest = got.substr(at + 9);
            return;
        }
        if (got.size() > 4096) Fail("no CONNECT: " + got.substr(0, 200));
    }
}

// The q-quantile (0..1) of samples.
inline double Quantile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(q * (double)(v.size() - 1) + 0.5))];
}

}  // namespace bench

#endif
