// muxsim --serve TTY: the simulated module served in real time on a tty, by
// a process of its own, so that a host program with a real-tty backend
// (gsmmuxd --port) can be run against it through a pseudo-terminal pair.
#ifndef MUX_HOST_MUXSIM_SERVE_H
#define MUX_HOST_MUXSIM_SERVE_H

#include "sim/module.h"

#include <string>

namespace muxsim {

// Serves until SIGINT or SIGTERM (0) or until the tty goes away (1, with
// `error` in words); 2 when the tty cannot be opened. The module runs from
// the start (its control lines are not wired to the tty) and answers at the
// tty's far end as it would on the phone's UART.
int Serve(const std::string& ttyPath, sim::ModuleSettings settings, std::string* error);

}  // namespace muxsim

#endif
