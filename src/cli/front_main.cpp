#include "cli/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

// velmora-cli as people run it. It links no Qt, so converting a program
// starts as fast and small as a plain program: `convert` runs here. Every
// other command line (flash, write, boot, ports, --help, errors) goes to the
// full program, which has every command and the serial link, with the same
// arguments and argv[0], so its help and messages still say velmora-cli.

#ifndef VELMORA_CLI_FULL_NAME
#define VELMORA_CLI_FULL_NAME "velmora-cli-serial"
#endif
#ifndef VELMORA_CLI_FULL_INSTALLED
#define VELMORA_CLI_FULL_INSTALLED "/usr/local/libexec/velmora/" VELMORA_CLI_FULL_NAME
#endif

namespace {

namespace fs = std::filesystem;

// Next to this program first (a build tree), then where the package puts it.
std::vector<fs::path> fullProgramPlaces() {
    std::vector<fs::path> places;
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        places.push_back(self.parent_path() / VELMORA_CLI_FULL_NAME);
    }
    places.emplace_back(VELMORA_CLI_FULL_INSTALLED);
    return places;
}

// Only returns when the full program cannot be run.
int runFullProgram(char** argv) {
    const std::vector<fs::path> places = fullProgramPlaces();
    for (const fs::path& place : places) {
        if (::access(place.c_str(), X_OK) == 0) {
            ::execv(place.c_str(), argv);
            std::fprintf(stderr, "velmora-cli: cannot run %s: %s\n", place.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::string looked;
    for (const fs::path& place : places) {
        looked += looked.empty() ? "" : " or ";
        looked += place.string();
    }
    std::fprintf(stderr,
                 "velmora-cli: cannot find %s, which runs every command but convert "
                 "(looked for %s)\n",
                 VELMORA_CLI_FULL_NAME, looked.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "convert") == 0) {
        return velmora::cli::runCommandLine(argc, argv, {velmora::cli::addConvertCommand});
    }
    return runFullProgram(argv);
}
