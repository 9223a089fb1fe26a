// The device manager against a fake stream driver: activation from a driver
// key, the file calls routed to the entry points with pointer-sized
// contexts, deactivation (and what open handles do after it), boot order,
// suspend and resume, the power-on event and the idle timer.
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

static_assert(sizeof(DWORD_PTR) == sizeof(void*), "contexts hold pointers");

// Context values wider than 32 bits: a device manager that cut them to a
// DWORD would hand the driver something else.
const DWORD_PTR kDevice = static_cast<DWORD_PTR>(0xC0DE000000000000ull);
const DWORD_PTR kOpen = static_cast<DWORD_PTR>(0x0FE0000000000000ull);

std::string Hex(DWORD_PTR v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", (unsigned long long)v);
    return buf;
}

std::u16string ReadString(const std::u16string& path, const std::u16string& name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return u"<no key>";
    WCHAR buf[128] = {};
    DWORD size = sizeof buf - sizeof(WCHAR);
    LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, (LPBYTE)buf, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::u16string(buf) : u"<no value>";
}

// The fake driver: records every entry point call, in order.
struct Fake {
    std::vector<std::string> calls;
    DWORD_PTR inits = 0, opens = 0;
    bool failInit = false, failOpen = false, failRead = false, failWrite = false;
    HANDLE ioctlWait = nullptr;  // IOControl blocks on it when set; PreDeinit sets it
    DWORD ioctlWaitMs = INFINITE;
    HANDLE probe = nullptr;      // PowerUp notes whether it is already signalled
};
Fake* g_fake = nullptr;

void Note(const std::string& s) { g_fake->calls.push_back(s); }

DWORD_PTR FakeInit(LPCWSTR activeKey, LPCVOID bus)
{
    const std::u16string key(activeKey);
    Note("Init " + plat::ToUtf8(key) + " bus=" + Hex((DWORD_PTR)bus) +
         " name=" + plat::ToUtf8(ReadString(key, u"Name")));
    if (g_fake->failInit) {
        SetLastError(ERROR_NOT_READY);
        return 0;
    }
    return kDevice + ++g_fake->inits;
}
BOOL FakeDeinit(DWORD_PTR dc)
{
    Note("Deinit " + Hex(dc));
    return TRUE;
}
BOOL FakePreDeinit(DWORD_PTR dc)
{
    Note("PreDeinit " + Hex(dc));
    if (g_fake->ioctlWait) SetEvent(g_fake->ioctlWait);
    return TRUE;
}
DWORD_PTR FakeOpen(DWORD_PTR dc, DWORD access, DWORD share)
{
    Note("Open " + Hex(dc) + " " + Hex(access) + " " + Hex(share));
    if (g_fake->failOpen) {
        SetLastError(ERROR_NOT_READY);
        return 0;
    }
    return kOpen + ++g_fake->opens;
}
BOOL FakeClose(DWORD_PTR oc)
{
    Note("Close " + Hex(oc));
    return TRUE;
}
DWORD FakeRead(DWORD_PTR oc, LPVOID buf, DWORD count)
{
    Note("Read " + Hex(oc) + " " + std::to_string(count));
    if (g_fake->failRead) {
        SetLastError(ERROR_NOT_READY);
        return (DWORD)-1;
    }
    const DWORD n = count < 3 ? count : 3;
    memcpy(buf, "abc", n);
    return n;
}
DWORD FakeWrite(DWORD_PTR oc, LPCVOID buf, DWORD count)
{
    Note("Write " + Hex(oc) + " " + std::string((const char*)buf, count));
    return g_fake->failWrite ? (DWORD)-1 : count;
}
DWORD FakeSeek(DWORD_PTR oc, LONG amount, DWORD type)
{
    Note("Seek " + Hex(oc) + " " + std::to_string(amount) + " " + std::to_string(type));
    return (DWORD)-1;
}
BOOL FakeIOControl(DWORD_PTR oc, DWORD code, PBYTE in, DWORD inLen, PBYTE out, DWORD outLen,
                   PDWORD actual)
{
    Note("IOControl " + Hex(oc) + " " + Hex(code) + " in=" + std::to_string(inLen) +
         " out=" + std::to_string(outLen));
    if (g_fake->ioctlWait) {
        WaitForSingleObject(g_fake->ioctlWait, g_fake->ioctlWaitMs);
        Note("IOControl released");
        return FALSE;
    }
    if (out && outLen >= 4 && in && inLen >= 4) memcpy(out, in, 4);
    if (actual) *actual = 4;
    return TRUE;
}
void FakePowerUp(DWORD_PTR dc)
{
    const bool early = g_fake->probe && WaitForSingleObject(g_fake->probe, 0) == WAIT_OBJECT_0;
    Note("PowerUp " + Hex(dc) + (early ? " (power-on event already set)" : ""));
}
void FakePowerDown(DWORD_PTR dc) { Note("PowerDown " + Hex(dc)); }

const plat::StreamDriverEntries kFakeEntries = {
    "TST",    FakeInit,      FakeDeinit,  FakeOpen,      FakeClose, FakeRead,
    FakeWrite, FakeSeek, FakeIOControl, FakePowerUp, FakePowerDown, FakePreDeinit};

class DevMgr : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::ClearRegistry();
        g_fake = &fake_;
        plat::RegisterStreamDriver(kFakeEntries);
    }
    void TearDown() override
    {
        for (HANDLE d : devices_) DeactivateDevice(d);
        plat::UnregisterStreamDriver("TST");
        g_fake = nullptr;
        plat::ClearRegistry();
    }

    // A driver key "Drivers\BuiltIn\<name>" for the fake driver.
    static void DriverKey(const std::string& name, const std::string& extra)
    {
        std::string error;
        ASSERT_TRUE(plat::LoadRegText("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\" + name +
                                          "]\n\"Prefix\"=\"TST\"\n" + extra,
                                      "test.reg", &error))
            << error;
    }
    HANDLE Activate(const std::string& name, LPVOID bus = nullptr)
    {
        const std::u16string key = u"Drivers\\BuiltIn\\" + plat::FromUtf8(name);
        HANDLE d = ActivateDeviceEx(key.c_str(), nullptr, 0, bus);
        if (d != INVALID_HANDLE_VALUE) devices_.push_back(d);
        return d;
    }
    void Deactivate(HANDLE d)
    {
        EXPECT_TRUE(DeactivateDevice(d));
        devices_.erase(std::find(devices_.begin(), devices_.end(), d));
    }
    std::vector<std::string> Take()
    {
        std::vector<std::string> c;
        c.swap(fake_.calls);
        return c;
    }

    SimWorld world_{11};
    Fake fake_;
    std::vector<HANDLE> devices_;
};

using Calls = std::vector<std::string>;

TEST_F(DevMgr, ActivationCreatesActiveKeyCallsInitAndRoutesTheName)
{
    DriverKey("Tst4", "\"Index\"=dword:4\n");
    HANDLE dev = Activate("Tst4", (LPVOID)(uintptr_t)0xB05);
    ASSERT_NE(INVALID_HANDLE_VALUE, dev);
    ASSERT_NE(nullptr, dev);
    const std::string dc = Hex(kDevice + 1);
    EXPECT_EQ((Calls{"Init Drivers\\Active\\01 bus=b05 name=TST4:"}), Take());
    EXPECT_EQ(u"Drivers\\BuiltIn\\Tst4", ReadString(u"Drivers\\Active\\01", u"Key"));
    EXPECT_EQ(u"TST4:", ReadString(u"Drivers\\Active\\01", u"Name"));

    HANDLE h = CreateFileW(u"tst4:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    const std::string oc = Hex(kOpen + 1);
    char buf[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(std::string("abc"), std::string(buf, n));
    EXPECT_TRUE(WriteFile(h, "AT\r", 3, &n, nullptr));
    EXPECT_EQ(3u, n);
    EXPECT_EQ((DWORD)-1, SetFilePointer(h, 5, nullptr, FILE_END));
    DWORD in = 0x11223344, out = 0, got = 0;
    EXPECT_TRUE(DeviceIoControl(h, 0x001B0024, &in, 4, &out, 4, &got, nullptr));
    EXPECT_EQ(0x11223344u, out);
    EXPECT_EQ(4u, got);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ((Calls{"Open " + dc + " c0000000 0", "Read " + oc + " 8", "Write " + oc + " AT\r",
                     "Seek " + oc + " 5 2", "IOControl " + oc + " 1b0024 in=4 out=4",
                     "Close " + oc}),
              Take());

    Deactivate(dev);
    EXPECT_EQ((Calls{"PreDeinit " + dc, "Deinit " + dc}), Take());
    EXPECT_EQ(u"<no key>", ReadString(u"Drivers\\Active\\01", u"Key"));
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(u"TST4:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_TRUE(Take().empty());
}

TEST_F(DevMgr, DriverFailuresReachTheCaller)
{
    DriverKey("Tst1", "\"Index\"=dword:1\n");
    fake_.failInit = true;
    EXPECT_EQ(INVALID_HANDLE_VALUE, Activate("Tst1"));
    EXPECT_EQ((DWORD)ERROR_NOT_READY, GetLastError());
    EXPECT_EQ(u"<no key>", ReadString(u"Drivers\\Active\\01", u"Name"));
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(u"TST1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));

    fake_.failInit = false;
    ASSERT_NE(INVALID_HANDLE_VALUE, Activate("Tst1"));
    fake_.failOpen = true;
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(u"TST1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_NOT_READY, GetLastError());

    fake_.failOpen = false;
    HANDLE h = CreateFileW(u"TST1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    fake_.failRead = fake_.failWrite = true;
    char buf[4];
    DWORD n = 99;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_EQ((DWORD)ERROR_NOT_READY, GetLastError());
    n = 99;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DevMgr, ActivationRefusesBadKeys)
{
    DriverKey("Tst1", "\"Index\"=dword:1\n");
    DriverKey("Again", "\"Index\"=dword:1\n");
    std::string error;
    ASSERT_TRUE(plat::LoadRegText("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Other]\n"
                                  "\"Prefix\"=\"XYZ\"\n"
                                  "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\NoPrefix]\n"
                                  "\"Index\"=dword:1\n"
                                  "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\NumPrefix]\n"
                                  "\"Prefix\"=dword:545354\n",
                                  "t.reg", &error));
    struct Case {
        const char* key;
        DWORD error;
    };
    ASSERT_NE(INVALID_HANDLE_VALUE, Activate("Tst1"));
    for (const Case& c : {Case{"Missing", ERROR_FILE_NOT_FOUND}, Case{"Other", ERROR_FILE_NOT_FOUND},
                          Case{"NoPrefix", ERROR_INVALID_PARAMETER},
                          Case{"NumPrefix", ERROR_INVALID_PARAMETER},
                          Case{"Again", ERROR_ALREADY_EXISTS}}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, Activate(c.key)) << c.key;
        EXPECT_EQ(c.error, GetLastError()) << c.key;
    }
    EXPECT_EQ((std::vector<std::u16string>{u"01"}), plat::RegistrySubkeys(u"Drivers\\Active"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, ActivateDeviceEx(u"Drivers\\BuiltIn\\Tst1", "x", 1, nullptr));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_FALSE(DeactivateDevice((HANDLE)(uintptr_t)0x1234));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(DevMgr, WithoutIndexTheFirstFreeNameAndActiveKeyAreTaken)
{
    DriverKey("A", "");
    DriverKey("B", "");
    HANDLE a = Activate("A");
    HANDLE b = Activate("B");
    ASSERT_NE(INVALID_HANDLE_VALUE, b);
    EXPECT_EQ(u"TST1:", ReadString(u"Drivers\\Active\\01", u"Name"));
    EXPECT_EQ(u"TST2:", ReadString(u"Drivers\\Active\\02", u"Name"));
    Deactivate(a);
    HANDLE again = Activate("A");
    ASSERT_NE(INVALID_HANDLE_VALUE, again);
    EXPECT_EQ(u"TST1:", ReadString(u"Drivers\\Active\\01", u"Name"));
    EXPECT_NE(a, again) << "a device handle is never reused";
    EXPECT_FALSE(DeactivateDevice(a));
}

// Handles opened before DeactivateDevice fail cleanly afterwards and never
// reach the driver again; closing them succeeds without a driver Close.
TEST_F(DevMgr, HandlesOfADeactivatedInstanceFailWithoutReachingTheDriver)
{
    DriverKey("Tst2", "\"Index\"=dword:2\n");
    HANDLE dev = Activate("Tst2");
    HANDLE h = CreateFileW(u"TST2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    Deactivate(dev);
    Take();

    char buf[4];
    DWORD n = 0, got = 0;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(DeviceIoControl(h, 0x001B0024, nullptr, 0, buf, 4, &got, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, nullptr, FILE_BEGIN));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(Take().empty());
    plat::SystemSuspend();
    plat::SystemResume();
    EXPECT_TRUE(Take().empty()) << "no power calls for a removed instance";
}

// Deinit never frees what a call still inside the driver uses: PreDeinit
// wakes the blocked caller, and Deinit comes once it has returned. A driver
// without PreDeinit is waited for until its call returns by itself.
TEST_F(DevMgr, DeinitWaitsForTheCallsInsideTheDriver)
{
    for (const bool withPreDeinit : {true, false}) {
        SCOPED_TRACE(withPreDeinit ? "with PreDeinit" : "without PreDeinit");
        plat::StreamDriverEntries entries = kFakeEntries;
        if (!withPreDeinit) entries.PreDeinit = nullptr;
        plat::RegisterStreamDriver(entries);
        DriverKey("Tst3", "\"Index\"=dword:3\n");
        HANDLE dev = Activate("Tst3");
        HANDLE h = CreateFileW(u"TST3:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        Take();
        fake_.ioctlWait = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        fake_.ioctlWaitMs = withPreDeinit ? INFINITE : 700;
        struct Waiter {
            HANDLE h;
            BOOL result = TRUE;
        } waiter{h};
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto* w = static_cast<Waiter*>(p);
                DWORD out = 0, got = 0;
                w->result = DeviceIoControl(w->h, 0x001B002C, nullptr, 0, &out, 4, &got, nullptr);
                return 0;
            },
            &waiter, 0, nullptr);
        Sleep(100);
        const DWORD before = GetTickCount();
        Deactivate(dev);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0)) << "the call returned before the removal";
        if (!withPreDeinit) {
            EXPECT_GE(GetTickCount() - before, 500u);
        }
        EXPECT_FALSE(waiter.result);
        const std::string dc = Hex(kDevice + fake_.inits);
        Calls expected = {"IOControl " + Hex(kOpen + fake_.opens) + " 1b002c in=0 out=4"};
        if (withPreDeinit) expected.push_back("PreDeinit " + dc);
        expected.push_back("IOControl released");
        expected.push_back("Deinit " + dc);
        EXPECT_EQ(expected, Take());
        CloseHandle(t);
        CloseHandle(h);
        CloseHandle(fake_.ioctlWait);
        fake_.ioctlWait = nullptr;
    }
}

TEST_F(DevMgr, BootActivatesBuiltInKeysByOrder)
{
    DriverKey("Zed", "\"Index\"=dword:3\n");  // no Order: last
    DriverKey("Late", "\"Index\"=dword:2\n\"Order\"=dword:30\n");
    DriverKey("Early", "\"Index\"=dword:1\n\"Order\"=dword:10\n");
    std::string error;
    ASSERT_TRUE(plat::LoadRegText("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n"
                                  "\"Prefix\"=\"XYZ\"\n\"Order\"=dword:0\n",
                                  "t.reg", &error));
    const auto results = plat::ActivateBuiltInDrivers();
    ASSERT_EQ(4u, results.size());
    EXPECT_EQ(u"Drivers\\BuiltIn\\Serial", results[0].key);
    EXPECT_EQ(INVALID_HANDLE_VALUE, results[0].device);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, results[0].error);
    EXPECT_EQ(u"Drivers\\BuiltIn\\Early", results[1].key);
    EXPECT_EQ(u"Drivers\\BuiltIn\\Late", results[2].key);
    EXPECT_EQ(u"Drivers\\BuiltIn\\Zed", results[3].key);
    for (size_t i = 1; i < results.size(); ++i) {
        ASSERT_NE(INVALID_HANDLE_VALUE, results[i].device);
        EXPECT_EQ(0u, results[i].error);
        devices_.push_back(results[i].device);
    }
    EXPECT_EQ((Calls{"Init Drivers\\Active\\01 bus=0 name=TST1:",
                     "Init Drivers\\Active\\02 bus=0 name=TST2:",
                     "Init Drivers\\Active\\03 bus=0 name=TST3:"}),
              Take());
}

// Suspend: the last activated first; resume: in activation order, and only
// then the power-on events, once each.
TEST_F(DevMgr, SuspendAndResumeOrderAndThePowerOnEvent)
{
    for (const char* k : {"P1", "P2", "P3"}) DriverKey(k, "");
    for (const char* k : {"P1", "P2", "P3"}) ASSERT_NE(INVALID_HANDLE_VALUE, Activate(k));
    HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, u"PowerOnTest");
    HANDLE handed = CreateEventW(nullptr, TRUE, FALSE, u"PowerOnTest");
    EXPECT_TRUE(CeSetPowerOnEvent(handed));
    EXPECT_TRUE(CeSetPowerOnEvent(handed));
    EXPECT_TRUE(CloseHandle(handed));  // the service keeps the event itself
    Take();

    plat::SystemSuspend();
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(mine, 0));
    fake_.calls.clear();
    fake_.probe = mine;
    plat::SystemResume();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mine, 0));
    const std::string d1 = Hex(kDevice + 1), d2 = Hex(kDevice + 2), d3 = Hex(kDevice + 3);
    EXPECT_EQ((Calls{"PowerUp " + d1, "PowerUp " + d2, "PowerUp " + d3}), Take());

    // One-shot: a second resume does not signal it again.
    ResetEvent(mine);
    plat::SystemSuspend();
    plat::SystemResume();
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(mine, 0));
    EXPECT_EQ((Calls{"PowerDown " + d3, "PowerDown " + d2, "PowerDown " + d1, "PowerUp " + d1,
                     "PowerUp " + d2, "PowerUp " + d3}),
              Take());
    fake_.probe = nullptr;
    CloseHandle(mine);

    EXPECT_FALSE(CeSetPowerOnEvent((HANDLE)(uintptr_t)0x4444));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    HANDLE file = CreateFileW(u"TST1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_FALSE(CeSetPowerOnEvent(file));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(file);
}

TEST(IdleTimer, CountsAndTimeStampsEveryResetPerWorld)
{
    {
        SimWorld world(5);
        EXPECT_EQ(0u, plat::IdleTimerResetCount());
        Sleep(1000);
        SystemIdleTimerReset();
        EXPECT_EQ(1u, plat::IdleTimerResetCount());
        EXPECT_EQ(1000u, plat::LastIdleTimerResetMs());
        Sleep(500);
        SystemIdleTimerReset();
        EXPECT_EQ(2u, plat::IdleTimerResetCount());
        EXPECT_EQ(1500u, plat::LastIdleTimerResetMs());
    }
    SimWorld next(5);
    EXPECT_EQ(0u, plat::IdleTimerResetCount());
    EXPECT_EQ(0u, plat::LastIdleTimerResetMs());
}

}  // namespace
