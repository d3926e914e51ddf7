// Many boards at once against one board alone: velmora-cli programs a 64 KiB
// program into paced simulated boards (every byte at the line rate), first one
// board, then eight at once; the ratio of the two wall times is the cost of
// programming them together (goal: at most 1.2).
//
//   production_bench [BOARDS]     default 8

#include "support/srec_text.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

pid_t startBoard(const fs::path& link) {
    pid_t pid = fork();
    if (pid == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        execl(VELMORA_SIM, VELMORA_SIM, "--pace", "--link", link.c_str(), nullptr);
        _exit(127);
    }
    for (int tries = 0; tries < 500 && !fs::exists(link); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

// Seconds velmora-cli takes for these boards; negative when a board failed.
double programBoards(const fs::path& dir, int count) {
    std::vector<pid_t> boards;
    std::string command = std::string(VELMORA_CLI) + " flash " + (dir / "prog.mot").string() +
                          " -q --pass-us 0 --work-dir " +
                          (dir / ("work" + std::to_string(count))).string();
    for (int i = 0; i < count; ++i) {
        fs::path link = dir / ("board" + std::to_string(count) + "-" + std::to_string(i));
        boards.push_back(startBoard(link));
        command += " --port " + link.string();
    }
    command += " </dev/null >/dev/null";
    auto started = Clock::now();
    int status = std::system(command.c_str());
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    for (pid_t board : boards) {
        kill(board, SIGTERM);
        waitpid(board, nullptr, 0);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -seconds;
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 8;
    fs::path dir =
        fs::temp_directory_path() / ("velmora-production-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "prog.mot", std::ios::binary) << velmora::testing::programText(
        64 * 1024, [](std::uint32_t address) { return static_cast<std::uint8_t>(address * 13); });
    double alone = programBoards(dir, 1);
    double together = programBoards(dir, count);
    fs::remove_all(dir);
    std::printf("64 KiB, paced boards: 1 board %.2f s, %d boards at once %.2f s, ratio %.3f "
                "(goal <= 1.2)\n",
                alone, count, together, together / alone);
    return alone > 0 && together > 0 ? 0 : 1;
}
