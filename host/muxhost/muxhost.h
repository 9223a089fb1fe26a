// The driver's entry points as the host's device manager finds them: one
// table under the prefix "MUX", as the phone's device manager finds MUX_Init
// and the others in the driver's DLL. Host code (C++17).
#ifndef MUX_HOST_MUXHOST_H
#define MUX_HOST_MUXHOST_H

#include "platform/devmgr.h"

#include <string>

namespace muxhost {

// The table of the MUX_ entry points.
const plat::StreamDriverEntries& MuxEntries();

// Registers that table with the device manager under "MUX".
void RegisterMuxDriver();

// The default configuration of the host programs: mux.reg beside the
// program, else in share/gsmmux of its installation (PREFIX/bin/gsmmuxd
// finds PREFIX/share/gsmmux/mux.reg), else the source tree's
// config/mux.reg; empty when none can be read.
std::string DefaultConfigurationPath();

}  // namespace muxhost

#endif
