// Runs a drawn plan against the whole system in simulated time: the device
// manager loads the plan's registry text and activates the instances, the
// simulated module runs with the plan's faults, the clients run their
// operations while the modem does its own, and then, with the faults
// undone, the checks: every port recovers within a bound, carries data both
// ways octet for octet, and releases a waiting client within a bound.
#ifndef MUX_HOST_SOAK_RUN_H
#define MUX_HOST_SOAK_RUN_H

#include "plan.h"
#include "sim/frame_record.h"

#include <string>
#include <vector>

namespace soak {

struct Bounds {
    uint32_t clientEndMs = 60000;  // faults undone to every client thread ended
    uint32_t recoverMs = 60000;    // faults undone to every port answering AT
    uint32_t releaseMs = 1000;     // data or a mask change to the waiting client's release
    uint32_t deliverMs = 2000;     // a write or the module's frame to the far end
};

struct Result {
    bool ok = true;
    std::vector<std::string> failures;  // one line each
    std::vector<std::string> notes;     // what the run saw, for the log
    sim::FrameRecord record;            // the line, both ways
};

Result Run(const Plan& plan, const Bounds& bounds = Bounds());

}  // namespace soak

#endif
