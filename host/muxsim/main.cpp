// muxsim: the whole system in simulation against the simulated GSM module.
// Loads the registry file, registers the MUX driver with the device manager
// and activates every instance as the phone does at boot, then runs a client
// that uses the ports as the phone's radio interface layer does (a scenario),
// shows each step with its virtual time and deactivates the instances.
// Optionally traces the line and writes a Wireshark capture of the frames.
#include "client.h"
#include "diag/log.h"
#include "host/linetrace/trace.h"
#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "scenario.h"
#include "serve.h"
#include "sim/frame_record.h"
#include "sim/module.h"
#include "sim/module_settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// The phone's module answers AT on every user DLCI; --module may change it.
sim::ModuleSettings WithModem()
{
    sim::ModuleSettings m;
    m.serial.modem.modemDlcis = ~uint64_t(1);
    return m;
}

struct Options {
    uint64_t seed = 1;
    std::string root;
    bool trace = false;
    std::string pcap;
    std::string reg = MUX_DEFAULT_REG;
    std::string scenario = "boot";
    std::string serve;  // a tty to serve the module on, in real time
    sim::ModuleSettings module = WithModem();
};

void PrintHelp()
{
    std::printf(
        "usage: muxsim [options]\n"
        "\n"
        "Runs the multiplexer driver in simulation (virtual time) against the simulated\n"
        "GSM module as the phone runs it: the registry file loaded, every MUX instance\n"
        "activated by the device manager, a client that uses each port through the\n"
        "serial API as the radio interface layer does (CreateFileW, SetCommMask,\n"
        "WaitCommEvent, ReadFile, WriteFile of AT commands, GetCommModemStatus), each\n"
        "step shown with its virtual time, then every instance deactivated.\n"
        "Exit status 0 when every port answered; otherwise 1 with a one-line reason on\n"
        "stderr (2 for a bad command line).\n"
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
        "  --reg FILE         registry file to load (default: the repository's config/mux.reg)\n"
        "  --scenario NAME    what the client does, see below (default boot)\n"
        "  --module KEY=VALUE a setting of the simulated module (repeatable), see below\n"
        "  --serve TTY        no driver: serve the simulated module (running from the start,\n"
        "                     its modem on every user DLCI) on TTY in real time until SIGINT\n"
        "                     or SIGTERM, as a real module on a serial port; for gsmmuxd\n"
        "                     --port on the other end of a pseudo-terminal pair (socat)\n"
        "  -h, --help         this text\n"
        "\n"
        "scenarios:\n");
    for (const muxsim::Scenario& s : muxsim::Scenarios()) {
        std::printf("  %-18s %s\n", s.name, s.help);
    }
    std::printf(
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
        } else if (a == "--serve") {
            if (!value(&o->serve)) return 2;
        } else if (a == "--reg") {
            if (!value(&o->reg)) return 2;
        } else if (a == "--scenario") {
            if (!value(&o->scenario)) return 2;
            if (muxsim::FindScenario(o->scenario) == nullptr) {
                std::fprintf(stderr, "muxsim: --scenario: unknown scenario \"%s\" (see --help)\n",
                             o->scenario.c_str());
                return 2;
            }
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
    bool ok = false;
    std::string reason;
    std::vector<muxsim::ClientEvent> events;
    sim::FrameRecord record;
};

// The names of the active MUX instances, in activation order.
std::vector<std::string> ActivePorts()
{
    std::vector<std::string> ports;
    for (const std::u16string& sub : plat::RegistrySubkeys(u"Drivers\\Active")) {
        HKEY key = nullptr;
        const std::u16string path = u"Drivers\\Active\\" + sub;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) continue;
        WCHAR name[32] = {};
        DWORD size = sizeof(name) - sizeof(WCHAR);
        if (RegQueryValueExW(key, u"Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(name), &size) ==
                ERROR_SUCCESS &&
            plat::ToUtf8(name).rfind("MUX", 0) == 0) {
            ports.push_back(plat::ToUtf8(name));
        }
        RegCloseKey(key);
    }
    return ports;
}

// The multiplexer's comings and goings as the line shows them.
std::vector<muxsim::ClientEvent> LinkMilestones(const sim::FrameRecord& record)
{
    std::vector<muxsim::ClientEvent> out;
    bool sabmOnZero = false;
    for (const sim::RecordEntry& e : record) {
        const bool fromHost = e.direction == sim::Direction::HostToModule;
        if (e.kind == sim::RecordKind::At && fromHost) {
            const std::string text(e.octets.begin(), e.octets.end());
            if (text.find("AT+CMUX") != std::string::npos) {
                out.push_back({e.timeMs, "", "multiplexer starting: " + muxsim::Quoted(text)});
            }
            continue;
        }
        sim::DecodedFrame f;
        if (e.kind != sim::RecordKind::Frame || !sim::DecodeFrame(e.octets, &f) || f.dlci != 0) continue;
        const uint8_t type = static_cast<uint8_t>(f.control & ~sim::kPf);
        if (fromHost && type == sim::kSabm) {
            sabmOnZero = true;
        } else if (fromHost && type == sim::kDisc) {
            out.push_back({e.timeMs, "", "multiplexer going down: DISC on DLCI 0"});
            sabmOnZero = false;
        } else if (!fromHost && type == sim::kUa && sabmOnZero) {
            out.push_back({e.timeMs, "", "multiplexer up: DLCI 0 connected"});
            sabmOnZero = false;
        }
    }
    return out;
}

Outcome Run(const Options& o, const muxsim::Scenario& scenario)
{
    Outcome r;
    plat::BeginSimulation(o.seed);
    {
        sim::SimModule module(o.module);
        std::string error;
        if (!plat::LoadRegFile(o.reg, &error)) {
            r.reason = error;
        } else {
            // The device manager at boot: the MUX driver's entry points by
            // prefix, then every built-in instance.
            muxhost::RegisterMuxDriver();
            std::vector<HANDLE> devices;
            for (const plat::BuiltInActivation& a : plat::ActivateBuiltInDrivers()) {
                if (a.device != INVALID_HANDLE_VALUE) devices.push_back(a.device);
            }
            {
                muxsim::RilClient client;
                muxsim::ScenarioContext context{client, ActivePorts(), module};
                r.ok = scenario.run(context, &r.reason);
                client.Stop();
                // Deactivation releases readers still waiting for events.
                for (HANDLE d : devices) DeactivateDevice(d);
                client.Join();
                client.Note("", "every instance deactivated");
                r.events = client.Events();
            }
            plat::UnregisterStreamDriver("MUX");
        }
        // The last instance stopped the multiplexer; the port and its
        // time-out thread go with the driver.
        muxhost::UnloadMuxDriver();
        r.record = module.Serial().Record();
    }
    plat::EndSimulation();
    std::vector<muxsim::ClientEvent> link = LinkMilestones(r.record);
    r.events.insert(r.events.end(), link.begin(), link.end());
    std::stable_sort(r.events.begin(), r.events.end(),
                     [](const muxsim::ClientEvent& a, const muxsim::ClientEvent& b) { return a.timeMs < b.timeMs; });
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    int parsed = ParseOptions(argc, argv, &o);
    if (parsed == 1) return 0;
    if (parsed == 2) return 2;

    if (!o.serve.empty()) {
        std::string error;
        std::fprintf(stderr, "muxsim: serving the simulated module on %s\n", o.serve.c_str());
        const int status = muxsim::Serve(o.serve, o.module, &error);
        if (status != 0) std::fprintf(stderr, "muxsim: %s\n", error.c_str());
        return status;
    }
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

    const muxsim::Scenario* scenario = muxsim::FindScenario(o.scenario);
    Outcome r = Run(o, *scenario);

    if (o.trace) {
        for (const sim::RecordEntry& e : r.record) {
            std::printf("%s\n", linetrace::TraceLine(e).c_str());
        }
    }
    int frames = 0;
    if (!o.pcap.empty()) {
        std::string error;
        frames = linetrace::WritePcap(o.pcap, r.record, &error);
        if (frames < 0) {
            std::fprintf(stderr, "muxsim: %s\n", error.c_str());
            return 1;
        }
    }

    std::printf("scenario %s:\n", scenario->name);
    for (const muxsim::ClientEvent& e : r.events) {
        std::printf("%8llu ms  %-6s %s\n", static_cast<unsigned long long>(e.timeMs),
                    e.port.empty() ? "-" : e.port.c_str(), e.text.c_str());
    }
    if (!o.pcap.empty()) {
        std::printf("capture: %d frames written\n", frames);
    }
    std::fflush(stdout);

    if (!r.ok) {
        std::fprintf(stderr, "muxsim: %s\n", r.reason.c_str());
        return 1;
    }
    return 0;
}
