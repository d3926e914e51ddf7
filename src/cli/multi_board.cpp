#include "cli/multi_board.h"

#include "cli/interrupts.h"
#include "cli/progress_channel.h"
#include "cli/run_report.h"
#include "core/published_file.h"
#include "serial/network_transport.h"
#include "serial/port_names.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <netdb.h>
#include <poll.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::string_view clearLine = "\033[K";
// The descriptor a board's run finds its channel on.
constexpr int channelFd = 3;

struct BoardProgress {
    long long bytes = 0;
    long long total = 0;
    long long rate = 0;
    std::string state;
};

struct Board {
    std::string label; // the port as shown, unique among the boards
    std::string port;  // the port as given
    fs::path dir;
    std::string logPath;
    pid_t pid = -1;
    int channel = -1; // the run's events; -1 once closed
    int output = -1;  // what the run printed itself (its stdout and stderr); -1 once closed
    ProgressReader events;
    std::string outputPending;
    BoardProgress progress;
    std::vector<std::string> messages;
    bool reported = false; // the run sent its own record
    BoardRecord record;
    int exitCode = -1;
    Clock::time_point started;
    Clock::time_point ended;
    std::string startTime;
    std::string endTime;
    bool done() const { return pid < 0; }
    bool programmed() const { return exitCode == 0; }
    // Ended by a signal that asks a run to end (not by a crash).
    bool interrupted() const {
        return (reported && record.interrupted) || exitCode == 128 + SIGINT ||
               exitCode == 128 + SIGTERM || exitCode == 128 + SIGHUP;
    }
    double seconds() const {
        return std::chrono::duration<double>((done() ? ended : Clock::now()) - started).count();
    }
};

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Starts one board's run: its events on one pipe, whatever it prints itself
// on another.
bool startBoard(Board& board, const std::vector<std::string>& argv) {
    int events[2];
    int printed[2];
    if (::pipe2(events, O_CLOEXEC) != 0) {
        return false;
    }
    if (::pipe2(printed, O_CLOEXEC) != 0) {
        ::close(events[0]);
        ::close(events[1]);
        return false;
    }
    std::vector<char*> words;
    for (const std::string& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);
    board.started = Clock::now();
    board.startTime = isoTimeNow();
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        for (int fd : {events[0], events[1], printed[0], printed[1]}) {
            ::close(fd);
        }
        return false;
    }
    if (pid == 0) {
#if defined(__linux__)
        // A parent killed outright cannot pass a signal on: the kernel does,
        // so the run ends its board and frees its port all the same.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(128 + SIGTERM);
        }
#endif
        // A group of its own: a Ctrl+C on the terminal reaches the parent
        // alone, which passes it on once.
        ::setpgid(0, 0);
        int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(printed[1], STDOUT_FILENO);
        ::dup2(printed[1], STDERR_FILENO);
        ::dup2(events[1], channelFd); // dup2 clears close-on-exec on the copy
        ::execv(words[0], words.data());
        std::fprintf(stderr, "cannot run %s: %s\n", words[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(events[1]);
    ::close(printed[1]);
    board.pid = pid;
    board.channel = events[0];
    board.output = printed[0];
    return true;
}

void endBoard(Board& board) {
    int status = 0;
    while (::waitpid(board.pid, &status, 0) < 0 && errno == EINTR) {
    }
    board.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    board.pid = -1;
    board.ended = Clock::now();
    board.endTime = isoTimeNow();
}

std::string resultText(const Board& board) {
    return board.programmed() ? "programmed" : board.interrupted() ? "interrupted" : "FAILED";
}

std::string liveLine(const Board& board) {
    const BoardProgress& p = board.progress;
    std::string state;
    if (board.done()) {
        state = resultText(board) +
                (board.programmed() || board.messages.empty() ? "" : ": " + board.messages.back());
    } else {
        state = p.state.empty() ? (board.messages.empty() ? "starting" : board.messages.back())
                                : p.state;
    }
    const int percent = p.total > 0 ? static_cast<int>(p.bytes * 100 / p.total) : -1;
    char text[512];
    std::snprintf(text, sizeof text, "%-16s %4s %15s %10s  %s", board.label.c_str(),
                  percent >= 0 ? (std::to_string(percent) + "%").c_str() : "",
                  p.total > 0 ? (std::to_string(p.bytes) + "/" + std::to_string(p.total)).c_str()
                              : "",
                  p.rate > 0 ? (std::to_string(p.rate) + " B/s").c_str() : "", state.c_str());
    return text;
}

// One line per board, redrawn in place.
void drawLiveLines(const std::vector<Board>& boards, bool first) {
    std::string out;
    if (!first) {
        out += "\033[" + std::to_string(boards.size()) + "A";
    }
    for (const Board& board : boards) {
        out += "\r";
        out += clearLine;
        out += liveLine(board) + "\n";
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void printSummary(const std::vector<Board>& boards) {
    std::size_t width = 4;
    for (const Board& board : boards) {
        width = std::max(width, board.label.size());
    }
    const int w = static_cast<int>(width);
    std::printf("\n%-*s  %-11s  %8s  %s\n", w, "port", "result", "time", "messages");
    int programmed = 0;
    int interrupted = 0;
    for (const Board& board : boards) {
        std::string messages;
        for (const std::string& message : board.messages) {
            messages += (messages.empty() ? "" : " | ") + message;
        }
        std::printf("%-*s  %-11s  %8s  %s\n", w, board.label.c_str(), resultText(board).c_str(),
                    formatSeconds(board.seconds()).c_str(), messages.c_str());
        programmed += board.programmed() ? 1 : 0;
        interrupted += !board.programmed() && board.interrupted() ? 1 : 0;
    }
    const auto failed = boards.size() - static_cast<std::size_t>(programmed + interrupted);
    std::printf("%zu boards: %d programmed, %zu failed", boards.size(), programmed, failed);
    if (interrupted > 0) {
        std::printf(", %d interrupted", interrupted);
    }
    std::printf("\n");
    std::fflush(stdout);
}

RunReport reportOf(const ProductionRun& run, const std::vector<Board>& boards) {
    RunReport report;
    report.command = commandLineOfThisProcess();
    report.imageFile = run.imageFile;
    for (const Board& board : boards) {
        if (report.imageSize < 0) {
            report.takeImage((board.dir / "tmp.bin").string());
        }
        BoardRecord record = board.record; // the run's own record, when it sent one
        if (!board.reported) {             // it ended before: what it showed is what there is
            record.startTime = board.startTime;
            record.endTime = board.endTime;
            record.seconds = board.seconds();
        }
        record.port = board.label;
        record.messages = board.messages;
        record.programmed = board.programmed();
        record.interrupted = board.interrupted();
        report.boards.push_back(std::move(record));
    }
    return report;
}

// Lines the run printed itself (not through its channel): a failure to start,
// a refused command line. They are kept as its messages.
std::vector<std::string> takePrinted(Board& board, std::string_view bytes, bool atEnd) {
    std::vector<std::string> lines;
    board.outputPending.append(bytes);
    std::size_t end;
    while ((end = board.outputPending.find('\n')) != std::string::npos) {
        std::string line = board.outputPending.substr(0, end);
        board.outputPending.erase(0, end + 1);
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
    }
    if (atEnd && !board.outputPending.empty()) {
        lines.push_back(std::move(board.outputPending));
        board.outputPending.clear();
    }
    return lines;
}

void sendToLiveBoards(std::vector<Board>& boards, int signal) {
    for (Board& board : boards) {
        if (!board.done()) {
            ::kill(board.pid, signal);
        }
    }
}

} // namespace

std::string portFileName(const std::string& port) {
    // A network port is named by its host and port: "bench-a-4001".
    const std::size_t scheme = port.find("://");
    std::string name = scheme != std::string::npos ? port.substr(scheme + 3)
                       : port.find_last_of('/') == std::string::npos
                           ? port
                           : port.substr(port.find_last_of('/') + 1);
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
    return name.empty() || name == "." || name == ".." ? "port" : name;
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
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address->host.c_str(), address->port.c_str(), &hints, &found) != 0) {
        return {"net " + address->host + " " + address->port};
    }
    std::vector<std::string> identities;
    for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
        char host[NI_MAXHOST];
        char service[NI_MAXSERV];
        if (::getnameinfo(each->ai_addr, each->ai_addrlen, host, sizeof host, service,
                          sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            identities.push_back(std::string("net ") + host + " " + service);
        }
    }
    ::freeaddrinfo(found);
    if (identities.empty()) {
        identities.push_back("net " + address->host + " " + address->port);
    }
    return identities;
}

// What a device is, whatever names it: the device number of a device file,
// else the file itself, else the path with its links resolved.
std::string deviceIdentity(const std::string& port) {
    std::string device = resolvePort(port);
    if (device.empty()) {
        device = port;
    }
    struct stat info {};
    if (::stat(device.c_str(), &info) == 0) {
        return S_ISCHR(info.st_mode)
                   ? "dev " + std::to_string(info.st_rdev)
                   : "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }
    std::error_code error;
    return "path " + fs::weakly_canonical(device, error).string();
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

int runOnEveryPort(const ProductionRun& run) {
    catchInterrupts();
    if (std::string twice = sameDeviceTwice(run.ports); !twice.empty()) {
        std::fprintf(stderr, "velmora-cli: %s\n", twice.c_str());
        return 2;
    }
    std::vector<Board> boards(run.ports.size());
    std::map<std::string, int> seen;
    std::map<std::string, int> total;
    for (const std::string& port : run.ports) {
        ++total[port];
    }
    std::error_code error;
    for (std::size_t i = 0; i < run.ports.size(); ++i) {
        Board& board = boards[i];
        board.port = run.ports[i];
        board.label = board.port;
        if (total[board.port] > 1) {
            board.label += '#';
            board.label += std::to_string(++seen[board.port]);
        }
        std::string name = portFileName(board.label);
        board.dir = fs::path(run.workDir) / name;
        fs::create_directories(board.dir, error);
        if (!run.logPath.empty()) {
            board.logPath = boardLogPath(run.logPath, name);
        }
    }

    // Every file the run will publish is tried before any board is touched.
    PublishedFile reportFile;
    if (!run.reportPath.empty() && !reportFile.open(run.reportPath)) {
        std::fprintf(stderr, "velmora-cli: %s\n", reportFile.error().c_str());
        return 2;
    }
    for (const Board& board : boards) {
        PublishedFile trial;
        if (!board.logPath.empty() && !trial.open(board.logPath)) {
            std::fprintf(stderr, "velmora-cli: %s\n", trial.error().c_str());
            return 2;
        }
    }

    const bool live = !run.quiet && isatty(STDERR_FILENO);
    for (Board& board : boards) {
        std::vector<std::string> argv{run.program};
        argv.insert(argv.end(), run.arguments.begin(), run.arguments.end());
        argv.insert(argv.end(), {"--port", board.port, "--work-dir", board.dir.string(),
                                 "--progress-fd", std::to_string(channelFd)});
        if (!board.logPath.empty()) {
            argv.insert(argv.end(), {"--log", board.logPath});
        }
        if (interruptSignal() != 0 || !startBoard(board, argv)) {
            board.messages.push_back(interruptSignal() != 0 ? "not started: the run was stopped"
                                                            : "cannot start the run on this port");
            board.started = board.ended = Clock::now();
            board.startTime = board.endTime = isoTimeNow();
            board.exitCode = interruptSignal() != 0 ? 128 + interruptSignal() : 1;
        }
    }

    if (live) {
        drawLiveLines(boards, true);
    }
    auto lastDrawn = Clock::now();
    int forwarded = 0;
    for (;;) {
        if (const int signal = interruptSignal(); signal != 0 && forwarded == 0) {
            // The children end their boards between two steps; wait for them.
            sendToLiveBoards(boards, signal);
            forwarded = signal;
        }
        std::vector<pollfd> watched;
        std::vector<std::pair<Board*, bool>> owners; // board, whether it is the channel
        for (Board& board : boards) {
            if (board.channel >= 0) {
                watched.push_back({board.channel, POLLIN, 0});
                owners.emplace_back(&board, true);
            }
            if (board.output >= 0) {
                watched.push_back({board.output, POLLIN, 0});
                owners.emplace_back(&board, false);
            }
        }
        if (watched.empty()) {
            break;
        }
        if (::poll(watched.data(), watched.size(), 100) < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            auto [board, isChannel] = owners[i];
            char buffer[4096];
            ssize_t got = ::read(watched[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            const std::string_view bytes(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
            std::vector<std::string> lines;
            if (isChannel) {
                for (ChannelEvent& event : board->events.take(bytes)) {
                    if (event.kind == ChannelEvent::Kind::Progress) {
                        board->progress = {event.value, event.maximum, event.rate, event.text};
                    } else if (event.kind == ChannelEvent::Kind::Message) {
                        lines.push_back(std::move(event.text));
                    } else {
                        board->record = std::move(event.record);
                        board->reported = true;
                    }
                }
            } else {
                lines = takePrinted(*board, bytes, got <= 0);
            }
            if (got <= 0) {
                closeFd(isChannel ? board->channel : board->output);
                if (board->channel < 0 && board->output < 0) {
                    endBoard(*board);
                }
            }
            for (std::string& line : lines) {
                if (!live && !run.quiet) {
                    std::printf("[%s] %s\n", board->label.c_str(), line.c_str());
                    std::fflush(stdout);
                }
                board->progress.state = line; // the latest news is the state
                board->messages.push_back(std::move(line));
            }
        }
        if (live && Clock::now() - lastDrawn > std::chrono::milliseconds(100)) {
            drawLiveLines(boards, false);
            lastDrawn = Clock::now();
        }
    }
    if (live) {
        drawLiveLines(boards, false);
    }
    printSummary(boards);
    bool everyBoard = true;
    for (const Board& board : boards) {
        everyBoard = everyBoard && board.programmed();
    }
    int code = everyBoard ? 0 : 1;
    if (const int signal = interruptSignal(); signal != 0) {
        code = 128 + signal;
    }
    if (reportFile.isOpen() && !reportOf(run, boards).write(reportFile)) {
        std::fprintf(stderr, "velmora-cli: %s\n", reportFile.error().c_str());
        return code == 0 ? 1 : code;
    }
    return code;
}

} // namespace velmora::cli
