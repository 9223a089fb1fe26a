// devhost: the Win32 leg's scenario on our platform. The driver linked in,
// its entry points from the host's table, "COM9:" on a tty (one end of a
// socat pair with `muxsim --serve` on the other) and the module's lines as
// a modem without the phone's wiring has them (GSM_RF_OK high, awake): the
// same scenario, the same module and the same lines as gsmmux.dll gets under
// Wine from win32/devhost.exe, so that the two diagnostic logs compare.
#include "diag/log.h"
#include "host/devhost/scenario.h"
#include "host/gsmmuxd/line.h"
#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: devhost --port TTY [--reg FILE] [--root DIR] [--step-limit MS]\n"
    "Runs the Win32 leg's scenario against the driver on this platform: every\n"
    "instance of the registry file activated in \"Order\", AT, the modem status, a\n"
    "data call of 100 kB each way and a module re-initialisation on the ports,\n"
    "then PreDeinit and Deinit. \"COM9:\" is TTY; the driver's log goes to\n"
    "DIR/MuxLog.txt. Status 0 when every step passed, 1 when one failed, 2 on\n"
    "bad arguments, 3 when a step hung for MS (default 60000) milliseconds.\n";

}  // namespace

int main(int argc, char** argv)
{
    std::string tty, reg = muxhost::DefaultConfigurationPath(), root = ".";
    DWORD stepLimit = 60000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--port" && hasValue) {
            tty = argv[++i];
        } else if (a == "--reg" && hasValue) {
            reg = argv[++i];
        } else if (a == "--root" && hasValue) {
            root = argv[++i];
        } else if (a == "--step-limit" && hasValue) {
            stepLimit = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fputs(kUsage, a == "--help" ? stdout : stderr);
            return a == "--help" ? 0 : 2;
        }
    }
    if (tty.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    plat::UseRealTime();
    plat::SetDeviceRoot(root);
    // The log for this run, whatever the configuration says: it is what
    // the leg compares with the log written under Wine.
    g_logSwitch = 1;
    std::string error;
    if (!plat::LoadRegFile(reg, &error)) {
        std::fprintf(stderr, "devhost: %s\n", error.c_str());
        return 2;
    }
    gsmmuxd::Options options;
    options.portDevice = "COM9:";
    options.portTty = tty;
    options.lines = gsmmuxd::Lines::None;
    std::unique_ptr<gsmmuxd::Line> line = gsmmuxd::Line::Open(options, &error);
    if (!line) {
        std::fprintf(stderr, "devhost: %s\n", error.c_str());
        return 2;
    }

    const plat::StreamDriverEntries& table = muxhost::MuxEntries();
    devhost::Entries entries;
    entries.Init = table.Init;
    entries.PreDeinit = table.PreDeinit;
    entries.Deinit = table.Deinit;
    entries.Open = table.Open;
    entries.Close = table.Close;
    entries.Read = table.Read;
    entries.Write = table.Write;
    entries.IOControl = table.IOControl;

    const std::u16string root16 = u"Drivers\\BuiltIn";
    const std::vector<std::u16string> subkeys = plat::RegistrySubkeys(root16);
    const std::vector<devhost::Instance> instances =
        devhost::InstancesInOrder(root16, std::vector<devhost::WString>(subkeys.begin(), subkeys.end()));
    return devhost::Run(entries, instances, stepLimit);
}
