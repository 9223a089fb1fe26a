// Goodput of bulk transfers through "MUX1:" over the simulated line, in
// virtual time, against the line's ceiling: WriteFile of 1 MB on one side,
// WaitCommEvent + ReadFile on the other, host to module, module to host and
// both at once (the module's modem in a packet data call: sink, source or
// echo). "MUX3:" paces its frames (110 ms a frame): its rate is printed
// beside the ceiling of that pace. Also the simulator's speed on the bulk
// receive: virtual time over real time (BENCH_RECEIVE_TRACE=FILE writes the
// scheduler's trace of that run: who got the baton, when).
#include "figures.h"
#include "system.h"

#include <chrono>

namespace {

const size_t kBulk = bench::Quick() ? 1 << 17 : 1 << 20;
constexpr uint64_t kSeed = 1;

// Data without '+', so that no "+++" ends the call.
std::string Payload(size_t n)
{
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

int DlciOf(const char16_t* port) { return port[3] - u'0'; }

// Octets per second of virtual time from WriteFile to the last octet at the
// module.
double HostToModule(const char16_t* port, size_t bytes)
{
    bench::System sys(kSeed, bench::WithModem(sim::DataMode::Sink));
    HANDLE h = sys.Open(port);
    std::string rest;
    bench::Dial(h, &rest);
    const int dlci = DlciOf(port);
    uint64_t got = 0, lastMs = 0;
    sys.Modem().SetUserDataHandler([&](int d, const std::vector<uint8_t>& info) {
        if (d != dlci) return;
        got += info.size();
        lastMs = plat::NowMs();
    });
    const uint64_t t0 = plat::NowMs();
    bench::WriteAll(h, Payload(bytes));
    while (got < bytes) Sleep(10);
    sys.Modem().SetUserDataHandler(nullptr);
    return bytes * 1000.0 / double(lastMs - t0);
}

struct Receive {
    double goodput = 0;
    double speedUp = 0;  // virtual time over real time
};

// From CONNECT to the last of the source's octets read by the client.
Receive ModuleToHost()
{
    sim::ModuleSettings m = bench::WithModem(sim::DataMode::Source);
    m.serial.modem.sourceOctets = kBulk;
    bench::System sys(kSeed, m);
    HANDLE h = sys.Open(u"MUX1:");
    std::string got;
    bench::Dial(h, &got);
    const uint64_t t0 = plat::NowMs();
    const auto real0 = std::chrono::steady_clock::now();
    while (got.size() < kBulk) bench::WaitAndRead(h, &got);
    const uint64_t t1 = plat::NowMs();
    const double real =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - real0).count();
    if (const char* path = std::getenv("BENCH_RECEIVE_TRACE")) {
        // Who got the baton how often: where the thread switches come from.
        if (FILE* f = std::fopen(path, "w")) {
            std::fputs(plat::SchedulerTrace().c_str(), f);
            std::fclose(f);
        }
    }
    Receive r;
    r.goodput = kBulk * 1000.0 / double(t1 - t0);
    r.speedUp = double(t1 - t0) / real;
    return r;
}

// Echo: the module sends back what it gets while the host still writes.
void BothWays(double* toModule, double* toHost)
{
    bench::System sys(kSeed, bench::WithModem(sim::DataMode::Echo));
    HANDLE h = sys.Open(u"MUX1:");
    std::string got;
    bench::Dial(h, &got);
    uint64_t arrived = 0, lastMs = 0;
    sys.Modem().SetUserDataHandler([&](int d, const std::vector<uint8_t>& info) {
        if (d != 1) return;
        arrived += info.size();
        lastMs = plat::NowMs();
    });
    const uint64_t t0 = plat::NowMs();
    HANDLE writer = bench::Spawn([h] { bench::WriteAll(h, Payload(kBulk)); });
    while (got.size() < kBulk) bench::WaitAndRead(h, &got);
    const uint64_t t1 = plat::NowMs();
    bench::Join(writer);
    while (arrived < kBulk) Sleep(10);
    sys.Modem().SetUserDataHandler(nullptr);
    *toModule = kBulk * 1000.0 / double(lastMs - t0);
    *toHost = kBulk * 1000.0 / double(t1 - t0);
}

}  // namespace

int main()
{
    bench::PrintFigure("goodput MUX1: host to module", HostToModule(u"MUX1:", kBulk), "octets/s",
                       bench::kCeiling);
    const Receive rx = ModuleToHost();
    bench::PrintFigure("goodput MUX1: module to host", rx.goodput, "octets/s", bench::kCeiling);
    double both1 = 0, both2 = 0;
    BothWays(&both1, &both2);
    bench::PrintFigure("goodput MUX1: both at once, host to module", both1, "octets/s",
                       bench::kCeiling);
    bench::PrintFigure("goodput MUX1: both at once, module to host", both2, "octets/s",
                       bench::kCeiling);
    // One 127-octet frame per 110 ms.
    bench::PrintFigure("goodput MUX3: host to module (paced)", HostToModule(u"MUX3:", 16 * 1024),
                       "octets/s", 127 * 1000.0 / 110);
    bench::PrintFigure("simulator: bulk receive speed-up over real time", rx.speedUp, "x", 50);
    return 0;
}
