// The simulated UART between the port "COM9:" and the simulated module.
#include "platform/hw/serial_sim.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"

#include <algorithm>

namespace plat::serial {

namespace {

SimUart* g_current = nullptr;

uint64_t NowNs() { return plat::NowMs() * uint64_t(1000000); }
uint64_t CeilMs(uint64_t ns) { return (ns + uint64_t(999999)) / uint64_t(1000000); }

}  // namespace

uint8_t Garble(uint8_t octet, uint32_t txBaud, uint32_t rxBaud)
{
    if (txBaud == rxBaud || txBaud == 0 || rxBaud == 0) return octet;
    // The receiver starts at the falling edge of the start bit and samples
    // data bit j at 1.5 + j of its own bit times, i.e. at
    // (3 + 2j) * txBaud / (2 * rxBaud) of the sender's bit times. Sender bit
    // 0 is the start bit, 1 to 8 the data bits, from 9 on the line is high.
    uint8_t out = 0;
    for (unsigned j = 0; j < 8; ++j) {
        const uint64_t k = (uint64_t(3 + 2 * j) * txBaud) / (2ull * rxBaud);
        unsigned level;
        if (k == 0) level = 0;
        else if (k <= 8) level = (octet >> (k - 1)) & 1u;
        else level = 1;
        out |= static_cast<uint8_t>(level << j);
    }
    return out;
}

SimUart::SimUart(const std::u16string& deviceName) : name_(deviceName)
{
    hostFormat_.baud = 9600;
    peerFormat_.baud = 115200;
    {
        kernel::Lock lock(kernel::Mutex());
        if (!g_current) g_current = this;
    }
    RegisterDevice(name_, [this](DWORD, DWORD, DWORD, DWORD) -> Object* {
        return OpenPort(this, name_);
    });
}

SimUart::~SimUart()
{
    UnregisterDevice(name_);
    kernel::Lock lock(kernel::Mutex());
    if (sink_) {
        sink_->BackendGone();
        sink_ = nullptr;
    }
    if (toPeer_.timer) kernel::Cancel(toPeer_.timer);
    if (toHost_.timer) kernel::Cancel(toHost_.timer);
    if (g_current == this) g_current = nullptr;
}

SimUart* SimUart::Current()
{
    kernel::Lock lock(kernel::Mutex());
    return g_current;
}

// ---- module side ----

void SimUart::AttachPeer(UartPeer* peer)
{
    kernel::Lock lock(kernel::Mutex());
    peer_ = peer;
}

void SimUart::SetPeerBaud(uint32_t baud)
{
    kernel::Lock lock(kernel::Mutex());
    peerFormat_.baud = baud;
    if (hostFollowsPeer_) hostFormat_.baud = baud;
}

uint32_t SimUart::PeerBaud() const
{
    kernel::Lock lock(kernel::Mutex());
    return peerFormat_.baud;
}

uint64_t SimUart::QueueToHost(const uint8_t* octets, size_t count, uint64_t notBeforeMs,
                              uint64_t charNs)
{
    uint64_t start = std::max({NowNs(), toHost_.lineFreeNs, uint64_t(notBeforeMs * 1000000u)});
    const uint64_t firstStart = start;
    for (size_t i = 0; i < count; ++i) {
        Item it;
        it.kind = Item::Octet;
        it.octet = octets[i];
        it.baud = peerFormat_.baud;
        it.started = true;
        it.endNs = start + charNs;
        start = it.endNs;
        toHost_.items.push_back(it);
    }
    if (count) toHost_.lineFreeNs = start;
    Schedule(toHost_, true);
    return firstStart;
}

uint64_t SimUart::SendToHost(const uint8_t* octets, size_t count, uint64_t notBeforeMs)
{
    kernel::Lock lock(kernel::Mutex());
    return QueueToHost(octets, count, notBeforeMs, CharTimeNs(peerFormat_)) / uint64_t(1000000);
}

uint64_t SimUart::SendChunkToHost(const uint8_t* octets, size_t count, uint64_t notBeforeMs)
{
    kernel::Lock lock(kernel::Mutex());
    return QueueToHost(octets, count, notBeforeMs, 0) / uint64_t(1000000);
}

void SimUart::SendBreakToHost(uint64_t notBeforeMs)
{
    kernel::Lock lock(kernel::Mutex());
    const uint64_t start = std::max({NowNs(), toHost_.lineFreeNs, uint64_t(notBeforeMs * 1000000u)});
    Item it;
    it.kind = Item::Break;
    it.started = true;
    it.baud = peerFormat_.baud;
    it.endNs = start + CharTimeNs(peerFormat_);
    toHost_.lineFreeNs = it.endNs;
    toHost_.items.push_back(it);
    Schedule(toHost_, true);
}

void SimUart::SendLineErrorToHost(uint32_t errors, bool withOctet, uint8_t octet,
                                  uint64_t notBeforeMs)
{
    kernel::Lock lock(kernel::Mutex());
    const uint64_t start = std::max({NowNs(), toHost_.lineFreeNs, uint64_t(notBeforeMs * 1000000u)});
    Item it;
    it.kind = Item::Error;
    it.errors = errors;
    it.withOctet = withOctet;
    it.octet = octet;
    it.baud = peerFormat_.baud;
    it.started = true;
    it.endNs = start + (withOctet ? CharTimeNs(peerFormat_) : 0);
    toHost_.lineFreeNs = it.endNs;
    toHost_.items.push_back(it);
    Schedule(toHost_, true);
}

uint64_t SimUart::ToHostIdleAtMs() const
{
    kernel::Lock lock(kernel::Mutex());
    if (toHost_.items.empty()) return plat::NowMs();
    return CeilMs(toHost_.lineFreeNs);
}

size_t SimUart::ToHostQueued() const
{
    kernel::Lock lock(kernel::Mutex());
    return toHost_.items.size();
}

uint32_t SimUart::HostBaud() const
{
    kernel::Lock lock(kernel::Mutex());
    return hostFormat_.baud;
}

bool SimUart::PortOpen() const
{
    kernel::Lock lock(kernel::Mutex());
    return sink_ != nullptr;
}

// ---- knobs and counters ----

void SimUart::SetFifoCapacity(size_t octets)
{
    kernel::Lock lock(kernel::Mutex());
    fifoCapacity_ = octets;
}

size_t SimUart::FifoCapacity() const
{
    kernel::Lock lock(kernel::Mutex());
    return fifoCapacity_;
}

void SimUart::SetTransmitFifo(size_t octets)
{
    kernel::Lock lock(kernel::Mutex());
    txFifo_ = octets;
    AcceptIntoFifo();
}

void SimUart::SetTransmitHold(bool hold)
{
    kernel::Lock lock(kernel::Mutex());
    hold_ = hold;
    if (!hold_) StartHeld();
}

void SimUart::SetHostFollowsPeer(bool on)
{
    kernel::Lock lock(kernel::Mutex());
    hostFollowsPeer_ = on;
    if (on) hostFormat_.baud = peerFormat_.baud;
}

void SimUart::SetGarbleRaisesFrameError(bool on)
{
    kernel::Lock lock(kernel::Mutex());
    garbleFrameError_ = on;
}

uint64_t SimUart::OctetsToPeer() const
{
    kernel::Lock lock(kernel::Mutex());
    return octetsToPeer_;
}

uint64_t SimUart::OctetsToHost() const
{
    kernel::Lock lock(kernel::Mutex());
    return octetsToHost_;
}

uint64_t SimUart::GarbledToPeer() const
{
    kernel::Lock lock(kernel::Mutex());
    return garbledToPeer_;
}

uint64_t SimUart::GarbledToHost() const
{
    kernel::Lock lock(kernel::Mutex());
    return garbledToHost_;
}

// ---- Backend (host side) ----

bool SimUart::Attach(PortSink* sink)
{
    kernel::Lock lock(kernel::Mutex());
    if (sink_) return false;
    sink_ = sink;
    return true;
}

void SimUart::Detach(PortSink* sink)
{
    kernel::Lock lock(kernel::Mutex());
    if (sink_ == sink) sink_ = nullptr;
}

void SimUart::Configure(const LineFormat& format)
{
    kernel::Lock lock(kernel::Mutex());
    hostFormat_ = format;
    if (hostFollowsPeer_) hostFormat_.baud = peerFormat_.baud;
}

void SimUart::Transmit(const uint8_t* octets, size_t count)
{
    kernel::Lock lock(kernel::Mutex());
    const uint64_t charNs = CharTimeNs(hostFormat_);
    uint64_t start = std::max(NowNs(), toPeer_.lineFreeNs);
    // The clock counts whole milliseconds, and the port hears that a write
    // is done at the first millisecond after its last octet left. A write
    // made in that same millisecond follows the one before on the line
    // without a gap, as it would on a clock that was exact: a writer is not
    // charged for the rounding of the clock.
    if (toPeer_.lineFreeNs + uint64_t(1000000) > NowNs() && toPeer_.lineFreeNs < NowNs())
        start = toPeer_.lineFreeNs;
    for (size_t i = 0; i < count; ++i) {
        Item it;
        it.kind = Item::Octet;
        it.octet = octets[i];
        it.baud = hostFormat_.baud;
        if (!hold_) {
            it.started = true;
            it.endNs = start + charNs;
            start = it.endNs;
        }
        toPeer_.items.push_back(it);
    }
    if (!hold_ && count) toPeer_.lineFreeNs = start;
    AcceptIntoFifo();
    Schedule(toPeer_, false);
}

void SimUart::AbortTransmit()
{
    kernel::Lock lock(kernel::Mutex());
    // What has completely left by now still arrives, and what is in the
    // FIFO still goes out; the rest is dropped.
    DeliverToPeer();
    auto& items = toPeer_.items;
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(inTxFifo_), items.end());
    toPeer_.lineFreeNs = items.empty() ? std::min(toPeer_.lineFreeNs, NowNs()) : items.back().endNs;
    Schedule(toPeer_, false);
}

size_t SimUart::TransmitQueued() const
{
    kernel::Lock lock(kernel::Mutex());
    return toPeer_.items.size();
}

// ---- the line ----

void SimUart::StartHeld()
{
    const uint64_t charNs = CharTimeNs(hostFormat_);
    uint64_t start = std::max(NowNs(), toPeer_.lineFreeNs);
    bool any = false;
    for (Item& it : toPeer_.items) {
        if (it.started) continue;
        it.started = true;
        it.endNs = start + charNs;
        start = it.endNs;
        any = true;
    }
    if (any) toPeer_.lineFreeNs = start;
    Schedule(toPeer_, false);
}

// Moves written octets into the transmit FIFO while it has room, and tells
// the port they are written. A held transmitter takes none: the write waits.
void SimUart::AcceptIntoFifo()
{
    size_t n = 0;
    while (inTxFifo_ + n < txFifo_ && inTxFifo_ + n < toPeer_.items.size() &&
           toPeer_.items[inTxFifo_ + n].started)
        ++n;
    inTxFifo_ += n;
    if (n && sink_) sink_->Transmitted(n);
}

void SimUart::Schedule(Direction& d, bool toHost)
{
    if (d.items.empty() || !d.items.front().started) {
        if (d.timer) {
            kernel::Cancel(d.timer);
            d.timer = 0;
        }
        return;
    }
    const uint64_t at = std::max(CeilMs(d.items.front().endNs), plat::NowMs());
    if (d.timer && d.timerAtMs == at) return;
    if (d.timer) kernel::Cancel(d.timer);
    d.timerAtMs = at;
    d.timer = kernel::CallAt(at, [this, toHost] {
        if (toHost) {
            toHost_.timer = 0;
            DeliverToHost();
        } else {
            toPeer_.timer = 0;
            DeliverToPeer();
        }
    });
}

void SimUart::DeliverToPeer()
{
    const uint64_t now = NowNs();
    size_t sent = 0;  // octets that left without passing through the FIFO
    size_t left = 0;
    while (!toPeer_.items.empty() && toPeer_.items.front().started &&
           toPeer_.items.front().endNs <= now) {
        const Item it = toPeer_.items.front();
        toPeer_.items.pop_front();
        ++left;
        if (inTxFifo_) --inTxFifo_;
        else ++sent;
        const bool garbled = !hostFollowsPeer_ && it.baud != peerFormat_.baud;
        const uint8_t octet = garbled ? Garble(it.octet, it.baud, peerFormat_.baud) : it.octet;
        if (garbled) ++garbledToPeer_;
        ++octetsToPeer_;
        if (peer_) peer_->OctetFromHost(octet, garbled);
    }
    // Transmitted(0) when the last octet left through the FIFO: the line is
    // empty now, which the port reports as EV_TXEMPTY.
    if ((sent || left) && sink_) sink_->Transmitted(sent);
    AcceptIntoFifo();
    Schedule(toPeer_, false);
}

void SimUart::DeliverToHost()
{
    const uint64_t now = NowNs();
    std::vector<uint8_t> batch;
    uint32_t batchErrors = 0;
    auto flush = [&] {
        if (!batch.empty() || batchErrors) {
            if (sink_) sink_->Received(batch.data(), batch.size(), batchErrors);
            batch.clear();
            batchErrors = 0;
        }
    };
    while (!toHost_.items.empty() && toHost_.items.front().endNs <= now) {
        const Item it = toHost_.items.front();
        toHost_.items.pop_front();
        switch (it.kind) {
        case Item::Octet: {
            const bool garbled = !hostFollowsPeer_ && it.baud != hostFormat_.baud;
            batch.push_back(garbled ? Garble(it.octet, it.baud, hostFormat_.baud) : it.octet);
            if (garbled) {
                ++garbledToHost_;
                if (garbleFrameError_) batchErrors |= CE_FRAME;
            }
            ++octetsToHost_;
            break;
        }
        case Item::Break:
            flush();
            if (sink_) sink_->BreakDetected();
            break;
        case Item::Error:
            if (it.withOctet) {
                batch.push_back(it.octet);
                batchErrors |= it.errors;
                ++octetsToHost_;
                flush();
            } else {
                flush();
                if (sink_) sink_->LineError(it.errors);
            }
            break;
        }
    }
    flush();
    Schedule(toHost_, true);
}

}  // namespace plat::serial
