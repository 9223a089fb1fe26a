// A simulated world with the module lines, a scripted modem on "COM9:" and
// the diagnostic log captured, for tests that bring the dispatcher up. The
// destructor stops the dispatcher, ends the time-out thread and closes the
// port, so that the next world starts from an idle dispatcher.
#ifndef MUX_TESTS_DISPATCHER_RIG_H
#define MUX_TESTS_DISPATCHER_RIG_H

#include "log_capture.h"
#include "module_lines.h"
#include "scripted_modem.h"
#include "sim_world.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DispatcherRig {
public:
    explicit DispatcherRig(uint64_t seed, const ModemScript& script = ModemScript());
    ~DispatcherRig();

    ScriptedModem& Modem() { return *modem_; }
    sim::ModuleLines& Lines() { return *lines_; }
    LogCapture& Log() { return *log_; }

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
    std::unique_ptr<sim::ModuleLines> lines_;
    std::unique_ptr<ScriptedModem> modem_;
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
