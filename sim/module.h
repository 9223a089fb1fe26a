// The simulated GSM module: one object standing in for the hardware at the
// far end of the module lines and of the UART. It is configured through a
// plain settings structure and keeps its own state: it sees the driver only
// through the host's register block (and, for the serial half, the port),
// never through the driver's variables.
//
// Constructing a module powers the simulated board up: the I/O port register
// block goes back to its power-on values (plat::ioport::Reset) before the
// module starts to drive its inputs (GSM_RF_OK low, D1 low). Make at most one
// at a time, after the SimWorld and destroyed before it.
//
// Halves:
//   lines  (module_lines.h): reset, GSM_RF_OK, sleep/wake, DTR.
//   serial (module_serial.h): the UART side, added with the serial transport.
#ifndef MUX_SIM_MODULE_H
#define MUX_SIM_MODULE_H

#include "module_lines.h"
#include "module_serial.h"

#include <memory>

namespace sim {

struct ModuleSettings {
    // The lines; defaults documented in module_lines.h.
    LineSettings lines;

    // The UART side; defaults documented in module_serial.h.
    SerialSettings serial;
};

class SimModule {
public:
    explicit SimModule(const ModuleSettings& settings = ModuleSettings());
    ~SimModule();
    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    const ModuleSettings& Settings() const { return settings_; }

    // The line half, for everything it offers (see module_lines.h).
    ModuleLines& Lines() { return *lines_; }
    const ModuleLines& Lines() const { return *lines_; }

    // Shortcuts used by the serial half and by tests.
    ModuleState State() const { return lines_->State(); }
    bool Booted() const { return lines_->Booted(); }   // running, GSM_RF_OK high
    bool Asleep() const { return lines_->Asleep(); }   // D1 high
    HostPower Host() const { return lines_->Host(); }  // what DTR says
    void Crash() { lines_->Crash(); }
    void Glitch() { lines_->Glitch(); }

    // The serial half: UART, AT mode, 27.010 peer, record (module_serial.h).
    ModuleSerial& Serial() { return *serial_; }
    const ModuleSerial& Serial() const { return *serial_; }

private:
    ModuleSettings settings_;
    std::unique_ptr<ModuleLines> lines_;

    std::unique_ptr<ModuleSerial> serial_;
};

}  // namespace sim

#endif
