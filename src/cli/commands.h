#pragma once

#include <CLI/CLI.hpp>

// Each subcommand of velmora-cli lives in a file of its own and registers
// itself here. A callback that ends the run sets the exit code through
// CliExit.
namespace velmora::cli {

struct CliExit {
    int code = 0;
};

void addConvertCommand(CLI::App& app, CliExit& exit);
void addPortsCommand(CLI::App& app, CliExit& exit);
void addProgramCommands(CLI::App& app, CliExit& exit);

} // namespace velmora::cli
