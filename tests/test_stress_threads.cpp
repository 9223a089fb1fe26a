// Several client threads on several ports at once, in the platform's real
// mode (threads run free), for a fixed count of operations each: reads,
// writes, the event wait with its mask changed from another thread, the
// modem status, the port settings, while the modem stops and resumes the
// flow on every port. Built for the ThreadSanitizer leg, which reports any
// unsynchronised access on the way; every thread must finish and every
// port must still carry data afterwards.
#include <gtest/gtest.h>

#include "dispatcher/dispatcher.h"
#include "driver/mux.h"
#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "sim/module.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kPorts = 3;
const int kThreadsPerPort = 3;
const int kOpsPerThread = 150;

const char kReg[] =
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n\"GSM_0710_DLCI\"=dword:1\n\"GSM_0710_TYPE\"=dword:1\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX2]\n\"GSM_0710_DLCI\"=dword:2\n\"GSM_0710_TYPE\"=dword:0\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX3]\n\"GSM_0710_DLCI\"=dword:3\n\"GSM_0710_TYPE\"=dword:1\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\01]\n\"Key\"=\"Drivers\\\\BuiltIn\\\\MUX1\"\n\"Name\"=\"MUX1:\"\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\02]\n\"Key\"=\"Drivers\\\\BuiltIn\\\\MUX2\"\n\"Name\"=\"MUX2:\"\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\03]\n\"Key\"=\"Drivers\\\\BuiltIn\\\\MUX3\"\n\"Name\"=\"MUX3:\"\n";

BOOL Control(DWORD_PTR open, DWORD code, DWORD value, DWORD* out)
{
    DWORD n = 0;
    return MUX_IOControl(open, code, reinterpret_cast<PBYTE>(&value), sizeof(value),
                         reinterpret_cast<PBYTE>(out), sizeof(*out), &n);
}

// One client thread's share: a fixed mix drawn from its own seed.
void Client(DWORD_PTR open, uint64_t seed, std::atomic<int>* waits)
{
    std::mt19937_64 rng(seed);
    for (int i = 0; i < kOpsPerThread; i++) {
        char buf[300] = {};
        DWORD word = 0;
        DCB dcb = {};
        DWORD n = 0;
        switch (rng() % 8) {
        case 0: MUX_Read(open, buf, 1 + static_cast<DWORD>(rng() % sizeof(buf))); break;
        case 1: MUX_Write(open, "AT\r", 3); break;
        case 2: Control(open, IOCTL_SERIAL_SET_WAIT_MASK, EV_RXCHAR, &word); break;
        case 3:
            // Released by data (the modem's answers) or another thread's mask change.
            if (waits->fetch_add(1) < kThreadsPerPort - 1) {
                Control(open, IOCTL_SERIAL_WAIT_ON_MASK, 0, &word);
            }
            waits->fetch_sub(1);
            break;
        case 4: Control(open, IOCTL_SERIAL_GET_MODEMSTATUS, 0, &word); break;
        case 5:
            MUX_IOControl(open, IOCTL_SERIAL_GET_DCB, nullptr, 0, reinterpret_cast<PBYTE>(&dcb), sizeof(dcb), &n);
            dcb.BaudRate = 115200;
            MUX_IOControl(open, IOCTL_SERIAL_SET_DCB, reinterpret_cast<PBYTE>(&dcb), sizeof(dcb), nullptr, 0, &n);
            break;
        case 6: Control(open, IOCTL_SERIAL_GET_COMMSTATUS, 0, &word); break;
        default: MUX_Write(open, buf, 1 + static_cast<DWORD>(rng() % sizeof(buf))); break;
        }
    }
}

// The driver in real time against the simulated module: every DLCI a modem
// channel, no echo, and room for reset pulses that a loaded machine sends
// late; the three instances declared.
class StressThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::UseRealTime();
        plat::SetDebugSink([](const std::u16string&) {});
        plat::ClearRegistry();
        sim::ModuleSettings settings;
        settings.serial.modem.modemDlcis = ~uint64_t(1);
        settings.serial.modem.echo = false;
        settings.lines.resetToleranceMs = 2000;
        module_ = std::make_unique<sim::SimModule>(settings);
        std::string error;
        ASSERT_TRUE(plat::LoadRegText(kReg, "stress.reg", &error)) << error;
    }

    void TearDown() override
    {
        module_.reset();
        plat::SetDebugSink(nullptr);
    }

    sim::ModuleSerial& Module() { return module_->Serial(); }

private:
    std::unique_ptr<sim::SimModule> module_;
};

TEST_F(StressThreads, SeveralClientsOnSeveralPortsFinishAndLeaveThePortsWorking)
{
    DWORD_PTR device[kPorts] = {};
    DWORD_PTR open[kPorts] = {};
    const char16_t* keys[kPorts] = {u"Drivers\\Active\\01", u"Drivers\\Active\\02", u"Drivers\\Active\\03"};
    for (int p = 0; p < kPorts; p++) {
        device[p] = MUX_Init(keys[p], nullptr);
        ASSERT_NE(device[p], 0u);
    }
    for (int p = 0; p < kPorts; p++) {
        open[p] = MUX_Open(device[p], GENERIC_READ | GENERIC_WRITE, 0);
        ASSERT_NE(open[p], 0u) << "port " << p + 1;
    }
    std::vector<std::thread> clients;
    std::atomic<int> waits[kPorts];
    std::atomic<bool> done{false};
    for (int p = 0; p < kPorts; p++) {
        waits[p] = 0;
        for (int t = 0; t < kThreadsPerPort; t++) {
            clients.emplace_back(Client, open[p], static_cast<uint64_t>(p * 10 + t + 1), &waits[p]);
        }
    }
    // A client's second thread: mask changes that end waits still open.
    std::thread masker([&] {
        while (!done) {
            DWORD word = 0;
            for (DWORD_PTR o : open) Control(o, IOCTL_SERIAL_SET_WAIT_MASK, EV_RXCHAR, &word);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    // The modem's flow control (MSC with FC) on each port in turn, short
    // stops that the writers wait out and the control channel lifts.
    std::thread flow([&] {
        while (!done) {
            for (int dlci = 1; dlci <= kPorts && !done; dlci++) {
                Module().SendMsc(dlci, true);
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
                Module().SendMsc(dlci, false);
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        }
    });
    for (std::thread& t : clients) t.join();
    done = true;
    masker.join();
    flow.join();

    // Every port still answers: the modem's OK to AT.
    for (int p = 0; p < kPorts; p++) {
        char buf[4096];
        while (MUX_Read(open[p], buf, sizeof(buf)) > 0 && MUX_Read(open[p], buf, sizeof(buf)) != 0) {
        }
        ASSERT_EQ(MUX_Write(open[p], "AT\r", 3), 3u);
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.find("OK\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
            DWORD n = MUX_Read(open[p], buf, sizeof(buf));
            if (n != 0xFFFFFFFFu) got.append(buf, n);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_NE(got.find("OK\r\n"), std::string::npos) << "port " << p + 1 << " got: " << got;
    }
    for (DWORD_PTR d : device) MUX_Deinit(d);
    muxhost::UnloadMuxDriver();
}

// An instance removed while its start-up thread resets the module: the
// thread looked at the removal flag when it began, and the remover raises it
// without having synchronised with that thread since, which the
// ThreadSanitizer leg looks at. The start goes on to its end, and the
// removal takes the new channel and the multiplexer down.
TEST_F(StressThreads, RemovalDuringAStartUpTakesItsChannelDown)
{
    DWORD_PTR device = MUX_Init(u"Drivers\\Active\\01", nullptr);
    ASSERT_NE(device, 0u);
    // Inside the module's reset (about 2 s of pulses), with nothing
    // that orders the thread's first steps before the removal.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(MUX_PreDeinit(device));
    EXPECT_TRUE(MUX_Deinit(device));
    EXPECT_FALSE(g_dispatcher.bRunning);
    EXPECT_EQ(g_dispatcher.channels[1], nullptr);
    g_dispatcher.ClosePort();
}

// A write held by the modem's flow control past the writer's wait: the
// writer gives up waiting and clears the stop itself, and the modem's
// resume that comes after finds it cleared, on the control channel's
// thread. The wait is the driver's own (10 s), so this one test runs that
// long in real time: it is the writer's own clearing of the stop, against
// the control channel's, that the ThreadSanitizer leg looks at here.
TEST_F(StressThreads, AWriteHeldPastTheFlowWaitGoesOnAndTheLateResumeFindsItDone)
{
    DWORD_PTR device = MUX_Init(u"Drivers\\Active\\01", nullptr);
    ASSERT_NE(device, 0u);
    const DWORD_PTR open = MUX_Open(device, GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(open, 0u);
    const size_t before = Module().ControlFromHost().size();
    Module().SendMsc(1, true);
    // The stop has reached the channel once the modem's MSC has been answered.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Module().ControlFromHost().size() == before && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GT(Module().ControlFromHost().size(), before);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::atomic<bool> written{false};
    std::thread writer([&] {
        EXPECT_EQ(MUX_Write(open, "AT\r", 3), 3u);
        written = true;
    });
    while (!written) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Module().SendMsc(1, false);
    writer.join();
    // The port carries data as before: the modem's OK to AT.
    char buf[256];
    std::string got;
    const auto answered = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.find("OK\r\n") == std::string::npos && std::chrono::steady_clock::now() < answered) {
        DWORD n = MUX_Read(open, buf, sizeof(buf));
        if (n != 0xFFFFFFFFu) got.append(buf, n);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_NE(got.find("OK\r\n"), std::string::npos) << got;
    MUX_Close(open);
    MUX_Deinit(device);
    muxhost::UnloadMuxDriver();
}

}  // namespace
