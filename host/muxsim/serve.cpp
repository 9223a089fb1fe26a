#include "serve.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/hw/serial_sim.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace muxsim {

namespace {

// The host side of the simulated UART, as the tty's far end sees it: what
// the module sends is queued for the tty, and the loop is woken.
class ToTty final : public plat::serial::PortSink {
public:
    explicit ToTty(int wakeFd) : wakeFd_(wakeFd) {}
    void Received(const uint8_t* octets, size_t count, uint32_t) override
    {
        std::lock_guard<std::mutex> g(mutex_);
        out_.insert(out_.end(), octets, octets + count);
        const uint64_t one = 1;
        ssize_t r = write(wakeFd_, &one, sizeof one);
        (void)r;
    }
    void LineError(uint32_t) override {}
    void BreakDetected() override {}
    void Transmitted(size_t) override {}
    void BackendGone() override {}

    // Moves what is queued into `into` (appended).
    void Take(std::vector<uint8_t>* into)
    {
        std::lock_guard<std::mutex> g(mutex_);
        into->insert(into->end(), out_.begin(), out_.end());
        out_.clear();
    }

private:
    const int wakeFd_;
    std::mutex mutex_;
    std::vector<uint8_t> out_;
};

int OpenRaw(const std::string& path, std::string* error)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        *error = path + ": " + (errno == ENOTTY ? "not a tty" : std::strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Writes what it can of `out` without blocking. False when the tty is gone.
bool Flush(int fd, std::vector<uint8_t>* out)
{
    if (out->empty()) return true;
    const ssize_t n = write(fd, out->data(), out->size());
    if (n > 0) out->erase(out->begin(), out->begin() + n);
    return n >= 0 || errno == EAGAIN || errno == EINTR;
}

}  // namespace

int Serve(const std::string& ttyPath, sim::ModuleSettings settings, std::string* error)
{
    plat::UseRealTime();
    plat::SetDebugSink([](const std::u16string&) {});
    const int tty = OpenRaw(ttyPath, error);
    if (tty < 0) return 2;
    // Said once the tty is the module's: a tty that cannot be had is
    // refused before anything is served.
    fprintf(stderr, "muxsim: serving the simulated module on %s\n", ttyPath.c_str());
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int sigFd = signalfd(-1, &signals, SFD_CLOEXEC);
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    settings.lines.startRunning = true;
    int status = 0;
    {
        sim::SimModule module(settings);
        plat::serial::SimUart* uart = plat::serial::SimUart::Current();
        uart->SetHostFollowsPeer(true);
        ToTty sink(wakeFd);
        uart->Attach(&sink);
        std::vector<uint8_t> out;
        uint8_t buf[4096];
        for (;;) {
            pollfd fds[3] = {{tty, short(POLLIN | (out.empty() ? 0 : POLLOUT)), 0},
                             {wakeFd, POLLIN, 0},
                             {sigFd, POLLIN, 0}};
            // The module's record is for tests in simulation; here it
            // would only grow.
            if (poll(fds, 3, 1000) == 0) module.Serial().ClearRecord();
            if (fds[2].revents & POLLIN) break;
            if (fds[1].revents & POLLIN) {
                uint64_t n;
                ssize_t r = read(wakeFd, &n, sizeof n);
                (void)r;
                sink.Take(&out);
            }
            ssize_t got = 0;
            if (fds[0].revents & POLLIN) got = read(tty, buf, sizeof buf);
            if (got > 0) uart->Transmit(buf, size_t(got));
            const bool hup = (fds[0].revents & (POLLHUP | POLLERR)) && got <= 0;
            if (hup || (got < 0 && errno != EAGAIN) || !Flush(tty, &out)) {
                *error = ttyPath + ": the tty went away (" +
                         (hup ? std::string("hang-up") : std::string(std::strerror(errno))) + ")";
                status = 1;
                break;
            }
        }
        uart->Detach(&sink);
    }
    close(tty);
    close(wakeFd);
    close(sigFd);
    return status;
}

}  // namespace muxsim
