#include "cli/commands.h"

#include <QCoreApplication>
#include <cstring>
#include <optional>

// velmora-cli: loads and programming runs from a terminal or a script.
// Exit codes: 0 done, 1 failed, 2 usage error.
int main(int argc, char** argv) {
    // The serial link needs an application object; converting a program does
    // not, and starts faster and smaller without one.
    std::optional<QCoreApplication> qtApp;
    if (argc < 2 || std::strcmp(argv[1], "convert") != 0) {
        qtApp.emplace(argc, argv);
    }
    CLI::App app{"velmora-cli: load S-record programs and write them into H8/3062F boards"};
    app.require_subcommand(1);
    velmora::cli::CliExit exit;
    velmora::cli::addConvertCommand(app, exit);
    velmora::cli::addPortsCommand(app, exit);
    velmora::cli::addProgramCommands(app, exit);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }
    return exit.code;
}
