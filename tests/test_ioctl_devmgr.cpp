// A client written against the Win32 serial API, as the phone's radio
// interface layer is, on the instances of the default configuration that
// the device manager activates: SetCommMask, WaitCommEvent, ReadFile,
// WriteFile, GetCommModemStatus, the port settings, and a deactivation
// while a client waits. Simulated time, against the simulated module.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher_rig.h"
#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "test_channel.h"

#include <string>
#include <vector>

namespace {

class SerialApi : public ::testing::TestWithParam<uint64_t> {
protected:
    SerialApi() : rig_(GetParam())
    {
        plat::ClearRegistry();
        plat::SetDebugSink([](const std::u16string&) {});
        muxhost::RegisterMuxDriver();
        std::string error;
        EXPECT_TRUE(plat::LoadRegFile(std::string(MUX_SOURCE_DIR) + "/config/mux.reg", &error)) << error;
        for (const plat::BuiltInActivation& a : plat::ActivateBuiltInDrivers()) {
            EXPECT_NE(a.device, INVALID_HANDLE_VALUE);
            devices_.push_back(a.device);
        }
    }
    ~SerialApi() override
    {
        for (HANDLE h : handles_) CloseHandle(h);
        for (HANDLE d : devices_) DeactivateDevice(d);
        plat::UnregisterStreamDriver("MUX");
        plat::SetDebugSink(nullptr);
    }

    HANDLE Open(const char16_t* name)
    {
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
        return h;
    }

    DispatcherRig rig_;
    std::vector<HANDLE> devices_;
    std::vector<HANDLE> handles_;
};

// Every port: the mask, a wait that a frame from the module ends, the read,
// a write that reaches the module, and the modem status.
TEST_P(SerialApi, EveryPortWaitsReadsWritesAndAnswersItsStatus)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    ASSERT_EQ(devices_.size(), 3u);
    const char16_t* names[] = {u"MUX1:", u"MUX2:", u"MUX3:"};
    for (int i = 0; i < 3; i++) {
        const int dlci = i + 1;
        SCOPED_TRACE(dlci);
        HANDLE h = Open(names[i]);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << rig_.Dump();
        ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
        DWORD mask = 0;
        ASSERT_TRUE(GetCommMask(h, &mask));
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

        DWORD events = 0;
        BOOL waited = FALSE;
        HANDLE waiter = RunAsync([&] { waited = WaitCommEvent(h, &events, nullptr); });
        SleepMs(10 + static_cast<uint32_t>(GetParam() % 3) * 7);
        rig_.Modem().SendUih(dlci, {'\r', '\n', 'O', 'K', '\r', '\n'});
        Join(waiter);
        EXPECT_TRUE(waited);
        EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
        char buf[64] = {};
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(h, buf, sizeof(buf), &got, nullptr));
        EXPECT_EQ(std::string(buf, got), "\r\nOK\r\n");

        DWORD wrote = 0;
        ASSERT_TRUE(WriteFile(h, "AT\r", 3, &wrote, nullptr));
        EXPECT_EQ(wrote, 3u);
        EXPECT_EQ(rig_.Modem().DataFromHost(dlci), (std::vector<uint8_t>{'A', 'T', '\r'}));

        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(h, &status));
        EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
    }
}

TEST_P(SerialApi, PortSettingsAndUnsupportedCalls)
{
    HANDLE h = Open(u"MUX2:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, 0u);
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = 115200;
    ASSERT_TRUE(SetCommState(h, &dcb));
    COMMPROP prop = {};
    ASSERT_TRUE(GetCommProperties(h, &prop));
    EXPECT_EQ(prop.dwMaxBaud, 115200u);
    EXPECT_EQ(prop.dwSettableBaud, 115200u);
    EXPECT_EQ(prop.dwMaxRxQueue, 127u);

    SetLastError(0);
    EXPECT_FALSE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
    SetLastError(0);
    EXPECT_FALSE(SetCommBreak(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    rig_.Modem().SendUih(2, {'a', 'b', 'c'});
    ASSERT_TRUE(rig_.WaitFor([&] { return reinterpret_cast<CUserChannel*>(g_dispatcher.channels[2])->GetRxCount() == 3; }, 1000));
    DWORD errors = 0xFF;
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 3u);
}

// Deactivating the instance of a port whose client waits in WaitCommEvent
// ends that wait; the handle then fails without reaching the driver.
TEST_P(SerialApi, DeactivationReleasesAWaitingClient)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    HANDLE h = Open(u"MUX3:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    DWORD events = 0xAA;
    bool returned = false;
    HANDLE waiter = RunAsync([&] {
        WaitCommEvent(h, &events, nullptr);
        returned = true;
    });
    // The client is in its wait first (a millisecond lets it get there,
    // whatever else the schedule runs), then the removal comes.
    SleepMs(1 + static_cast<uint32_t>(GetParam() % 4) * 5);
    ASSERT_TRUE(DeactivateDevice(devices_[2]));
    devices_.erase(devices_.begin() + 2);
    Join(waiter);
    EXPECT_TRUE(returned);
    EXPECT_EQ(events, 0u);
    SetLastError(0);
    EXPECT_FALSE(WaitCommEvent(h, &events, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

INSTANTIATE_TEST_SUITE_P(Seeds, SerialApi, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
