#include "daemon.h"

#include "diag/log.h"
#include "host/linetrace/trace.h"
#include "host/muxhost/muxhost.h"
#include "platform/host.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace gsmmuxd {

std::string LinkNameFor(const std::string& deviceName)
{
    std::string name = deviceName;
    if (!name.empty() && name.back() == ':') name.pop_back();
    return name;
}

int Daemon::Fail(int status, const std::string& why)
{
    error_ = why;
    return status;
}

int Daemon::Start()
{
    if (o_.lines == Lines::None && o_.portTty.empty())
        return Fail(kExitBadInput, "--lines none needs --port: the simulated module has its own lines");
    if (!PrepareLinkDir(o_.linkDir, &error_)) return kExitBadInput;
    lock_ = DirLock::Take(o_.linkDir, &error_);
    if (!lock_) return kExitBadInput;
    if (!o_.root.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o_.root, ec);
        if (!std::filesystem::is_directory(o_.root))
            return Fail(kExitBadInput, "--root: cannot make directory " + o_.root +
                                           (ec ? ": " + ec.message() : std::string()));
        // Before any instance starts: the driver opens its log at its first line.
        plat::SetDeviceRoot(o_.root);
    }
    // The kernel debug output (the driver's version at every instance, the
    // crash watcher's note) is for a debugger on the phone, not for the
    // daemon's user.
    plat::SetDebugSink([](const std::u16string&) {});
    // The log costs a line per frame: on only when asked for, and bounded.
    if (o_.log) g_logSwitch = 1;
    plat::SetFileSizeLimit(u"\\MuxLog.txt", kLogSizeLimit);
    if (!LoadConfiguration(o_.regFile, &error_)) return kExitBadInput;
    line_ = Line::Open(o_, &error_);
    if (!line_) return kExitBadInput;
    monitor_.reset(new Monitor(o_.trace, o_.pcap));
    if (!monitor_->Start(&error_)) return kExitBadInput;
    // An instance that is not activated is a matter of the configuration:
    // the multiplexer starts only when a port is first opened.
    if (!ActivateInstances(&instances_, &error_)) return kExitFailure;
    for (const Instance& instance : instances_) {
        Port port;
        port.name = instance.name;
        port.dlci = instance.dlci;
        port.link = PtyLink::Create(o_.linkDir + "/" + LinkNameFor(instance.name), &error_);
        if (!port.link) return kExitFailure;
        ports_.push_back(std::move(port));
    }
    size_t opened = 0;
    for (Port& port : ports_) {
        if (OpenPort(&port, &error_)) ++opened;
        if (!error_.empty()) return kExitFailure;  // the bridge, not the module
    }
    // The ports the module refused wait for their next try; without any
    // port the multiplexer is of no use.
    for (const Port& p : ports_) {
        if (!opened) return Fail(kExitFailure, LinkNameFor(p.name) + ": cannot be opened: " + p.refused);
        if (p.refused.empty())
            fprintf(stderr, "gsmmuxd: %s is %s (%s)\n", p.name.c_str(), p.link->LinkPath().c_str(),
                    p.link->SlavePath().c_str());
        else
            fprintf(stderr, "gsmmuxd: %s is %s, but cannot be opened: %s; trying again in %llu s\n",
                    p.name.c_str(), p.link->LinkPath().c_str(), p.refused.c_str(),
                    (unsigned long long)(p.retryDelayMs / 1000));
    }
    supervisor_ = std::thread([this] { Supervise(); });
    return kExitOk;
}

bool Daemon::OpenPort(Port* port, std::string* bridgeError)
{
    const HANDLE handle =
        CreateFileW(reinterpret_cast<LPCWSTR>(plat::FromUtf8(port->name).c_str()),
                    GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        std::string why = WhyRefused(*port);
        std::lock_guard<std::mutex> g(mutex_);
        port->refused = std::move(why);
        port->retryDelayMs = port->retryDelayMs ? std::min(port->retryDelayMs * 2, kMaxPortRetryMs)
                                                : kFirstPortRetryMs;
        port->nextTryMs = plat::NowMs() + port->retryDelayMs;
        return false;
    }
    std::unique_ptr<Bridge> bridge(
        new Bridge(LinkNameFor(port->name), handle, port->link->Master()));
    const bool started = bridge->Start(bridgeError);
    std::lock_guard<std::mutex> g(mutex_);
    // Shutdown cleans up a half-made port too.
    port->handle = handle;
    port->bridge = std::move(bridge);
    port->refused.clear();
    port->retryDelayMs = 0;
    return started;
}

std::string Daemon::WhyRefused(const Port& port) const
{
    const DlciView v = monitor_->View(port.dlci);
    if (!v.refused.empty()) return v.refused;
    const std::string why = WhyNoMultiplexer();
    if (!why.empty()) return why;
    const std::string dlci = "DLCI " + std::to_string(port.dlci);
    if (v.connected)
        return "the module accepted " + dlci +
               ", but its set-up did not end (no answer to the service negotiation, SNC)";
    return "the module did not answer SABM on " + dlci;
}

std::string Daemon::WhyNoMultiplexer() const
{
    const std::string module =
        o_.portTty.empty() ? "the simulated module" : "the module on " + o_.portTty;
    // Before AT+CMUX the driver resets the module through its lines and
    // waits for GSM_RF_OK: nothing on the line means it went no further.
    if (monitor_->OctetsToModule() == 0)
        return "the driver sent nothing to " + module +
               ": its start-up ended before AT+CMUX (the module's reset did not end with "
               "GSM_RF_OK high; --log writes the driver's account to MuxLog.txt)";
    if (monitor_->OctetsFromModule() == 0)
        return module + " does not answer: nothing came back to AT+CMUX";
    if (!monitor_->View(0).connected)
        return module + " answered, but the multiplexer did not start (no UA to SABM on DLCI 0)";
    return std::string();
}

std::string Daemon::CheckHealth() const
{
    std::lock_guard<std::mutex> g(mutex_);
    for (const Port& p : ports_) {
        if (p.bridge && p.bridge->Failed()) return p.bridge->Failure();
    }
    return std::string();
}

int Daemon::WaitForEnd(const sigset_t& signals)
{
    for (;;) {
        // The status lines follow the ports at this pace; without them the
        // tick only watches the bridges and the supervisor.
        const timespec tick = {0, (o_.status ? 100 : 200) * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) return kExitOk;
        if (sig == SIGUSR1) {
            // Standard output may be the capture's.
            FILE* out = o_.pcap == "-" ? stderr : stdout;
            fputs(PortTable().c_str(), out);
            fflush(out);
        }
        if (o_.status) PrintChangedStatus();
        std::string failure;
        {
            std::lock_guard<std::mutex> g(mutex_);
            for (Port& p : ports_) {
                if (p.bridge && !muxDown_) p.bridge->Nudge();
            }
            failure = fatal_;
        }
        if (failure.empty()) failure = CheckHealth();
        if (!failure.empty()) return Fail(kExitFailure, failure);
    }
}

void Daemon::Shutdown()
{
    if (supervisor_.joinable()) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        supervisor_.join();
    }
    // The bridges stop taking new work first; deactivation (DISC, then the
    // multiplexer stops) releases whatever is still inside the driver, such
    // as a write held up by the modem's flow control; then the threads end.
    for (Port& p : ports_) {
        if (p.bridge) p.bridge->RequestStop();
    }
    DeactivateInstances(&instances_);
    // The last instance has stopped the multiplexer; the port under it and
    // its threads go as the driver's unloading would take them.
    if (line_ || lineDown_) {
        muxhost::UnloadMuxDriver();
    }
    std::lock_guard<std::mutex> g(mutex_);
    for (Port& p : ports_) {
        if (p.bridge) p.bridge->Stop();
        if (p.handle != INVALID_HANDLE_VALUE) CloseHandle(p.handle);
        p.handle = INVALID_HANDLE_VALUE;
    }
    ports_.clear();    // bridges, then links
    monitor_.reset();  // what was seen is written out
    line_.reset();     // the tty's own settings back
    lock_.reset();     // the link directory is free for another daemon
}

// With mutex_ held. The V.24 signals are the module's latest MSC on the
// line (its own, or its answer to the keep-alive's query): asking for them
// here would put an exchange on the line for every status line.
std::string Daemon::StatusLine(const Port& p) const
{
    DWORD errors = 0;
    COMSTAT stat = {};
    // No call on a port whose channel is being taken down or set up again.
    if (p.handle != INVALID_HANDLE_VALUE && !muxDown_) ClearCommError(p.handle, &errors, &stat);
    const DlciView v = monitor_->View(p.dlci);
    char line[512];
    snprintf(line, sizeof line,
             "%s DLCI %d %s to-port %llu to-client %llu dropped %llu rx-buffer %lu flow %s "
             "V.24 (%s)",
             LinkNameFor(p.name).c_str(), p.dlci,
             muxDown_               ? "down"
             : !p.refused.empty()   ? "refused"
             : v.connected          ? "connected"
                                    : "disconnected",
             (unsigned long long)(p.bridge ? p.bridge->OctetsToPort() : 0),
             (unsigned long long)(p.bridge ? p.bridge->OctetsToClient() : 0),
             (unsigned long long)(p.bridge ? p.bridge->OctetsDropped() : 0),
             (unsigned long)stat.cbInQue, v.flowStopped ? "stopped" : "on",
             linetrace::ModemStatusNames(muxhost::ModemStatusOfV24(v.v24)).c_str());
    return line;
}

void Daemon::PrintChangedStatus()
{
    bool any = false;
    std::lock_guard<std::mutex> g(mutex_);
    for (Port& p : ports_) {
        std::string line = StatusLine(p);
        if (line == p.lastStatus) continue;
        printf("status %s\n", line.c_str());
        p.lastStatus = std::move(line);
        any = true;
    }
    if (any) fflush(stdout);
}

std::string Daemon::PortTable() const
{
    std::string out;
    std::lock_guard<std::mutex> g(mutex_);
    for (const Port& p : ports_)
        out += "port " + StatusLine(p) + " link " + p.link->LinkPath() + " -> " +
               p.link->SlavePath() + "\n";
    return out;
}

}  // namespace gsmmuxd
