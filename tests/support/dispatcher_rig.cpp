#include "dispatcher_rig.h"

#include "dispatcher/dispatcher.h"
#include "platform.h"

#include <cstdlib>
#include <regex>

void SleepMs(uint32_t ms)
{
    Sleep(ms);
}

DispatcherRig::DispatcherRig(uint64_t seed, const ModemScript& script) : world_(seed)
{
    log_ = std::make_unique<LogCapture>();
    lines_ = std::make_unique<sim::ModuleLines>(sim::LineSettings());
    modem_ = std::make_unique<ScriptedModem>(*lines_, script);
    // An idle dispatcher, as after loading the driver.
    g_dispatcher.Reset();
}

DispatcherRig::~DispatcherRig()
{
    g_dispatcher.Stop();
    g_dispatcher.ClosePort();
    modem_.reset();
    lines_.reset();
    log_.reset();
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
