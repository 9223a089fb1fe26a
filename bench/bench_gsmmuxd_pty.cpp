// gsmmuxd's own cost, measured through its pseudo-terminals against the
// simulated module running in real time in this process: the latency from a
// client's write on the pseudo-terminal to the frame going on the line, and
// from a frame's last octet arriving from the line to the client's read
// returning it (p50 and p99 over many AT exchanges on MUX1), and the
// goodput of a bulk transfer through a data call on MUX2 against what the
// line can carry, with the daemon's CPU time for it. One row per figure
// (bench/figures.h).
#include "bench/figures.h"
#include "host/gsmmuxd/daemon.h"
#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/hw/serial_sim.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kExchanges = 200;
const size_t kBulkOctets = 200 * 1000;
// The line after AT+CMUX: 460800 bit/s, 10 bits an octet; UIH frames of
// the default 127 information octets with 6 of framing each.
const double kCeiling = 460800.0 / 10 * 127 / (127 + 6);

// The bench's own threads (the client) go by this name; the simulated
// module and its line run on the platform's timer thread. Every other
// thread of the process is the daemon's: the driver's and the bridges'.
const char kClientThreadName[] = "bench-client";

// CPU time in ns of the daemon's threads so far (/proc's schedstat: time on
// a processor, in ns).
uint64_t DaemonCpuNs()
{
    uint64_t total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    while (const dirent* e = readdir(tasks)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string name;
        std::getline(std::ifstream(task + "/comm"), name);
        if (name == kClientThreadName || name == plat::kernel::kTimerThreadName) continue;
        uint64_t onCpu = 0;
        std::ifstream(task + "/schedstat") >> onCpu;
        total += onCpu;
    }
    closedir(tasks);
    return total;
}

// When octets went to and came from the line, as the port saw them.
struct LineTimes {
    std::mutex mutex;
    std::vector<Clock::time_point> toLine, fromLine;
};

int OpenClient(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return -1;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads until `until` has arrived; false after 5 s.
bool ReadUntil(int fd, const std::string& until)
{
    std::string got;
    char buf[512];
    while (got.find(until) == std::string::npos) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        got.append(buf, size_t(n));
    }
    return true;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// AT exchanges on MUX1: write to line, and the reply's last arrival to the
// client's read.
bool Latencies(int fd, LineTimes& line, std::vector<double>* out, std::vector<double>* in)
{
    for (int i = 0; i < kExchanges; ++i) {
        {
            std::lock_guard<std::mutex> g(line.mutex);
            line.toLine.clear();
            line.fromLine.clear();
        }
        const Clock::time_point written = Clock::now();
        if (write(fd, "AT\r", 3) != 3 || !ReadUntil(fd, "OK\r\n")) return false;
        const Clock::time_point read = Clock::now();
        std::lock_guard<std::mutex> g(line.mutex);
        if (line.toLine.empty() || line.fromLine.empty()) return false;
        out->push_back(Ms(line.toLine.front() - written));
        in->push_back(Ms(read - line.fromLine.back()));
    }
    return true;
}

// Octets per second echoed through a data call on MUX2, both ways at once,
// and the daemon's CPU time (ns) meanwhile.
double Goodput(int fd, uint64_t* cpuNs)
{
    if (write(fd, "ATD*99#\r", 8) != 8 || !ReadUntil(fd, "CONNECT\r\n")) return 0;
    std::vector<char> data(kBulkOctets);
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 251);
    const Clock::time_point start = Clock::now();
    const uint64_t cpuBefore = DaemonCpuNs();
    std::thread writer([&] {
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n <= 0) return;
            done += size_t(n);
        }
    });
    size_t got = 0;
    char buf[4096];
    while (got < data.size()) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got += size_t(n);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *cpuNs = DaemonCpuNs() - cpuBefore;
    writer.join();
    return got == data.size() ? double(got) / seconds : 0;
}

}  // namespace

int main()
{
    plat::UseRealTime();
    plat::SetDebugSink([](const std::u16string&) {});
    gsmmuxd::Options options;
    char dir[] = "/tmp/bench-gsmmuxd-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    options.linkDir = std::string(dir) + "/mux";
    plat::SetDeviceRoot(dir);  // the driver's log goes there, and with it
    gsmmuxd::Daemon daemon(options);
    if (daemon.Start() != gsmmuxd::kExitOk) {
        std::fprintf(stderr, "bench_gsmmuxd_pty: %s\n", daemon.Error().c_str());
        return 1;
    }
    // Threads made from here on (the writer) inherit the name.
    pthread_setname_np(pthread_self(), kClientThreadName);
    LineTimes line;
    plat::serial::SetLineTap([&line](bool toLine, const uint8_t*, size_t) {
        std::lock_guard<std::mutex> g(line.mutex);
        (toLine ? line.toLine : line.fromLine).push_back(Clock::now());
    });
    const int mux1 = OpenClient(options.linkDir + "/MUX1");
    const int mux2 = OpenClient(options.linkDir + "/MUX2");
    std::vector<double> out, in;
    const bool ok = mux1 >= 0 && mux2 >= 0 && Latencies(mux1, line, &out, &in);
    uint64_t cpuNs = 0;
    const double goodput = ok ? Goodput(mux2, &cpuNs) : 0;
    plat::serial::SetLineTap(plat::serial::LineTap());
    close(mux1);
    close(mux2);
    daemon.Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!ok || goodput == 0) {
        std::fprintf(stderr, "bench_gsmmuxd_pty: the exchanges did not complete\n");
        return 1;
    }
    bench::PrintFigure("gsmmuxd client write to line p50", Percentile(out, 0.5), "ms", 1.0);
    bench::PrintFigure("gsmmuxd client write to line p99", Percentile(out, 0.99), "ms", 1.0);
    bench::PrintFigure("gsmmuxd line to client read p50", Percentile(in, 0.5), "ms", 1.0);
    bench::PrintFigure("gsmmuxd line to client read p99", Percentile(in, 0.99), "ms", 1.0);
    bench::PrintFigure("goodput gsmmuxd data call through the pseudo-terminals", goodput,
                       "octets/s", kCeiling);
    // Per megabyte (10^6 octets) the client sent, which came back as well;
    // beside the time the line takes for it, the ratio is the share of one
    // processor the daemon needs at the line's rate.
    const double megabytes = double(kBulkOctets) / 1e6;
    bench::PrintFigure("gsmmuxd CPU time per MB echoed through a pseudo-terminal",
                       double(cpuNs) / 1e6 / megabytes, "ms", 1e6 / kCeiling * 1000.0);
    return 0;
}
