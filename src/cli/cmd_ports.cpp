#include "cli/commands.h"

namespace velmora::cli {

// Placeholder until the ports command is built: registers nothing yet.
void addPortsCommand(CLI::App&, CliExit&) {}

} // namespace velmora::cli
