#include "options.h"

#include "scenario.h"

#include <getopt.h>

#include <cstdio>
#include <vector>

namespace muxsim {

namespace {

enum OptionId { kSeed = 1000, kRoot, kTrace, kPcap, kReg, kScenario, kModule, kServe, kVersion, kHelp };

const option kLongOptions[] = {
    {"seed", required_argument, nullptr, kSeed},
    {"root", required_argument, nullptr, kRoot},
    {"trace", no_argument, nullptr, kTrace},
    {"pcap", required_argument, nullptr, kPcap},
    {"reg", required_argument, nullptr, kReg},
    {"scenario", required_argument, nullptr, kScenario},
    {"module", required_argument, nullptr, kModule},
    {"serve", required_argument, nullptr, kServe},
    {"version", no_argument, nullptr, kVersion},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// The value of an option that names something: not empty.
bool Named(const std::string& value, const char* option, const char* what, std::string* out,
           std::string* error)
{
    if (value.empty()) {
        *error = std::string(option) + " wants " + what;
        return false;
    }
    *out = value;
    return true;
}

bool Apply(int c, const std::string& value, Options* out, std::string* error)
{
    switch (c) {
    case kSeed:
        if (sim::ParseSettingNumber(value, 0, UINT64_MAX, &out->seed, error)) return true;
        *error = "--seed: " + *error;
        return false;
    case kRoot: return Named(value, "--root", "a directory", &out->root, error);
    case kTrace: out->trace = true; return true;
    case kPcap: return Named(value, "--pcap", "a file name", &out->pcap, error);
    case kReg: return Named(value, "--reg", "a file name", &out->reg, error);
    case kServe: return Named(value, "--serve", "a tty", &out->serve, error);
    case kScenario:
        if (FindScenario(value) != nullptr) {
            out->scenario = value;
            return true;
        }
        *error = "--scenario: unknown scenario \"" + value + "\" (try --help)";
        return false;
    case kModule: return sim::ApplyModuleSetting(out->module, value, error);
    }
    return false;
}

}  // namespace

sim::ModuleSettings Options::ModuleWithModem()
{
    sim::ModuleSettings m;
    m.serial.modem.modemDlcis = ~uint64_t(1);
    return m;
}

Parsed ParseOptions(int argc, char* const* argv, Options* out, std::string* error)
{
    *out = Options();
    // getopt_long keeps its place in globals: start afresh for every parse.
    optind = 0;
    opterr = 0;
    // A leading ':' makes a missing argument ':' rather than '?'.
    static const char kShort[] = ":hV";
    std::vector<char*> args(argv, argv + argc);
    args.push_back(nullptr);
    for (;;) {
        const int c = getopt_long(argc, args.data(), kShort, kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'V':
        case kVersion: return Parsed::Version;
        case 'h':
        case kHelp: return Parsed::Help;
        case ':':
            *error = std::string("option '") + args[optind - 1] + "' needs a value";
            return Parsed::Error;
        case '?':
            *error = std::string("unknown option '") + args[optind - 1] + "' (try --help)";
            return Parsed::Error;
        default:
            if (!Apply(c, optarg ? optarg : "", out, error)) return Parsed::Error;
        }
    }
    if (optind < argc) {
        *error = std::string("unexpected argument '") + args[optind] + "' (try --help)";
        return Parsed::Error;
    }
    return Parsed::Run;
}

std::string HelpText()
{
    std::string text =
        "Usage: muxsim [OPTION]...\n"
        "Runs the multiplexer driver in simulation (virtual time) against the simulated\n"
        "GSM module as the phone runs it: the registry file loaded, every MUX instance\n"
        "activated by the device manager, a client that uses each port through the\n"
        "serial API as the radio interface layer does (CreateFileW, SetCommMask,\n"
        "WaitCommEvent, ReadFile, WriteFile of AT commands, GetCommModemStatus), each\n"
        "step shown with its virtual time, then every instance deactivated.\n"
        "\n"
        "  --seed N             simulation seed (default 1); the same seed gives the same\n"
        "                       output\n"
        "  --root DIR           device root (made if missing); the diagnostic log is on\n"
        "                       for the run and written to DIR/MuxLog.txt\n"
        "  --trace              trace on standard output, one line per event on the line:\n"
        "                       virtual time in ms, direction, and per frame DLCI, type,\n"
        "                       C/R, P/F, length, information in hex and as text, DLCI 0\n"
        "                       control messages decoded; the AT handshake as text lines\n"
        "  --pcap FILE          every 27.010 frame, both ways, into a classic pcap file of\n"
        "                       link type 236 (LINKTYPE_MUX27010), time-stamped with\n"
        "                       virtual time\n"
        "  --reg FILE           registry file to load (default: the project's own)\n"
        "  --scenario NAME      what the client does, see below (default boot)\n"
        "  --module KEY=VALUE   a setting of the simulated module (repeatable), see below\n"
        "  --serve TTY          no driver: serve the simulated module (running from the\n"
        "                       start, its modem on every user DLCI) on TTY in real time\n"
        "                       until SIGINT or SIGTERM, as a real module on a serial port;\n"
        "                       for gsmmuxd --port on the other end of a pseudo-terminal\n"
        "                       pair (socat)\n"
        "  -V, --version        print the version and exit\n"
        "  -h, --help           print this help and exit\n"
        "\n"
        "Exit status: 0 when every port answered (with --serve: after SIGINT or\n"
        "SIGTERM), 1 on a failure while running, 2 on bad options or a tty, file or\n"
        "directory that cannot be used; a failure is one line on standard error.\n"
        "\n"
        "scenarios:\n";
    char line[256];
    for (const Scenario& s : Scenarios()) {
        snprintf(line, sizeof line, "  %-18s %s\n", s.name, s.help);
        text += line;
    }
    text += "\nmodule settings (default in brackets):\n";
    for (const sim::SettingHelp& h : sim::DescribeModuleSettings()) {
        text += "  " + h.key + std::string(h.key.size() < 22 ? 22 - h.key.size() : 0, ' ') + " [" +
                h.defaultValue + "] " + h.help + "\n";
    }
    return text;
}

std::string VersionText() { return "muxsim 0.1\n"; }

}  // namespace muxsim
