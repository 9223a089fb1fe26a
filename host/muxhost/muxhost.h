// The driver's entry points as the host's device manager finds them: one
// table under the prefix "MUX", as the phone's device manager finds MUX_Init
// and the others in the driver's DLL. Host code (C++17).
#ifndef MUX_HOST_MUXHOST_H
#define MUX_HOST_MUXHOST_H

#include "platform/devmgr/devmgr.h"

#include <string>

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

// The default configuration of the host programs: mux.reg beside the
// program, else in share/gsmmux of its installation (PREFIX/bin/gsmmuxd
// finds PREFIX/share/gsmmux/mux.reg), else the source tree's
// config/mux.reg; empty when none can be read.
std::string DefaultConfigurationPath();

// The modem status bits (MS_CTS_ON ...) that the driver reports for the V.24
// signals octet `v24` of an MSC, so that a host program shows a DLCI's
// signals as a client of its port would see them.
DWORD ModemStatusOfV24(BYTE v24);

}  // namespace muxhost

#endif
