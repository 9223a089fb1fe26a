// Between the device manager (devmgr.cpp) and the power services
// (power.cpp). Platform-internal.
#ifndef MUX_PLATFORM_DEVMGR_IMPL_H
#define MUX_PLATFORM_DEVMGR_IMPL_H

namespace plat::devmgr {

// Every active instance's PowerUp (in activation order) or PowerDown (last
// activated first), under the activation lock, on the calling thread.
void PowerAll(bool up);

}  // namespace plat::devmgr

#endif
