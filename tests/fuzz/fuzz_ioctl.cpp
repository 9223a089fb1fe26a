// MUX_IOControl fed from the fuzzer on a live port: one simulated world for
// the whole process (the simulated module up, two instances started and
// opened, "MUX1:" of type 1 on DLCI 1 and "MUX2:" of type 0 on DLCI 2), so
// that each input costs only its calls. An input that leaves a port unusable
// (a re-initialisation that failed, the crash branch's stop) is followed by
// an open that brings it back, which must succeed.
//
// The input is a sequence of calls, each made of: a code octet (below the
// table's size one of the known codes, the serial codes, the power manager's
// and the driver's own; otherwise the next four octets are the code), a
// flags octet (bit 0 the port, bits 1 to 3 a null input buffer, a null
// output buffer, a null count pointer; bits 4 to 7 pick the lengths), and
// up to 28 octets of input buffer. Buffers are exactly as long as their
// length says, so that any access past it is a finding; a length of
// 0xFFFFFFFF comes with a buffer of 64 octets, the largest layout a code
// copies. A wait on the event mask is ended by a mask change from another
// thread, as a client's second thread does. The two codes that take the
// multiplexer down run only with a flags octet of 0xFF.
#include "fuzz_common.h"

#include "driver/mux.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "sim/module.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const DWORD kCodes[] = {
    IOCTL_SERIAL_SET_BREAK_ON,   IOCTL_SERIAL_SET_BREAK_OFF,  IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,        IOCTL_SERIAL_SET_RTS,        IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_XOFF,       IOCTL_SERIAL_SET_XON,        IOCTL_SERIAL_GET_WAIT_MASK,
    IOCTL_SERIAL_SET_WAIT_MASK,  IOCTL_SERIAL_WAIT_ON_MASK,   IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_SET_TIMEOUTS,
    IOCTL_SERIAL_GET_TIMEOUTS,   IOCTL_SERIAL_PURGE,          IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_GET_DCB,        IOCTL_SERIAL_SET_DCB,
    IOCTL_SERIAL_ENABLE_IR,      IOCTL_SERIAL_DISABLE_IR,     IOCTL_POWER_CAPABILITIES,
    IOCTL_POWER_GET,             IOCTL_POWER_SET,             IOCTL_POWER_QUERY,
    IOCTL_REGISTER_POWER_RELATIONSHIP, IOCTL_MUX_MODULEREINIT, IOCTL_MUX_RESERVED,
    IOCTL_MUX_CRASHDEBUGCMD,
};
const size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
const DWORD kHuge = 0xFFFFFFFFu;
const size_t kLargestLayout = 64;

const char kReg[] =
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n\"GSM_0710_DLCI\"=dword:1\n\"GSM_0710_TYPE\"=dword:1\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX2]\n\"GSM_0710_DLCI\"=dword:2\n\"GSM_0710_TYPE\"=dword:0\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\01]\n\"Key\"=\"Drivers\\\\BuiltIn\\\\MUX1\"\n\"Name\"=\"MUX1:\"\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\02]\n\"Key\"=\"Drivers\\\\BuiltIn\\\\MUX2\"\n\"Name\"=\"MUX2:\"\n";

struct Port {
    DWORD_PTR device = 0;
    DWORD_PTR open = 0;
};
Port g_ports[2];
// The world lives as long as the process: every input uses it.
sim::SimModule* g_module = nullptr;

// A client's second thread, for the process too: when `g_release` is set it
// changes the event mask of `g_releasePort` 50 ms later, which ends a wait
// on it, and then sets `g_released`. One thread for all inputs, as a thread
// per wait would leave its bookkeeping behind in the simulation.
HANDLE g_release = NULL;
HANDLE g_released = NULL;
DWORD_PTR g_releasePort = 0;

DWORD WINAPI Releaser(LPVOID)
{
    for (;;) {
        WaitForSingleObject(g_release, INFINITE);
        Sleep(50);
        DWORD mask = EV_RXCHAR, n = 0;
        MUX_IOControl(g_releasePort, IOCTL_SERIAL_SET_WAIT_MASK, reinterpret_cast<PBYTE>(&mask), sizeof(mask),
                      nullptr, 0, &n);
        SetEvent(g_released);
    }
}

// Once per process: the world every input reuses.
void SetUpWorld()
{
    FuzzLogOn();
    plat::SetDebugSink([](const std::u16string&) {});
    plat::BeginSimulation(1);
    sim::ModuleSettings settings;
    settings.serial.modem.modemDlcis = ~uint64_t(1);
    g_module = new sim::SimModule(settings);
    std::string error;
    FuzzCheck(plat::LoadRegText(kReg, "fuzz_ioctl.reg", &error), "registry text");
    const char16_t* keys[2] = {u"Drivers\\Active\\01", u"Drivers\\Active\\02"};
    for (int i = 0; i < 2; i++) {
        g_ports[i].device = MUX_Init(keys[i], nullptr);
        FuzzCheck(g_ports[i].device != 0, "MUX_Init");
    }
    for (Port& p : g_ports) {
        p.open = MUX_Open(p.device, GENERIC_READ | GENERIC_WRITE, 0);
        FuzzCheck(p.open != 0, "MUX_Open at start");
    }
    g_release = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_released = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    FuzzCheck(CreateThread(nullptr, 0, Releaser, nullptr, 0, nullptr) != NULL, "the releasing thread");
}

// A port the last input left unusable is opened again, as its client would.
void Restore()
{
    for (Port& p : g_ports) {
        DWORD n = 0;
        if (MUX_IOControl(p.open, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n)) continue;
        p.open = MUX_Open(p.device, GENERIC_READ | GENERIC_WRITE, 0);
        FuzzCheck(p.open != 0, "a port could not be opened again after an input");
    }
}

DWORD Length(unsigned pick, PieceReader* in)
{
    switch (pick) {
    case 0: return 0;
    case 1: return kHuge;
    case 2: return in->Octet() % 70;  // around every layout's size
    default: return 4;
    }
}

std::vector<uint8_t> Buffer(DWORD length, const uint8_t* fill, size_t fillLength)
{
    std::vector<uint8_t> b(length == kHuge ? kLargestLayout : length);
    const size_t n = std::min(fillLength, b.size());
    if (n != 0) std::memcpy(b.data(), fill, n);
    return b;
}

void OneCall(PieceReader* in)
{
    const uint8_t pick = in->Octet();
    DWORD code = 0;
    if (pick < kCodeCount * 4) {
        code = kCodes[pick % kCodeCount];
    } else {
        for (int i = 0; i < 4; i++) code = (code << 8) | in->Octet();
    }
    const uint8_t flags = in->Octet();
    // Re-initialisation and the crash check take the multiplexer down (and
    // up again), a hundred times the cost of a plain call: they run only
    // with all flags set, and are otherwise the reserved code.
    if ((code == IOCTL_MUX_MODULEREINIT || code == IOCTL_MUX_CRASHDEBUGCMD) && flags != 0xFF) {
        code = IOCTL_MUX_RESERVED;
    }
    const DWORD_PTR open = g_ports[flags & 1].open;
    const DWORD inLength = Length((flags >> 4) & 3, in);
    const DWORD outLength = Length((flags >> 6) & 3, in);
    size_t fillLength = 0;
    const uint8_t* fill = in->Take(28, &fillLength);
    std::vector<uint8_t> inBuf = Buffer(inLength, fill, fillLength);
    std::vector<uint8_t> outBuf = Buffer(outLength, fill, 0);
    DWORD count = 0xDEADBEEF;
    PBYTE inPtr = (flags & 2) || inBuf.empty() ? nullptr : inBuf.data();
    PBYTE outPtr = (flags & 4) || outBuf.empty() ? nullptr : outBuf.data();
    PDWORD countPtr = (flags & 8) ? nullptr : &count;

    const bool wait = code == IOCTL_SERIAL_WAIT_ON_MASK;
    if (wait) {
        g_releasePort = open;
        SetEvent(g_release);
    }
    SetLastError(0);
    const BOOL ok = MUX_IOControl(open, code, inPtr, inLength, outPtr, outLength, countPtr);
    if (wait) WaitForSingleObject(g_released, INFINITE);

    if (countPtr != nullptr) {
        FuzzCheck(count != 0xDEADBEEF, "the returned byte count was not written");
        FuzzCheck(count == 0 || (outPtr != nullptr && count <= outLength),
                  "a byte count past the output buffer");
    }
    if ((code >> 16) == 0x0710) FuzzCheck(!ok, "a driver's own code returned TRUE");
    bool known = false;
    for (DWORD c : kCodes) known = known || c == code;
    if (!known) FuzzCheck(!ok && GetLastError() != 0, "an unknown code did not fail with an error");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool once = (SetUpWorld(), true);
    (void)once;
    PieceReader in(data, size);
    while (in.More()) OneCall(&in);
    Restore();
    FuzzLogReset();
    return 0;
}
