#include "cli/commands.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>

namespace velmora::cli {

namespace {

// An option of the commands, accepted before the command too: its values
// are handed to the command's own option once the command is known.
struct OptionBeforeCommand {
    CLI::Option* option;
    std::string name; // "--port"
};

std::string optionNames(const CLI::Option& option) {
    std::string names;
    for (const std::string& name : option.get_snames()) {
        names += (names.empty() ? "-" : ",-") + name;
    }
    for (const std::string& name : option.get_lnames()) {
        names += (names.empty() ? "--" : ",--") + name;
    }
    return names;
}

std::vector<OptionBeforeCommand> acceptOptionsBeforeCommands(CLI::App& app) {
    std::vector<OptionBeforeCommand> mirrors;
    std::set<std::string> taken;
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        for (CLI::Option* option : command->get_options()) {
            const std::string names = optionNames(*option);
            if (names.empty() || option == command->get_help_ptr() || option->get_group().empty() ||
                !taken.insert(names).second) {
                continue; // a positional, the help, a hidden option, one already there
            }
            CLI::Option* mirror = option->get_expected_max() == 0
                                      ? app.add_flag(names)
                                      : app.add_option(names)->allow_extra_args(false)->take_all();
            mirror->group(""); // the commands' help lists them
            mirrors.push_back({mirror, option->get_name()});
        }
    }
    return mirrors;
}

// Hands what was given before the command to the command's own options,
// before what was given after it.
void applyOptionsBeforeCommand(const std::vector<OptionBeforeCommand>& mirrors, CLI::App& command) {
    for (const OptionBeforeCommand& mirror : mirrors) {
        if (mirror.option->count() == 0) {
            continue;
        }
        CLI::Option* own = command.get_option_no_throw(mirror.name);
        if (own == nullptr) {
            throw CLI::ArgumentMismatch(command.get_name() + " has no option " + mirror.name);
        }
        const CLI::results_t after = own->results();
        own->clear();
        own->add_result(mirror.option->results());
        own->add_result(after);
        own->run_callback();
    }
}

// The optimal string alignment distance: edits, a swap of neighbours counting one.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::vector<std::string> visibleCommands(CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        if (!command->get_group().empty()) {
            names.push_back(command->get_name());
        }
    }
    return names;
}

// A word where the command should be that names none: said with the nearest
// command; false when the failure is another one.
bool toldUnknownCommand(CLI::App& app) {
    if (!app.get_subcommands().empty()) {
        return false;
    }
    const std::vector<std::string> left = app.remaining();
    const auto word = std::find_if(left.begin(), left.end(),
                                   [](const std::string& w) { return !w.empty() && w[0] != '-'; });
    if (word == left.end()) {
        return false;
    }
    const std::vector<std::string> commands = visibleCommands(app);
    std::string line = "velmora-cli: unknown command '" + *word + "'";
    if (const std::string near = nearestCommand(*word, commands); !near.empty()) {
        line += "; did you mean '" + near + "'?";
    } else {
        std::string all;
        for (const std::string& command : commands) {
            all += (all.empty() ? "" : ", ") + command;
        }
        line += " (commands: " + all + ")";
    }
    std::cerr << line << "\nRun with --help for more information.\n";
    return true;
}

} // namespace

std::string nearestCommand(const std::string& word, const std::vector<std::string>& commands) {
    std::string best;
    std::size_t bestDistance = 3; // more edits than two: not a typo of it
    for (const std::string& command : commands) {
        const std::size_t distance =
            word.size() >= 2 && command.rfind(word, 0) == 0 ? 1 : editDistance(word, command);
        if (distance < bestDistance && distance < command.size()) {
            best = command;
            bestDistance = distance;
        }
    }
    return best;
}

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

namespace {

std::unique_ptr<CLI::App> makeApp(CommandRun& chosen, std::initializer_list<AddCommands> commands) {
    auto app = std::make_unique<CLI::App>(
        "velmora-cli: load S-record programs and write them into H8/3062F boards", "velmora-cli");
    app->require_subcommand(1);
    app->set_version_flag("--version", "velmora-cli " VELMORA_VERSION);
    app->footer("Every option of a command may also stand before it: "
                "velmora-cli --port sim flash FILE.\n"
                "Exit status: 0 done, 1 failed, 2 usage error, 128 + the signal's number "
                "after SIGINT, SIGTERM or SIGHUP.");
    for (AddCommands add : commands) {
        add(*app, chosen);
    }
    return app;
}

} // namespace

int runCommandLine(int argc, char** argv, std::initializer_list<AddCommands> commands) {
    CommandRun chosen;
    // A command line that starts with its command (the usual one) builds that
    // command alone: building every command's options is most of the start-up
    // of a short run such as a conversion. Anything else builds them all.
    chosen.only = argc > 1 ? argv[1] : "";
    std::unique_ptr<CLI::App> built = makeApp(chosen, commands);
    const auto namedOnly = [&chosen](CLI::App* command) {
        return command->get_name() == chosen.only;
    };
    if (!chosen.only.empty() &&
        (chosen.needsEveryCommand || built->get_subcommands(namedOnly).empty())) {
        chosen = CommandRun{};
        built = makeApp(chosen, commands);
    }
    CLI::App& app = *built;
    const std::vector<OptionBeforeCommand> mirrors = acceptOptionsBeforeCommands(app);
    try {
        app.parse(argc, argv);
        applyOptionsBeforeCommand(mirrors, *app.get_subcommands().front());
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() != 0 && toldUnknownCommand(app)) {
            return 2;
        }
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }
    return chosen.run ? chosen.run() : 0;
}

} // namespace velmora::cli
