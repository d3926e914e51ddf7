#pragma once

// Programs under test run as child processes: started with their output in
// files, and those files read back.

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace velmora::testing {

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts words[0] with the rest as its arguments, no input, its standard
// output and error into the files; the child's pid (-1 if it could not fork).
inline pid_t spawn(std::vector<std::string> words, const std::filesystem::path& out,
                   const std::filesystem::path& err) {
    // Made before the fork: the child of a process with threads (a simulated
    // board's) only opens, duplicates and executes.
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int toOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int toErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(in, STDIN_FILENO);
        ::dup2(toOut, STDOUT_FILENO);
        ::dup2(toErr, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

} // namespace velmora::testing
