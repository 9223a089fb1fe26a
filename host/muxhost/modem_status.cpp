#include "muxhost.h"

#include "channel/ctrl_channel.h"

namespace muxhost {

DWORD ModemStatusOfV24(BYTE v24)
{
    return V24ToModemStatus(v24);
}

}  // namespace muxhost
