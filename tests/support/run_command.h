#pragma once

#include "image_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

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
    auto text = [](const std::filesystem::path& file) {
        auto bytes = readBytes(file);
        std::filesystem::remove(file);
        return std::string(bytes.begin(), bytes.end());
    };
    result.out = text(out);
    result.err = text(err);
    return result;
}

} // namespace velmora::testing
