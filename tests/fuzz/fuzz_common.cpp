#include "fuzz_common.h"

#include "diag/log.h"
#include "platform/host.h"
#include "sim_world.h"

#include <cstdio>
#include <cstdlib>
#include <string>

static std::string g_logPathHost;

void FuzzLogOn()
{
    plat::SetDeviceRoot(MakeTempDir("muxfuzz"));
    g_logPathHost = plat::HostPathFor(u"\\MuxLog.txt");
    g_logSwitch = std::getenv("MUX_FUZZ_NO_LOG") ? 0 : 1;
}

void FuzzLogReset()
{
    if (g_hLogFile != INVALID_HANDLE_VALUE && g_hLogFile != NULL) {
        CloseHandle(g_hLogFile);
    }
    g_hLogFile = INVALID_HANDLE_VALUE;
    if (!g_logPathHost.empty()) std::remove(g_logPathHost.c_str());
}

void FuzzCheck(bool ok, const char* what)
{
    if (ok) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

const uint8_t* PieceReader::Take(size_t want, size_t* len)
{
    size_t left = static_cast<size_t>(end_ - p_);
    if (want > left) want = left;
    const uint8_t* piece = p_;
    p_ += want;
    *len = want;
    return piece;
}
