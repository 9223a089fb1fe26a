// Latency in virtual time through "MUX1:", p50 and p99: from the last octet
// of a frame on the line to the client's WaitCommEvent returning, and from
// WriteFile to the first octet on the line. (What a client that never reads
// costs the other ports: bench_slow_reader.cpp.)
#include "figures.h"
#include "system.h"

namespace {

constexpr int kSamples = 300;
constexpr uint64_t kSeed = 1;

// A small frame from the module every 17 to 29 ms; the client waits and reads.
void ReceiveLatency()
{
    bench::System sys(kSeed, bench::WithModem());
    HANDLE h = sys.Open(u"MUX1:");
    std::vector<uint64_t> sentAt;
    HANDLE sender = bench::Spawn([&] {
        for (int i = 0; i < kSamples; ++i) {
            Sleep(17 + (i * 7) % 13);
            sys.Modem().SendUih(1, {'\r', '\n', 'R', 'I', 'N', 'G', '\r', '\n'});
            sentAt.push_back(sys.Modem().Uart().ToHostIdleAtMs());
        }
    });
    std::vector<double> latency;
    std::string got;
    for (int i = 0; i < kSamples; ++i) {
        bench::WaitAndRead(h, &got);
        latency.push_back(double(plat::NowMs()));
    }
    bench::Join(sender);
    for (int i = 0; i < kSamples; ++i) latency[i] -= double(sentAt[i]);
    bench::PrintFigure("latency: last octet on the line to WaitCommEvent, p50",
                       bench::Quantile(latency, 0.5), "ms", 0);
    bench::PrintFigure("latency: last octet on the line to WaitCommEvent, p99",
                       bench::Quantile(latency, 0.99), "ms", 0);
}

// A 16-octet write every 17 to 29 ms in a data call; the first octet is
// on the line the frame's time before its last one reached the module.
void TransmitLatency()
{
    bench::System sys(kSeed, bench::WithModem(sim::DataMode::Sink));
    HANDLE h = sys.Open(u"MUX1:");
    std::string rest;
    bench::Dial(h, &rest);
    std::vector<uint64_t> arrived;
    sys.Modem().SetUserDataHandler([&](int d, const std::vector<uint8_t>&) {
        if (d == 1) arrived.push_back(plat::NowMs());
    });
    const double frameMs = (16 + 6) * 10 * 1000.0 / 460800;
    std::vector<double> latency;
    for (int i = 0; i < kSamples; ++i) {
        Sleep(17 + (i * 7) % 13);
        const uint64_t t0 = plat::NowMs();
        bench::WriteAll(h, std::string(16, 'd'));
        while (arrived.size() <= (size_t)i) Sleep(1);
        latency.push_back(std::max(0.0, double(arrived[i] - t0) - frameMs));
    }
    sys.Modem().SetUserDataHandler(nullptr);
    bench::PrintFigure("latency: WriteFile to the first octet on the line, p50",
                       bench::Quantile(latency, 0.5), "ms", 0);
    bench::PrintFigure("latency: WriteFile to the first octet on the line, p99",
                       bench::Quantile(latency, 0.99), "ms", 0);
}

}  // namespace

int main()
{
    ReceiveLatency();
    TransmitLatency();
    return 0;
}
