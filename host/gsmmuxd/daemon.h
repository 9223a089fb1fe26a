// gsmmuxd's life: the line under "COM9:", the driver's instances, a
// pseudo-terminal and a bridge per instance, the wait for a signal, and the
// orderly way back. Meanwhile a supervising thread keeps the multiplexer
// alive (supervise.cpp): it brings it back when the module closes it or
// stops answering, waits for a tty that went away (or ends the daemon),
// and tries refused ports again.
#ifndef MUX_HOST_GSMMUXD_DAEMON_H
#define MUX_HOST_GSMMUXD_DAEMON_H

#include "bridge.h"
#include "dir_lock.h"
#include "instances.h"
#include "line.h"
#include "monitor.h"
#include "options.h"
#include "pty_link.h"

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gsmmuxd {

// Exit statuses.
const int kExitOk = 0;
const int kExitFailure = 1;   // something failed while running
const int kExitBadInput = 2;  // options, tty, files or directories that cannot be used

// A port the module refused is tried again after this long, doubling up to
// the limit while it stays refused.
const uint64_t kFirstPortRetryMs = 30 * 1000;
const uint64_t kMaxPortRetryMs = 10 * 60 * 1000;
// A restart of the multiplexer that failed is tried again after this long,
// doubling up to the limit; the first one comes at once.
const uint64_t kFirstRestartDelayMs = 2 * 1000;
const uint64_t kMaxRestartDelayMs = 60 * 1000;
// The driver's log: beyond this it starts afresh, the full one kept as
// MuxLog.txt.1.
const uint64_t kLogSizeLimit = uint64_t(8) << 20;

class Daemon {
public:
    explicit Daemon(const Options& options) : o_(options) {}
    ~Daemon() { Shutdown(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Brings everything up. kExitOk when the bridges run; otherwise the
    // exit status, with Error() saying why in one line.
    int Start();
    // Until SIGINT, SIGTERM or SIGHUP (kExitOk) or a failure of the line or
    // of a port (kExitFailure); SIGUSR1 prints the port table. `signals`
    // are blocked in every thread.
    int WaitForEnd(const sigset_t& signals);
    // Stops the bridges, closes the ports, deactivates the instances (DISC,
    // then the multiplexer stops), restores the tty and removes the links.
    // Idempotent.
    void Shutdown();

    const std::string& Error() const { return error_; }
    // One line per port: link, slave, state, octets each way, octets
    // dropped, receive buffer fill, flow, the module's V.24 signals.
    std::string PortTable() const;

private:
    struct Port {
        std::string name;  // "MUX1:"
        int dlci = 0;
        std::string lastStatus;  // the status line printed last
        std::unique_ptr<PtyLink> link;
        HANDLE handle = INVALID_HANDLE_VALUE;
        std::unique_ptr<Bridge> bridge;
        // Why the port could not be opened; empty while it is open.
        std::string refused;
        uint64_t nextTryMs = 0;
        uint64_t retryDelayMs = 0;
    };
    int Fail(int status, const std::string& why);
    // Opens the instance's port and starts its bridge; false with
    // port->refused saying why the port cannot be had, or with
    // `bridgeError` when the bridge cannot start.
    bool OpenPort(Port* port, std::string* bridgeError);
    std::string WhyRefused(const Port& port) const;
    std::string CheckHealth() const;
    // Why the driver's ports cannot be had, as the line shows it; empty when
    // the line shows nothing wrong.
    std::string WhyNoMultiplexer() const;
    std::string StatusLine(const Port& port) const;
    void PrintChangedStatus();

    // supervise.cpp, on the supervising thread.
    void Supervise();
    void SuperviseOnce(uint64_t now);
    bool WatchLine(uint64_t now);
    void WatchModule(uint64_t now);
    bool KeepAlive();
    void Restart(uint64_t now);
    void RetryRefusedPorts(uint64_t now);
    void ScheduleRestart(const std::string& reason, uint64_t now);

    const Options o_;
    std::unique_ptr<DirLock> lock_;
    std::unique_ptr<Line> line_;
    std::unique_ptr<Monitor> monitor_;
    std::vector<Instance> instances_;  // ports_[i] is instances_[i]'s port
    std::vector<Port> ports_;
    std::string error_;

    // The supervisor. mutex_ guards ports_ (their handles, bridges and
    // status) against the main thread, which only reads them, and the
    // fields up to stop_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::thread supervisor_;
    std::string fatal_;  // the supervisor gave up: the daemon ends with this
    bool stop_ = false;
    // The multiplexer is down (tty gone, or a restart due): the status
    // lines say so rather than what the frames last showed, and the main
    // thread makes no call on the ports. Set under mutex_.
    std::atomic<bool> muxDown_{false};
    // Only the supervisor's from here on.
    bool lineDown_ = false;
    uint64_t nextLineTryMs_ = 0;
    std::string restartReason_;  // non-empty: the multiplexer is to be brought back
    uint64_t nextRestartMs_ = 0;
    uint64_t restartDelayMs_ = 0;
    unsigned restarts_ = 0;
    uint64_t seenCloseDowns_ = 0;
    uint64_t nextKeepAliveMs_ = 0;
    unsigned keepAliveMisses_ = 0;
    size_t keepAlivePort_ = 0;
};

// "MUX1:" -> "MUX1": the link's name for a device name.
std::string LinkNameFor(const std::string& deviceName);

}  // namespace gsmmuxd

#endif
