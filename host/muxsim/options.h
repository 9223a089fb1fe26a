// muxsim's command line: GNU options through getopt_long, with gsmmuxd's
// conventions (--opt VALUE and --opt=VALUE, -h/--help, -V/--version, one
// line without the program name for an error, exit status 2 for it).
#ifndef MUX_HOST_MUXSIM_OPTIONS_H
#define MUX_HOST_MUXSIM_OPTIONS_H

#include "sim/module_settings.h"

#include <cstdint>
#include <string>

namespace muxsim {

struct Options {
    uint64_t seed = 1;
    std::string root;
    bool trace = false;
    std::string pcap;
    std::string reg;                   // empty: the project's default configuration
    std::string scenario = "boot";
    std::string serve;                 // a tty to serve the module on, in real time
    sim::ModuleSettings module = ModuleWithModem();

    // The phone's module answers AT on every user DLCI; --module may change it.
    static sim::ModuleSettings ModuleWithModem();
};

enum class Parsed { Run, Help, Version, Error };

// Parses argv into `out`. On Error, `error` is one line without the program
// name ("--seed: not a number").
Parsed ParseOptions(int argc, char* const* argv, Options* out, std::string* error);

std::string HelpText();
std::string VersionText();

}  // namespace muxsim

#endif
