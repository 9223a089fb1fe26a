#include "daemon.h"

#include "host/linetrace/trace.h"
#include "host/muxhost/muxhost.h"
#include "platform/host.h"

#include <time.h>

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
    if (!o_.root.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o_.root, ec);
        if (!std::filesystem::is_directory(o_.root))
            return Fail(kExitBadInput, "--root: cannot make directory " + o_.root +
                                           (ec ? ": " + ec.message() : std::string()));
        // Before any instance starts: the driver opens its log at its first line.
        plat::SetDeviceRoot(o_.root);
    }
    if (!LoadConfiguration(o_.regFile, &error_)) return kExitBadInput;
    line_ = Line::Open(o_, &error_);
    if (!line_) return kExitBadInput;
    monitor_.reset(new Monitor(o_.trace, o_.pcap));
    if (!monitor_->Start(&error_)) return kExitBadInput;
    if (!ActivateInstances(&instances_, &error_)) {
        const std::string why = WhyNoMultiplexer();
        if (!why.empty()) error_ += ": " + why;
        return kExitFailure;
    }
    for (const Instance& instance : instances_) {
        if (!OpenPort(instance)) return kExitFailure;
    }
    for (const Port& p : ports_)
        fprintf(stderr, "gsmmuxd: %s is %s (%s)\n", p.name.c_str(), p.link->LinkPath().c_str(),
                p.link->SlavePath().c_str());
    return kExitOk;
}

bool Daemon::OpenPort(const Instance& instance)
{
    Port port;
    port.name = instance.name;
    port.dlci = instance.dlci;
    port.link = PtyLink::Create(o_.linkDir + "/" + LinkNameFor(instance.name), &error_);
    if (!port.link) return false;
    port.handle = CreateFileW(reinterpret_cast<LPCWSTR>(plat::FromUtf8(instance.name).c_str()),
                              GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (port.handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const std::string why = WhyNoMultiplexer();
        error_ = LinkNameFor(instance.name) + ": cannot be opened" +
                 (why.empty() ? " (error " + std::to_string(code) + ")" : ": " + why);
        return false;
    }
    port.bridge.reset(new Bridge(LinkNameFor(instance.name), port.handle, port.link->Master()));
    const bool started = port.bridge->Start(&error_);
    ports_.push_back(std::move(port));  // Shutdown cleans up a half-made port too
    return started;
}

std::string Daemon::WhyNoMultiplexer() const
{
    const std::string module =
        o_.portTty.empty() ? "the simulated module" : "the module on " + o_.portTty;
    if (monitor_->OctetsFromModule() == 0)
        return module + " does not answer: nothing came back to AT+CMUX";
    if (!monitor_->View(0).connected)
        return module + " answered, but the multiplexer did not start (no UA to SABM on DLCI 0)";
    return std::string();
}

std::string Daemon::CheckHealth() const
{
    const std::string lineFailure = line_ ? line_->Failure() : std::string();
    if (!lineFailure.empty()) return lineFailure;
    for (const Port& p : ports_) {
        if (p.bridge && p.bridge->Failed()) return p.bridge->Failure();
    }
    return std::string();
}

int Daemon::WaitForEnd(const sigset_t& signals)
{
    for (;;) {
        // The status lines follow the ports at this pace; without them the
        // tick only watches the line's health.
        const timespec tick = {0, (o_.status ? 100 : 200) * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) return kExitOk;
        if (sig == SIGUSR1) {
            // Standard output may be the capture's.
            FILE* out = o_.pcap == "-" ? stderr : stdout;
            fputs(PortTable().c_str(), out);
            fflush(out);
        }
        if (o_.status) PrintChangedStatus();
        for (Port& p : ports_) {
            if (p.bridge) p.bridge->Nudge();
        }
        line_->Trim();
        const std::string failure = CheckHealth();
        if (!failure.empty()) {
            // A port fails when its line goes: give the line a moment to
            // say so, its reason says more.
            const timespec settle = {0, 300 * 1000 * 1000};
            nanosleep(&settle, nullptr);
            const std::string lineFailure = line_->Failure();
            return Fail(kExitFailure, lineFailure.empty() ? failure : lineFailure);
        }
    }
}

void Daemon::Shutdown()
{
    // The bridges stop taking new work first; deactivation (DISC, then the
    // multiplexer stops) releases whatever is still inside the driver, such
    // as a write held up by the modem's flow control; then the threads end.
    for (Port& p : ports_) {
        if (p.bridge) p.bridge->RequestStop();
    }
    DeactivateInstances(&instances_);
    // The last instance has stopped the multiplexer; the port under it and
    // its threads go as the driver's unloading would take them.
    if (line_) {
        muxhost::UnloadMuxDriver();
    }
    for (Port& p : ports_) {
        if (p.bridge) p.bridge->Stop();
        if (p.handle != INVALID_HANDLE_VALUE) CloseHandle(p.handle);
        p.handle = INVALID_HANDLE_VALUE;
    }
    ports_.clear();    // bridges, then links
    monitor_.reset();  // what was seen is written out
    line_.reset();     // the tty's own settings back
}

std::string Daemon::StatusLine(const Port& p) const
{
    DWORD errors = 0, modem = 0;
    COMSTAT stat = {};
    ClearCommError(p.handle, &errors, &stat);
    GetCommModemStatus(p.handle, &modem);
    const DlciView v = monitor_->View(p.dlci);
    char line[512];
    snprintf(line, sizeof line,
             "%s DLCI %d %s to-port %llu to-client %llu dropped %llu rx-buffer %lu flow %s "
             "V.24 (%s)",
             LinkNameFor(p.name).c_str(), p.dlci, v.connected ? "connected" : "disconnected",
             (unsigned long long)(p.bridge ? p.bridge->OctetsToPort() : 0),
             (unsigned long long)(p.bridge ? p.bridge->OctetsToClient() : 0),
             (unsigned long long)(p.bridge ? p.bridge->OctetsDropped() : 0),
             (unsigned long)stat.cbInQue, v.flowStopped ? "stopped" : "on",
             linetrace::ModemStatusNames(modem).c_str());
    return line;
}

void Daemon::PrintChangedStatus()
{
    bool any = false;
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
    for (const Port& p : ports_)
        out += "port " + StatusLine(p) + " link " + p.link->LinkPath() + " -> " +
               p.link->SlavePath() + "\n";
    return out;
}

}  // namespace gsmmuxd
