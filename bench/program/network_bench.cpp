// Programming runs through network serial ports (ser2net on loopback, serving
// paced simulated boards), beside the same runs on a local pseudo-terminal,
// both by the protocol's plainest host (bare_host.h), timed against the line:
// every byte both ways at 10 bits each at the rate in force.
//
//   network_bench          "Flash" of 64 KiB at 9600 and a 64 KiB write at 38400:
//                          local, through ser2net alone, four boards at once
//                          across two ser2net servers, and alone again (the
//                          spread of the two lone runs is the machine's noise)
//   network_bench quick    the write at 38400 only

#include "bare_host.h"
#include "serial/network_transport.h"
#include "served_boards.h"
#include "sim/simulated_board.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace velmora;
using WallClock = std::chrono::steady_clock;

namespace {

constexpr std::size_t imageSize = 64 * 1024;

// Line time of one write: command block, size message, blocks, closing
// message, and the answers to each.
double writeLineSeconds(std::size_t size, int baud) {
    const std::size_t blocks = (size + 127) / 128;
    const std::size_t out = 34 + 8 + blocks * 129 + 2;
    const std::size_t back = 2 + blocks + 1;
    return static_cast<double>((out + back) * 10) / baud;
}

struct Run {
    const char* what;
    int baud;         // the write's rate
    bool withTrigger; // "Flash": the trigger word at 2400 first
    double lineSeconds() const {
        return (withTrigger ? 7.0 * 10 / 2400 : 0) + writeLineSeconds(imageSize, baud);
    }
};

// One run by a host on a board; the wall time, or a negative time on failure.
double timeRun(const Run& run, SimulatedBoard& board, bench::ProtocolHost& host) {
    const auto image = bench::flashPattern(imageSize);
    if (!host.setBaud(run.withTrigger ? 2400 : run.baud)) {
        return -1;
    }
    const auto started = WallClock::now();
    bool ok = !run.withTrigger || (host.sendTriggerWord("reflshu") && host.setBaud(run.baud));
    if (run.withTrigger) {
        std::printf("    (trigger word and the change to %d: %.3f s)\n", run.baud,
                    std::chrono::duration<double>(WallClock::now() - started).count());
    }
    ok = ok && host.write(image) && board.waitForCompletedWrites(1, std::chrono::seconds(5));
    const double seconds = std::chrono::duration<double>(WallClock::now() - started).count();
    const auto flash = board.flash();
    return ok && std::equal(image.begin(), image.end(), flash.begin()) ? seconds : -1;
}

BoardOptions pacedBoard(const Run& run) {
    BoardOptions options;
    options.pace = true;
    // A plain write is taken at once, at the write's rate.
    options.startInReflashMode = !run.withTrigger;
    options.reflashBaud = run.baud;
    return options;
}

double localRun(const Run& run) {
    SimulatedBoard board(pacedBoard(run));
    if (!board.start()) {
        return -1;
    }
    bench::BareHost host(board, board.devicePath());
    return host.ok() ? timeRun(run, board, host) : -1;
}

// `boards` paced boards served by `servers` ser2net daemons, all programmed at
// once; each board's wall time.
std::vector<double> networkRuns(const Run& run, int boards, int servers) {
    bench::ServedBoards served;
    if (!served.start(boards, servers, pacedBoard(run))) {
        return {};
    }
    std::vector<double> seconds(boards, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < boards; ++i) {
        threads.emplace_back([&, i] {
            auto transport = makeNetworkTransport(served.portName(i));
            bench::TransportHost host(*served.boards[i], *transport);
            seconds[i] = timeRun(run, *served.boards[i], host);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
    std::vector<Run> runs;
    if (!quick) {
        runs.push_back({"Flash 64 KiB at 9600", 9600, true});
    }
    runs.push_back({"Write 64 KiB at 38400", 38400, false});

    bool ok = true;
    std::printf(
        "Runs against paced simulated boards by the bare protocol host; ratio: wall / line\n");
    for (const Run& run : runs) {
        const double line = run.lineSeconds();
        const double local = localRun(run);
        bench::printTimed(std::string(run.what) + ", local pseudo-terminal", local, line, 0, "");
        const auto lone = networkRuns(run, 1, 1);
        const double alone = lone.empty() ? -1 : lone[0];
        bench::printTimed(std::string(run.what) + ", through ser2net", alone, line, local,
                          "/ local");
        const auto many = networkRuns(run, 4, 2);
        const auto again = networkRuns(run, 1, 1);
        bench::printTimed(std::string(run.what) + ", through ser2net again",
                          again.empty() ? -1 : again[0], line, local, "/ local");
        ok = ok && local > 0 && alone > 0 && many.size() == 4;
        for (std::size_t i = 0; i < many.size(); ++i) {
            const std::string what = "  board " + std::to_string(i + 1) + " of 4 on 2 servers";
            bench::printTimed(what, many[i], line, alone, "/ alone");
            ok = ok && many[i] > 0;
        }
    }
    return ok ? 0 : 1;
}
