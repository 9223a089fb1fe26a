// What stands under "COM9:" and at the far end of the module's control
// lines: the simulated module running in this process (the default), or a
// real tty with the simulated module's lines or with none (a modem without
// the phone's GPIO wiring: GSM_RF_OK high, always awake, the reset pulses
// change nothing, DTR on the tty's DTR). Without lines the reset is the
// 27.010 close-down (CLD, then DISC on DLCI 0) on the tty, so that a module
// an earlier run left in multiplexer mode goes back to AT commands.
#ifndef MUX_HOST_GSMMUXD_LINE_H
#define MUX_HOST_GSMMUXD_LINE_H

#include "options.h"
#include "platform/tty/serial_tty.h"
#include "sim/module.h"

#include <memory>
#include <string>

namespace gsmmuxd {

class Line {
public:
    // Null with `error` in one line when the tty cannot be had.
    static std::unique_ptr<Line> Open(const Options& options, std::string* error);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Empty while the line is there; otherwise why it went, in words.
    std::string Failure() const;
    // The module no longer runs the multiplexer (it stopped answering, or
    // closed it): without lines, GSM_RF_OK goes low until the next reset
    // brings it back, so that the driver does not wait for answers to its
    // DISCs meanwhile. With lines the module drives GSM_RF_OK itself.
    void ModuleLost();
    // The simulated module records what crossed its pins for tests; a
    // daemon forgets it now and then, so that it does not grow for ever.
    void Trim();

private:
    Line() = default;
    void WireNoLines();
    void CloseDownOnReset();

    std::unique_ptr<sim::SimModule> module_;
    std::unique_ptr<plat::serial::TtyBackend> tty_;
    std::unique_ptr<sim::ModuleLines> lines_;
    uint64_t dtrListener_ = 0;
    uint64_t resetListener_ = 0;
};

}  // namespace gsmmuxd

#endif
