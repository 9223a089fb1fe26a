#include "dispatcher_rig.h"

#include "dispatcher/dispatcher.h"
#include "host/muxhost/muxhost.h"
#include "platform/platform.h"

#include <cstdlib>
#include <regex>

void SleepMs(uint32_t ms)
{
    Sleep(ms);
}

sim::ModuleSettings DispatcherRig::DefaultModule()
{
    sim::ModuleSettings m;
    m.serial.cmuxReplyDelayMs = 5;
    // The module's first write is its answer to AT+CMUX.
    m.serial.splits.push_back(sim::WriteSplit{1, 3, 30});
    m.serial.uaDelayMs = 2;
    return m;
}

DispatcherRig::DispatcherRig(uint64_t seed, const sim::ModuleSettings& module) : world_(seed)
{
    log_ = std::make_unique<LogCapture>();
    module_ = std::make_unique<sim::SimModule>(module);
    // An idle dispatcher, as after loading the driver.
    g_dispatcher.Reset();
}

DispatcherRig::~DispatcherRig()
{
    muxhost::UnloadMuxDriver();
    module_.reset();
    log_.reset();
}

std::vector<HostFrame> DispatcherRig::Frames() const
{
    std::vector<HostFrame> out;
    for (const auto& e : module_->Serial().Record())
        if (e.direction == sim::Direction::HostToModule && e.kind == sim::RecordKind::Frame)
            out.push_back(HostFrame{e.timeMs, e.octets});
    return out;
}

std::string DispatcherRig::AtText() const
{
    std::string out;
    for (const auto& e : module_->Serial().Record())
        if (e.direction == sim::Direction::HostToModule && e.kind == sim::RecordKind::At)
            out.append(e.octets.begin(), e.octets.end());
    return out;
}

uint64_t DispatcherRig::CmuxAtMs() const
{
    uint64_t at = 0;
    for (const auto& e : module_->Serial().Record()) {
        if (e.direction != sim::Direction::HostToModule || e.kind != sim::RecordKind::At) continue;
        const std::string line(e.octets.begin(), e.octets.end());
        if (line.rfind("AT+CMUX=", 0) == 0) at = e.timeMs;
    }
    return at;
}

long DispatcherRig::TimeOf(const std::string& message)
{
    static const std::regex time("Time ?= ?([0-9]+)");
    std::smatch m;
    if (!std::regex_search(message, m, time)) return -1;
    return std::strtol(m[1].str().c_str(), nullptr, 10);
}

std::string DispatcherRig::Dump() const
{
    std::string out;
    for (const auto& m : log_->Messages()) out += m;
    return out;
}
