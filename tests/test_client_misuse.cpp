// A client misusing the stream entry points gets the platform's error and
// breaks nothing: null buffers, counts of 0 and of 0xFFFFFFFF (and others
// past the largest signed count), null contexts, calls after a close, and,
// through the device manager, handles and opens after the instance was
// deactivated, and opens while the instance is removed. After each group
// the port still carries data both ways, octet for octet.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "driver_rig.h"
#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "test_channel.h"

#include <string>
#include <vector>

namespace {

const DWORD kFail = 0xFFFFFFFFu;

CUserChannel* Channel(DWORD_PTR open) { return reinterpret_cast<CUserChannel*>(open); }

void FromModule(DriverRig& rig, DWORD_PTR open, int dlci, const std::string& s)
{
    const DWORD before = Channel(open)->GetRxCount();
    rig.Modem().SendUih(dlci, std::vector<uint8_t>(s.begin(), s.end()));
    ASSERT_TRUE(rig.D().WaitFor([&] { return Channel(open)->GetRxCount() == before + s.size(); }, 1000));
}

// The port works both ways: a write reaches the module whole, what the module
// sends is read back whole.
void ExpectPortWorks(DriverRig& rig, DWORD_PTR open, int dlci, const std::string& tag)
{
    const std::vector<uint8_t> before = rig.Modem().DataFromHost(dlci);
    const std::string out = "out-" + tag;
    EXPECT_EQ(MUX_Write(open, out.data(), static_cast<DWORD>(out.size())), out.size());
    std::vector<uint8_t> expected = before;
    expected.insert(expected.end(), out.begin(), out.end());
    // The module has the frame once the UART has carried it.
    EXPECT_TRUE(rig.D().WaitFor([&] { return rig.Modem().DataFromHost(dlci) == expected; }, 1000))
        << "the module did not get \"" << out << "\" whole";

    FromModule(rig, open, dlci, "in-" + tag);
    char buf[64] = {};
    const DWORD n = MUX_Read(open, buf, sizeof(buf));
    EXPECT_EQ(std::string(buf, n == kFail ? 0 : n), "in-" + tag);
}

// Calls that must fail with `error` and leave the last error set to it.
void ExpectRefused(DWORD result, DWORD error, const char* what)
{
    EXPECT_EQ(result, kFail) << what;
    EXPECT_EQ(GetLastError(), error) << what;
}

TEST(ClientMisuse, ReadsWithNullBuffersAndOddCountsAreRefusedAndLoseNothing)
{
    DriverRig rig(1);
    rig.StartThree();
    const DWORD_PTR port = rig.open[1];
    FromModule(rig, port, 1, "kept");
    char buf[16] = {};

    SetLastError(0);
    ExpectRefused(MUX_Read(port, nullptr, 10), ERROR_INVALID_PARAMETER, "null buffer, 10");
    ExpectRefused(MUX_Read(port, nullptr, 0xFFFFFFFFu), ERROR_INVALID_PARAMETER, "null buffer, max");
    SetLastError(0);
    ExpectRefused(MUX_Read(port, buf, 0xFFFFFFFFu), ERROR_INVALID_PARAMETER, "count 0xFFFFFFFF");
    SetLastError(0);
    ExpectRefused(MUX_Read(port, buf, 0x80000000u), ERROR_INVALID_PARAMETER, "count 0x80000000");
    SetLastError(0);
    ExpectRefused(MUX_Read(0, buf, sizeof(buf)), ERROR_INVALID_PARAMETER, "null open context");
    // Nothing asked, nothing taken: not an error.
    EXPECT_EQ(MUX_Read(port, nullptr, 0), 0u);
    EXPECT_EQ(MUX_Read(port, buf, 0), 0u);

    // Every refused read left the buffered octets where they were.
    EXPECT_EQ(Channel(port)->GetRxCount(), 4u);
    ASSERT_EQ(MUX_Read(port, buf, sizeof(buf)), 4u);
    EXPECT_EQ(std::string(buf, 4), "kept");
    ExpectPortWorks(rig, port, 1, "reads");
}

TEST(ClientMisuse, WritesWithNullBuffersAndOddCountsAreRefusedAndSendNothing)
{
    DriverRig rig(2);
    rig.StartThree();
    const DWORD_PTR port = rig.open[1];
    const size_t framesBefore = HostUihOn(rig.D(), 1).size();
    const char data[] = "abc";

    SetLastError(0);
    ExpectRefused(MUX_Write(port, nullptr, 10), ERROR_INVALID_PARAMETER, "null buffer, 10");
    SetLastError(0);
    ExpectRefused(MUX_Write(port, nullptr, 0xFFFFFFFFu), ERROR_INVALID_PARAMETER, "null buffer, max");
    SetLastError(0);
    ExpectRefused(MUX_Write(port, data, 0xFFFFFFFFu), ERROR_INVALID_PARAMETER, "count 0xFFFFFFFF");
    SetLastError(0);
    ExpectRefused(MUX_Write(port, data, 0x80000000u), ERROR_INVALID_PARAMETER, "count 0x80000000");
    SetLastError(0);
    ExpectRefused(MUX_Write(0, data, 3), ERROR_INVALID_PARAMETER, "null open context");
    EXPECT_EQ(HostUihOn(rig.D(), 1).size(), framesBefore) << "a refused write sent a frame";

    // A null buffer is refused even for 0 octets: sent, its empty piece
    // would be a header without FCS and closing flag, and the module would
    // lose the next frame.
    SetLastError(0);
    ExpectRefused(MUX_Write(port, nullptr, 0), ERROR_INVALID_PARAMETER, "null buffer, 0");
    EXPECT_EQ(HostUihOn(rig.D(), 1).size(), framesBefore) << "a refused write sent a frame";
    // An empty write fails as the channel's send fails on an empty piece
    // (which goes out as a whole, empty UIH frame).
    SetLastError(0);
    ExpectRefused(MUX_Write(port, data, 0), ERROR_NOT_READY, "count 0");
    EXPECT_TRUE(rig.Modem().DataFromHost(1).empty());
    ExpectPortWorks(rig, port, 1, "writes");

}

TEST(ClientMisuse, ClosedHandlesNullContextsAndSeeksChangeNothing)
{
    DriverRig rig(3);
    rig.StartThree();
    const DWORD_PTR port = rig.open[2];

    SetLastError(0);
    EXPECT_EQ(MUX_Open(0, 0, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MUX_Seek(port, 0, 0), kFail);
    EXPECT_EQ(MUX_Seek(port, -1, 2), kFail);
    EXPECT_EQ(MUX_Seek(0, 0x7FFFFFFF, 0xFFFFFFFFu), kFail);
    MUX_PowerDown(0);
    MUX_PowerUp(0);

    // The open context is the instance's channel: a close leaves it
    // connected with its buffered data, however often it comes, and the
    // instance keeps working for every holder of the context.
    FromModule(rig, port, 2, "buffered");
    EXPECT_TRUE(MUX_Close(port));
    EXPECT_TRUE(MUX_Close(port));
    EXPECT_EQ(Channel(port)->connected, 1);
    // I/O control after the close: answered as before it, nothing consumed.
    DWORD status = 0, n = 0;
    EXPECT_TRUE(MUX_IOControl(port, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0,
                              reinterpret_cast<PBYTE>(&status), sizeof(status), &n));
    EXPECT_EQ(n, sizeof(status));
    char buf[16] = {};
    ASSERT_EQ(MUX_Read(port, buf, sizeof(buf)), 8u);
    EXPECT_EQ(std::string(buf, 8), "buffered");
    ExpectPortWorks(rig, port, 2, "closed");
    EXPECT_EQ(MUX_Open(rig.device[2], 0, 0), port);
    ExpectPortWorks(rig, port, 2, "reopened");
}

// "MUX1:" declared for the device manager and activated by it.
HANDLE ActivateMux1()
{
    std::string error;
    EXPECT_TRUE(plat::LoadRegText("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n"
                                  "\"Prefix\"=\"MUX\"\n\"Index\"=dword:1\n"
                                  "\"GSM_0710_DLCI\"=dword:1\n\"GSM_0710_TYPE\"=dword:1\n",
                                  "misuse.reg", &error))
        << error;
    return ActivateDeviceEx(u"Drivers\\BuiltIn\\MUX1", nullptr, 0, nullptr);
}

// An open that comes while MUX_Deinit takes the instance down (its DISC
// unanswered, so that the removal waits under the start-up lock) fails with
// ERROR_NOT_READY and never reaches the channel the removal frees; the
// sanitizer build reports any use after the free.
TEST(ClientMisuse, OpenDuringDeinitFailsAndTouchesNothingFreed)
{
    DriverRig rig(5);
    rig.StartThree();
    rig.Modem().ChangeSettings([](sim::SerialSettings& s) { s.noUaOnDiscDlcis = uint64_t(1) << 1; });
    const DWORD_PTR device = rig.device[1];
    HANDLE remover = RunAsync([&rig, device] { EXPECT_TRUE(rig.Deinit(device)); });
    SleepMs(50);
    SetLastError(0);
    EXPECT_EQ(MUX_Open(device, GENERIC_READ | GENERIC_WRITE, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    Join(remover);
    ExpectPortWorks(rig, rig.open[2], 2, "after");
}

HANDLE OpenMux1()
{
    return CreateFileW(u"MUX1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The driver registered with the device manager, "MUX1:" activated and open.
void ActivateAndOpenMux1(HANDLE* device, HANDLE* h)
{
    plat::ClearRegistry();
    muxhost::RegisterMuxDriver();
    *device = ActivateMux1();
    ASSERT_NE(*device, INVALID_HANDLE_VALUE);
    *h = OpenMux1();
    ASSERT_NE(*h, INVALID_HANDLE_VALUE);
}

TEST(ClientMisuse, HandlesAndOpensAfterDeactivationFailAndTheNextActivationWorks)
{
    DispatcherRig rig(4);
    HANDLE device = INVALID_HANDLE_VALUE, h = INVALID_HANDLE_VALUE;
    ASSERT_NO_FATAL_FAILURE(ActivateAndOpenMux1(&device, &h));
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "before", 6, &n, nullptr));
    EXPECT_EQ(n, 6u);

    ASSERT_TRUE(DeactivateDevice(device));
    char buf[16] = {};
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, buf, sizeof(buf), &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(WriteFile(h, "after", 5, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The serial calls on the stale handle get the same answer.
    DWORD value = 0;
    SetLastError(0);
    EXPECT_FALSE(SetCommMask(h, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(WaitCommEvent(h, &value, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(GetCommModemStatus(h, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_MUX_CRASHDEBUGCMD, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(OpenMux1(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeactivateDevice(device));  // already gone
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(rig.WaitFor([&] {
        return rig.Modem().DataFromHost(1) == std::vector<uint8_t>({'b', 'e', 'f', 'o', 'r', 'e'});
    }, 1000)) << "the write before the deactivation did not reach the module alone";

    // Nothing was left broken: the instance comes back and carries data.
    device = ActivateMux1();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    h = OpenMux1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteFile(h, "again", 5, &n, nullptr));
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Modem().DataFromHost(1).size() == 11; }, 1000));
    rig.Modem().SendUih(1, {'o', 'k'});
    EXPECT_TRUE(rig.WaitFor([&] {
        return ReadFile(h, buf, sizeof(buf), &n, nullptr) && n == 2 && buf[0] == 'o' && buf[1] == 'k';
    }, 1000));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(DeactivateDevice(device));
    plat::UnregisterStreamDriver("MUX");
    plat::ClearRegistry();
}

// The instance is removed while one client's write is held by the modem's
// flow control and another client waits for communication events: both
// calls fail, and the channel they use is freed only once they have
// returned (the sanitizer build reports any use after the free). The
// removal does not wait out the flow control's own time-out.
TEST(ClientMisuse, DeactivationReleasesAHeldWriteAndAWaitBeforeFreeingTheirChannel)
{
    DispatcherRig rig(6);
    HANDLE device = INVALID_HANDLE_VALUE, h = INVALID_HANDLE_VALUE;
    ASSERT_NO_FATAL_FAILURE(ActivateAndOpenMux1(&device, &h));
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    rig.Modem().SendMsc(1, true);
    SleepMs(50);

    BOOL wrote = TRUE, waited = TRUE;
    DWORD written = 0, events = 0xAA;
    HANDLE writer = RunAsync([&] { wrote = WriteFile(h, "held", 4, &written, nullptr); });
    HANDLE waiter = RunAsync([&] { waited = WaitCommEvent(h, &events, nullptr); });
    SleepMs(200);
    EXPECT_TRUE(rig.Modem().DataFromHost(1).empty()) << "the write was not held";
    const uint64_t start = plat::NowMs();
    EXPECT_TRUE(DeactivateDevice(device));
    EXPECT_LT(plat::NowMs() - start, 5000u) << "the removal waited for the flow control's time-out";
    Join(writer);
    Join(waiter);
    EXPECT_FALSE(wrote);
    EXPECT_FALSE(waited);
    EXPECT_EQ(events, 0u);
    EXPECT_TRUE(rig.Modem().DataFromHost(1).empty());
    EXPECT_TRUE(CloseHandle(h));
    plat::UnregisterStreamDriver("MUX");
    plat::ClearRegistry();
}

}  // namespace
