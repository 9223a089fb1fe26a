// The simulator's own costs: a scheduling point in a world with no ended
// thread and after 5,000 ended ones, heap allocations per scheduling point,
// and what the simulated module keeps of the line after 100,000 frames.
#include "figures.h"
#include "system.h"

#include "platform/kernel.h"
#include "sim/frame_record.h"

#include <atomic>
#include <chrono>
#include <new>

namespace {

std::atomic<uint64_t> g_allocations{0};

constexpr int kPoints = 200000;

// Real nanoseconds per scheduling point of the one thread of the world.
double NsPerPoint()
{
    double best = 1e18;
    for (int round = 0; round < 7; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kPoints; ++i) plat::kernel::YieldPoint();
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, ns / kPoints);
    }
    return best;
}

void SchedulingPointCost()
{
    plat::BeginSimulation(1);
    const double before = NsPerPoint();
    for (int i = 0; i < 5000; ++i) bench::Join(bench::Spawn([] {}));
    const double after = NsPerPoint();
    plat::EndSimulation();
    bench::PrintFigure("simulator: scheduling point after 5,000 ended threads", after, "ns",
                       before);
}

// Two threads taking turns through an event each, and yielding between:
// every wait, wake and yield is a scheduling point.
void AllocationsPerPoint()
{
    plat::BeginSimulation(2);
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    constexpr int kRounds = 20000;
    HANDLE other = bench::Spawn([&] {
        for (int i = 0; i < kRounds; ++i) {
            WaitForSingleObject(ping, INFINITE);
            SetEvent(pong);
        }
    });
    for (int i = 0; i < 100; ++i) {  // warm up: vectors reach their size
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    const uint64_t a0 = g_allocations.load();
    for (int i = 100; i < kRounds; ++i) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
        Sleep(1);
        plat::kernel::YieldPoint();
    }
    const uint64_t allocations = g_allocations.load() - a0;
    bench::Join(other);
    CloseHandle(ping);
    CloseHandle(pong);
    plat::EndSimulation();
    // Per round: SetEvent, WaitForSingleObject (two points: the call and
    // the wait), Sleep (two), the yield; the other thread's two calls.
    const double points = double(kRounds - 100) * 8;
    bench::PrintFigure("simulator: heap allocations per scheduling point", allocations / points,
                       "allocations", 0);
}

// 100,000 UIH frames of 127 octets from the host, 50 to a write.
void FrameRecordSize()
{
    plat::BeginSimulation(3);
    sim::ModuleSettings m;
    m.lines.startRunning = true;
    {
        sim::SimModule module(m);
        HANDLE port = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (port == INVALID_HANDLE_VALUE) bench::Fail("cannot open COM9:");
        module.Serial().EnterMux(460800);
        DCB dcb;
        GetCommState(port, &dcb);
        dcb.BaudRate = 460800;
        SetCommState(port, &dcb);
        std::vector<uint8_t> batch;
        for (int i = 0; i < 50; ++i) {
            std::vector<uint8_t> f = sim::BuildFrame(1, true, sim::kUih, std::vector<uint8_t>(127, 'x'));
            batch.insert(batch.end(), f.begin(), f.end());
        }
        for (int w = 0; w < 2000; ++w) {
            DWORD n = 0;
            if (!WriteFile(port, batch.data(), (DWORD)batch.size(), &n, nullptr))
                bench::Fail("WriteFile on COM9: failed");
        }
        Sleep(100);
        size_t bytes = module.Serial().DataFromHost(1).capacity();
        for (const sim::RecordEntry& e : module.Serial().Record())
            bytes += sizeof e + e.octets.capacity();
        CloseHandle(port);
        bench::PrintFigure("simulator: module's record after 100,000 frames", bytes / 1e6, "MB",
                           10);
    }
    plat::EndSimulation();
}

}  // namespace

void* operator new(std::size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main()
{
    SchedulingPointCost();
    AllocationsPerPoint();
    FrameRecordSize();
    return 0;
}
