// A real tty under the serial port: opening and settings, the I/O thread,
// PARMRK decoding and the error counters.
#include "platform/tty/serial_tty.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace plat::serial {

namespace {

// Windows parity codes in a DCB.
enum : uint8_t { kOdd = 1, kEven = 2, kMark = 3, kSpace = 4 };

std::string Describe(const std::string& path, int err)
{
    if (err == EBUSY || err == EWOULDBLOCK)
        return path + ": busy (another program has it open exclusively or locked)";
    return path + ": " + std::strerror(err);
}

}  // namespace

// ---- PARMRK ----

void ParmrkDecoder::Feed(const uint8_t* data, size_t count, Sink& sink)
{
    size_t runStart = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = data[i];
        switch (state_) {
        case Plain:
            if (c != 0xFF) continue;
            if (i > runStart) sink.Octets(data + runStart, i - runStart);
            state_ = SawFF;
            break;
        case SawFF:
            if (c == 0xFF) {
                sink.Octets(&c, 1);
                state_ = Plain;
            } else if (c == 0x00) {
                state_ = SawFF00;
            } else {
                // Not a marker the tty makes; keep both octets rather than lose one.
                const uint8_t ff = 0xFF;
                sink.Octets(&ff, 1);
                sink.Octets(&c, 1);
                state_ = Plain;
            }
            break;
        case SawFF00:
            if (c == 0x00)
                sink.Break();
            else
                sink.ErrorOctet(c);
            state_ = Plain;
            break;
        }
        runStart = i + 1;
    }
    if (state_ == Plain && count > runStart) sink.Octets(data + runStart, count - runStart);
}

// ---- settings ----

bool SpeedConstant(uint32_t baud, speed_t* out)
{
    static const struct {
        uint32_t baud;
        speed_t constant;
    } kSpeeds[] = {
        {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
        {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
        {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
        {921600, B921600},   {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
        {3000000, B3000000}, {4000000, B4000000},
    };
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            *out = s.constant;
            return true;
        }
    }
    return false;
}

termios RawTermios(const termios& base, const LineFormat& format)
{
    termios t = base;
    cfmakeraw(&t);
    // Modem lines do not gate reception; no hardware or software flow control.
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    const unsigned size = std::clamp<unsigned>(format.byteSize, 5, 8);
    t.c_cflag |= kSizes[size - 5];
    if (format.stopBits != 0) t.c_cflag |= CSTOPB;
    // Errors and breaks are marked in the stream instead of dropped or
    // turned into signals.
    t.c_iflag &= ~(IGNPAR | IGNBRK | BRKINT | ISTRIP | INPCK | IXON | IXOFF);
    t.c_iflag |= PARMRK;
    switch (format.parity) {
    case kOdd: t.c_cflag |= PARENB | PARODD; break;
    case kEven: t.c_cflag |= PARENB; break;
    case kMark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case kSpace: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (t.c_cflag & PARENB) t.c_iflag |= INPCK;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t speed;
    // A speed the tty has no constant for leaves the one it runs at.
    if (SpeedConstant(format.baud, &speed)) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    return t;
}

// ---- the backend ----

// Turns decoded input into the port's calls (kernel lock held).
class TtyBackend::Decoded final : public ParmrkDecoder::Sink {
public:
    explicit Decoded(TtyBackend& b) : b_(b) {}
    void Octets(const uint8_t* octets, size_t count) override
    {
        if (b_.sink_) b_.sink_->Received(octets, count, 0);
    }
    void ErrorOctet(uint8_t octet) override
    {
        const uint32_t errors = b_.ClassifyErrorLocked();
        if (b_.sink_) b_.sink_->Received(&octet, 1, errors);
    }
    void Break() override
    {
        if (b_.sink_) b_.sink_->BreakDetected();
    }

private:
    TtyBackend& b_;
};

TtyBackend::TtyBackend(const std::u16string& deviceName, const std::string& path, int fd,
                       const termios& saved)
    : name_(deviceName), path_(path), fd_(fd), saved_(saved)
{
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    countsAvailable_ = ReadCounts(&counts_);
    Configure(format_);
    thread_ = std::thread([this] { Run(); });
    RegisterDevice(name_, [this](DWORD, DWORD, DWORD, DWORD) -> Object* {
        return OpenPort(this, name_);
    });
}

TtyBackend::~TtyBackend()
{
    UnregisterDevice(name_);
    {
        kernel::Lock lock(kernel::Mutex());
        stop_ = true;
        if (sink_) {
            sink_->BackendGone();
            sink_ = nullptr;
        }
    }
    Wake();
    thread_.join();
    tcsetattr(fd_, TCSANOW, &saved_);
    close(fd_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

bool TtyBackend::Gone() const
{
    kernel::Lock lock(kernel::Mutex());
    return gone_;
}

std::string TtyBackend::GoneReason() const
{
    kernel::Lock lock(kernel::Mutex());
    return goneReason_;
}

bool TtyBackend::Attach(PortSink* sink)
{
    kernel::Lock lock(kernel::Mutex());
    if (sink_ || gone_) return false;
    sink_ = sink;
    Wake();  // start polling for input
    return true;
}

void TtyBackend::Detach(PortSink* sink)
{
    kernel::Lock lock(kernel::Mutex());
    if (sink_ != sink) return;
    sink_ = nullptr;
    pending_.clear();
    inTty_ = 0;
}

void TtyBackend::Configure(const LineFormat& format)
{
    kernel::Lock lock(kernel::Mutex());
    format_ = format;
    termios current;
    if (gone_ || tcgetattr(fd_, &current) != 0) return;
    const termios t = RawTermios(current, format);
    tcsetattr(fd_, TCSANOW, &t);
}

bool TtyBackend::SetDtr(bool on)
{
    kernel::Lock lock(kernel::Mutex());
    int bits = TIOCM_DTR;
    return !gone_ && ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

void TtyBackend::Transmit(const uint8_t* octets, size_t count)
{
    kernel::Lock lock(kernel::Mutex());
    if (gone_) return;
    pending_.insert(pending_.end(), octets, octets + count);
    WriteLocked();
    Wake();  // the thread writes the rest and watches the output queue
}

void TtyBackend::AbortTransmit()
{
    kernel::Lock lock(kernel::Mutex());
    pending_.clear();
    inTty_ = 0;
    if (!gone_) tcflush(fd_, TCOFLUSH);
}

size_t TtyBackend::TransmitQueued() const
{
    kernel::Lock lock(kernel::Mutex());
    return pending_.size() + inTty_;
}

void TtyBackend::Wake()
{
    const uint64_t one = 1;
    ssize_t r = write(wakeFd_, &one, sizeof one);
    (void)r;  // a full counter already wakes the thread
}

void TtyBackend::ReceiveTaken()
{
    kernel::Lock lock(kernel::Mutex());
    if (!inputHeld_) return;
    inputHeld_ = false;
    Wake();
}

short TtyBackend::PollEventsLocked()
{
    short events = 0;
    if (sink_) {
        inputHeld_ = sink_->ReceiveRoom() == 0;
        if (!inputHeld_) events |= POLLIN;
    }
    if (!pending_.empty()) events |= POLLOUT;
    return events;
}

void TtyBackend::Run()
{
    kernel::Lock lock(kernel::Mutex());
    while (!stop_) {
        pollfd fds[2] = {{gone_ ? -1 : fd_, PollEventsLocked(), 0}, {wakeFd_, POLLIN, 0}};
        // Octets in the tty's output queue leave without an event: look again
        // every millisecond until it is empty.
        const int timeout = (!gone_ && inTty_ > 0) ? 1 : -1;
        lock.unlock();
        const int n = poll(fds, 2, timeout);
        if (fds[1].revents & POLLIN) {
            uint64_t drained;
            ssize_t r = read(wakeFd_, &drained, sizeof drained);
            (void)r;
        }
        lock.lock();
        if (stop_ || gone_ || n < 0) continue;
        const short rev = fds[0].revents;
        if (rev & POLLIN) ReadLocked();
        if (!gone_ && (rev & (POLLHUP | POLLERR | POLLNVAL))) {
            ReadLocked();  // what arrived before the hang-up still counts
            if (!gone_) GoneLocked(path_ + ": hung up (device removed or far end closed)");
        }
        if (!gone_ && !pending_.empty()) WriteLocked();
        if (!gone_ && inTty_ > 0) CheckOutputLocked();
    }
}

void TtyBackend::ReadLocked()
{
    Decoded out(*this);
    uint8_t buf[4096];
    for (int round = 0; round < 16 && sink_; ++round) {
        // Marked input only shrinks when decoded, so `room` raw octets fit.
        const size_t want = std::min(sink_->ReceiveRoom(), sizeof buf);
        if (want == 0) return;
        const ssize_t n = read(fd_, buf, want);
        if (n > 0) {
            CheckOverrunLocked();
            decoder_.Feed(buf, size_t(n), out);
            if (size_t(n) < want) return;
            continue;
        }
        if (n == 0) {
            GoneLocked(path_ + ": hung up (device removed or far end closed)");
        } else if (errno != EAGAIN && errno != EINTR) {
            GoneLocked(Describe(path_, errno) + " (device removed?)");
        }
        return;
    }
}

void TtyBackend::WriteLocked()
{
    while (!pending_.empty()) {
        uint8_t buf[4096];
        const size_t n = std::min(pending_.size(), sizeof buf);
        std::copy(pending_.begin(), pending_.begin() + n, buf);
        const ssize_t w = write(fd_, buf, n);
        if (w < 0) {
            if (errno != EAGAIN && errno != EINTR)
                GoneLocked(Describe(path_, errno) + " (device removed?)");
            break;
        }
        pending_.erase(pending_.begin(), pending_.begin() + w);
        inTty_ += size_t(w);
        if (size_t(w) < n) break;
    }
    CheckOutputLocked();
}

void TtyBackend::CheckOutputLocked()
{
    int queued = 0;
    // A tty without an output queue count (a pseudo-terminal has none of its
    // own) has let everything go once write accepted it.
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
    const size_t still = std::min(inTty_, size_t(queued));
    const size_t left = inTty_ - still;
    if (left == 0) return;
    inTty_ = still;
    if (sink_) sink_->Transmitted(left);
}

void TtyBackend::GoneLocked(const std::string& why)
{
    if (gone_) return;
    gone_ = true;
    goneReason_ = why;
    pending_.clear();
    inTty_ = 0;
    if (sink_) {
        sink_->BackendGone();
        sink_ = nullptr;
    }
}

bool TtyBackend::ReadCounts(ErrorCounts* counts) const
{
    serial_icounter_struct ic;
    std::memset(&ic, 0, sizeof ic);
    if (ioctl(fd_, TIOCGICOUNT, &ic) != 0) return false;
    counts->frame = uint32_t(ic.frame);
    counts->parity = uint32_t(ic.parity);
    counts->overrun = uint64_t(uint32_t(ic.overrun)) + uint32_t(ic.buf_overrun);
    return true;
}

uint32_t TtyBackend::ClassifyErrorLocked()
{
    ErrorCounts now;
    uint32_t errors = 0;
    if (countsAvailable_ && ReadCounts(&now)) {
        if (now.frame != counts_.frame) errors |= CE_FRAME;
        if (now.parity != counts_.parity) errors |= CE_RXPARITY;
        counts_.frame = now.frame;
        counts_.parity = now.parity;
    }
    // Without counters: with parity checked it is most likely a parity error.
    if (errors == 0) errors = (format_.parity != 0) ? CE_RXPARITY : CE_FRAME;
    return errors;
}

void TtyBackend::CheckOverrunLocked()
{
    ErrorCounts now;
    if (!countsAvailable_ || !ReadCounts(&now)) return;
    if (now.overrun != counts_.overrun && sink_) sink_->LineError(CE_OVERRUN);
    counts_.overrun = now.overrun;
}

std::unique_ptr<TtyBackend> OpenTtyBackend(const std::string& deviceName,
                                           const std::string& ttyPath, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return std::unique_ptr<TtyBackend>();
    };
    if (plat::IsSimulated())
        return fail(ttyPath + ": a real tty needs real time; unset MUX_SIM_SEED");
    const int fd = open(ttyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(Describe(ttyPath, errno));
    auto failClose = [&](int err, const std::string& what = std::string()) {
        close(fd);
        return fail(what.empty() ? Describe(ttyPath, err) : ttyPath + ": " + what);
    };
    if (!isatty(fd)) return failClose(0, "not a tty");
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return failClose(errno);
    if (ioctl(fd, TIOCEXCL) != 0) return failClose(errno);
    termios saved;
    if (tcgetattr(fd, &saved) != 0) return failClose(errno);
    return std::unique_ptr<TtyBackend>(
        new TtyBackend(plat::FromUtf8(deviceName), ttyPath, fd, saved));
}

}  // namespace plat::serial
