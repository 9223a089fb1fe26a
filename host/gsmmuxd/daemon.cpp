#include "daemon.h"

#include "platform/host.h"

#include <time.h>

#include <cstdio>

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
    if (o_.trace || !o_.pcap.empty() || o_.status)
        return Fail(kExitBadInput, "--trace, --pcap and --status are not available yet");
    if (o_.lines == Lines::None && o_.portTty.empty())
        return Fail(kExitBadInput, "--lines none needs --port: the simulated module has its own lines");
    if (o_.portTty.empty())
        return Fail(kExitBadInput, "the simulated module does not run in real time yet; use --port");
    if (!PrepareLinkDir(o_.linkDir, &error_)) return kExitBadInput;
    tty_ = plat::serial::OpenTtyBackend(o_.portDevice, o_.portTty, &error_);
    if (!tty_) return kExitBadInput;
    if (!LoadConfiguration(o_.regFile, &error_)) return kExitBadInput;
    if (!ActivateInstances(&instances_, &error_)) return kExitFailure;
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
    port.link = PtyLink::Create(o_.linkDir + "/" + LinkNameFor(instance.name), &error_);
    if (!port.link) return false;
    port.handle = CreateFileW(reinterpret_cast<LPCWSTR>(plat::FromUtf8(instance.name).c_str()),
                              GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (port.handle == INVALID_HANDLE_VALUE) {
        error_ = LinkNameFor(instance.name) + ": cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    port.bridge.reset(new Bridge(LinkNameFor(instance.name), port.handle, port.link->Master()));
    const bool started = port.bridge->Start(&error_);
    ports_.push_back(std::move(port));  // Shutdown cleans up a half-made port too
    return started;
}

std::string Daemon::CheckHealth() const
{
    if (tty_ && tty_->Gone()) return tty_->GoneReason();
    for (const Port& p : ports_) {
        if (p.bridge && p.bridge->Failed()) return p.bridge->Failure();
    }
    return std::string();
}

int Daemon::WaitForEnd(const sigset_t& signals)
{
    for (;;) {
        const timespec tick = {0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) return kExitOk;
        if (sig == SIGUSR1) fputs(PortTable().c_str(), stdout), fflush(stdout);
        const std::string failure = CheckHealth();
        if (!failure.empty()) return Fail(kExitFailure, failure);
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
    for (Port& p : ports_) {
        if (p.bridge) p.bridge->Stop();
        if (p.handle != INVALID_HANDLE_VALUE) CloseHandle(p.handle);
        p.handle = INVALID_HANDLE_VALUE;
    }
    ports_.clear();  // bridges, then links
    tty_.reset();    // the tty's own settings back
}

std::string Daemon::PortTable() const
{
    std::string out;
    for (const Port& p : ports_) {
        char line[512];
        snprintf(line, sizeof line, "%-6s %-20s %-14s to-port %llu to-client %llu dropped %llu\n",
                 LinkNameFor(p.name).c_str(), p.link->LinkPath().c_str(),
                 p.link->SlavePath().c_str(),
                 (unsigned long long)(p.bridge ? p.bridge->OctetsToPort() : 0),
                 (unsigned long long)(p.bridge ? p.bridge->OctetsToClient() : 0),
                 (unsigned long long)(p.bridge ? p.bridge->OctetsDropped() : 0));
        out += line;
    }
    return out;
}

}  // namespace gsmmuxd
