// muxsim: the whole system in simulation against the simulated GSM module.
// Loads the registry file, registers the MUX driver with the device manager
// and activates every instance as the phone does at boot, then runs a client
// that uses the ports as the phone's radio interface layer does (a scenario),
// shows each step with its virtual time and deactivates the instances.
// Optionally traces the line and writes a Wireshark capture of the frames.
#include "client.h"
#include "options.h"
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
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using muxsim::Options;

struct Outcome {
    bool ok = false;
    bool badInput = false;  // the registry file cannot be used
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
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
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
            r.badInput = true;
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

// Exit statuses, as gsmmuxd's.
const int kExitOk = 0;
const int kExitFailure = 1;   // something failed while running
const int kExitBadInput = 2;  // options, tty, files or directories that cannot be used

// Makes the device root and checks that the capture can be written, before
// the run: a file or directory that cannot be used is bad input, found
// before anything runs.
bool PrepareFiles(Options* o, std::string* error)
{
    if (o->reg.empty()) o->reg = muxhost::DefaultConfigurationPath();
    if (o->reg.empty()) {
        *error = "no default configuration: mux.reg is neither beside the program, nor in its "
                 "share/gsmmux, nor in the source tree; use --reg FILE";
        return false;
    }
    if (!o->root.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o->root, ec);
        if (!std::filesystem::is_directory(o->root)) {
            *error = "--root: cannot make directory " + o->root + (ec ? ": " + ec.message() : "");
            return false;
        }
    }
    if (!o->pcap.empty()) {
        FILE* f = std::fopen(o->pcap.c_str(), "wb");
        if (f == nullptr) {
            *error = o->pcap + ": " + std::strerror(errno);
            return false;
        }
        std::fclose(f);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    std::string error;
    switch (muxsim::ParseOptions(argc, argv, &o, &error)) {
    case muxsim::Parsed::Help: std::fputs(muxsim::HelpText().c_str(), stdout); return kExitOk;
    case muxsim::Parsed::Version: std::fputs(muxsim::VersionText().c_str(), stdout); return kExitOk;
    case muxsim::Parsed::Error: std::fprintf(stderr, "muxsim: %s\n", error.c_str()); return kExitBadInput;
    case muxsim::Parsed::Run: break;
    }

    if (!o.serve.empty()) {
        const int status = muxsim::Serve(o.serve, o.module, &error);
        if (status != kExitOk) std::fprintf(stderr, "muxsim: %s\n", error.c_str());
        return status;
    }
    if (!PrepareFiles(&o, &error)) {
        std::fprintf(stderr, "muxsim: %s\n", error.c_str());
        return kExitBadInput;
    }
    // Kernel debug output is not part of the run's output.
    plat::SetDebugSink([](const std::u16string&) {});
    if (!o.root.empty()) {
        plat::SetDeviceRoot(o.root);
        // The log for this run, whatever the configuration says.
        g_logSwitch = 1;
    } else {
        g_logSwitch = 0;
    }

    const muxsim::Scenario* scenario = muxsim::FindScenario(o.scenario);
    Outcome r = Run(o, *scenario);
    if (r.badInput) {
        std::fprintf(stderr, "muxsim: %s\n", r.reason.c_str());
        return kExitBadInput;
    }

    if (o.trace) {
        for (const sim::RecordEntry& e : r.record) {
            std::printf("%s\n", linetrace::TraceLine(e).c_str());
        }
    }
    int frames = 0;
    if (!o.pcap.empty()) {
        frames = linetrace::WritePcap(o.pcap, r.record, &error);
        if (frames < 0) {
            std::fprintf(stderr, "muxsim: %s\n", error.c_str());
            return kExitFailure;
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
        return kExitFailure;
    }
    return kExitOk;
}
