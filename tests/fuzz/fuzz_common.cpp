#include "fuzz_common.h"

#include "diag/log.h"
#include "platform/host.h"
#include "sim_world.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

static std::string g_logPathHost;  // the log's path on the host

void FuzzLogOn()
{
    plat::SetDeviceRoot(MakeTempDir("muxfuzz"));
    g_logPathHost = plat::HostPathFor(u"\\MuxLog.txt");
    g_logSwitch = std::getenv("MUX_FUZZ_NO_LOG") ? 0 : 1;
    // Every line is formatted and written as on the phone, only into
    // /dev/null: a file would cost a disk write per line, which is most of
    // an input's time when it is hunted octet by octet, and it would grow.
    FuzzCheck(symlink("/dev/null", g_logPathHost.c_str()) == 0, "the log's link to /dev/null");
    // A close per input would otherwise keep its context for good, and
    // libFuzzer runs every input that leaves more allocations than frees
    // again, with a leak check.
    plat::SetClosedHandleContext(false);
}

void FuzzLogReset()
{
    // Closed, so that the next input opens it as the first did.
    if (g_hLogFile != INVALID_HANDLE_VALUE && g_hLogFile != NULL) {
        CloseHandle(g_hLogFile);
    }
    g_hLogFile = INVALID_HANDLE_VALUE;
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
