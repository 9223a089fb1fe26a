#include "instances.h"

namespace gsmmuxd {

// The device manager (plat::RegisterStreamDriver, plat::LoadRegFile,
// ActivateDeviceEx, DeactivateDevice in platform/devmgr.h) and the driver's
// entry-point table are not in this tree yet: there is nothing to activate,
// and saying so is all this can do until they are.
bool ActivateInstances(const std::string& regFile, std::vector<Instance>* out,
                       std::string* error)
{
    (void)regFile;
    out->clear();
    *error = "this build has no device manager for the driver's instances yet";
    return false;
}

void DeactivateInstances(std::vector<Instance>* instances)
{
    // Nothing can have been activated (see ActivateInstances).
    instances->clear();
}

}  // namespace gsmmuxd
