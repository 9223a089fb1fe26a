#include "module.h"

#include "ioport_sim.h"

namespace sim {

SimModule::SimModule(const ModuleSettings& settings) : settings_(settings)
{
    plat::ioport::Reset();
    lines_ = std::make_unique<ModuleLines>(settings_.lines);
}

SimModule::~SimModule()
{
    lines_.reset();
}

}  // namespace sim
