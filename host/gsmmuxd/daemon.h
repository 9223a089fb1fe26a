// gsmmuxd's life: the line under "COM9:", the driver's instances, a
// pseudo-terminal and a bridge per instance, the wait for a signal, and the
// orderly way back.
#ifndef MUX_HOST_GSMMUXD_DAEMON_H
#define MUX_HOST_GSMMUXD_DAEMON_H

#include "bridge.h"
#include "instances.h"
#include "line.h"
#include "monitor.h"
#include "options.h"
#include "pty_link.h"

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

namespace gsmmuxd {

// Exit statuses.
const int kExitOk = 0;
const int kExitFailure = 1;   // something failed while running
const int kExitBadInput = 2;  // options, tty, files or directories that cannot be used

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
    // Until SIGINT or SIGTERM (kExitOk) or a failure of the line or of a
    // port (kExitFailure); SIGUSR1 prints the port table. `signals` are
    // blocked in every thread.
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
    };
    int Fail(int status, const std::string& why);
    bool OpenPort(const Instance& instance);
    std::string CheckHealth() const;
    // Why the driver's ports cannot be had, as the line shows it; empty when
    // the line shows nothing wrong.
    std::string WhyNoMultiplexer() const;
    std::string StatusLine(const Port& port) const;
    void PrintChangedStatus();

    const Options o_;
    std::unique_ptr<Line> line_;
    std::unique_ptr<Monitor> monitor_;
    std::vector<Instance> instances_;
    std::vector<Port> ports_;
    std::string error_;
};

// "MUX1:" -> "MUX1": the link's name for a device name.
std::string LinkNameFor(const std::string& deviceName);

}  // namespace gsmmuxd

#endif
