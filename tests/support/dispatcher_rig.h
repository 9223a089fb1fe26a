// A simulated world with the simulated module (its lines and its serial half
// on "COM9:") and the diagnostic log captured, for tests that bring the
// dispatcher up. The destructor stops the dispatcher, ends the time-out
// thread and closes the port, so that the next world starts from an idle
// dispatcher.
#ifndef MUX_TESTS_DISPATCHER_RIG_H
#define MUX_TESTS_DISPATCHER_RIG_H

#include "log_capture.h"
#include "sim/module.h"
#include "sim_world.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A frame from the host as the module's record has it.
struct HostFrame {
    uint64_t atMs;                // when its closing flag arrived
    std::vector<uint8_t> octets;  // flag to flag
    uint8_t Dlci() const { return octets.size() > 1 ? octets[1] >> 2 : 0xFF; }
    uint8_t Control() const { return octets.size() > 2 ? octets[2] : 0; }
};

class DispatcherRig {
public:
    // The module's timing these tests were written for: the AT+CMUX answer
    // 5 ms after the command, in two pieces ("\r\nO", "K\r\n") 30 ms apart,
    // and UA 2 ms after SABM/DISC.
    static sim::ModuleSettings DefaultModule();

    explicit DispatcherRig(uint64_t seed, const sim::ModuleSettings& module = DefaultModule());
    ~DispatcherRig();

    sim::SimModule& Module() { return *module_; }
    sim::ModuleSerial& Modem() { return module_->Serial(); }
    sim::ModuleLines& Lines() { return module_->Lines(); }
    LogCapture& Log() { return *log_; }

    // Views on the module's record: frames from the host, the text it sent
    // in AT command mode, and when its last AT+CMUX command was complete.
    std::vector<HostFrame> Frames() const;
    std::string AtText() const;
    uint64_t CmuxAtMs() const;

    // Messages (without time stamps) that contain `needle`.
    std::vector<std::string> Logged(const std::string& needle) const { return log_->Matching(needle); }
    // The "Time=%d" value of a message.
    static long TimeOf(const std::string& message);
    // The whole log, for failure messages.
    std::string Dump() const;

    // Sleeps in virtual time until pred() holds or maxMs have passed.
    template <typename Pred>
    bool WaitFor(Pred pred, uint32_t maxMs, uint32_t stepMs = 5);

private:
    SimWorld world_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<sim::SimModule> module_;
};

void SleepMs(uint32_t ms);

template <typename Pred>
bool DispatcherRig::WaitFor(Pred pred, uint32_t maxMs, uint32_t stepMs)
{
    for (uint32_t waited = 0; !pred(); waited += stepMs) {
        if (waited >= maxMs) return false;
        SleepMs(stepMs);
    }
    return true;
}

#endif
