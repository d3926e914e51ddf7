#include "cli/interrupts.h"

#include "core/flags.h"

#include <csignal>

namespace velmora::cli {

namespace {

volatile std::sig_atomic_t pendingSignal = 0;

extern "C" void noteInterrupt(int signal) {
    if (pendingSignal == 0) {
        pendingSignal = signal;
        velmora::requestStop(); // the port's waits end too
        return;
    }
    // Asked again while the run ends: the operator insists, end at once.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void catchInterrupts() {
#ifdef _WIN32
    // Ctrl+C and Ctrl+Break come as SIGINT; there is no SIGHUP or SIGPIPE.
    for (int signal : {SIGINT, SIGTERM}) {
        std::signal(signal, noteInterrupt);
    }
#else
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    // Reads and writes resume after the handler; the run's waits are short, so
    // the flag is seen within one of them.
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

int interruptSignal() {
    return pendingSignal;
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP:
        return "SIGHUP";
#endif
    default:
        return "signal " + std::to_string(signal);
    }
}

void raiseInterruptFlag(int signal) {
    pendingSignal = signal;
    velmora::requestStop();
}

void clearInterruptFlag() {
    pendingSignal = 0;
    velmora::clearStopRequest();
}

} // namespace velmora::cli
