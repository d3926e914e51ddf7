#pragma once

// Programs run by tests: a shell command line waited for, or a program
// started with its output in files and left running.

#include "support/test_files.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace velmora::testing {

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string shellQuoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

// The lines that name serial adapters plugged into this machine (a failed
// run offers them as places the board may be) left out: they differ from
// machine to machine.
inline std::string withoutAdapterLines(const std::string& text) {
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(start, 20, "The board may be on ") != 0) {
            kept.append(text, start, end - start);
        }
        start = end;
    }
    return kept;
}

// Runs a shell command line, its output collected in files of `folder`.
inline CommandResult runCommand(const std::string& commandLine,
                                const std::filesystem::path& folder) {
    const auto out = folder / ".out";
    const auto err = folder / ".err";
    const int status = std::system((commandLine + " >" + shellQuoted(out.string()) + " 2>" +
                                    shellQuoted(err.string()) + " </dev/null")
                                       .c_str());
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readText(out);
    result.err = readText(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return result;
}

// Starts the program words[0] with the other words as its arguments, input
// from /dev/null, output to `out` (or to the descriptor `outFd` when given)
// and errors to `err`; an empty path sends that stream to /dev/null.
inline pid_t spawnProgram(std::vector<std::string> words, const std::filesystem::path& out,
                          const std::filesystem::path& err, int outFd = -1) {
    // Everything is made before the fork: the child of a process with threads
    // (a simulated board's) only opens, duplicates and executes.
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string outPath = out.empty() ? "/dev/null" : out.string();
    const std::string errPath = err.empty() ? "/dev/null" : err.string();
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
    ::dup2(outFd >= 0 ? outFd : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666),
           STDOUT_FILENO);
    ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

struct TerminalRun {
    int exitCode = -1;  // -1 when it had not ended 10 s after its terminal went quiet
    std::string screen; // every byte the terminal was sent
};

// Runs words[0] with the other words as its arguments, its stderr (and its
// stdout, unless `stdoutOnTerminal` is false: then /dev/null) on a
// pseudo-terminal, the environment changed by `environment` ("TERM=dumb";
// "NAME=" sets it empty). Waits for the terminal to go quiet for 30 s or be
// closed.
inline TerminalRun runOnTerminal(std::vector<std::string> words,
                                 const std::vector<std::string>& environment = {},
                                 bool stdoutOnTerminal = true) {
    std::vector<std::string> variables = environment;
    for (char** each = environ; *each != nullptr; ++each) {
        const std::string variable = *each;
        const std::string name = variable.substr(0, variable.find('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& set) { return set.rfind(name, 0) == 0; })) {
            variables.push_back(variable);
        }
    }
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    TerminalRun run;
    int ours = -1;
    int theirs = -1;
    if (::openpty(&ours, &theirs, nullptr, nullptr, nullptr) != 0) {
        run.screen = std::string("openpty: ") + std::strerror(errno);
        return run;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(stdoutOnTerminal ? theirs : ::open("/dev/null", O_WRONLY), STDOUT_FILENO);
        ::dup2(theirs, STDERR_FILENO);
        ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(theirs);
    char buffer[4096];
    pollfd terminal{ours, POLLIN, 0};
    while (::poll(&terminal, 1, 30000) > 0) {
        const ssize_t got = ::read(ours, buffer, sizeof buffer);
        if (got <= 0) {
            break; // the run has ended and closed the terminal
        }
        run.screen.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(ours);
    int status = 0;
    for (int tries = 0; ::waitpid(pid, &status, WNOHANG) == 0; ++tries) {
        if (tries == 1000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

} // namespace velmora::testing
