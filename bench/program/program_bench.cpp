// Programming runs against the paced simulated board, timed against the line:
// every byte both ways at 10 bits each at the rate in force, pauses excluded
// (pass length 0). Also the host's CPU time (the thread that drives the run)
// as a share of the wall time.
//
//   program_bench           64 KiB and 128 KiB at 9600 and 38400, the boot download
//   program_bench quick     64 KiB only

#include "bare_host.h"
#include "control/corvane_view.h"
#include "core/flags.h"
#include "serial/ms_comm.h"
#include "serial/port_names.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#include "sim/simulated_board.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;
using WallClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Drives exchanges as the CLI does, silently, and notes when each ran.
class TimingOperator : public Operator {
public:
    struct Run {
        std::string caption;
        WallClock::time_point started, ended;
        double cpuSeconds = 0;
        int result = 0;
    };
    std::vector<Run> runs;
    std::vector<std::string> messages;
    // When the last pause of each length began.
    std::map<int, WallClock::time_point> pauses;

    void showMessage(std::string_view text, Icon) override { messages.emplace_back(text); }
    int runExchange(Exchange& exchange) override {
        Run run{exchange.caption(), WallClock::now(), {}, 0, 0};
        const double cpuBefore = threadCpuSeconds();
        run.result = runToEnd(exchange);
        run.ended = WallClock::now();
        run.cpuSeconds = threadCpuSeconds() - cpuBefore;
        runs.push_back(run);
        return run.result;
    }
    void pause(int passes) override { pauses[passes] = WallClock::now(); }
    void notify(std::string_view text, Notice) override { messages.emplace_back(text); }
};

// Line time of one write of `size` bytes: command block, size message, blocks,
// closing message, and the answers to each.
double writeLineSeconds(std::size_t size, int baud) {
    const std::size_t blocks = (size + 127) / 128;
    const std::size_t out = 34 + 8 + blocks * 129 + 2;
    const std::size_t back = 2 + blocks + 1;
    return static_cast<double>((out + back) * 10) / baud;
}

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 29 + seed + (i >> 7));
    }
    return bytes;
}

void writeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

struct Row {
    std::string what;
    double seconds = 0;
    double lineSeconds = 0;
    double cpuSeconds = 0;
    bool ok = false;
    double bareSeconds = 0; // the same run by the bare host; 0 when not run
    bool bareOk = false;
};

void print(const Row& row) {
    char cpu[32] = "  n/a  ";
    if (row.cpuSeconds >= 0) {
        std::snprintf(cpu, sizeof cpu, "%5.2f %%", 100.0 * row.cpuSeconds / row.seconds);
    }
    std::printf("%-40s %8.2f s  line minimum %8.2f s  ratio %6.4f  host CPU %s  %s\n",
                row.what.c_str(), row.seconds, row.lineSeconds, row.seconds / row.lineSeconds, cpu,
                row.ok ? "ok" : "FAILED");
    if (row.bareSeconds > 0) {
        std::printf("%-40s %8.2f s  line minimum %8.2f s  ratio %6.4f  ours / bare %6.4f  %s\n",
                    "  bare host, same run", row.bareSeconds, row.lineSeconds,
                    row.bareSeconds / row.lineSeconds, row.seconds / row.bareSeconds,
                    row.bareOk ? "ok" : "FAILED");
    }
    std::fflush(stdout);
}

bool flashHolds(const SimulatedBoard& board, const std::vector<std::uint8_t>& image) {
    auto flash = board.flash();
    return std::equal(image.begin(), image.end(), flash.begin());
}

double secondsSince(WallClock::time_point start) {
    return std::chrono::duration<double>(WallClock::now() - start).count();
}

// The bare host's "Flash": the trigger word at 2400, then the write at 9600.
void bareFlashAt9600(Row& row, std::size_t size) {
    const auto image = pattern(size, 3);
    BoardOptions options;
    options.pace = true;
    SimulatedBoard board(options);
    if (!board.start()) {
        return;
    }
    bench::BareHost host(board, board.devicePath());
    if (!host.ok() || !host.setBaud(2400)) {
        return;
    }
    const auto started = WallClock::now();
    row.bareOk = host.sendTriggerWord(CCorvaneView::flashTriggerWord) && host.setBaud(9600) &&
                 host.write(image) && board.waitForCompletedWrites(1, std::chrono::seconds(5)) &&
                 flashHolds(board, image);
    row.bareSeconds = secondsSince(started);
}

// The bare host's "Flash Action Setting": handshake and download at 9600, the
// PreFlash.bin write at 9600, the image's write at 38400; rows as bootModeRun's.
void bareBootModeRun(std::vector<Row>& rows, std::size_t size) {
    const auto image = pattern(size, 5);
    const auto bootProgram = pattern(1558, 7);
    const auto preFlash = pattern(1024, 9);
    BoardOptions options;
    options.mode = BoardOptions::Mode::Boot;
    options.pace = true;
    SimulatedBoard board(options);
    if (rows.size() != 3 || !board.start()) {
        return;
    }
    bench::BareHost host(board, board.devicePath());
    if (!host.ok() || !host.setBaud(9600)) {
        return;
    }
    const auto started = WallClock::now();
    bool ok = host.bootHandshake();
    const auto downloadStarted = WallClock::now();
    rows[0].bareOk = ok = ok && host.bootDownload(bootProgram);
    rows[0].bareSeconds = secondsSince(downloadStarted);
    ok = ok && host.write(preFlash) && board.waitForCompletedWrites(1, std::chrono::seconds(5));
    const auto writeStarted = WallClock::now();
    rows[1].bareOk = ok = ok && host.setBaud(38400) && host.write(image) &&
                          board.waitForCompletedWrites(2, std::chrono::seconds(5)) &&
                          flashHolds(board, image);
    rows[1].bareSeconds = secondsSince(writeStarted);
    rows[2].bareOk = ok;
    rows[2].bareSeconds = secondsSince(started);
}

Places benchPlaces() {
    Places places;
    places.workDir = fs::temp_directory_path() / ("velmora-bench-" + std::to_string(::getpid()));
    places.bootDir = places.workDir / "boot";
    fs::create_directories(places.bootDir);
    return places;
}

// "Flash" of an image of `size` bytes into the paced board at 9600.
Row flashAt9600(std::size_t size) {
    Places places = benchPlaces();
    const auto image = pattern(size, 3);
    writeFile(places.imageFile(), image);
    dataReady = 1;
    BoardOptions options;
    options.pace = true;
    SimulatedBoard board(options);
    Row row{"Flash " + std::to_string(size / 1024) + " KiB at 9600"};
    if (!board.start()) {
        return row;
    }
    Ports ports;
    ports.assign(1, board.devicePath());
    SerialPort port(ports);
    CMSComm comm(ports);
    comm.setPortName(board.devicePath());
    TimingOperator op;
    Timing timing;
    timing.pass = std::chrono::microseconds(0);
    CCorvaneView view(op, port, comm, places, timing);
    const double cpuBefore = threadCpuSeconds();
    const auto started = WallClock::now();
    view.flash();
    row.seconds = std::chrono::duration<double>(WallClock::now() - started).count();
    row.cpuSeconds = threadCpuSeconds() - cpuBefore;
    row.lineSeconds = 7.0 * 10 / 2400 + writeLineSeconds(size, 9600);
    auto flash = board.flash();
    row.ok = view.programmedCount() == 1 && std::equal(image.begin(), image.end(), flash.begin());
    fs::remove_all(places.workDir);
    return row;
}

// "Flash Action Setting" into the paced chip: the boot download at 9600, then
// the image written at 38400; each part timed on its own.
std::vector<Row> bootModeRun(std::size_t size) {
    Places places = benchPlaces();
    const auto image = pattern(size, 5);
    writeFile(places.imageFile(), image);
    writeFile(places.bootProgramFile(), pattern(1558, 7));
    const std::size_t preFlashSize = 1024;
    writeFile(places.preFlashFile(), pattern(preFlashSize, 9));
    dataReady = 1;
    BoardOptions options;
    options.mode = BoardOptions::Mode::Boot;
    options.pace = true;
    SimulatedBoard board(options);
    std::vector<Row> rows;
    if (!board.start()) {
        return rows;
    }
    Ports ports;
    ports.assign(1, board.devicePath());
    SerialPort port(ports);
    CMSComm comm(ports);
    comm.setPortName(board.devicePath());
    TimingOperator op;
    Timing timing;
    timing.pass = std::chrono::microseconds(0);
    CCorvaneView view(op, port, comm, places, timing);
    const double cpuBefore = threadCpuSeconds();
    const auto started = WallClock::now();
    view.setBootMode();
    const auto ended = WallClock::now();
    const double cpu = threadCpuSeconds() - cpuBefore;
    auto flash = board.flash();
    const bool ok =
        view.programmedCount() == 1 && std::equal(image.begin(), image.end(), flash.begin());
    for (const auto& run : op.runs) {
        if (run.caption == "Boot mode Download .....") {
            Row download{"Boot download 1558 bytes at 9600"};
            download.seconds = std::chrono::duration<double>(run.ended - run.started).count();
            download.lineSeconds = (2.0 * (2 + 1558) + 1) * 10 / 9600;
            download.cpuSeconds = run.cpuSeconds;
            download.ok = run.result == 1;
            rows.push_back(download);
        }
    }
    if (!op.runs.empty()) {
        // The image's write follows the short pause after the switch to 38400.
        Row write{"Write " + std::to_string(size / 1024) + " KiB at 38400 (boot path)"};
        write.seconds = std::chrono::duration<double>(op.runs.back().ended - op.pauses[51]).count();
        write.lineSeconds = writeLineSeconds(size, 38400);
        write.cpuSeconds = -1; // in the whole run's row
        write.ok = ok;
        rows.push_back(write);
    }
    Row whole{"Flash Action Setting, whole run"};
    whole.seconds = std::chrono::duration<double>(ended - started).count();
    whole.lineSeconds = (2.0 * (2 + 1558) + 1) * 10 / 9600 + writeLineSeconds(preFlashSize, 9600) +
                        writeLineSeconds(size, 38400);
    whole.cpuSeconds = cpu;
    whole.ok = ok;
    rows.push_back(whole);
    fs::remove_all(places.workDir);
    return rows;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
    std::printf("Programming runs against the paced simulated board (pauses excluded)\n");
    bool ok = true;
    std::vector<std::size_t> sizes = {64 * 1024};
    if (!quick) {
        sizes.push_back(128 * 1024);
    }
    for (std::size_t size : sizes) {
        std::vector<Row> rows = bootModeRun(size);
        bareBootModeRun(rows, size);
        for (const Row& row : rows) {
            print(row);
            ok = ok && row.ok && row.bareOk;
        }
    }
    for (std::size_t size : sizes) {
        Row row = flashAt9600(size);
        bareFlashAt9600(row, size);
        print(row);
        ok = ok && row.ok && row.bareOk;
    }
    return ok ? 0 : 1;
}
