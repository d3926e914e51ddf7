#pragma once

#include <CLI/CLI.hpp>
#include <initializer_list>

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

using AddCommands = void (*)(CLI::App& app, CliExit& exit);

// Parses the command line with the given commands (exactly one of them must
// be named) and runs it. The command's exit code; 0 after --help, 2 for a
// usage error.
int runCommandLine(int argc, char** argv, std::initializer_list<AddCommands> commands);

} // namespace velmora::cli
