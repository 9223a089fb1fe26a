// Receive parser throughput: a long stream of maximum-size UIH frames for one
// channel, cut into full receive nodes, against a baseline that only makes
// the two copies of the payload the parser cannot avoid (node to frame
// buffer, frame buffer to channel buffer).
#include "channel/channel.h"
#include "diag/log.h"
#include "dispatcher/dispatcher.h"
#include "framing/frame.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr int kFrames = 4000;
constexpr size_t kFrameSize = 4 + MUX_MAX_INFO + 2;  // 133
constexpr LONG kChannelBuffer = 16 * 1024;           // more than one node's frames

struct Stream {
    std::vector<uint8_t> octets;
    std::vector<FFUARTDATA> nodes;

    Stream()
    {
        const BYTE header[3] = {0x07, 0xEF, 0xFF};  // DLCI 1, UIH, 127 octets
        const BYTE fcs = ComputeFCS(header, 3);
        for (int f = 0; f < kFrames; ++f) {
            octets.push_back(0xF9);
            octets.insert(octets.end(), header, header + 3);
            for (int i = 0; i < MUX_MAX_INFO; ++i) octets.push_back(static_cast<uint8_t>(f + i));
            octets.push_back(fcs);
            octets.push_back(0xF9);
        }
        const size_t count = (octets.size() + MUX_NODE_DATA_SIZE - 1) / MUX_NODE_DATA_SIZE;
        nodes.resize(count);
        for (size_t n = 0; n < count; ++n) {
            const size_t from = n * MUX_NODE_DATA_SIZE;
            const size_t len = std::min<size_t>(MUX_NODE_DATA_SIZE, octets.size() - from);
            memcpy(nodes[n].data, octets.data() + from, len);
            nodes[n].count = static_cast<DWORD>(len);
            nodes[n].eventMask = EV_RXCHAR;
            nodes[n].pNext = &nodes[(n + 1) % count];
        }
    }
};

const Stream& TheStream()
{
    static const Stream stream;
    return stream;
}

void BM_ParseMaxUihFrames(benchmark::State& state)
{
    const Stream& stream = TheStream();
    g_logSwitch = 0;

    // A bare channel, made visible to the parser the way Init leaves it.
    CChannel channel(1, NULL, NULL);
    static const WCHAR kName[] = {'M', 'U', 'X', '2', ':', 0};
    channel.name = kName;
    channel.rxSize = kChannelBuffer;
    channel.rxBase = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kChannelBuffer));
    channel.rxRead = channel.rxLast = channel.rxWrite = channel.rxBase;
    channel.rxEnd = channel.rxBase + kChannelBuffer;
    InitializeCriticalSection(&channel.rxLock);
    channel.wakeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    channel.stopThread = 0;
    g_dispatcher.channels[1] = &channel;
    g_dispatcher.parseState = PS_FLAG;

    size_t delivered = 0;
    for (auto _ : state) {
        for (const FFUARTDATA& node : stream.nodes) {
            g_dispatcher.ParseOctets(node.data, node.count);
            // The reader takes everything after each node: the buffer goes
            // back to its start and the drained flag is set.
            EnterCriticalSection(&channel.rxLock);
            delivered += static_cast<size_t>(channel.rxWrite - channel.rxRead);
            channel.rxRead = channel.rxWrite = channel.rxBase;
            bufferDrained = 1;
            LeaveCriticalSection(&channel.rxLock);
        }
    }
    if (delivered != static_cast<size_t>(state.iterations()) * kFrames * MUX_MAX_INFO) {
        state.SkipWithError("the parser did not deliver every frame");
    }

    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * stream.octets.size());
    state.counters["time_per_frame"] =
        benchmark::Counter(static_cast<double>(kFrames), benchmark::Counter::kIsIterationInvariantRate |
                                                                    benchmark::Counter::kInvert);

    g_dispatcher.channels[1] = NULL;
    channel.stopThread = 1;
    CloseHandle(channel.wakeEvent);
    channel.wakeEvent = NULL;
    DeleteCriticalSection(&channel.rxLock);
    HeapFree(GetProcessHeap(), 0, channel.rxBase);
    channel.rxBase = NULL;
}
BENCHMARK(BM_ParseMaxUihFrames);

// The same payload octets, copied twice per frame and nothing else.
void BM_BaselineTwoCopies(benchmark::State& state)
{
    const Stream& stream = TheStream();
    std::vector<uint8_t> frameBuf(MUX_FRAME_BUF_SIZE), channelBuf(kChannelBuffer);
    for (auto _ : state) {
        size_t used = 0;
        for (int f = 0; f < kFrames; ++f) {
            const uint8_t* payload = stream.octets.data() + f * kFrameSize + 4;
            memcpy(frameBuf.data(), payload, MUX_MAX_INFO);
            if (used + MUX_MAX_INFO > channelBuf.size()) used = 0;
            memcpy(channelBuf.data() + used, frameBuf.data(), MUX_MAX_INFO);
            used += MUX_MAX_INFO;
            benchmark::ClobberMemory();
        }
        benchmark::DoNotOptimize(channelBuf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * stream.octets.size());
    state.counters["time_per_frame"] =
        benchmark::Counter(static_cast<double>(kFrames), benchmark::Counter::kIsIterationInvariantRate |
                                                                    benchmark::Counter::kInvert);
}
BENCHMARK(BM_BaselineTwoCopies);

}  // namespace

BENCHMARK_MAIN();
