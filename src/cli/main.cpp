#include "cli/commands.h"

// velmora-cli: loads, conversions and programming runs from a terminal or a
// script. Exit codes: 0 done, 1 failed, 2 usage error.
int main(int argc, char** argv) {
    using namespace velmora::cli;
    return runCommandLine(argc, argv, {addConvertCommand, addPortsCommand, addProgramCommands});
}
