// The receive and transmit loops of bench_frame_cost (see frame_loops.h).
#include "frame_loops.h"

#include "diag/log.h"
#include "dispatcher/dispatcher.h"
#include "framing/frame.h"
#include "modem/lines.h"
#include "platform/host.h"
#include "platform/hw/ioport_sim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {
namespace {

const WCHAR kName[] = {'M', 'U', 'X', '1', ':', 0};

}  // namespace

BareChannel::BareChannel(LONG rxSize) : channel_(1, NULL, NULL)
{
    g_logSwitch = 0;
    channel_.name = kName;
    channel_.rxSize = rxSize;
    channel_.rxBase = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, rxSize));
    channel_.rxRead = channel_.rxLast = channel_.rxWrite = channel_.rxBase;
    channel_.rxEnd = channel_.rxBase + rxSize;
    InitializeCriticalSection(&channel_.rxLock);
    channel_.wakeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    channel_.stopThread = 0;
    channel_.connected = 1;
    g_dispatcher.channels[1] = &channel_;
}

BareChannel::~BareChannel()
{
    g_dispatcher.channels[1] = NULL;
    channel_.stopThread = 1;
    channel_.connected = 0;
    CloseHandle(channel_.wakeEvent);
    channel_.wakeEvent = NULL;
    DeleteCriticalSection(&channel_.rxLock);
    HeapFree(GetProcessHeap(), 0, channel_.rxBase);
    channel_.rxBase = NULL;
}

// More than one node's frames fit the channel buffer, so nothing waits.
ReceiveLoop::ReceiveLoop()
    : frameCopy_(MUX_FRAME_BUF_SIZE), channelCopy_(16 * 1024), channel_(16 * 1024)
{
    const BYTE header[3] = {0x07, 0xEF, 0xFF};  // DLCI 1, UIH, 127 octets
    const BYTE fcs = ComputeFCS(header, 3);
    for (int f = 0; f < kFrames; ++f) {
        octets_.push_back(MUX_FLAG);
        octets_.insert(octets_.end(), header, header + 3);
        for (int i = 0; i < MUX_MAX_INFO; ++i) octets_.push_back(static_cast<uint8_t>(f + i));
        octets_.push_back(fcs);
        octets_.push_back(MUX_FLAG);
    }
    const size_t count = (octets_.size() + MUX_NODE_DATA_SIZE - 1) / MUX_NODE_DATA_SIZE;
    nodes_.resize(count);
    for (size_t n = 0; n < count; ++n) {
        const size_t from = n * MUX_NODE_DATA_SIZE;
        const size_t len = std::min<size_t>(MUX_NODE_DATA_SIZE, octets_.size() - from);
        memcpy(nodes_[n].data, octets_.data() + from, len);
        nodes_[n].count = static_cast<DWORD>(len);
        nodes_[n].eventMask = EV_RXCHAR;
        nodes_[n].pNext = &nodes_[(n + 1) % count];
    }
    g_dispatcher.parse.state = PS_FLAG;
}

ReceiveLoop::~ReceiveLoop()
{
    g_dispatcher.parse.state = PS_FLAG;
}

size_t ReceiveLoop::Run(void (*before)(), void (*after)())
{
    CChannel& ch = channel_.Get();
    size_t delivered = 0;
    for (const FFUARTDATA& node : nodes_) {
        before();
        g_dispatcher.ParseOctets(node.data, node.count);
        after();
        // The channel's thread takes the control octets and the reader
        // everything buffered after each node: the buffer goes back to its
        // start and the drained flag is set.
        BYTE control = 0;
        while (ch.TakeControlOctet(&control)) {
        }
        EnterCriticalSection(&ch.rxLock);
        delivered += static_cast<size_t>(ch.rxWrite - ch.rxRead);
        ch.rxRead = ch.rxWrite = ch.rxBase;
        bufferDrained = 1;
        LeaveCriticalSection(&ch.rxLock);
    }
    return delivered;
}

void ReceiveLoop::RunBaseline(void (*before)(), void (*after)())
{
    before();
    size_t used = 0;
    for (int f = 0; f < kFrames; ++f) {
        const uint8_t* payload = octets_.data() + f * kUihFrameOctets + 4;
        memcpy(frameCopy_.data(), payload, MUX_MAX_INFO);
        if (used + MUX_MAX_INFO > channelCopy_.size()) used = 0;
        memcpy(channelCopy_.data() + used, frameCopy_.data(), MUX_MAX_INFO);
        used += MUX_MAX_INFO;
        // Keeps the compiler from merging or dropping the copies.
        asm volatile("" : : "r"(channelCopy_.data()) : "memory");
    }
    after();
}

TransmitLoop::TransmitLoop() : data_(static_cast<size_t>(kFrames) * MUX_MAX_INFO, 0x5A), channel_(16)
{
    char dir[] = "/tmp/bench_frame_cost.XXXXXX";
    if (mkdtemp(dir) != NULL) plat::SetDeviceRoot(dir);
    hUART = CreateFileW(u"\\port.bin", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    // The module is awake: it drives its sleep status line low.
    plat::ioport::SetInput(IOPORT_D_DATA, 0x02, false);
    g_dispatcher.pSendBuf = sendBuf_;
    g_dispatcher.sendLength = 0;
    InitializeCriticalSection(&g_dispatcher.csSend);
}

TransmitLoop::~TransmitLoop()
{
    DeleteCriticalSection(&g_dispatcher.csSend);
    g_dispatcher.pSendBuf = NULL;
    if (hUART != INVALID_HANDLE_VALUE) CloseHandle(hUART);
    hUART = INVALID_HANDLE_VALUE;
    const std::string root = plat::DeviceRoot();
    std::remove((root + "/port.bin").c_str());
    std::remove(root.c_str());
}

size_t TransmitLoop::Run(void (*before)(), void (*after)())
{
    if (hUART == INVALID_HANDLE_VALUE) return 0;
    SetFilePointer(hUART, 0, NULL, FILE_BEGIN);
    before();
    LONG sent = channel_.Get().SendUIH(data_.data(), static_cast<DWORD>(data_.size()));
    after();
    return sent > 0 ? static_cast<size_t>(sent) : 0;
}

}  // namespace bench
