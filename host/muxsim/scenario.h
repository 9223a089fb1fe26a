// What muxsim's client does once the device manager has activated the
// instances: one function per scenario, found by name.
#ifndef MUX_HOST_MUXSIM_SCENARIO_H
#define MUX_HOST_MUXSIM_SCENARIO_H

#include "client.h"
#include "sim/module.h"

#include <string>
#include <vector>

namespace muxsim {

// What a scenario works with. The client is the radio interface layer and
// reaches the driver through the serial API only; the module is the world
// around the phone (a crash, a line fault), which the client never touches.
struct ScenarioContext {
    RilClient& client;
    std::vector<std::string> ports;  // from the active keys, in order
    sim::SimModule& module;
};

// Runs on the simulation's main thread. Returns true when the scenario went
// as the phone expects; otherwise false with a one-line *reason.
using ScenarioFn = bool (*)(ScenarioContext& context, std::string* reason);

struct Scenario {
    const char* name;
    const char* help;
    ScenarioFn run;
};

const std::vector<Scenario>& Scenarios();
const Scenario* FindScenario(const std::string& name);

}  // namespace muxsim

#endif
