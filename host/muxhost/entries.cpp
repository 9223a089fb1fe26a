#include "muxhost.h"

#include "driver/mux.h"

namespace muxhost {

const plat::StreamDriverEntries& MuxEntries()
{
    // Each member's type is the device manager's signature, so a driver
    // entry point that drifts from it does not compile.
    static const plat::StreamDriverEntries entries = {
        "MUX",          &MUX_Init,      &MUX_Deinit,    &MUX_Open,
        &MUX_Close,     &MUX_Read,      &MUX_Write,     &MUX_Seek,
        &MUX_IOControl, &MUX_PowerUp,   &MUX_PowerDown, &MUX_PreDeinit,
    };
    return entries;
}

}  // namespace muxhost
