// "Flash" of 64 KiB by the product's own exchanges against paced simulated
// boards: on a local pseudo-terminal and through ser2net on loopback in the
// same run, each timed against the line (every byte both ways at 10 bits at
// the rate in force; pauses excluded, pass length 0). Then velmora-cli
// programs four boards at once across two ser2net servers, each board's time
// (from the run's report) against a lone velmora-cli run through ser2net.
//
//   network_product_bench          both parts
//   network_product_bench quick    the lone runs only (no four boards)

#include "control/corvane_view.h"
#include "core/exchange.h"
#include "core/flags.h"
#include "serial/ms_comm.h"
#include "serial/port_names.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#include "served_boards.h"
#include "sim/simulated_board.h"
#include "support/quiet_operator.h"
#include "support/srec_text.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace velmora;
using WallClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t imageSize = 64 * 1024;

// The trigger word at 2400, then command block, size message, blocks and
// closing message at 9600, with the answers to each.
double flashLineSeconds(std::size_t size) {
    const std::size_t blocks = (size + 127) / 128;
    const std::size_t out = 34 + 8 + blocks * 129 + 2;
    const std::size_t back = 2 + blocks + 1;
    return 7.0 * 10 / 2400 + static_cast<double>((out + back) * 10) / 9600;
}

BoardOptions pacedBoard() {
    BoardOptions options;
    options.pace = true;
    return options;
}

bool flashHolds(const SimulatedBoard& board, const std::vector<std::uint8_t>& image) {
    const auto flash = board.flash();
    return std::equal(image.begin(), image.end(), flash.begin());
}

// One "Flash" by CCorvaneView on a paced board, locally or through ser2net;
// the wall time, or a negative time on failure.
double productFlash(bool throughNetwork) {
    const auto image = bench::flashPattern(imageSize);
    Places places;
    places.workDir =
        fs::temp_directory_path() / ("velmora-net-bench-" + std::to_string(::getpid()));
    fs::create_directories(places.workDir);
    std::ofstream(places.imageFile(), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    dataReady = 1;
    SimulatedBoard board(pacedBoard());
    if (!board.start()) {
        return -1;
    }
    std::unique_ptr<Ser2netServer> server;
    std::string port = board.devicePath();
    if (throughNetwork) {
        server = std::make_unique<Ser2netServer>(std::vector{board.terminalPath()},
                                                 Ser2netServer::Options{.passAtOnce = true});
        if (!server->running()) {
            std::fprintf(stderr, "ser2net did not start: %s\n", server->log().c_str());
            return -1;
        }
        port = server->portName();
    }
    Ports ports;
    ports.assign(CCorvaneView::directPort, port);
    SerialPort serialPort(ports);
    CMSComm comm(ports);
    comm.setPortName(port);
    testing::QuietOperator op;
    Timing timing;
    timing.pass = std::chrono::microseconds(0);
    CCorvaneView view(op, serialPort, comm, places, timing);
    const auto started = WallClock::now();
    view.flash();
    const double seconds = std::chrono::duration<double>(WallClock::now() - started).count();
    serialPort.close();
    fs::remove_all(places.workDir);
    if (view.programmedCount() != 1 || !flashHolds(board, image)) {
        std::fprintf(stderr, "failed: %s\n", op.last.c_str());
        return -1;
    }
    return seconds;
}

// Each board's "seconds" in a velmora-cli report, in the order of its boards.
std::vector<double> reportSeconds(const fs::path& report) {
    std::ifstream in(report);
    std::stringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    std::vector<double> seconds;
    for (std::size_t at = json.find("\"seconds\": "); at != std::string::npos;
         at = json.find("\"seconds\": ", at + 1)) {
        seconds.push_back(std::strtod(json.c_str() + at + 11, nullptr));
    }
    return seconds;
}

// velmora-cli's "Flash" of `boards` paced boards served by `servers` ser2net
// daemons, all at once; each board's time from the report.
std::vector<double> cliRuns(const fs::path& folder, int boards, int servers) {
    bench::ServedBoards served;
    if (!served.start(boards, servers, pacedBoard())) {
        return {};
    }
    const fs::path report = folder / "run.json";
    std::string command = std::string(VELMORA_CLI) + " flash " + (folder / "prog.mot").string() +
                          " --pass-us 0 -q --work-dir " + (folder / "work").string() +
                          " --report " + report.string();
    for (int i = 0; i < boards; ++i) {
        command += " --port " + served.portName(i);
    }
    command += " >/dev/null";
    fs::remove(report);
    if (std::system(command.c_str()) != 0) {
        return {};
    }
    const auto image = bench::flashPattern(imageSize);
    for (const auto& board : served.boards) {
        if (!flashHolds(*board, image)) {
            return {};
        }
    }
    return reportSeconds(report);
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
    const double line = flashLineSeconds(imageSize);
    std::printf("Flash 64 KiB at 9600 by the product's exchanges against paced simulated "
                "boards; ratio: wall / line\n");
    const double local = productFlash(false);
    bench::printTimed("CCorvaneView, local pseudo-terminal", local, line, 0, "");
    const double network = productFlash(true);
    bench::printTimed("CCorvaneView, through ser2net", network, line, local, "/ local");
    bool ok = local > 0 && network > 0;
    if (quick) {
        return ok ? 0 : 1;
    }

    const fs::path folder =
        fs::temp_directory_path() / ("velmora-net-cli-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder / "work");
    {
        const auto image = bench::flashPattern(imageSize);
        std::ofstream mot(folder / "prog.mot", std::ios::binary);
        mot << "S00600004844521B\r\n";
        for (std::size_t address = 0; address < image.size(); address += 32) {
            mot << testing::dataRecord(static_cast<std::uint32_t>(address),
                                       std::vector<std::uint8_t>(image.begin() + address,
                                                                 image.begin() + address + 32))
                << "\r\n";
        }
        mot << "S9030000FC\r\n";
    }
    const auto lone = cliRuns(folder, 1, 1);
    const double alone = lone.size() == 1 ? lone[0] : -1;
    bench::printTimed("velmora-cli, one board through ser2net", alone, line, 0, "");
    const auto many = cliRuns(folder, 4, 2);
    const auto again = cliRuns(folder, 1, 1);
    bench::printTimed("velmora-cli, one board through ser2net again",
                      again.size() == 1 ? again[0] : -1, line, alone, "/ alone");
    ok = ok && alone > 0 && many.size() == 4;
    for (std::size_t i = 0; i < many.size(); ++i) {
        bench::printTimed("  board " + std::to_string(i + 1) + " of 4 on 2 servers", many[i], line,
                          alone, "/ alone");
    }
    fs::remove_all(folder);
    return ok ? 0 : 1;
}
