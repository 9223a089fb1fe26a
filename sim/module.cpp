#include "module.h"

#include "platform/hw/ioport_sim.h"

namespace sim {

SimModule::SimModule(const ModuleSettings& settings) : settings_(settings)
{
    plat::ioport::Reset();
    lines_ = std::make_unique<ModuleLines>(settings_.lines);
    serial_ = std::make_unique<ModuleSerial>(settings_.serial, *lines_);
}

SimModule::~SimModule()
{
    serial_.reset();
    lines_.reset();
}

}  // namespace sim
