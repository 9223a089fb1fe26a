// gsmmuxd's command line: GNU options through getopt_long.
#ifndef MUX_HOST_GSMMUXD_OPTIONS_H
#define MUX_HOST_GSMMUXD_OPTIONS_H

#include <string>

namespace gsmmuxd {

// Where the links go unless --link-dir says otherwise: the user's runtime
// directory ($XDG_RUNTIME_DIR/gsmmux), /run/gsmmux for root; empty when a
// user has no runtime directory.
std::string DefaultLinkDir();

// What drives the module's control lines.
enum class Lines { Sim, None };

struct Options {
    std::string regFile;           // empty: the project's default configuration
    std::string portDevice;        // "COM9:" when --port was given
    std::string portTty;           // its tty; empty: the simulated module
    Lines lines = Lines::Sim;
    std::string linkDir = DefaultLinkDir();
    std::string root;              // the driver's files; empty: the current directory
    bool trace = false;
    std::string pcap;              // empty: none; "-": standard output
    bool status = false;
    // Seconds between modem-status queries (an MSC on DLCI 0): the
    // keep-alive that notices a module that went away, and the V.24
    // signals of the status lines. 0: none.
    int keepAliveS = 5;
    bool waitForTty = false;  // a tty that went away is waited for, not an exit
    bool log = false;              // the driver's log on for this run
};

enum class Parsed { Run, Help, Version, Error };

// Parses argv into `out`. On Error, `error` is one line without the program
// name ("--lines wants none or sim, got \"x\"").
Parsed ParseOptions(int argc, char* const* argv, Options* out, std::string* error);

std::string HelpText();
std::string VersionText();

}  // namespace gsmmuxd

#endif
