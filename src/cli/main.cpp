#include "cli/commands.h"

#include <QCoreApplication>
#include <cstring>
#include <optional>

// The full velmora-cli, every command: loads and programming runs from a
// terminal or a script. Installed out of the path; the velmora-cli that
// people run starts it for everything but convert. Exit codes: 0 done,
// 1 failed, 2 usage error.
int main(int argc, char** argv) {
    // The serial link needs an application object; converting a program does
    // not, and starts faster and smaller without one.
    std::optional<QCoreApplication> qtApp;
    if (argc < 2 || std::strcmp(argv[1], "convert") != 0) {
        qtApp.emplace(argc, argv);
    }
    using namespace velmora::cli;
    return runCommandLine(argc, argv, {addConvertCommand, addPortsCommand, addProgramCommands});
}
