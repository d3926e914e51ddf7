#include "cli/multi_board.h"

#include "cli/board_run.h"
#ifdef VELMORA_CLI_HISTORY
#include "cli/history_db.h"
#endif
#include "cli/interrupts.h"
#include "cli/output_style.h"
#include "cli/progress_channel.h"
#include "cli/run_report.h"
#include "core/file_io.h"
#include "serial/network_transport.h"
#include "serial/port_names.h"

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cctype>
#include <map>
#include <optional>
#include <sys/stat.h>

namespace velmora::cli {

namespace fs = std::filesystem;

std::string portFileName(const std::string& port) {
    // A network port is named by its host and port: "bench-a-4001".
    const std::size_t scheme = port.find("://");
#ifdef _WIN32
    constexpr const char* separators = "/\\"; // a COM port's path: COM5 of \\.\COM5
#else
    constexpr const char* separators = "/";
#endif
    const std::size_t folder = port.find_last_of(separators);
    std::string name = scheme != std::string::npos   ? port.substr(scheme + 3)
                       : folder == std::string::npos ? port
                                                     : port.substr(folder + 1);
    if (scheme != std::string::npos) {
        name.erase(
            std::remove_if(name.begin(), name.end(), [](char c) { return c == '[' || c == ']'; }),
            name.end());
    }
    for (char& c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-';
        if (!plain) {
            c = '-';
        }
    }
    if (name.empty() || name == "." || name == "..") {
        return "port";
    }
#ifdef _WIN32
    // A folder cannot be named as a device (COM5, NUL, ...): "port-COM5".
    std::string base = name.substr(0, name.find('.'));
    std::transform(base.begin(), base.end(), base.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const bool device = base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" ||
                        ((base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
                         base.size() == 4 && base[3] >= '0' && base[3] <= '9');
    if (device) {
        return "port-" + name;
    }
#endif
    return name;
}

std::string boardLogPath(const std::string& logPath, const std::string& boardName) {
    fs::path path(logPath);
    return (path.parent_path() /
            (path.stem().string() + "-" + boardName + path.extension().string()))
        .string();
}

namespace {

// A network port is the server's address and TCP port, whatever name the
// host goes by ("localhost", "127.0.0.1"): every address the name resolves to.
// A host that does not resolve is its text; its run names the failure.
std::vector<std::string> networkIdentities(const std::string& port) {
    const auto address = parseNetworkPortName(port);
    if (!address) {
        return {"net " + port};
    }
    asio::io_context context;
    asio::ip::tcp::resolver resolver(context);
    asio::error_code error;
    const auto found = resolver.resolve(address->host, address->port,
                                        asio::ip::tcp::resolver::numeric_service, error);
    std::vector<std::string> identities;
    if (!error) {
        for (const auto& entry : found) {
            const auto endpoint = entry.endpoint();
            identities.push_back("net " + endpoint.address().to_string() + " " +
                                 std::to_string(endpoint.port()));
        }
    }
    if (identities.empty()) {
        identities.push_back("net " + address->host + " " + address->port);
    }
    return identities;
}

// What a device is, whatever names it: the device number of a device file,
// else the file itself, else the path with its links resolved. On Windows a
// COM port is its name, in any case and spelling ("com5", "\\.\COM5").
std::string deviceIdentity(const std::string& port) {
    std::string device = resolvePort(port);
    if (device.empty()) {
        device = port;
    }
#ifdef _WIN32
    std::string name = windowsDevicePath(device);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return "dev " + name;
#else
    struct stat info {};
    if (::stat(device.c_str(), &info) == 0) {
        return S_ISCHR(info.st_mode)
                   ? "dev " + std::to_string(info.st_rdev)
                   : "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }
    std::error_code error;
    return "path " + fs::weakly_canonical(device, error).string();
#endif
}

} // namespace

std::string sameDeviceTwice(const std::vector<std::string>& ports) {
    std::map<std::string, std::string> firstNamedBy;
    for (const std::string& port : ports) {
        if (port == "sim") {
            continue;
        }
        const bool network = isNetworkPortName(port);
        const std::vector<std::string> identities =
            network ? networkIdentities(port) : std::vector{deviceIdentity(port)};
        for (const std::string& identity : identities) {
            auto named = firstNamedBy.find(identity);
            if (named != firstNamedBy.end()) {
                return named->second == port
                           ? "--port " + port + " is named twice"
                           : "--port " + named->second + " and --port " + port +
                                 (network ? " are the same port" : " are the same device");
            }
        }
        for (const std::string& identity : identities) {
            firstNamedBy.emplace(identity, port);
        }
    }
    return {};
}

namespace {

// Why the ports cannot be run together; empty when they can.
std::string refusedPorts(const std::vector<std::string>& ports) {
#ifdef _WIN32
    // The simulated board lives on a pseudo-terminal.
    if (std::find(ports.begin(), ports.end(), "sim") != ports.end()) {
        return "--port sim is not available on Windows";
    }
#endif
    return sameDeviceTwice(ports);
}

// Folders: each board's label (the port, numbered when named twice) and its
// folder, made now, and its transcript's name. Why one cannot be made, else
// empty.
std::string planBoards(const ProductionRun& run, std::vector<Board>& boards) {
    std::map<std::string, int> seen;
    std::map<std::string, int> total;
    for (const std::string& port : run.ports) {
        ++total[port];
    }
    for (std::size_t i = 0; i < run.ports.size(); ++i) {
        Board& board = boards[i];
        board.port = run.ports[i];
        board.label = board.port;
        if (total[board.port] > 1) {
            board.label += '#';
            board.label += std::to_string(++seen[board.port]);
        }
        const std::string name = portFileName(board.label);
        board.dir = fs::path(run.workDir) / name;
        // (MinGW's library may call a folder it has just made "File exists":
        // the folder being there is what counts.)
        std::error_code error;
        std::error_code ignored;
        if (!fs::create_directories(board.dir, error) && !fs::is_directory(board.dir, ignored)) {
            return "cannot make the folder " + board.dir.string() + ": " +
                   (error ? error.message() : "not a folder");
        }
        if (!run.logPath.empty()) {
            board.logPath = boardLogPath(run.logPath, name);
        }
    }
    return {};
}

// Every file the run will publish is tried before any board is touched.
std::string tryFiles(const ProductionRun& run, const std::vector<Board>& boards,
                     PublishedFile& reportFile) {
    if (!run.reportPath.empty() && !reportFile.open(run.reportPath)) {
        return reportFile.error();
    }
    for (const Board& board : boards) {
        PublishedFile trial;
        if (!board.logPath.empty() && !trial.open(board.logPath)) {
            return trial.error();
        }
    }
    return {};
}

} // namespace

// A process: one run of this program for the board, on its port and in its folder.
void startBoard(const ProductionRun& run, Board& board) {
    board.started = BoardClock::now();
    board.startTime = isoTimeNow();
    std::string error;
    if (interruptSignal() == 0 && board.process.prepare(&error)) {
        std::vector<std::string> argv{run.program};
        argv.insert(argv.end(), run.arguments.begin(), run.arguments.end());
        argv.insert(argv.end(), {"--port", board.port, "--work-dir", board.dir.string(),
                                 "--progress-fd", board.process.channelArgument()});
        if (!board.logPath.empty()) {
            argv.insert(argv.end(), {"--log", board.logPath});
        }
        board.running = board.process.start(argv, &error);
    }
    if (!board.running) {
        board.messages.push_back(interruptSignal() != 0
                                     ? "not started: the run was stopped"
                                     : "cannot start the run on this port: " + error);
        board.firstFailure = board.messages.back();
        board.ended = BoardClock::now();
        board.endTime = isoTimeNow();
        board.exitCode = interruptSignal() != 0 ? 128 + interruptSignal() : 1;
    }
}

namespace {

int runCode(const std::vector<Board>& boards) {
    if (const int signal = interruptSignal(); signal != 0) {
        return 128 + signal;
    }
    const bool everyBoard = std::all_of(boards.begin(), boards.end(),
                                        [](const Board& board) { return board.programmed(); });
    return everyBoard ? 0 : 1;
}

} // namespace

int runOnEveryPort(const ProductionRun& run) {
    catchInterrupts();
    std::vector<Board> boards(run.ports.size());
    PublishedFile reportFile;
    std::string refused = refusedPorts(run.ports);
    if (refused.empty()) {
        refused = planBoards(run, boards);
    }
    if (refused.empty()) {
        refused = tryFiles(run, boards, reportFile);
    }
#ifdef VELMORA_CLI_HISTORY
    HistoryDb history;
    if (refused.empty() && !run.dbPath.empty() && !history.open(run.dbPath)) {
        refused = history.error();
    }
#endif
    if (!refused.empty()) {
        std::fprintf(stderr, "velmora-cli: %s\n", refused.c_str());
        return 2;
    }

    std::optional<JsonEvents> json;
    if (run.json) {
        json.emplace();
    }
    BoardDisplay display;
    display.live = !run.quiet && !run.verbose && terminalSequencesAllowed(stderr);
    display.quiet = run.quiet;
    display.verbose = run.verbose;
    display.lines = run.json ? stderr : stdout; // stdout carries the JSON lines alone
    display.json = json ? &*json : nullptr;
    for (Board& board : boards) {
        startBoard(run, board);
    }
    followBoards(boards, display);

    printSummary(boards, display.lines);
    if (display.live) {
        // The live lines had no room for them: each board's hints under the table.
        for (const Board& board : boards) {
            for (const std::string& hint : board.hints) {
                std::fprintf(stderr, "[%s] %s\n", board.label.c_str(), hint.c_str());
            }
        }
    }
    int code = runCode(boards);
    const RunReport report = reportOf(run, boards);
    if (json) {
        for (const BoardRecord& record : report.boards) {
            json->record(record);
        }
    }
#ifdef VELMORA_CLI_HISTORY
    for (std::size_t i = 0; history.isOpen() && i < boards.size(); ++i) {
        HistoryContext context =
            historyContextOf(boards[i], run.command, run.imageFile, report.imageSha256);
        adapterIdentity(boards[i].port, context);
        if (!history.add(historyRowOf(report.boards[i], context))) {
            std::fprintf(stderr, "velmora-cli: %s\n", history.error().c_str());
            code = code == 0 ? 1 : code;
        }
    }
#endif
    if (reportFile.isOpen() && !report.write(reportFile)) {
        std::fprintf(stderr, "velmora-cli: %s\n", reportFile.error().c_str());
        return code == 0 ? 1 : code;
    }
    return code;
}

} // namespace velmora::cli
