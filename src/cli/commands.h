#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <initializer_list>
#include <string>

// Each subcommand of velmora-cli lives in a file of its own and registers
// itself here. A command's callback, run while the command line is read,
// leaves its run in CommandRun; it is started once every option is in place
// (those given before the command too).
namespace velmora::cli {

struct CommandRun {
    std::function<int()> run; // the chosen command: its exit code
    // When not empty, only the command of this name is built: a command line
    // that names its command first needs no other.
    std::string only;
    // Set by a command that reads all the others (completion): build them all.
    bool needsEveryCommand = false;
    bool builds(const char* name) const { return only.empty() || only == name; }
};

void addConvertCommand(CLI::App& app, CommandRun& chosen);
void addPortsCommand(CLI::App& app, CommandRun& chosen);
void addProgramCommands(CLI::App& app, CommandRun& chosen);
void addHistoryCommand(CLI::App& app, CommandRun& chosen);
void addStationCommand(CLI::App& app, CommandRun& chosen);
// The hidden `completion bash|zsh|fish`: a completion script made from the
// commands and options of `app`.
void addCompletionCommand(CLI::App& app, CommandRun& chosen);

using AddCommands = void (*)(CLI::App& app, CommandRun& chosen);

// Parses the command line with the given commands (exactly one of them must
// be named) and runs it. The command's exit code; 0 after --help, 2 for a
// usage error.
int runCommandLine(int argc, char** argv, std::initializer_list<AddCommands> commands);

// The command nearest to an unknown word (a typo, a transposition, the start
// of a name); empty when none is near.
std::string nearestCommand(const std::string& word, const std::vector<std::string>& commands);

// The environment variable's value; empty when unset.
std::string environmentValue(const char* name);

} // namespace velmora::cli
