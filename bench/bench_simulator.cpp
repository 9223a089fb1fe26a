// The simulator's own costs: a scheduling point in a world with no ended
// thread and after 5,000 ended ones, heap allocations per scheduling point,
// and what the simulated module keeps of the line after 100,000 frames.
#include "figures.h"
#include "system.h"

#include "platform/kernel/kernel.h"
#include "sim/frame_record.h"

#include <atomic>
#include <chrono>
#include <new>

namespace {

std::atomic<uint64_t> g_allocations{0};

constexpr int kPoints = 100000;

// Real nanoseconds per scheduling point of the one thread of the world: the
// best of a few rounds.
double NsPerPoint(int rounds)
{
    double best = 1e18;
    for (int round = 0; round < rounds; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kPoints; ++i) plat::kernel::YieldPoint();
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, ns / kPoints);
    }
    return best;
}

// A fresh world, then one that has had 5,000 threads end, in turns, each
// taking its best: on a machine busy with other work the load falls on both
// alike, and the best of many rounds is what a point costs.
void SchedulingPointCost()
{
    double before = 1e18, after = 1e18;
    for (int pair = 0; pair < 12; ++pair) {
        plat::BeginSimulation(1);
        before = std::min(before, NsPerPoint(3));
        plat::BeginSimulation(1);
        for (int i = 0; i < 5000; ++i) bench::Join(bench::Spawn([] {}));
        after = std::min(after, NsPerPoint(3));
    }
    plat::EndSimulation();
    bench::PrintFigure("simulator: scheduling point after 5,000 ended threads", after, "ns",
                       before);
}

// Until the world's scheduler trace has reached its bound (it then keeps no
// more): a world that runs long is in that state, and the trace's growth up
// to it is not a cost of a scheduling point.
bool TraceFull()
{
    const std::string trace = plat::SchedulerTrace();
    return trace.size() >= 4 && trace.compare(trace.size() - 4, 4, "...\n") == 0;
}

// Two threads taking turns through an event each, and yielding between:
// every wait, wake and yield is a scheduling point.
void AllocationsPerPoint()
{
    plat::BeginSimulation(2);
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    constexpr int kRounds = 300000;
    HANDLE other = bench::Spawn([&] {
        for (int i = 0; i <= kRounds; ++i) {  // one round more: it ends after the count
            WaitForSingleObject(ping, INFINITE);
            SetEvent(pong);
        }
    });
    // Warm up: vectors reach their size, and the trace its bound.
    int warm = 0;
    while (warm < kRounds / 2 && (warm % 1000 != 0 || !TraceFull())) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
        ++warm;
    }
    const uint64_t a0 = g_allocations.load();
    for (int i = warm; i < kRounds; ++i) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
        Sleep(1);
        plat::kernel::YieldPoint();
    }
    const uint64_t allocations = g_allocations.load() - a0;
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
    bench::Join(other);
    CloseHandle(ping);
    CloseHandle(pong);
    plat::EndSimulation();
    // Per round: SetEvent, WaitForSingleObject (two points: the call and
    // the wait), Sleep (two), the yield; the other thread's two calls.
    const double points = double(kRounds - warm) * 8;
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
