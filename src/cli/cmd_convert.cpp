#include "cli/commands.h"

namespace velmora::cli {

// Placeholder until the convert command is built: registers nothing yet.
void addConvertCommand(CLI::App&, CliExit&) {}

} // namespace velmora::cli
