// The driver's instances as the device manager runs them: the configuration
// loaded from a .reg file, every instance it declares activated, and all of
// them deactivated again in reverse order.
#ifndef MUX_HOST_GSMMUXD_INSTANCES_H
#define MUX_HOST_GSMMUXD_INSTANCES_H

#include "platform/platform.h"

#include <string>
#include <vector>

namespace gsmmuxd {

struct Instance {
    std::string name;  // device name, "MUX1:"
    HANDLE device;     // what ActivateDeviceEx returned
    int dlci = 0;      // its "GSM_0710_DLCI"
    std::u16string key;  // its driver key
};

// Loads `regFile` (empty: muxhost::DefaultConfigurationPath()) into the
// registry.
// False with "FILE:LINE: what is wrong" (or why the file cannot be read).
bool LoadConfiguration(const std::string& regFile, std::string* error);
// Registers the driver's entry points and activates every instance the
// configuration declares. On failure nothing stays active and `error` says
// why in one line.
bool ActivateInstances(std::vector<Instance>* out, std::string* error);
// Deactivates the instance and activates its driver key again: a channel
// that could not be set up is tried anew. False with `error` when the
// activation fails (the instance is then inactive).
bool ReactivateInstance(Instance* instance, std::string* error);
// DeactivateDevice on each, last activated first; empties the list.
void DeactivateInstances(std::vector<Instance>* instances);

}  // namespace gsmmuxd

#endif
