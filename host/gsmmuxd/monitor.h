// What gsmmuxd shows of the line while it runs: the trace and the capture,
// written record by record as the octets cross (so both can be watched
// live), and what the frames say of each DLCI (connected, flow, the
// module's V.24 signals) for the status lines. The port hands its octets
// over under the kernel lock; a thread of the monitor's own cuts them into
// frames and writes them out, so the line never waits on a slow reader.
// Without trace, capture or status it still learns whether the module
// answers, so that a module that never does is named as the reason.
#ifndef MUX_HOST_GSMMUXD_MONITOR_H
#define MUX_HOST_GSMMUXD_MONITOR_H

#include "host/linetrace/trace.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gsmmuxd {

// A DLCI as the frames on the line show it.
struct DlciView {
    bool connected = false;
    bool flowStopped = false;  // the module's last MSC had FC set
    uint8_t v24 = 0;           // the module's last MSC signal octet
    // Why the module refused the DLCI's last set-up, in words; empty when
    // it did not (or accepted it since).
    std::string refused;
};

class Monitor {
public:
    // `trace`: a line per event on standard output; `pcap`: capture file,
    // "-" for standard output, empty for none.
    Monitor(bool trace, std::string pcap) : trace_(trace), pcapPath_(std::move(pcap)) {}
    ~Monitor() { Stop(); }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Opens the capture and starts watching the line. False with `error`.
    bool Start(std::string* error);
    // Stops watching; what was seen is written out first. Idempotent.
    void Stop();

    DlciView View(int dlci) const;
    // Octets the line has brought from the module so far.
    uint64_t OctetsFromModule() const { return fromModule_; }
    // How often the module has closed the multiplexer itself (CLD, or DISC
    // on DLCI 0), and how it did so last time, in words.
    uint64_t CloseDowns() const;
    std::string LastCloseDown() const;
    // Octets the driver has sent on the line so far.
    uint64_t OctetsToModule() const { return octetsToModule_; }

private:
    struct Chunk {
        uint64_t timeMs;
        bool toLine;
        std::vector<uint8_t> octets;
    };
    void Run();
    void Write(const std::vector<sim::RecordEntry>& entries);
    void Learn(const sim::RecordEntry& entry);
    void LearnControl(const sim::DecodedFrame& frame, bool fromModule);

    const bool trace_;
    const std::string pcapPath_;
    linetrace::PcapWriter pcap_;
    linetrace::LineCutter toModule_{sim::Direction::HostToModule};
    linetrace::LineCutter toHost_{sim::Direction::ModuleToHost};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Chunk> queue_;
    std::atomic<uint64_t> fromModule_{0};
    std::atomic<uint64_t> octetsToModule_{0};
    bool running_ = false;
    bool stop_ = false;
    std::map<int, DlciView> dlcis_;
    std::map<int, bool> sabmSent_;  // a SABM from the host waits for its UA
    int sncDlci_ = -1;              // the DLCI of the host's last SNC
    uint64_t closeDowns_ = 0;
    std::string lastCloseDown_;
};

}  // namespace gsmmuxd

#endif
