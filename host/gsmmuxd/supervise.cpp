// The supervising thread: what a real line does while the daemon runs. The
// tty can go away (a USB modem unplugged); the module can close the
// multiplexer (CLD, DISC on DLCI 0) or stop answering (reset, power cycle);
// a port the module refused may be accepted later. Everything here runs on
// that one thread; it touches ports_ under mutex_ only where it changes
// them, since it is their only writer.
#include "daemon.h"

#include "driver/ioctl.h"
#include "driver/mux.h"
#include "host/muxhost/muxhost.h"
#include "platform/host.h"

#include <stdarg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace gsmmuxd {

namespace {

const int kTickMs = 200;
const uint64_t kLineRetryMs = 1000;  // how often a tty that went away is looked for

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "gsmmuxd: %s\n", line);
}

}  // namespace

void Daemon::Supervise()
{
    seenCloseDowns_ = monitor_->CloseDowns();
    nextKeepAliveMs_ = plat::NowMs() + uint64_t(o_.keepAliveS) * 1000;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(kTickMs));
        if (stop_ || !fatal_.empty()) return;
        lock.unlock();
        SuperviseOnce(plat::NowMs());
        lock.lock();
    }
}

void Daemon::SuperviseOnce(uint64_t now)
{
    if (!WatchLine(now)) return;
    if (line_) line_->Trim();
    WatchModule(now);
    if (!restartReason_.empty() && now >= nextRestartMs_) Restart(now);
    if (restartReason_.empty()) RetryRefusedPorts(now);
}

// A tty that went away ends the daemon, or, with --wait-for-tty, takes the
// multiplexer down and the port under it, until the tty can be opened again.
// True while the line is there.
bool Daemon::WatchLine(uint64_t now)
{
    if (!lineDown_) {
        const std::string failure = line_ ? line_->Failure() : std::string();
        if (failure.empty()) return true;
        if (!o_.waitForTty) {
            Say("%s; ending", failure.c_str());
            std::lock_guard<std::mutex> g(mutex_);
            fatal_ = failure;
            return false;
        }
        Say("%s; waiting for %s to come back", failure.c_str(), o_.portTty.c_str());
        line_->ModuleLost();  // nobody is there to answer the DISCs
        {
            std::lock_guard<std::mutex> g(mutex_);
            muxDown_ = true;
        }
        EnterMuxInitLock();
        muxhost::UnloadMuxDriver();
        LeaveMuxInitLock();
        line_.reset();
        lineDown_ = true;
        nextLineTryMs_ = now + kLineRetryMs;
        return false;
    }
    if (now < nextLineTryMs_) return false;
    std::string error;
    line_ = Line::Open(o_, &error);
    if (!line_) {
        nextLineTryMs_ = now + kLineRetryMs;
        return false;
    }
    lineDown_ = false;
    restartDelayMs_ = 0;
    restartReason_.clear();  // whatever was due before, the line starts afresh
    ScheduleRestart(o_.portTty + " is back", now);
    return true;
}

// The module's own word (CLD, DISC on DLCI 0), and the keep-alive for a
// module that went away without one.
void Daemon::WatchModule(uint64_t now)
{
    const uint64_t closeDowns = monitor_->CloseDowns();
    if (closeDowns != seenCloseDowns_) {
        seenCloseDowns_ = closeDowns;
        ScheduleRestart(monitor_->LastCloseDown(), now);
        return;
    }
    if (!restartReason_.empty() || o_.keepAliveS == 0 || now < nextKeepAliveMs_) return;
    if (KeepAlive()) {
        keepAliveMisses_ = 0;
        nextKeepAliveMs_ = now + uint64_t(o_.keepAliveS) * 1000;
        return;
    }
    // One lost answer may be the line's; the second in a row is the module's.
    if (++keepAliveMisses_ < 2) {
        nextKeepAliveMs_ = plat::NowMs();
        return;
    }
    keepAliveMisses_ = 0;
    ScheduleRestart("the module did not answer the modem-status query (MSC on DLCI 0) twice",
                    plat::NowMs());
}

// Asks the module for the modem status of the next open port in turn: an
// MSC exchange on DLCI 0, whose answer the monitor also reads for the
// status lines. False when no answer came.
bool Daemon::KeepAlive()
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (size_t i = 0; i < ports_.size() && handle == INVALID_HANDLE_VALUE; ++i) {
        keepAlivePort_ = (keepAlivePort_ + 1) % ports_.size();
        handle = ports_[keepAlivePort_].handle;
    }
    if (handle == INVALID_HANDLE_VALUE) return true;  // nothing to ask about
    DWORD status = 0;
    return GetCommModemStatus(handle, &status) != FALSE;
}

void Daemon::ScheduleRestart(const std::string& reason, uint64_t now)
{
    if (!restartReason_.empty()) return;
    restartReason_ = reason;
    // Under the lock: the main thread's calls on the ports (status, nudges)
    // are over before the channels are taken down and set up again.
    std::lock_guard<std::mutex> g(mutex_);
    muxDown_ = true;
    nextRestartMs_ = now + restartDelayMs_;
}

// The driver's re-initialisation: the multiplexer stopped, the module reset
// and switched again, every channel reconnected on the same ports, links
// and pseudo-terminals. A failure is tried again later, each time later.
void Daemon::Restart(uint64_t now)
{
    ++restarts_;
    Say("restart %u of the multiplexer: %s", restarts_, restartReason_.c_str());
    line_->ModuleLost();
    if (ReinitModuleLink()) {
        Say("restart %u: the multiplexer is back", restarts_);
        {
            std::lock_guard<std::mutex> g(mutex_);
            for (Port& p : ports_) {
                if (p.bridge) p.bridge->Resume();
            }
        }
        restartReason_.clear();
        muxDown_ = false;
        restartDelayMs_ = 0;
        keepAliveMisses_ = 0;
        seenCloseDowns_ = monitor_->CloseDowns();
        nextKeepAliveMs_ = plat::NowMs() + uint64_t(o_.keepAliveS) * 1000;
        // The module may take the ports it refused before.
        for (Port& p : ports_) p.nextTryMs = now;
        return;
    }
    restartDelayMs_ =
        restartDelayMs_ ? std::min(restartDelayMs_ * 2, kMaxRestartDelayMs) : kFirstRestartDelayMs;
    nextRestartMs_ = plat::NowMs() + restartDelayMs_;
    std::string why = WhyNoMultiplexer();
    if (why.empty()) why = "the multiplexer did not come up";
    Say("restart %u failed: %s; trying again in %llu s", restarts_, why.c_str(),
        (unsigned long long)(restartDelayMs_ / 1000));
}

// A refused port's instance is activated anew (its channel is set up again
// from the start) and opened once more.
void Daemon::RetryRefusedPorts(uint64_t now)
{
    for (size_t i = 0; i < ports_.size(); ++i) {
        Port& p = ports_[i];
        if (p.refused.empty() || now < p.nextTryMs) continue;
        std::string error;
        if (!ReactivateInstance(&instances_[i], &error)) {
            Say("%s", error.c_str());
            p.nextTryMs = now + kMaxPortRetryMs;
            continue;
        }
        std::string bridgeError;
        if (OpenPort(&p, &bridgeError)) {
            Say("%s is open now", p.name.c_str());
        } else if (!bridgeError.empty()) {
            Say("%s; the port moves no data", bridgeError.c_str());
        } else {
            Say("%s: cannot be opened: %s; trying again in %llu s", p.name.c_str(),
                p.refused.c_str(), (unsigned long long)(p.retryDelayMs / 1000));
        }
    }
}

}  // namespace gsmmuxd
