// muxsim: runs the driver in simulation against the simulated GSM module.
// Brings the multiplexer up the way the first channel's Init does, asks the
// modem for the status of DLCI 1 over the control channel, shows the answer,
// stops the multiplexer and closes the port. Optionally traces the line and
// writes a Wireshark capture of the 27.010 frames.
#include "diag/log.h"
#include "dispatcher/dispatcher.h"
#include "sim/frame_record.h"
#include "platform/host.h"
#include "sim/module.h"
#include "sim/module_settings.h"
#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const uint8_t kQueryDlci = 1;

struct Options {
    uint64_t seed = 1;
    std::string root;
    bool trace = false;
    std::string pcap;
    sim::ModuleSettings module;
};

void PrintHelp()
{
    std::printf(
        "usage: muxsim [options]\n"
        "\n"
        "Runs the multiplexer driver in simulation (virtual time) against the simulated\n"
        "GSM module: module reset, AT+CMUX handshake, DLCI 0 connected with SABM/UA, an\n"
        "MSC query of the modem status of DLCI 1 on the control channel, then stop.\n"
        "Exit status 0 when DLCI 0 came up and the modem status was answered;\n"
        "otherwise 1 with a one-line reason on stderr (2 for a bad command line).\n"
        "\n"
        "options:\n"
        "  --seed N           simulation seed (default 1); the same seed gives the same output\n"
        "  --root DIR         device root (created if missing); the diagnostic log is on and\n"
        "                     written to DIR/MuxLog.txt\n"
        "  --trace            trace on stdout, one line per event on the line: virtual time\n"
        "                     in ms, direction, and per frame DLCI, type, C/R, P/F, length,\n"
        "                     information in hex and as text, DLCI 0 control messages\n"
        "                     decoded; the AT handshake as text lines\n"
        "  --pcap FILE        every 27.010 frame, both ways, into a classic pcap file of link\n"
        "                     type 236 (LINKTYPE_MUX27010), time-stamped with virtual time\n"
        "  --module KEY=VALUE a setting of the simulated module (repeatable), see below\n"
        "  -h, --help         this text\n"
        "\n"
        "module settings (default in brackets):\n");
    for (const sim::SettingHelp& h : sim::DescribeModuleSettings()) {
        std::printf("  %-22s [%s] %s\n", h.key.c_str(), h.defaultValue.c_str(), h.help.c_str());
    }
}

// 0: run; 1: --help shown; 2: bad command line (message on stderr).
int ParseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "muxsim: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return 1;
        } else if (a == "--trace") {
            o->trace = true;
        } else if (a == "--seed") {
            if (!value(&v)) return 2;
            std::string why;
            if (!sim::ParseSettingNumber(v, 0, UINT64_MAX, &o->seed, &why)) {
                std::fprintf(stderr, "muxsim: --seed: %s\n", why.c_str());
                return 2;
            }
        } else if (a == "--root") {
            if (!value(&o->root)) return 2;
        } else if (a == "--pcap") {
            if (!value(&o->pcap)) return 2;
        } else if (a == "--module") {
            if (!value(&v)) return 2;
            std::string error;
            if (!sim::ApplyModuleSetting(o->module, v, &error)) {
                std::fprintf(stderr, "muxsim: %s\n", error.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "muxsim: unknown option \"%s\" (see --help)\n", a.c_str());
            return 2;
        }
    }
    return 0;
}

struct Outcome {
    bool up = false;
    bool answered = false;
    DWORD status = 0;
    uint64_t upAtMs = 0;
    uint64_t answeredAtMs = 0;
    uint64_t stoppedAtMs = 0;
    sim::FrameRecord record;
};

Outcome Run(const Options& o)
{
    Outcome r;
    plat::BeginSimulation(o.seed);
    {
        sim::SimModule module(o.module);

        // As the first channel's Init starts the dispatcher. Init succeeds
        // only when the control channel is initialised, DLCI 0 connected.
        if (!g_dispatcher.bRunning) {
            r.up = g_dispatcher.Init() != FALSE && g_dispatcher.pCtrlChannel != NULL;
        }
        r.upAtMs = plat::NowMs();

        if (r.up) {
            DWORD status = 0;
            r.answered = g_dispatcher.QueryModemStatus(kQueryDlci, &status) != FALSE;
            r.status = status;
            r.answeredAtMs = plat::NowMs();
        }

        // Stop the multiplexer (the port and the time-out thread stay), then
        // close the port. After a failed start Init has torn everything down
        // already and both find nothing to do.
        g_dispatcher.Stop();
        g_dispatcher.ClosePort();
        r.stoppedAtMs = plat::NowMs();

        r.record = module.Serial().Record();
    }
    plat::EndSimulation();
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    int parsed = ParseOptions(argc, argv, &o);
    if (parsed == 1) return 0;
    if (parsed == 2) return 2;

    // Kernel debug output is not part of the run's output.
    plat::SetDebugSink([](const std::u16string&) {});
    if (!o.root.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o.root, ec);
        if (!std::filesystem::is_directory(o.root)) {
            std::fprintf(stderr, "muxsim: --root: cannot create directory \"%s\"\n", o.root.c_str());
            return 2;
        }
        plat::SetDeviceRoot(o.root);
        g_logSwitch = 1;
    } else {
        g_logSwitch = 0;
    }

    Outcome r = Run(o);

    if (o.trace) {
        for (const sim::RecordEntry& e : r.record) {
            std::printf("%s\n", muxsim::TraceLine(e).c_str());
        }
    }
    int frames = 0;
    if (!o.pcap.empty()) {
        std::string error;
        frames = muxsim::WritePcap(o.pcap, r.record, &error);
        if (frames < 0) {
            std::fprintf(stderr, "muxsim: %s\n", error.c_str());
            return 1;
        }
    }

    std::printf("multiplexer: %s at %llu ms\n", r.up ? "DLCI 0 up" : "DLCI 0 did not come up",
                static_cast<unsigned long long>(r.upAtMs));
    if (r.up) {
        if (r.answered) {
            std::printf("modem status of DLCI %u: 0x%02X (%s) at %llu ms\n", kQueryDlci,
                        static_cast<unsigned>(r.status), muxsim::ModemStatusNames(r.status).c_str(),
                        static_cast<unsigned long long>(r.answeredAtMs));
        } else {
            std::printf("modem status of DLCI %u: no answer at %llu ms\n", kQueryDlci,
                        static_cast<unsigned long long>(r.answeredAtMs));
        }
    }
    std::printf("stopped and port closed at %llu ms\n", static_cast<unsigned long long>(r.stoppedAtMs));
    if (!o.pcap.empty()) {
        std::printf("capture: %d frames written\n", frames);
    }
    std::fflush(stdout);

    if (!r.up) {
        std::fprintf(stderr, "muxsim: the multiplexer did not start: DLCI 0 was not connected\n");
        return 1;
    }
    if (!r.answered) {
        std::fprintf(stderr, "muxsim: the modem status of DLCI %u was not answered\n", kQueryDlci);
        return 1;
    }
    return 0;
}
