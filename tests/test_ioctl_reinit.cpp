// IOCTL_MUX_MODULEREINIT end to end against the simulated module, in
// virtual time: the data call's end reaches the clients' streams, the
// multiplexer goes down and comes back with every port, "ModuleReinit" is
// signalled, and the control returns FALSE.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "platform/host.h"
#include "test_channel.h"

#include <string>
#include <vector>

namespace {

CUserChannel* Channel(DWORD_PTR open)
{
    return reinterpret_cast<CUserChannel*>(open);
}

const std::vector<uint8_t> kTerminateRequest = [] {
    std::vector<uint8_t> p = {0x7E, 0xFF, 0x03, 0xC0, 0x21, 0x05, 0x00, 0x00, 0x1D};
    const std::string text = "Normal Termination by NCP";
    p.insert(p.end(), text.begin(), text.end());
    p.insert(p.end(), {0x21, 0x54, 0x7E});
    return p;
}();

void DeclareDataCall(const std::u16string& dataPort, const std::u16string& notifyPort)
{
    DriverRig::SetDword(u"System\\State\\Phone", u"Status", 0x1000);
    DriverRig::SetString(u"Software\\Microsoft\\RIL", u"DataPort", dataPort);
    DriverRig::SetString(u"Software\\Microsoft\\RIL", u"ComPortNotifications", notifyPort);
}

// A client as the RIL runs one per port: waits for events and reads, until
// told to stop or the wait fails.
struct PortReader {
    DWORD_PTR open = 0;
    std::vector<uint8_t> got;
    volatile bool stop = false;
    HANDLE thread = nullptr;

    void Start(DWORD_PTR o)
    {
        open = o;
        DWORD mask = EV_RXCHAR;
        DWORD n = 0;
        ASSERT_TRUE(MUX_IOControl(open, IOCTL_SERIAL_SET_WAIT_MASK, reinterpret_cast<PBYTE>(&mask), 4,
                                  nullptr, 0, &n));
        thread = RunAsync([this] {
            while (!stop) {
                DWORD events = 0, n2 = 0;
                if (!MUX_IOControl(open, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                   reinterpret_cast<PBYTE>(&events), 4, &n2)) {
                    return;
                }
                uint8_t buf[512];
                DWORD r = MUX_Read(open, buf, sizeof(buf));
                if (r != 0xFFFFFFFFu) got.insert(got.end(), buf, buf + r);
            }
        });
    }
};

TEST(ModuleReinit, EndsTheDataCallAndBringsEveryPortBack)
{
    sim::ModuleSettings module = DispatcherRig::DefaultModule();
    module.serial.modem.modemDlcis = ~uint64_t(1);  // the modem on every user DLCI
    DriverRig rig(1, module);
    rig.StartThree();
    DeclareDataCall(u"MUX2:", u"MUX3:");
    // The module holds a packet data call on the data port.
    ASSERT_EQ(MUX_Write(rig.open[2], "ATD*99#\r", 8), 8u);
    ASSERT_TRUE(rig.D().WaitFor([&] { return rig.Modem().InDataCall(2); }, 1000));
    SleepMs(50);
    char dialled[64];
    MUX_Read(rig.open[2], dialled, sizeof(dialled));
    HANDLE reinit = CreateEventW(nullptr, FALSE, FALSE, u"ModuleReinit");
    ASSERT_NE(reinit, nullptr);
    PortReader data, notify;
    data.Start(rig.open[2]);
    notify.Start(rig.open[3]);
    SleepMs(20);

    const unsigned cmuxBefore = rig.Modem().CmuxCommands();
    const uint64_t before = plat::NowMs();
    SetLastError(0xBEEF);
    DWORD n = 0x1234;
    EXPECT_FALSE(MUX_IOControl(rig.open[1], IOCTL_MUX_MODULEREINIT, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(GetLastError(), 0xBEEFu);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(plat::NowMs() - before, 500u);

    // The readers saw the call end before the link went down; their waits
    // then ended with the stop.
    Join(data.thread);
    Join(notify.thread);
    EXPECT_EQ(data.got, kTerminateRequest);
    EXPECT_EQ(notify.got, (std::vector<uint8_t>{'3', '\r'}));

    EXPECT_EQ(WaitForSingleObject(reinit, 0), WAIT_OBJECT_0) << rig.D().Dump();
    CloseHandle(reinit);
    EXPECT_EQ(rig.Modem().CmuxCommands(), cmuxBefore + 1);
    EXPECT_FALSE(rig.Modem().InDataCall(2));  // the module rebooted
    ASSERT_TRUE(g_dispatcher.bRunning);
    ASSERT_NE(g_dispatcher.channels[0], nullptr);
    EXPECT_FALSE(g_dispatcher.channels[0]->IsNotReady());
    for (int i = 1; i <= 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(Channel(rig.open[i])->IsNotReady());
        EXPECT_EQ(Channel(rig.open[i])->connected, 1);
        EXPECT_TRUE(rig.Modem().DlciOpen(i));
        // An AT exchange on the same open handle: the module's modem on the
        // DLCI answers.
        EXPECT_EQ(MUX_Write(rig.open[i], "AT\r", 3), 3u);
        std::string answer;
        EXPECT_TRUE(rig.D().WaitFor(
            [&] {
                char buf[64];
                DWORD n = MUX_Read(rig.open[i], buf, sizeof(buf));
                if (n != 0xFFFFFFFFu) answer.append(buf, n);
                return answer.find("\r\nOK\r\n") != std::string::npos;
            },
            1000))
            << answer;
    }
    EXPECT_EQ(g_dispatcher.refCount, 4);
}

// The RIL names one port for both: only the packet goes there, and the
// re-initialisation goes on all the same.
TEST(ModuleReinit, OnePortNamedForBoth)
{
    DriverRig rig(2);
    rig.StartThree();
    DeclareDataCall(u"MUX2:", u"MUX2:");
    PortReader data, notify;
    data.Start(rig.open[2]);
    notify.Start(rig.open[3]);
    EXPECT_FALSE(MUX_IOControl(rig.open[3], IOCTL_MUX_MODULEREINIT, nullptr, 0, nullptr, 0, nullptr));
    Join(data.thread);
    Join(notify.thread);
    EXPECT_EQ(data.got, kTerminateRequest);
    EXPECT_TRUE(notify.got.empty());
    EXPECT_FALSE(Channel(rig.open[2])->IsNotReady());
}

// Without a data call nothing is injected and the ports come back.
TEST(ModuleReinit, WithoutADataCallOnlyRestarts)
{
    DriverRig rig(3);
    rig.StartThree();
    DriverRig::SetDword(u"System\\State\\Phone", u"Status", 0x0FFF);
    DriverRig::SetString(u"Software\\Microsoft\\RIL", u"DataPort", u"MUX2:");
    const size_t before = HostFramesOn(rig.D(), 2, 0x3F);
    EXPECT_FALSE(MUX_IOControl(rig.open[2], IOCTL_MUX_MODULEREINIT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(Channel(rig.open[2])->GetRxCount(), 0u);
    EXPECT_EQ(HostFramesOn(rig.D(), 2, 0x3F), before + 1);
    EXPECT_FALSE(Channel(rig.open[1])->IsNotReady());
}

}  // namespace
