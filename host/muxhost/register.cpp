#include "muxhost.h"

namespace muxhost {

void RegisterMuxDriver()
{
    plat::RegisterStreamDriver(MuxEntries());
}

}  // namespace muxhost
