// velmora-cli against a network port server that floods: `velmora-cli flash`
// of a 128 KiB program through a scripted server on the loopback that, once
// the run sends its first byte, sends data as fast as the socket takes it.
// In the same run, as the reference, the same program is flashed to a
// simulated board (`--port sim`). For each run the bench prints the peak
// resident memory of velmora-cli (ru_maxrss from wait4), its wall time and
// exit code, and the ratios against the bars: at most 32 MB, an end within
// 30 s with exit 1, and within 2 s of a SIGTERM.
//
//   flood_bench [FLOOD-BYTE-HEX...]   the bytes the server floods with
//                                     (default 11 00: "next block" and junk)

#include "support/run_command.h"
#include "support/scripted_port_server.h"
#include "support/srec_text.h"
#include "support/test_files.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using velmora::testing::ScriptedPortServer;

namespace {

constexpr double memoryBarKiB = 32 * 1024;
constexpr double endBarSeconds = 30;
constexpr double signalBarSeconds = 2;

struct Run {
    int exitCode = -1;
    long maxRssKiB = 0;
    double seconds = 0;
    double afterSignal = -1; // seconds from SIGTERM to the end; -1 when none was sent
};

// Runs velmora-cli flash on the port; with signalAfter, sends SIGTERM then.
Run flash(const fs::path& folder, const std::string& port,
          std::chrono::milliseconds signalAfter = 0ms) {
    const pid_t pid =
        velmora::testing::spawnProgram({VELMORA_CLI, "flash", (folder / "prog.mot").string(),
                                        "--port", port, "--work-dir", folder.string(), "-q"},
                                       "", folder / "err.txt");
    const auto started = Clock::now();
    Clock::time_point signalled{};
    Run run;
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t ended = ::wait4(pid, &status, WNOHANG, &usage);
        if (ended == pid) {
            break;
        }
        const auto now = Clock::now();
        if (signalAfter > 0ms && signalled == Clock::time_point{} && now - started >= signalAfter) {
            ::kill(pid, SIGTERM);
            signalled = now;
        }
        if (now - started > 120s) {
            ::kill(pid, SIGKILL); // far past every bar: end it and say so
        }
        std::this_thread::sleep_for(1ms);
    }
    const auto end = Clock::now();
    run.seconds = std::chrono::duration<double>(end - started).count();
    if (signalled != Clock::time_point{}) {
        run.afterSignal = std::chrono::duration<double>(end - signalled).count();
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.maxRssKiB = usage.ru_maxrss;
    return run;
}

void print(const char* what, const Run& run, const Run& reference) {
    std::printf("%-34s %4d %9ld %7.2f %7.2f %8.2f", what, run.exitCode, run.maxRssKiB,
                static_cast<double>(run.maxRssKiB) / static_cast<double>(reference.maxRssKiB),
                run.maxRssKiB / memoryBarKiB, run.seconds);
    if (run.afterSignal >= 0) {
        std::printf(" %8.2f %6.2f", run.afterSignal, run.afterSignal / signalBarSeconds);
    } else {
        std::printf(" %8s %6.2f", "-", run.seconds / endBarSeconds);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::uint8_t> floodBytes;
    for (int i = 1; i < argc; ++i) {
        floodBytes.push_back(static_cast<std::uint8_t>(std::strtoul(argv[i], nullptr, 16)));
    }
    if (floodBytes.empty()) {
        floodBytes = {0x11, 0x00};
    }
    std::string pattern = (fs::temp_directory_path() / "velmora-flood-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("flood_bench: mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;
    velmora::testing::writeText(folder / "prog.mot",
                                velmora::testing::programText(0x20000, [](std::uint32_t address) {
                                    return static_cast<std::uint8_t>(address * 7 + 3);
                                }));

    std::printf("velmora-cli flash of a 128 KiB program; bars: maxrss <= 32 MB, end <= 30 s "
                "with exit 1, <= 2 s after SIGTERM\n\n");
    std::printf("%-34s %4s %9s %7s %7s %8s %8s %6s\n", "run", "exit", "maxrss", "/ref", "/bar",
                "seconds", "signal", "/bar");
    const Run reference = flash(folder, "sim");
    print("simulated board (reference)", reference, reference);
    for (std::uint8_t byte : floodBytes) {
        ScriptedPortServer server(ScriptedPortServer::Part::Flood, byte);
        if (!server.running()) {
            std::fprintf(stderr, "flood_bench: no loopback port for the server\n");
            return 1;
        }
        char what[64];
        std::snprintf(what, sizeof what, "flood of 0x%02X", byte);
        const Run flooded = flash(folder, server.portName());
        print(what, flooded, reference);
        std::printf("%s", velmora::testing::readText(folder / "err.txt").c_str());
        // The signal comes when nine tenths of the run above have passed.
        const auto signalAfter =
            std::chrono::milliseconds(static_cast<long>(flooded.seconds * 900));
        std::snprintf(what, sizeof what, "flood of 0x%02X, SIGTERM after %.2f s", byte,
                      signalAfter.count() / 1000.0);
        print(what, flash(folder, server.portName(), signalAfter), reference);
        std::printf("%-34s %.1f MB sent by the server\n", "", server.flooded() / 1e6);
    }
    std::printf("\nthe last run's messages:\n%s",
                velmora::testing::readText(folder / "err.txt").c_str());
    fs::remove_all(folder);
    return 0;
}
