#pragma once

// Programs run by tests: a shell command line waited for, or a program
// started with its output in files and left running.

#include "support/test_files.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

} // namespace velmora::testing
