// What muxsim's client does once the device manager has activated the
// instances: one function per scenario, found by name.
#ifndef MUX_HOST_MUXSIM_SCENARIO_H
#define MUX_HOST_MUXSIM_SCENARIO_H

#include "client.h"

#include <string>
#include <vector>

namespace muxsim {

// Runs on the simulation's main thread with the ports named in `ports`
// (from the active keys, in order). Returns true when every port answered;
// otherwise false with a one-line *reason.
using ScenarioFn = bool (*)(RilClient& client, const std::vector<std::string>& ports, std::string* reason);

struct Scenario {
    const char* name;
    const char* help;
    ScenarioFn run;
};

const std::vector<Scenario>& Scenarios();
const Scenario* FindScenario(const std::string& name);

}  // namespace muxsim

#endif
