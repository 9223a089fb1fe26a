#include "muxhost.h"

#include <unistd.h>

namespace muxhost {

void RegisterMuxDriver()
{
    plat::RegisterStreamDriver(MuxEntries());
}

}  // namespace muxhost

namespace muxhost {

namespace {

bool Readable(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

}  // namespace

std::string DefaultConfigurationPath()
{
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, size_t(n));
        const size_t slash = dir.rfind('/');
        if (slash != std::string::npos) {
            dir.resize(slash);
            const std::string beside = dir + "/mux.reg";
            if (Readable(beside)) return beside;
            const std::string installed = dir + "/../share/gsmmux/mux.reg";
            if (Readable(installed)) return installed;
        }
    }
#ifdef MUX_SOURCE_DIR
    const std::string source = std::string(MUX_SOURCE_DIR) + "/config/mux.reg";
    if (Readable(source)) return source;
#endif
    return std::string();
}

}  // namespace muxhost
