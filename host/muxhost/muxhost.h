// The driver's entry points as the host's device manager finds them: one
// table under the prefix "MUX", as the phone's device manager finds MUX_Init
// and the others in the driver's DLL. Host code (C++17).
#ifndef MUX_HOST_MUXHOST_H
#define MUX_HOST_MUXHOST_H

#include "platform/devmgr/devmgr.h"

namespace muxhost {

// The table of the MUX_ entry points.
const plat::StreamDriverEntries& MuxEntries();

// Registers that table with the device manager under "MUX".
void RegisterMuxDriver();

// What unloading the driver takes with it once its instances are gone: the
// multiplexer is stopped (if an instance left it running), then the port and
// the response time-out thread that a stopped multiplexer keeps are given
// back, so that a simulated world can end with no thread of the driver.
void UnloadMuxDriver();

}  // namespace muxhost

#endif
