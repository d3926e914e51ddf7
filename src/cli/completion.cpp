// velmora-cli completion bash|zsh|fish: a completion script for the shell,
// made from the program's own commands and options, so it never falls
// behind them. The value an option takes is told by its type name: PORT (a
// port: sim or a device), DIR, FILE, FILE.mot (a program); others take
// anything.

#include "cli/commands.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

namespace velmora::cli {

namespace {

struct OptionText {
    std::vector<std::string> shortNames; // "-p"
    std::vector<std::string> longNames;  // "--port"
    std::string description;
    std::string value; // the type name; empty for a flag
    bool repeatable = false;
};

struct CommandText {
    std::string name;
    std::string description;
    std::string positional; // the type name of its file; empty when it takes none
    std::vector<OptionText> options;
};

// The first sentence of a help text, as a completion shows it beside a name.
std::string shortDescription(std::string text) {
    if (const auto end = text.find(". "); end != std::string::npos) {
        text.erase(end);
    }
    if (const auto open = text.find(" ("); open != std::string::npos) {
        text.erase(open);
    }
    return text;
}

std::vector<CommandText> commandsOf(CLI::App& app) {
    std::vector<CommandText> commands;
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        if (command->get_group().empty()) {
            continue; // hidden, as this one
        }
        CommandText text{command->get_name(), shortDescription(command->get_description()), {}, {}};
        for (const CLI::Option* option : command->get_options()) {
            if (option->get_group().empty() || option == command->get_help_ptr()) {
                continue; // hidden, or the help each shell's script offers itself
            }
            if (!option->nonpositional()) {
                text.positional = option->get_type_name();
                text.positional.erase(std::min(text.positional.find(':'), text.positional.size()));
                continue;
            }
            OptionText o;
            for (const std::string& name : option->get_snames()) {
                o.shortNames.push_back("-" + name);
            }
            for (const std::string& name : option->get_lnames()) {
                o.longNames.push_back("--" + name);
            }
            o.description = shortDescription(option->get_description());
            // The type name without what a check adds to it ("US:NONNEGATIVE").
            const std::string type = option->get_type_name();
            o.value = option->get_expected_max() == 0 ? "" : type.substr(0, type.find(':'));
            o.repeatable = option->get_expected_max() > 1;
            text.options.push_back(std::move(o));
        }
        commands.push_back(std::move(text));
    }
    return commands;
}

std::vector<std::string> namesOf(const OptionText& option) {
    std::vector<std::string> names = option.shortNames;
    names.insert(names.end(), option.longNames.begin(), option.longNames.end());
    return names;
}

std::string joined(const std::vector<std::string>& words, const char* between) {
    std::string out;
    for (const std::string& word : words) {
        out += (out.empty() ? "" : between) + word;
    }
    return out;
}

// Text inside single quotes of any of the three shells.
std::string singleQuoted(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return "'" + out + "'";
}

// bash: what the word after an option completes to, each kind of value in
// one case of `case $prev in`.
std::string bashValueCases(const std::vector<CommandText>& commands) {
    std::vector<std::string> byKind[4]; // PORT, DIR, FILE/FILE.mot, anything else
    for (const CommandText& command : commands) {
        for (const OptionText& option : command.options) {
            if (option.value.empty()) {
                continue;
            }
            const int kind = option.value == "PORT"               ? 0
                             : option.value == "DIR"              ? 1
                             : option.value.rfind("FILE", 0) == 0 ? 2
                                                                  : 3;
            for (const std::string& name : namesOf(option)) {
                if (std::find(byKind[kind].begin(), byKind[kind].end(), name) ==
                    byKind[kind].end()) {
                    byKind[kind].push_back(name);
                }
            }
        }
    }
    const char* replies[4] = {
        "COMPREPLY=($(compgen -W sim -- \"$cur\") $(compgen -f -- \"${cur:-/dev/tty}\"))",
        "COMPREPLY=($(compgen -d -- \"$cur\"))", "COMPREPLY=($(compgen -f -- \"$cur\"))", ":"};
    std::string cases;
    for (int kind = 0; kind < 4; ++kind) {
        if (!byKind[kind].empty()) {
            cases += "    " + joined(byKind[kind], "|") + ")\n        " + replies[kind] +
                     "\n        return ;;\n";
        }
    }
    return cases;
}

std::string bashScript(const std::vector<CommandText>& commands) {
    std::vector<std::string> names;
    for (const CommandText& command : commands) {
        names.push_back(command.name);
    }
    std::ostringstream out;
    out << "# bash completion for velmora-cli (made by velmora-cli completion bash)\n"
        << "_velmora_cli() {\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        << "    local command='' i\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case ${COMP_WORDS[i]} in\n"
        << "        " << joined(names, "|") << ") command=${COMP_WORDS[i]}; break ;;\n"
        << "        esac\n"
        << "    done\n"
        << "    case $prev in\n"
        << bashValueCases(commands);
    out << "    esac\n"
        << "    local options='--help' file=''\n"
        << "    case $command in\n";
    for (const CommandText& command : commands) {
        std::vector<std::string> all{"-h", "--help"};
        for (const OptionText& option : command.options) {
            const auto optionNames = namesOf(option);
            all.insert(all.end(), optionNames.begin(), optionNames.end());
        }
        out << "    " << command.name << ") options=" << singleQuoted(joined(all, " "))
            << (command.positional.empty() ? "" : " file=" + singleQuoted(command.positional))
            << " ;;\n";
    }
    out << "    *)\n"
        << "        if [[ $cur != -* ]]; then\n"
        << "            COMPREPLY=($(compgen -W " << singleQuoted(joined(names, " "))
        << " -- \"$cur\"))\n"
        << "            return\n"
        << "        fi\n"
        << "        options='--help --version' ;;\n"
        << "    esac\n"
        << "    if [[ $cur == -* ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
        << "    elif [[ $file == FILE.mot ]]; then\n"
        << "        COMPREPLY=($(compgen -f -X '!*.[mM][oO][tT]' -- \"$cur\") "
           "$(compgen -d -- \"$cur\"))\n"
        << "    elif [[ -n $file ]]; then\n"
        << "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        << "    fi\n"
        << "}\n"
        << "complete -o filenames -F _velmora_cli velmora-cli\n";
    return out.str();
}

// zsh: a description inside _arguments' brackets.
std::string zshDescription(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '[' || c == ']' || c == ':' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string zshValue(const std::string& value) {
    if (value.empty()) {
        return ""; // a flag
    }
    if (value == "PORT") {
        return ":port:_velmora_cli_ports";
    }
    if (value == "DIR") {
        return ":folder:_files -/";
    }
    if (value == "FILE.mot") {
        return ":program:_files -g '*.(mot|MOT)'";
    }
    if (value.rfind("FILE", 0) == 0) {
        return ":file:_files";
    }
    return ":" + value + ": ";
}

std::string zshScript(const std::vector<CommandText>& commands) {
    std::ostringstream out;
    out << "#compdef velmora-cli\n"
        << "# zsh completion for velmora-cli (made by velmora-cli completion zsh)\n"
        << "_velmora_cli_ports() {\n"
        << "    compadd sim\n"
        << "    _files -W /dev -g 'tty(S|USB|ACM)*'\n"
        << "}\n"
        << "_velmora-cli() {\n"
        << "    local curcontext=$curcontext state line\n"
        << "    local -a commands\n"
        << "    commands=(\n";
    for (const CommandText& command : commands) {
        out << "        " << singleQuoted(command.name + ":" + command.description) << "\n";
    }
    out << "    )\n"
        << "    _arguments -C '(- *)--help[show the help]' '(- *)--version[show the version]' \\\n"
        << "        '1: :->command' '*:: :->arguments'\n"
        << "    case $state in\n"
        << "    command) _describe -t commands 'velmora-cli command' commands ;;\n"
        << "    arguments)\n"
        << "        case $words[1] in\n";
    for (const CommandText& command : commands) {
        out << "        " << command.name << ")\n"
            << "            _arguments '(- *)'{-h,--help}'[show the help]'";
        for (const OptionText& option : command.options) {
            const std::vector<std::string> names = namesOf(option);
            std::string entry = "[";
            entry += zshDescription(option.description);
            entry += "]";
            entry += zshValue(option.value);
            if (option.repeatable) {
                out << " \\\n                " << (names.size() > 1 ? "'*'{" : "'*'")
                    << joined(names, ",") << (names.size() > 1 ? "}" : "") << singleQuoted(entry);
            } else if (names.size() > 1) {
                out << " \\\n                '(" << joined(names, " ") << ")'{"
                    << joined(names, ",") << "}" << singleQuoted(entry);
            } else {
                out << " \\\n                " << singleQuoted(names.front() + entry);
            }
        }
        if (!command.positional.empty()) {
            out << " \\\n                " << singleQuoted("1" + zshValue(command.positional));
        }
        out << " ;;\n";
    }
    out << "        esac ;;\n"
        << "    esac\n"
        << "}\n"
        << "_velmora-cli \"$@\"\n";
    return out.str();
}

std::string fishScript(const std::vector<CommandText>& commands) {
    std::ostringstream out;
    out << "# fish completion for velmora-cli (made by velmora-cli completion fish)\n"
        << "complete -c velmora-cli -f\n"
        << "complete -c velmora-cli -s h -l help -d 'show the help'\n"
        << "complete -c velmora-cli -n __fish_use_subcommand -l version -d 'show the version'\n";
    for (const CommandText& command : commands) {
        out << "complete -c velmora-cli -n __fish_use_subcommand -a " << command.name << " -d "
            << singleQuoted(command.description) << "\n";
    }
    for (const CommandText& command : commands) {
        const std::string when =
            " -n " + singleQuoted("__fish_seen_subcommand_from " + command.name);
        for (const OptionText& option : command.options) {
            out << "complete -c velmora-cli" << when;
            for (const std::string& name : option.shortNames) {
                out << " -s " << name.substr(1);
            }
            for (const std::string& name : option.longNames) {
                out << " -l " << name.substr(2);
            }
            if (option.value == "PORT") {
                out << " -x -a " << singleQuoted("sim (__fish_complete_path /dev/tty)");
            } else if (option.value == "DIR") {
                out << " -x -a '(__fish_complete_directories)'";
            } else if (option.value.rfind("FILE", 0) == 0) {
                out << " -r -F";
            } else if (!option.value.empty()) {
                out << " -x";
            }
            out << " -d " << singleQuoted(option.description) << "\n";
        }
        if (command.positional == "FILE.mot") {
            out << "complete -c velmora-cli" << when << " -k -a '(__fish_complete_suffix .mot)'\n";
        } else if (!command.positional.empty()) {
            out << "complete -c velmora-cli" << when << " -F\n";
        }
    }
    return out.str();
}

} // namespace

void addCompletionCommand(CLI::App& app, CommandRun& chosen) {
    if (!chosen.builds("completion")) {
        return;
    }
    if (!chosen.only.empty()) {
        chosen.needsEveryCommand = true; // the script lists every command
        return;
    }
    auto shell = std::make_shared<std::string>();
    CLI::App* command =
        app.add_subcommand("completion", "Print a completion script for bash, zsh or fish");
    command->group(""); // for packages and the build, not for the help
    command->add_option("shell", *shell, "bash, zsh or fish")
        ->required()
        ->check(CLI::IsMember({"bash", "zsh", "fish"}));
    command->callback([&app, &chosen, shell] {
        chosen.run = [&app, shell] {
            const std::vector<CommandText> commands = commandsOf(app);
            const std::string script = *shell == "bash"  ? bashScript(commands)
                                       : *shell == "zsh" ? zshScript(commands)
                                                         : fishScript(commands);
            std::fputs(script.c_str(), stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        };
    });
}

} // namespace velmora::cli
