#include "cli/commands.h"

#ifdef _WIN32
#include <windows.h>

namespace {
// The progress line rewrites itself with terminal sequences ("\r\033[K");
// a Windows console takes them once asked to.
void acceptTerminalSequences() {
    const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && ::GetConsoleMode(console, &mode)) {
        ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}
} // namespace
#endif

// velmora-cli: loads, conversions and programming runs from a terminal or a
// script. Exit codes: 0 done, 1 failed, 2 usage error, 128 + a signal's number.
int main(int argc, char** argv) {
    using namespace velmora::cli;
#ifdef _WIN32
    acceptTerminalSequences();
#endif
#ifdef VELMORA_CLI_HISTORY
    return runCommandLine(argc, argv,
                          {addConvertCommand, addPortsCommand, addProgramCommands,
                           addHistoryCommand, addStationCommand, addCompletionCommand});
#else
    return runCommandLine(
        argc, argv, {addConvertCommand, addPortsCommand, addProgramCommands, addCompletionCommand});
#endif
}
