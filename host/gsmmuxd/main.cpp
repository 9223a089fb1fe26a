// gsmmuxd: the driver's virtual ports as Linux pseudo-terminals. Runs the
// unchanged driver in real time as its device manager, on a real tty under
// "COM9:", and bridges each instance ("MUX1:", ...) to a pseudo-terminal
// linked as DIR/MUX1, DIR/MUX2, ... until SIGINT, SIGTERM or SIGHUP.
#include "daemon.h"
#include "options.h"
#include "platform/host.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>

int main(int argc, char** argv)
{
    using namespace gsmmuxd;
    Options options;
    std::string error;
    switch (ParseOptions(argc, argv, &options, &error)) {
    case Parsed::Help: fputs(HelpText().c_str(), stdout); return kExitOk;
    case Parsed::Version: fputs(VersionText().c_str(), stdout); return kExitOk;
    case Parsed::Error: fprintf(stderr, "gsmmuxd: %s\n", error.c_str()); return kExitBadInput;
    case Parsed::Run: break;
    }
    // The signals are taken by the main thread's wait alone: block them
    // before any thread starts, so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Closing the terminal or the ssh session it runs in: the same orderly end.
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    plat::UseRealTime();

    Daemon daemon(options);
    int status = daemon.Start();
    if (status == kExitOk) status = daemon.WaitForEnd(signals);
    daemon.Shutdown();
    if (status != kExitOk) fprintf(stderr, "gsmmuxd: %s\n", daemon.Error().c_str());
    return status;
}
