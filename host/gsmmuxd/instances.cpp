#include "instances.h"

namespace gsmmuxd {

// The device manager (plat::RegisterStreamDriver, plat::LoadRegFile,
// ActivateDeviceEx, DeactivateDevice in platform/devmgr.h) and the driver's
// entry-point table are not in this tree yet: there is nothing to load or
// activate, and saying so is all these can do until they are.
const char kNotYet[] = "this build has no device manager for the driver's instances yet";

bool LoadConfiguration(const std::string& regFile, std::string* error)
{
    (void)regFile;
    *error = kNotYet;
    return false;
}

bool ActivateInstances(std::vector<Instance>* out, std::string* error)
{
    out->clear();
    *error = kNotYet;
    return false;
}

void DeactivateInstances(std::vector<Instance>* instances)
{
    // Nothing can have been activated (see ActivateInstances).
    instances->clear();
}

}  // namespace gsmmuxd
