#include "muxhost.h"

#include "dispatcher/dispatcher.h"

namespace muxhost {

void UnloadMuxDriver()
{
    g_dispatcher.Stop();
    g_dispatcher.ClosePort();
}

}  // namespace muxhost
