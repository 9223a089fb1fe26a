// The Win32 serial calls on a stream device become the serial I/O controls
// of Windows CE: a fake driver records the codes and buffers it receives.
// On "COM9:" the calls keep their own port.
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "platform/hw/serial_sim.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct Received {
    DWORD code = 0;
    std::vector<BYTE> in;
    DWORD outLen = 0;
    bool outGiven = false;
    bool countGiven = false;
};

struct Recorder {
    std::vector<Received> calls;
    BOOL result = TRUE;
    DWORD error = 0;
};
Recorder* g_rec = nullptr;

// Answers every output buffer with octets 0x40, 0x41, ... so that the caller
// can tell the driver's bytes from its own.
BOOL RecordingIOControl(DWORD_PTR, DWORD code, PBYTE in, DWORD inLen, PBYTE out, DWORD outLen,
                        PDWORD actual)
{
    Received r;
    r.code = code;
    if (in) r.in.assign(in, in + inLen);
    r.outLen = outLen;
    r.outGiven = out != nullptr;
    r.countGiven = actual != nullptr;
    g_rec->calls.push_back(r);
    if (!g_rec->result) {
        SetLastError(g_rec->error);
        return FALSE;
    }
    for (DWORD i = 0; out && i < outLen; ++i) out[i] = (BYTE)(0x40 + i);
    if (actual) *actual = outLen;
    return TRUE;
}

DWORD_PTR Init(LPCWSTR, LPCVOID) { return 1; }
BOOL Deinit(DWORD_PTR) { return TRUE; }
DWORD_PTR Open(DWORD_PTR, DWORD, DWORD) { return 2; }
BOOL Close(DWORD_PTR) { return TRUE; }
DWORD Read(DWORD_PTR, LPVOID, DWORD) { return 0; }
DWORD Write(DWORD_PTR, LPCVOID, DWORD n) { return n; }
DWORD Seek(DWORD_PTR, LONG, DWORD) { return (DWORD)-1; }
void Power(DWORD_PTR) {}

const plat::StreamDriverEntries kEntries = {"SER", Init,  Deinit, Open,  Close, Read,
                                            Write, Seek, RecordingIOControl, Power, Power,
                                            nullptr};

template <class T>
std::vector<BYTE> Bytes(const T& v)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(&v);
    return std::vector<BYTE>(p, p + sizeof v);
}

std::vector<BYTE> Pattern(size_t n)
{
    std::vector<BYTE> v;
    for (size_t i = 0; i < n; ++i) v.push_back((BYTE)(0x40 + i));
    return v;
}

class CommStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::ClearRegistry();
        g_rec = &rec_;
        plat::RegisterStreamDriver(kEntries);
        std::string error;
        ASSERT_TRUE(plat::LoadRegText("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Ser1]\n"
                                      "\"Prefix\"=\"SER\"\n\"Index\"=dword:1\n",
                                      "t.reg", &error));
        device_ = ActivateDeviceEx(u"Drivers\\BuiltIn\\Ser1", nullptr, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, device_);
        h_ = CreateFileW(u"SER1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h_);
    }
    void TearDown() override
    {
        CloseHandle(h_);
        DeactivateDevice(device_);
        plat::UnregisterStreamDriver("SER");
        g_rec = nullptr;
        plat::ClearRegistry();
    }
    // The one control a call made.
    Received Only()
    {
        EXPECT_EQ(1u, rec_.calls.size());
        Received r = rec_.calls.empty() ? Received() : rec_.calls.back();
        rec_.calls.clear();
        return r;
    }

    SimWorld world_{21};
    Recorder rec_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST(IoctlCodes, AreTheValuesOfWindowsCe)
{
    EXPECT_EQ(0x001B0004u, (DWORD)IOCTL_SERIAL_SET_BREAK_ON);
    EXPECT_EQ(0x001B002Cu, (DWORD)IOCTL_SERIAL_WAIT_ON_MASK);
    EXPECT_EQ(0x001B0038u, (DWORD)IOCTL_SERIAL_GET_PROPERTIES);
    EXPECT_EQ(0x001B005Cu, (DWORD)IOCTL_SERIAL_DISABLE_IR);
    EXPECT_EQ(0x00321000u, (DWORD)IOCTL_POWER_CAPABILITIES);
    EXPECT_EQ(0x0032100Cu, (DWORD)IOCTL_POWER_QUERY);
    EXPECT_EQ(0x00321018u, (DWORD)IOCTL_REGISTER_POWER_RELATIONSHIP);
}

// Calls that hand a buffer in: code, length and the caller's bytes.
TEST_F(CommStream, InputCallsPassTheirBuffer)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 10, 1000};
    const DWORD mask = EV_RXCHAR | EV_RING;
    const DWORD purge = PURGE_RXCLEAR | PURGE_TXABORT;
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD code;
        std::vector<BYTE> in;
    };
    const Case cases[] = {
        {"SetCommMask", [&] { return SetCommMask(h_, mask); }, IOCTL_SERIAL_SET_WAIT_MASK,
         Bytes(mask)},
        {"SetCommState", [&] { return SetCommState(h_, &dcb); }, IOCTL_SERIAL_SET_DCB,
         Bytes(dcb)},
        {"SetCommTimeouts", [&] { return SetCommTimeouts(h_, &t); }, IOCTL_SERIAL_SET_TIMEOUTS,
         Bytes(t)},
        {"PurgeComm", [&] { return PurgeComm(h_, purge); }, IOCTL_SERIAL_PURGE, Bytes(purge)},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.call()) << c.what;
        Received r = Only();
        EXPECT_EQ(c.code, r.code) << c.what;
        EXPECT_EQ(c.in, r.in) << c.what;
        EXPECT_EQ(0u, r.outLen) << c.what;
    }
    EXPECT_EQ(28u, Bytes(dcb).size());
}

// Calls that read a buffer back: code, length, and the driver's bytes land
// in the caller's structure.
TEST_F(CommStream, OutputCallsReturnTheDriversBuffer)
{
    DWORD word = 0;
    DCB dcb;
    COMMTIMEOUTS t;
    COMMPROP prop;
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD code;
        const void* out;
        DWORD size;
    };
    const Case cases[] = {
        {"GetCommMask", [&] { return GetCommMask(h_, &word); }, IOCTL_SERIAL_GET_WAIT_MASK,
         &word, 4},
        {"WaitCommEvent", [&] { return WaitCommEvent(h_, &word, nullptr); },
         IOCTL_SERIAL_WAIT_ON_MASK, &word, 4},
        {"GetCommModemStatus", [&] { return GetCommModemStatus(h_, &word); },
         IOCTL_SERIAL_GET_MODEMSTATUS, &word, 4},
        {"GetCommState", [&] { return GetCommState(h_, &dcb); }, IOCTL_SERIAL_GET_DCB, &dcb, 28},
        {"GetCommTimeouts", [&] { return GetCommTimeouts(h_, &t); }, IOCTL_SERIAL_GET_TIMEOUTS,
         &t, 20},
        {"GetCommProperties", [&] { return GetCommProperties(h_, &prop); },
         IOCTL_SERIAL_GET_PROPERTIES, &prop, 64},
    };
    for (const Case& c : cases) {
        word = 0;
        memset(&dcb, 0, sizeof dcb);
        memset(&t, 0, sizeof t);
        memset(&prop, 0, sizeof prop);
        EXPECT_TRUE(c.call()) << c.what;
        Received r = Only();
        EXPECT_EQ(c.code, r.code) << c.what;
        EXPECT_TRUE(r.in.empty()) << c.what;
        EXPECT_EQ(c.size, r.outLen) << c.what;
        EXPECT_TRUE(r.outGiven && r.countGiven) << c.what;
        const BYTE* got = static_cast<const BYTE*>(c.out);
        EXPECT_EQ(Pattern(c.size), std::vector<BYTE>(got, got + c.size)) << c.what;
    }
}

TEST_F(CommStream, ClearCommErrorSplitsTheDeviceStatus)
{
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    ASSERT_TRUE(ClearCommError(h_, &errors, &stat));
    Received r = Only();
    EXPECT_EQ((DWORD)IOCTL_SERIAL_GET_COMMSTATUS, r.code);
    EXPECT_EQ(16u, r.outLen);
    const std::vector<BYTE> p = Pattern(16);
    EXPECT_EQ(std::vector<BYTE>(p.begin(), p.begin() + 4), Bytes(errors));
    EXPECT_EQ(std::vector<BYTE>(p.begin() + 4, p.end()), Bytes(stat));
    EXPECT_TRUE(ClearCommError(h_, nullptr, nullptr));  // both outputs are optional
    EXPECT_EQ((DWORD)IOCTL_SERIAL_GET_COMMSTATUS, Only().code);

    rec_.result = FALSE;
    rec_.error = ERROR_NOT_READY;
    errors = 0x1234;
    EXPECT_FALSE(ClearCommError(h_, &errors, &stat));
    EXPECT_EQ((DWORD)ERROR_NOT_READY, GetLastError());
    EXPECT_EQ(0x1234u, errors) << "a failed call leaves the caller's word alone";
    Only();
}

TEST_F(CommStream, LineFunctionsBecomeTheirCodes)
{
    const struct {
        DWORD func;
        DWORD code;
    } escapes[] = {
        {SETXOFF, IOCTL_SERIAL_SET_XOFF},       {SETXON, IOCTL_SERIAL_SET_XON},
        {SETRTS, IOCTL_SERIAL_SET_RTS},         {CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {SETDTR, IOCTL_SERIAL_SET_DTR},         {CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},  {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
        {SETIR, IOCTL_SERIAL_ENABLE_IR},        {CLRIR, IOCTL_SERIAL_DISABLE_IR},
    };
    for (const auto& e : escapes) {
        EXPECT_TRUE(EscapeCommFunction(h_, e.func)) << e.func;
        Received r = Only();
        EXPECT_EQ(e.code, r.code) << e.func;
        EXPECT_TRUE(r.in.empty() && r.outLen == 0) << e.func;
    }
    EXPECT_TRUE(SetCommBreak(h_));
    EXPECT_EQ((DWORD)IOCTL_SERIAL_SET_BREAK_ON, Only().code);
    EXPECT_TRUE(ClearCommBreak(h_));
    EXPECT_EQ((DWORD)IOCTL_SERIAL_SET_BREAK_OFF, Only().code);

    EXPECT_FALSE(EscapeCommFunction(h_, 7));  // no such function here
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_TRUE(rec_.calls.empty());

    rec_.result = FALSE;
    rec_.error = ERROR_NOT_SUPPORTED;
    EXPECT_FALSE(PurgeComm(h_, PURGE_RXCLEAR));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    Only();
}

// Handles that are no stream device: a file fails as a bad handle; "COM9:"
// keeps its own port, which has no modem status, purge, escape or break.
TEST_F(CommStream, OtherHandlesKeepTheirBehaviour)
{
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD mask = 0;
    EXPECT_FALSE(GetCommMask(ev, &mask));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(ev);

    plat::serial::SimUart uart;
    HANDLE com = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, com);
    EXPECT_TRUE(SetCommMask(com, EV_RXCHAR));
    EXPECT_TRUE(GetCommMask(com, &mask));
    EXPECT_EQ((DWORD)EV_RXCHAR, mask);
    DCB dcb;
    EXPECT_TRUE(GetCommState(com, &dcb));
    EXPECT_EQ(sizeof(DCB), dcb.DCBlength);
    EXPECT_TRUE(ClearCommBreak(com));
    DWORD status = 0;
    COMMPROP prop;
    EXPECT_FALSE(GetCommModemStatus(com, &status));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_FALSE(GetCommProperties(com, &prop));
    EXPECT_FALSE(PurgeComm(com, PURGE_RXCLEAR));
    EXPECT_FALSE(EscapeCommFunction(com, SETDTR));
    EXPECT_FALSE(SetCommBreak(com));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_TRUE(CloseHandle(com));
    EXPECT_TRUE(rec_.calls.empty());
}

}  // namespace
