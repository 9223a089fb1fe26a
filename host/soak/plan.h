// What one soak run does, drawn from one PRNG seeded with the run's seed:
// the instances (written as a registry file), the module's settings and
// faults, what the modem does on its own during the fault window, and each
// client thread's operations. Printing the plan shows every drawn value, so
// the seed alone reproduces a run.
#ifndef MUX_HOST_SOAK_PLAN_H
#define MUX_HOST_SOAK_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

struct Instance {
    int index = 1;  // "MUX<index>:"
    int dlci = 1;
    int type = 1;   // GSM_0710_TYPE
    int order = 20;
    std::string Name() const { return "MUX" + std::to_string(index) + ":"; }
};

// What the modem does unasked, at a time in the fault window.
enum class ModemAct {
    Disc,      // DISC on a user DLCI
    Sabm,      // SABM on a user DLCI
    Dm,        // DM on a user DLCI
    Cld,       // CLD on DLCI 0
    DiscZero,  // DISC on DLCI 0
    FcOn,      // MSC with FC = 1 on a user DLCI
    FcOff,     // MSC with FC = 0
    Break,     // a break on the line
    Garbage,   // octets inserted between frames
    Data,      // a UIH frame of data on a user DLCI
    Crash,     // GSM_RF_OK falls and stays low
    Glitch,    // GSM_RF_OK low for a moment: the module rebooted
};

struct ModemEvent {
    uint32_t atMs = 0;
    ModemAct act = ModemAct::Data;
    int dlci = 0;
    std::vector<uint8_t> octets;  // Garbage and Data
};

enum class OpKind {
    Open,         // CreateFileW
    Close,        // CloseHandle
    Read,         // ReadFile of `arg` octets
    Write,        // WriteFile: "AT\r" or `arg` drawn octets
    Wait,         // SetCommMask(EV_RXCHAR), WaitCommEvent; released by the waker
    Mask,         // SetCommMask(arg) on a port another thread may wait on
    ModemStatus,  // GetCommModemStatus
    Reinit,       // IOCTL_MUX_MODULEREINIT
    CrashCheck,   // IOCTL_MUX_CRASHDEBUGCMD
    Power,        // system suspend, `arg` ms, resume
    Reactivate,   // DeactivateDevice, `arg` ms, ActivateDeviceEx
    Misuse,       // calls with null buffers and bad lengths, kind `arg`
};

struct Op {
    uint32_t pauseMs = 0;  // before the operation
    OpKind kind = OpKind::Read;
    int instance = 0;      // index into Plan::instances
    uint32_t arg = 0;
};

struct Plan {
    uint64_t seed = 0;
    std::vector<Instance> instances;
    std::string regText;
    std::vector<std::string> faults;  // module settings as KEY=VALUE, undone at faultEndMs
    uint32_t faultEndMs = 0;
    uint32_t wakePeriodMs = 0;        // the waker's period for waiting clients
    std::vector<ModemEvent> modemEvents;
    std::vector<std::vector<Op>> clients;
};

Plan Draw(uint64_t seed);
// One line per drawn value, in drawing order.
std::vector<std::string> Describe(const Plan& plan);
const char* OpName(OpKind kind);

}  // namespace soak

#endif
