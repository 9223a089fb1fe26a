#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace gsmmuxd {

namespace {

enum OptionId { kReg = 1000, kPort, kLines, kLinkDir, kRoot, kTrace, kPcap, kStatus, kLog, kVersion, kHelp,
                kKeepAlive, kWaitForTty };

const option kLongOptions[] = {
    {"reg", required_argument, nullptr, kReg},
    {"port", required_argument, nullptr, kPort},
    {"lines", required_argument, nullptr, kLines},
    {"link-dir", required_argument, nullptr, kLinkDir},
    {"root", required_argument, nullptr, kRoot},
    {"trace", no_argument, nullptr, kTrace},
    {"pcap", required_argument, nullptr, kPcap},
    {"status", no_argument, nullptr, kStatus},
    {"keepalive", required_argument, nullptr, kKeepAlive},
    {"wait-for-tty", no_argument, nullptr, kWaitForTty},
    {"log", no_argument, nullptr, kLog},
    {"version", no_argument, nullptr, kVersion},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// "COM9:=/dev/ttyUSB0": a device name ending in a colon, then a path.
bool ParsePort(const std::string& v, Options* out, std::string* error)
{
    const size_t eq = v.find('=');
    if (eq == std::string::npos || eq < 2 || v[eq - 1] != ':' || eq + 1 == v.size()) {
        *error = "--port wants DEVICE:=TTY, e.g. COM9:=/dev/ttyUSB0, got \"" + v + "\"";
        return false;
    }
    out->portDevice = v.substr(0, eq);
    out->portTty = v.substr(eq + 1);
    return true;
}

}  // namespace

std::string DefaultLinkDir()
{
    if (geteuid() == 0) return "/run/gsmmux";
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') return std::string();
    return std::string(runtime) + "/gsmmux";
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
        const std::string value = optarg ? optarg : "";
        switch (c) {
        case kReg:
            if (value.empty()) {
                *error = "--reg wants a file name";
                return Parsed::Error;
            }
            out->regFile = value;
            break;
        case kPort:
            if (!ParsePort(value, out, error)) return Parsed::Error;
            break;
        case kLines:
            if (value == "sim") {
                out->lines = Lines::Sim;
            } else if (value == "none") {
                out->lines = Lines::None;
            } else {
                *error = "--lines wants none or sim, got \"" + value + "\"";
                return Parsed::Error;
            }
            break;
        case kLinkDir:
            if (value.empty()) {
                *error = "--link-dir wants a directory";
                return Parsed::Error;
            }
            out->linkDir = value;
            break;
        case kRoot:
            if (value.empty()) {
                *error = "--root wants a directory";
                return Parsed::Error;
            }
            out->root = value;
            break;
        case kTrace: out->trace = true; break;
        case kPcap:
            if (value.empty()) {
                *error = "--pcap wants a file name or -";
                return Parsed::Error;
            }
            out->pcap = value;
            break;
        case kStatus: out->status = true; break;
        case kKeepAlive: {
            char* end = nullptr;
            const long s = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || s < 0 || s > 3600) {
                *error = "--keepalive wants seconds from 0 to 3600, got \"" + value + "\"";
                return Parsed::Error;
            }
            out->keepAliveS = int(s);
            break;
        }
        case kWaitForTty: out->waitForTty = true; break;
        case kLog: out->log = true; break;
        case 'V':
        case kVersion: return Parsed::Version;
        case 'h':
        case kHelp: return Parsed::Help;
        case ':':
            *error = std::string("option '") + args[optind - 1] + "' needs a value";
            return Parsed::Error;
        default:
            *error = std::string("unknown option '") + args[optind - 1] + "' (try --help)";
            return Parsed::Error;
        }
    }
    if (optind < argc) {
        *error = std::string("unexpected argument '") + args[optind] + "' (try --help)";
        return Parsed::Error;
    }
    if (out->pcap == "-" && (out->trace || out->status)) {
        *error = "--pcap - needs standard output to itself; drop --trace and --status";
        return Parsed::Error;
    }
    return Parsed::Run;
}

std::string HelpText()
{
    return "Usage: gsmmuxd [OPTION]...\n"
           "Runs the GSM multiplexer driver in real time and gives each of its virtual\n"
           "ports (MUX1:, MUX2:, ...) a pseudo-terminal, linked as DIR/MUX1, DIR/MUX2, ...\n"
           "\n"
           "  --reg FILE           instance configuration (default: the project's own)\n"
           "  --port COM9:=TTY     drive the module on a real tty (default: the\n"
           "                       simulated module, in this process)\n"
           "  --lines none|sim     the module's control lines: none for a modem without\n"
           "                       the phone's GPIO wiring, sim for the simulated module's\n"
           "                       (default: sim)\n"
           "  --link-dir DIR       where the MUXn symlinks go; a directory no other user\n"
           "                       can write (default: $XDG_RUNTIME_DIR/gsmmux, or\n"
           "                       /run/gsmmux for root)\n"
           "  --root DIR           where the driver keeps its files, its log MuxLog.txt\n"
           "                       and a crashed module's ATARsp.txt (made if missing;\n"
           "                       default: the current directory)\n"
           "  --log                write the driver's log MuxLog.txt for this run (kept\n"
           "                       under 8 MiB, the previous 8 MiB in MuxLog.txt.1)\n"
           "  --trace              trace the line on standard output\n"
           "  --pcap FILE|-        write a capture of the frames (- for standard output)\n"
           "  --status             print a line per channel on every change\n"
           "  --keepalive SECONDS  ask the module for a port's modem status this often\n"
           "                       (an MSC on DLCI 0): the V.24 signals of the status\n"
           "                       lines, and a module that answers twice in a row no\n"
           "                       more is restarted; 0: never (default: 5)\n"
           "  --wait-for-tty       when the tty goes away, wait for it to come back and\n"
           "                       start the multiplexer again (default: exit 1)\n"
           "  -V, --version        print the version and exit\n"
           "  -h, --help           print this help and exit\n"
           "\n"
           "When the module closes the multiplexer, stops answering or resets, the\n"
           "multiplexer is brought back on the same links, with a growing delay while\n"
           "it keeps failing. A port the module refuses is tried again later.\n"
           "\n"
           "Exit status: 0 after SIGINT, SIGTERM or SIGHUP, 1 on a failure while running,\n"
           "2 on bad options or a tty, file or directory that cannot be used.\n";
}

std::string VersionText() { return "gsmmuxd 0.1\n"; }

}  // namespace gsmmuxd
