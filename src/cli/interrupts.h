#pragma once

#include <string>

namespace velmora::cli {

// SIGINT, SIGTERM and SIGHUP end a run between two steps instead of at once:
// the handler only notes the signal; the run stops its exchange, releases the
// port, writes its report and exits with 128 + the signal's number. SIGPIPE is
// ignored: a closed output stops the printing, not the board. A second
// signal while the run ends ends the process at once. On Windows: SIGINT
// (Ctrl+C) and SIGTERM.
void catchInterrupts();

// The signal that asked the run to end; 0 while none has.
int interruptSignal();
// "SIGINT", "SIGTERM", "SIGHUP".
std::string signalName(int signal);

// For tests: as if the signal had come.
void raiseInterruptFlag(int signal);
void clearInterruptFlag();

} // namespace velmora::cli
