// soak: one seed of the seeded soak of the whole system. Draws everything
// about the run from the seed (plan.h), prints it, runs it in simulated
// time against the simulated module (run.h) and says whether every check
// held. scripts/soak runs many seeds.
#include "diag/log.h"
#include "host/linetrace/trace.h"
#include "plan.h"
#include "platform/host.h"
#include "run.h"
#include "sim/module_settings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    uint64_t seed = 1;
    bool trace = false;
    bool rootGiven = false;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        std::string why;
        if (a == "--seed" && i + 1 < argc) {
            if (!sim::ParseSettingNumber(argv[++i], 0, UINT64_MAX, &seed, &why)) {
                std::fprintf(stderr, "soak: --seed: %s\n", why.c_str());
                return 2;
            }
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--root" && i + 1 < argc) {
            plat::SetDeviceRoot(argv[++i]);
            g_logSwitch = 1;
            rootGiven = true;
        } else {
            std::fprintf(stderr,
                         "usage: soak --seed N [--root DIR] [--trace]\n"
                         "Draws a whole-system run from the seed, prints what it drew, runs it in\n"
                         "simulated time and checks it; exit 0 when every check held, 1 otherwise.\n"
                         "--root writes the diagnostic log to DIR/MuxLog.txt; --trace prints the line\n"
                         "as muxsim --trace does.\n");
            return 2;
        }
    }
    // Without --root the files the driver writes (the crash capture's
    // "\ATARsp.txt") go to a scratch directory, removed at the end.
    std::string scratch;
    if (!rootGiven) {
        g_logSwitch = 0;
        std::string tmpl = (std::filesystem::temp_directory_path() / "soak-XXXXXX").string();
        if (mkdtemp(tmpl.data()) != nullptr) {
            scratch = tmpl;
            plat::SetDeviceRoot(scratch);
        }
    }
    plat::SetDebugSink([](const std::u16string&) {});
    const soak::Plan plan = soak::Draw(seed);
    for (const std::string& line : soak::Describe(plan)) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    const soak::Result r = soak::Run(plan);
    if (trace) {
        for (const sim::RecordEntry& e : r.record) std::printf("%s\n", linetrace::TraceLine(e).c_str());
    }
    for (const std::string& line : r.notes) std::printf("%s\n", line.c_str());
    for (const std::string& line : r.failures) std::printf("FAILED %s\n", line.c_str());
    std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), r.ok ? "passed" : "FAILED");
    if (!scratch.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(scratch, ec);
    }
    return r.ok ? 0 : 1;
}
