#include "pty_pair.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

}  // namespace

PtyPair::PtyPair()
{
    int slave = -1;
    char name[256];
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        master_ = -1;
        return;
    }
    close(slave);
    slavePath_ = name;
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster()
{
    if (master_ >= 0) close(master_);
    master_ = -1;
}

std::string ReadFor(int fd, size_t count, int ms)
{
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count) {
        const int left = MsLeft(end);
        if (left == 0) break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left > 20 ? 20 : left) <= 0 || !(p.revents & POLLIN)) continue;
        char buf[4096];
        const size_t want = count - got.size() < sizeof buf ? count - got.size() : sizeof buf;
        const ssize_t n = read(fd, buf, want);
        if (n > 0) got.append(buf, size_t(n));
    }
    return got;
}

bool WriteAll(int fd, const std::string& data, int ms)
{
    size_t done = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const int left = MsLeft(end);
        if (left == 0) return false;
        pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, left);
    }
    return true;
}

std::string AllOctets(size_t repeat)
{
    std::string s;
    for (size_t r = 0; r < repeat; ++r)
        for (int i = 0; i < 256; ++i) s += char(i);
    return s;
}
