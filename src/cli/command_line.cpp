#include "cli/commands.h"

namespace velmora::cli {

int runCommandLine(int argc, char** argv, std::initializer_list<AddCommands> commands) {
    CLI::App app{"velmora-cli: load S-record programs and write them into H8/3062F boards"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "velmora-cli " VELMORA_VERSION);
    CliExit exit;
    for (AddCommands add : commands) {
        add(app, exit);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }
    return exit.code;
}

} // namespace velmora::cli
