#include "bridge.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace gsmmuxd {

namespace {

// How often a bridge without a client looks whether one has opened the
// pseudo-terminal (the master reports a hang-up until then).
const int kNoClientPollMs = 50;
const DWORD kEvents = EV_RXCHAR;
// How long a bridge whose port is not ready waits before it looks again by
// itself, if nobody has told it that the port is back.
const auto kNotReadyWait = std::chrono::seconds(30);

}  // namespace

Bridge::Bridge(std::string name, HANDLE port, int master)
    : name_(std::move(name)), port_(port), master_(master)
{
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    heldFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Bridge::~Bridge()
{
    Stop();
    if (wakeFd_ >= 0) close(wakeFd_);
    if (heldFd_ >= 0) close(heldFd_);
}

bool Bridge::Start(std::string* error)
{
    if (wakeFd_ < 0 || heldFd_ < 0) {
        *error = name_ + ": eventfd: " + std::strerror(errno);
        return false;
    }
    // Reads return at once with what has arrived; writes have no time-out.
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
    if (!SetCommTimeouts(port_, &t) || !SetCommMask(port_, kEvents)) {
        *error = name_ + ": the port refuses its set-up (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    // Named after the port ("MUX2 to port"), for top -H and the benchmarks'
    // per-thread accounts.
    clientToPort_ = std::thread([this] {
        Name("to port");
        ClientToPort();
    });
    heldToClient_ = std::thread([this] {
        Name("held");
        HeldToClient();
    });
    portToClient_ = std::thread([this] {
        Name("to client");
        PortToClient();
        portDone_ = true;
    });
    return true;
}

void Bridge::RequestStop()
{
    if (stop_.exchange(true)) return;
    {
        std::lock_guard<std::mutex> g(downMutex_);
    }
    downCv_.notify_all();
    const uint64_t one = 1;
    ssize_t r = write(wakeFd_, &one, sizeof one);
    (void)r;
    SetCommMask(port_, kEvents);
}

void Bridge::Stop()
{
    RequestStop();
    if (clientToPort_.joinable()) clientToPort_.join();
    if (heldToClient_.joinable()) heldToClient_.join();
    if (portToClient_.joinable()) {
        // Setting the mask again ends a pending WaitCommEvent; repeated, in
        // case the thread was between its stop check and the wait.
        while (!portDone_) {
            SetCommMask(port_, kEvents);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        portToClient_.join();
    }
}

void Bridge::Nudge()
{
    if (!portWaiting_ || stop_) return;
    DWORD errors = 0;
    COMSTAT stat = {};
    if (ClearCommError(port_, &errors, &stat) && stat.cbInQue > 0 && portWaiting_)
        SetCommMask(port_, kEvents);
}

bool Bridge::Failed() const
{
    std::lock_guard<std::mutex> g(failMutex_);
    return !failure_.empty();
}

std::string Bridge::Failure() const
{
    std::lock_guard<std::mutex> g(failMutex_);
    return failure_;
}

void Bridge::Fail(const std::string& why)
{
    std::lock_guard<std::mutex> g(failMutex_);
    if (failure_.empty()) failure_ = name_ + ": " + why;
}

bool Bridge::PortDown(const char* call)
{
    const DWORD code = GetLastError();
    if (stop_) return false;
    if (code != ERROR_NOT_READY) {
        Fail(std::string(call) + " failed (error " + std::to_string(code) + ")");
        return false;
    }
    std::unique_lock<std::mutex> lock(downMutex_);
    const uint64_t seen = resumes_;
    downCv_.wait_for(lock, kNotReadyWait, [&] { return stop_ || resumes_ != seen; });
    return !stop_;
}

void Bridge::Resume()
{
    {
        std::lock_guard<std::mutex> g(downMutex_);
        ++resumes_;
    }
    downCv_.notify_all();
}

void Bridge::Name(const char* what) const
{
    const std::string name = name_ + " " + what;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool Bridge::WaitWake(int timeoutMs)
{
    pollfd p = {wakeFd_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

void Bridge::ClientToPort()
{
    char buf[4096];
    while (!stop_) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            Fail(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (stop_ || (fds[1].revents & POLLIN)) return;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                if (!WriteToPort(buf, size_t(n))) return;
                continue;
            }
        }
        // No client has the slave open: look again a little later.
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            if (WaitWake(kNoClientPollMs)) return;
        }
    }
}

bool Bridge::WriteToPort(const char* data, size_t count)
{
    while (count > 0 && !stop_) {
        DWORD written = 0;
        if (!WriteFile(port_, data, DWORD(count), &written, NULL)) {
            if (PortDown("WriteFile")) continue;
            return false;
        }
        toPort_ += written;
        data += written;
        count -= written;
    }
    return true;
}

void Bridge::PortToClient()
{
    char buf[4096];
    while (!stop_) {
        DWORD mask = 0;
        portWaiting_ = true;
        const BOOL waited = WaitCommEvent(port_, &mask, NULL);
        portWaiting_ = false;
        if (!waited) {
            if (!PortDown("WaitCommEvent")) return;
            // A channel brought back waits for its events afresh.
            SetCommMask(port_, kEvents);
            continue;
        }
        if (stop_) return;
        if (!(mask & EV_RXCHAR)) continue;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(port_, buf, sizeof buf, &got, NULL)) {
                if (!PortDown("ReadFile")) return;
                break;
            }
            if (got == 0) break;
            WriteToClient(buf, got);
        }
    }
}

// On the port's thread: straight to the client when nothing is held, the
// rest held for HeldToClient.
void Bridge::WriteToClient(const char* data, size_t count)
{
    std::lock_guard<std::mutex> g(heldMutex_);
    if (held_.empty()) {
        const size_t n = TryWrite(data, count);
        data += n;
        count -= n;
    }
    if (count == 0) return;
    const size_t room = kHoldLimit - std::min(kHoldLimit, held_.size());
    const size_t kept = std::min(room, count);
    held_.insert(held_.end(), data, data + kept);
    dropped_ += count - kept;
    const uint64_t one = 1;
    ssize_t r = write(heldFd_, &one, sizeof one);
    (void)r;
}

// Writes what the pseudo-terminal takes now; octets for a client that is
// not there (or whose side fails) count as taken, and dropped. With
// heldMutex_ held.
size_t Bridge::TryWrite(const char* data, size_t count)
{
    pollfd p = {master_, POLLOUT, 0};
    poll(&p, 1, 0);
    if (p.revents & (POLLHUP | POLLERR)) {
        dropped_ += count;  // no client: the next one must not get this
        return count;
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(master_, data + done, count - done);
        if (n > 0) {
            toClient_ += size_t(n);
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            dropped_ += count - done;
            return count;
        } else {
            break;  // full: the client has not read yet
        }
    }
    return done;
}

void Bridge::HeldToClient()
{
    char buf[4096];
    while (!stop_) {
        bool any;
        {
            std::lock_guard<std::mutex> g(heldMutex_);
            any = !held_.empty();
        }
        // The master is watched only while something is held: without a
        // client it reports a hang-up all the time.
        pollfd fds[3] = {{any ? master_ : -1, POLLOUT, 0}, {heldFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) return;
        if (stop_ || (fds[2].revents & POLLIN)) return;
        if (fds[1].revents & POLLIN) {
            uint64_t n;
            ssize_t r = read(heldFd_, &n, sizeof n);
            (void)r;
        }
        if (!fds[0].revents) continue;
        std::lock_guard<std::mutex> g(heldMutex_);
        while (!held_.empty()) {
            const size_t chunk = std::min(held_.size(), sizeof buf);
            std::copy(held_.begin(), held_.begin() + long(chunk), buf);
            const size_t n = TryWrite(buf, chunk);
            held_.erase(held_.begin(), held_.begin() + long(n));
            if (n < chunk) break;
        }
    }
}

}  // namespace gsmmuxd
