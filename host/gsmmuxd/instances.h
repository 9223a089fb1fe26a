// The driver's instances as the device manager runs them: loaded from a
// .reg file, activated one by one, deactivated in reverse order.
#ifndef MUX_HOST_GSMMUXD_INSTANCES_H
#define MUX_HOST_GSMMUXD_INSTANCES_H

#include "platform/platform.h"

#include <string>
#include <vector>

namespace gsmmuxd {

struct Instance {
    std::string name;     // device name, "MUX1:"
    HANDLE device;        // what ActivateDeviceEx returned
};

// Registers the driver's entry points, loads `regFile` (empty: the default
// configuration) and activates every instance it declares. On failure
// nothing stays active and `error` says why in one line.
bool ActivateInstances(const std::string& regFile, std::vector<Instance>* out,
                       std::string* error);
// DeactivateDevice on each, last activated first; empties the list.
void DeactivateInstances(std::vector<Instance>* instances);

}  // namespace gsmmuxd

#endif
