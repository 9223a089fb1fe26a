// "COM9:" on a real tty: a pseudo-terminal pair whose slave the backend
// drives while the test plays the modem on the master. Real time; every wait
// is bounded so that a fault fails the test instead of hanging it.
#include "platform/platform.h"

#include "platform/host.h"
#include "platform/tty/serial_tty.h"
#include "pty_pair.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using plat::serial::OpenTtyBackend;
using plat::serial::ParmrkDecoder;
using plat::serial::TtyBackend;

namespace {

// ---- PARMRK decoding ----

struct Collect : ParmrkDecoder::Sink {
    std::string events;  // octets as they are, "<E:c>" for an error octet, "<BRK>"
    void Octets(const uint8_t* o, size_t n) override { events.append(reinterpret_cast<const char*>(o), n); }
    void ErrorOctet(uint8_t o) override { events += "<E:" + std::string(1, char(o)) + ">"; }
    void Break() override { events += "<BRK>"; }
};

TEST(ParmrkDecoder, UnmarksOctetsErrorsAndBreaksAtEveryCut)
{
    const std::string input = std::string("ab\xFF\xFF" "c\xFF\0\0" "d\xFF\0x" "e\xFF\xFF\xFF\0\0", 18);
    const std::string expected = "ab\xFF" "c<BRK>d<E:x>e\xFF<BRK>";
    for (size_t cut1 = 0; cut1 <= input.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= input.size(); ++cut2) {
            ParmrkDecoder d;
            Collect c;
            const auto* p = reinterpret_cast<const uint8_t*>(input.data());
            d.Feed(p, cut1, c);
            d.Feed(p + cut1, cut2 - cut1, c);
            d.Feed(p + cut2, input.size() - cut2, c);
            ASSERT_EQ(c.events, expected) << "cut at " << cut1 << " and " << cut2;
        }
    }
    // A 0xFF followed by something no tty marks that way keeps both octets.
    ParmrkDecoder d;
    Collect c;
    const uint8_t odd[] = {'q', 0xFF, 'z'};
    d.Feed(odd, sizeof odd, c);
    EXPECT_EQ(c.events, "q\xFFz");
}

TEST(TtySettings, RawModeWithMarkedErrorsAndTheDriversSpeeds)
{
    termios base;
    memset(&base, 0, sizeof base);
    base.c_lflag = ICANON | ECHO | ISIG;
    base.c_iflag = ICRNL | IXON | BRKINT | IGNPAR;
    base.c_oflag = OPOST | ONLCR;
    plat::serial::LineFormat f;
    f.baud = 460800;
    termios t = plat::serial::RawTermios(base, f);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B460800));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B460800));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | BRKINT | IGNPAR | INPCK), 0u);
    EXPECT_NE(t.c_iflag & PARMRK, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));

    f.baud = 115200;
    f.byteSize = 7;
    f.parity = 2;  // even
    f.stopBits = 2;
    t = plat::serial::RawTermios(base, f);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), tcflag_t(CS7 | PARENB | CSTOPB));
    EXPECT_NE(t.c_iflag & INPCK, 0u) << "parity is checked when the line has parity";

    f.baud = 123457;  // no constant: the speed stays
    t = plat::serial::RawTermios(t, f);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
}

// ---- the backend on a pseudo-terminal ----

class TtyPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::UseRealTime();
        ASSERT_TRUE(pty_.Ok());
        master_ = pty_.Master();
        slavePath_ = pty_.SlavePath();
        std::string error;
        backend_ = OpenTtyBackend("COM9:", slavePath_, &error);
        ASSERT_TRUE(backend_) << error;
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
        backend_.reset();
    }

    HANDLE Open()
    {
        return CreateFileW(TEXT("COM9:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    }
    // The port as the driver sets it up, reads returning at once.
    void OpenLikeDriver(DWORD baud)
    {
        port_ = Open();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        DCB dcb;
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = baud;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR));
        COMMTIMEOUTS t = {MAXDWORD, 0, 0, 10, 1000};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
    }
    termios MasterView() const
    {
        termios t;  // on a pty master this reads the slave's settings
        EXPECT_EQ(tcgetattr(master_, &t), 0);
        return t;
    }
    void WriteMaster(const std::string& s) { ASSERT_TRUE(WriteAll(master_, s)); }
    std::string ReadMaster(size_t count, int ms) { return ReadFor(master_, count, ms); }
    // ReadFile (returning at once) until `count` octets or `ms` have passed.
    std::string ReadPort(size_t count, int ms)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            char buf[1000];
            DWORD n = 0;
            EXPECT_TRUE(ReadFile(port_, buf, sizeof buf, &n, NULL));
            got.append(buf, n);
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return got;
    }
    // WaitCommEvent, released by setting the mask again after `ms` (which
    // makes it report an empty mask) if nothing happened by then.
    BOOL WaitWithin(int ms, DWORD* mask, DWORD* error)
    {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> lk(m);
            if (!cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return done; }))
                SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR);
        });
        const BOOL ok = WaitCommEvent(port_, mask, NULL);
        *error = ok ? 0 : GetLastError();
        {
            std::lock_guard<std::mutex> lk(m);
            done = true;
        }
        cv.notify_one();
        watchdog.join();
        return ok;
    }

    PtyPair pty_;
    int master_ = -1;
    std::string slavePath_;
    std::unique_ptr<TtyBackend> backend_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(TtyPort, OpensExclusivelyAndMapsTheCommStateToTermios)
{
    OpenLikeDriver(115200);
    termios t = MasterView();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(t.c_iflag & PARMRK, 0u);

    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = 460800;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    t = MasterView();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B460800));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B460800));

    // The port itself is exclusive, and so is the tty.
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    std::string error;
    EXPECT_FALSE(OpenTtyBackend("COM8:", slavePath_, &error));
    EXPECT_NE(error.find("busy"), std::string::npos) << error;
    const int other = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {
        // Only root gets past TIOCEXCL; the flag is set all the same.
        EXPECT_EQ(geteuid(), 0u);
        int excl = 0;
        ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 1);
        close(other);
    } else {
        EXPECT_EQ(errno, EBUSY);
    }
}

TEST_F(TtyPort, ClosingTheBackendRestoresTheTtyAndRemovesTheDevice)
{
    backend_.reset();
    termios before = MasterView();  // the pty's own settings, put back
    std::string error;
    backend_ = OpenTtyBackend("COM9:", slavePath_, &error);
    ASSERT_TRUE(backend_) << error;
    OpenLikeDriver(460800);
    EXPECT_NE(MasterView().c_iflag & PARMRK, before.c_iflag & PARMRK);
    backend_.reset();
    termios after = MasterView();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port_, "x", 1, &written, NULL)) << "the open port fails once the tty is gone";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    // The tty is free again for the next program.
    backend_ = OpenTtyBackend("COM9:", slavePath_, &error);
    EXPECT_TRUE(backend_) << error;
}

TEST_F(TtyPort, WrittenOctetsArriveIntactAtTheFarEnd)
{
    OpenLikeDriver(460800);
    const std::string data = AllOctets(32);  // 8 KB, every value, 0xFF and NUL included
    DWORD written = 0;
    std::thread writer([&] { EXPECT_TRUE(WriteFile(port_, data.data(), DWORD(data.size()), &written, NULL)); });
    const std::string got = ReadMaster(data.size(), 1500);
    writer.join();
    EXPECT_EQ(written, DWORD(data.size()));
    EXPECT_TRUE(got == data) << "got " << got.size() << " of " << data.size() << " octets";
    DWORD errors = 1;
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(TtyPort, OctetsFromTheFarEndWakeTheWaitAndReadBackIntact)
{
    OpenLikeDriver(460800);
    const std::string data = AllOctets(4) + std::string("\xFF\0\0\xFF\0x", 6);
    std::thread modem([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WriteMaster(data);
    });
    DWORD mask = 0, error = 0;
    ASSERT_TRUE(WaitWithin(1000, &mask, &error)) << error;
    modem.join();
    EXPECT_EQ(mask, DWORD(EV_RXCHAR)) << "no data within a second";
    const std::string got = ReadPort(data.size(), 1000);
    EXPECT_TRUE(got == data) << "got " << got.size() << " of " << data.size() << " octets";
    DWORD errors = 1;
    ASSERT_TRUE(ClearCommError(port_, &errors, NULL));
    EXPECT_EQ(errors, 0u) << "octets that look like markers are data when the tty sent them";
}

TEST_F(TtyPort, InputBeyondTheFifoWaitsInTheTtyInsteadOfOverrunning)
{
    OpenLikeDriver(460800);
    const std::string data = AllOctets(48);  // 12 KB: three port FIFOs
    // The far end writes on a thread of its own: with the port holding input
    // back, the pseudo-terminal's buffers fill and the write blocks until the
    // port is read.
    std::thread modem([&] { WriteMaster(data); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nobody reads meanwhile
    const std::string got = ReadPort(data.size(), 2000);
    modem.join();
    EXPECT_TRUE(got == data) << "got " << got.size() << " of " << data.size() << " octets";
    DWORD errors = 1;
    ASSERT_TRUE(ClearCommError(port_, &errors, NULL));
    EXPECT_EQ(errors, 0u);
}

TEST_F(TtyPort, FarEndClosingFailsThePortInsteadOfHanging)
{
    OpenLikeDriver(115200);
    std::thread modem([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty_.CloseMaster();
    });
    DWORD mask = 0, error = 0;
    const auto start = std::chrono::steady_clock::now();
    const BOOL ok = WaitWithin(1500, &mask, &error);
    modem.join();
    EXPECT_FALSE(ok) << "mask " << mask;
    EXPECT_EQ(error, DWORD(ERROR_INVALID_HANDLE));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(backend_->Gone());
    EXPECT_NE(backend_->GoneReason().find("hung up"), std::string::npos) << backend_->GoneReason();
    char buf[8];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(port_, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << "a port does not open on a tty that is gone";
}

// The driver's pattern on a real line, all at once: one thread writes
// frames, one waits for events and reads, one polls the port's status, while
// the far end echoes everything back.
TEST_F(TtyPort, WriterReaderAndStatusThreadsTogetherKeepEveryOctet)
{
    OpenLikeDriver(460800);
    std::string sent;
    for (int i = 0; i < 200; ++i)
        for (int j = 0; j < 100; ++j) sent += char((i * 7 + j) & 0xFF);
    std::atomic<bool> stop{false};
    size_t echoed = 0, wrote = 0;
    std::thread echo([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (echoed < sent.size() && std::chrono::steady_clock::now() < end) {
            const std::string got = ReadMaster(sent.size() - echoed, 20);
            WriteMaster(got);
            echoed += got.size();
        }
    });
    std::thread writer([&] {
        for (size_t off = 0; off < sent.size(); off += 100) {
            DWORD written = 0;
            EXPECT_TRUE(WriteFile(port_, sent.data() + off, 100, &written, NULL));
            EXPECT_EQ(written, 100u);
            wrote += written;
        }
    });
    DWORD errorWord = 0;
    std::thread status([&] {
        while (!stop) {
            DWORD errors = 0;
            COMSTAT stat;
            DCB dcb;
            EXPECT_TRUE(ClearCommError(port_, &errors, &stat));
            EXPECT_TRUE(GetCommState(port_, &dcb));
            errorWord |= errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread watchdog([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
        while (!stop && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR);  // releases a pending wait
    });
    std::string got;
    while (!stop && got.size() < sent.size()) {
        DWORD mask = 0;
        ASSERT_TRUE(WaitCommEvent(port_, &mask, NULL));
        if (!(mask & EV_RXCHAR)) continue;
        char buf[1000];
        DWORD n = 0;
        do {
            ASSERT_TRUE(ReadFile(port_, buf, sizeof buf, &n, NULL));
            got.append(buf, n);
        } while (n == sizeof buf);
    }
    stop = true;
    for (std::thread* t : {&echo, &writer, &status, &watchdog}) t->join();
    EXPECT_TRUE(got == sent) << "got " << got.size() << " of " << sent.size() << " octets back; "
                              << wrote << " written, " << echoed << " echoed";
    EXPECT_EQ(errorWord, 0u);
}

TEST(TtyBackendOpen, RefusesWhatItCannotDriveInWords)
{
    plat::UseRealTime();
    std::string error;
    EXPECT_FALSE(OpenTtyBackend("COM9:", "/nonexistent/ttyUSB7", &error));
    EXPECT_EQ(error, "/nonexistent/ttyUSB7: No such file or directory");
    EXPECT_FALSE(OpenTtyBackend("COM9:", "/dev/null", &error));
    EXPECT_EQ(error, "/dev/null: not a tty");
    EXPECT_EQ(CreateFileW(TEXT("COM9:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, NULL),
              INVALID_HANDLE_VALUE)
        << "a refused tty leaves no device behind";
}

TEST(TtyBackendOpen, RefusedInSimulation)
{
    SimWorld world(3);
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    std::string error;
    EXPECT_FALSE(OpenTtyBackend("COM9:", pty.SlavePath(), &error));
    EXPECT_NE(error.find("real time"), std::string::npos) << error;
}

}  // namespace
