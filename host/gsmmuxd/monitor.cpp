#include "monitor.h"

#include "platform/host.h"
#include "platform/hw/serial_sim.h"

#include <cstdio>

namespace gsmmuxd {

namespace {

const uint8_t kMscType = 0xE0;
const uint8_t kNscType = 0x10;
const uint8_t kCldType = 0xC0;
const uint8_t kSncType = 0xD0;
const uint8_t kV24Fc = 0x02;

}  // namespace

bool Monitor::Start(std::string* error)
{
    if (!pcapPath_.empty() && !pcap_.Open(pcapPath_, error)) return false;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
    plat::serial::SetLineTap([this](bool toLine, const uint8_t* octets, size_t count) {
        (toLine ? octetsToModule_ : fromModule_) += count;
        Chunk c{plat::NowMs(), toLine, std::vector<uint8_t>(octets, octets + count)};
        std::lock_guard<std::mutex> g(mutex_);
        queue_.push_back(std::move(c));
        wake_.notify_one();
    });
    return true;
}

void Monitor::Stop()
{
    if (!running_) return;
    running_ = false;
    plat::serial::SetLineTap(plat::serial::LineTap());
    {
        std::lock_guard<std::mutex> g(mutex_);
        stop_ = true;
        wake_.notify_one();
    }
    thread_.join();
}

DlciView Monitor::View(int dlci) const
{
    std::lock_guard<std::mutex> g(mutex_);
    auto it = dlcis_.find(dlci);
    return it == dlcis_.end() ? DlciView() : it->second;
}

void Monitor::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopped, and everything written
        Chunk c = std::move(queue_.front());
        queue_.pop_front();
        std::vector<sim::RecordEntry> entries;
        linetrace::LineCutter& cutter = c.toLine ? toModule_ : toHost_;
        cutter.Feed(c.timeMs, c.octets.data(), c.octets.size(), &entries);
        for (const sim::RecordEntry& e : entries) Learn(e);
        lock.unlock();
        Write(entries);
        lock.lock();
    }
}

void Monitor::Write(const std::vector<sim::RecordEntry>& entries)
{
    for (const sim::RecordEntry& e : entries) {
        if (trace_) std::printf("%s\n", linetrace::TraceLine(e).c_str());
        if (!pcapPath_.empty() && !pcap_.Write(e))
            std::fprintf(stderr, "gsmmuxd: cannot write %s\n", pcapPath_.c_str());
    }
    if (trace_ && !entries.empty()) std::fflush(stdout);
}

uint64_t Monitor::CloseDowns() const
{
    std::lock_guard<std::mutex> g(mutex_);
    return closeDowns_;
}

std::string Monitor::LastCloseDown() const
{
    std::lock_guard<std::mutex> g(mutex_);
    return lastCloseDown_;
}

// With the mutex held.
void Monitor::Learn(const sim::RecordEntry& e)
{
    sim::DecodedFrame f;
    if (e.kind != sim::RecordKind::Frame || !sim::DecodeFrame(e.octets, &f) || !f.fcsOk) return;
    const bool fromModule = e.direction == sim::Direction::ModuleToHost;
    const uint8_t type = static_cast<uint8_t>(f.control & ~sim::kPf);
    DlciView& v = dlcis_[f.dlci];
    bool& sabm = sabmSent_[f.dlci];
    if (type == sim::kSabm && !fromModule) {
        sabm = true;
    } else if (type == sim::kUa && fromModule && sabm) {
        v.connected = true;
        v.refused.clear();
        sabm = false;
    } else if (type == sim::kDisc || type == sim::kDm) {
        if (type == sim::kDm && fromModule && sabm)
            v.refused = "the module answered SABM on DLCI " + std::to_string(f.dlci) +
                        " with DM (it refuses the DLCI)";
        if (type == sim::kDisc && fromModule && f.dlci == 0) {
            ++closeDowns_;
            lastCloseDown_ = "the module sent DISC on DLCI 0";
        }
        v.connected = false;
        sabm = false;
    }
    if (f.dlci == 0 && type == sim::kUih) LearnControl(f, fromModule);
}

// With the mutex held: the control messages of a UIH frame on DLCI 0.
void Monitor::LearnControl(const sim::DecodedFrame& f, bool fromModule)
{
    for (const sim::ControlMessage& m : sim::DecodeControlMessages(f.info)) {
        if (!fromModule) {
            if (m.type == kSncType && m.command && !m.values.empty()) sncDlci_ = m.values[0] >> 2;
            continue;
        }
        if (m.type == kNscType && !m.values.empty() && (m.values[0] & 0xFC) == kSncType &&
            sncDlci_ >= 0) {
            dlcis_[sncDlci_].refused =
                "the module does not know service negotiation (it answered SNC with NSC)";
        } else if (m.type == kCldType && m.command) {
            ++closeDowns_;
            lastCloseDown_ = "the module closed the multiplexer down (CLD)";
            for (auto& d : dlcis_) d.second.connected = false;
        } else if (m.type == kMscType && m.values.size() >= 2) {
            // Its own MSC or its answer to the host's: the signals either
            // way; the flow only from its own.
            DlciView& target = dlcis_[m.values[0] >> 2];
            target.v24 = m.values[1];
            if (m.command) target.flowStopped = (m.values[1] & kV24Fc) != 0;
        }
    }
}

}  // namespace gsmmuxd
