#include "cli/commands.h"

namespace velmora::cli {

// Placeholder until the program command is built: registers nothing yet.
void addProgramCommands(CLI::App&, CliExit&) {}

} // namespace velmora::cli
