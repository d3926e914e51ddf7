#include "cli/multi_board.h"

#include "cli/run_report.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace velmora::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::string_view clearLine = "\033[K";

struct Board {
    std::string label; // the port as shown, unique among the boards
    std::string port;  // the port as given
    fs::path dir;
    std::string logPath;
    pid_t pid = -1;
    int terminal = -1; // our side of the board's pseudo-terminal; -1 once it has ended
    BoardOutputReader reader;
    BoardProgress progress;
    std::vector<std::string> messages;
    int exitCode = -1;
    Clock::time_point started;
    Clock::time_point ended;
    std::string startTime;
    std::string endTime;
    bool done() const { return terminal < 0; }
    bool programmed() const { return exitCode == 0; }
    double seconds() const {
        return std::chrono::duration<double>((done() ? ended : Clock::now()) - started).count();
    }
};

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// Starts one board's run with its output on a pseudo-terminal of its own, so
// it prints exactly what it prints to an operator, progress included, and its
// lines stay in their order.
bool startBoard(Board& board, const std::vector<std::string>& argv) {
    int ours = -1;
    int theirs = -1;
    if (openpty(&ours, &theirs, nullptr, nullptr, nullptr) != 0) {
        return false;
    }
    termios settings{};
    if (tcgetattr(theirs, &settings) == 0) {
        cfmakeraw(&settings); // lines come through as printed, without \r added
        tcsetattr(theirs, TCSANOW, &settings);
    }
    std::vector<char*> words;
    for (const std::string& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);
    board.started = Clock::now();
    board.startTime = isoTimeNow();
    pid_t pid = fork();
    if (pid < 0) {
        close(ours);
        close(theirs);
        return false;
    }
    if (pid == 0) {
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(theirs, STDOUT_FILENO);
        dup2(theirs, STDERR_FILENO);
        close(ours);
        close(theirs);
        close(nothing);
        execv(words[0], words.data());
        std::fprintf(stderr, "cannot run %s\n", words[0]);
        _exit(127);
    }
    close(theirs);
    fcntl(ours, F_SETFD, FD_CLOEXEC);
    board.pid = pid;
    board.terminal = ours;
    return true;
}

void endBoard(Board& board) {
    close(board.terminal);
    board.terminal = -1;
    int status = 0;
    while (waitpid(board.pid, &status, 0) < 0 && errno == EINTR) {
    }
    board.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    board.ended = Clock::now();
    board.endTime = isoTimeNow();
}

std::string liveLine(const Board& board) {
    const BoardProgress& p = board.progress;
    std::string state;
    if (board.done()) {
        state = board.programmed()
                    ? "programmed"
                    : "FAILED" +
                          (board.messages.empty() ? std::string() : ": " + board.messages.back());
    } else {
        state = p.state.empty() ? (board.messages.empty() ? "starting" : board.messages.back())
                                : p.state;
    }
    char text[512];
    std::snprintf(text, sizeof text, "%-16s %4s %15s %10s  %s", board.label.c_str(),
                  p.percent >= 0 ? (std::to_string(p.percent) + "%").c_str() : "",
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
    std::printf("\n%-*s  %-10s  %8s  %s\n", w, "port", "result", "time", "messages");
    for (const Board& board : boards) {
        std::string messages;
        for (const std::string& message : board.messages) {
            messages += (messages.empty() ? "" : " | ") + message;
        }
        std::printf("%-*s  %-10s  %8s  %s\n", w, board.label.c_str(),
                    board.programmed() ? "programmed" : "FAILED",
                    formatSeconds(board.seconds()).c_str(), messages.c_str());
    }
    int failed = 0;
    for (const Board& board : boards) {
        failed += board.programmed() ? 0 : 1;
    }
    std::printf("%zu boards: %zu programmed, %d failed\n", boards.size(), boards.size() - failed,
                failed);
    std::fflush(stdout);
}

bool writeReport(const ProductionRun& run, const std::vector<Board>& boards) {
    RunReport report;
    report.command = commandLineOfThisProcess();
    report.imageFile = run.imageFile;
    for (const Board& board : boards) {
        if (report.imageSize < 0) {
            report.takeImage((board.dir / "tmp.bin").string());
        }
        std::vector<BoardRecord> own;
        BoardRecord record;
        if (RunReport::readBoards((board.dir / "report.json").string(), own) && own.size() == 1) {
            record = own.front();
        } else { // the run ended before its report: what it showed is what there is
            record.startTime = board.startTime;
            record.endTime = board.endTime;
            record.seconds = board.seconds();
            record.messages = board.messages;
        }
        record.port = board.label;
        record.programmed = board.programmed();
        report.boards.push_back(std::move(record));
    }
    return report.write(run.reportPath);
}

} // namespace

std::string portFileName(const std::string& port) {
    std::string name =
        port.substr(port.find_last_of('/') == std::string::npos ? 0 : port.find_last_of('/') + 1);
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

void BoardOutputReader::piece(std::string text, std::vector<std::string>& lines,
                              BoardProgress& progress) {
    if (text.starts_with(clearLine)) {
        text.erase(0, clearLine.size());
        static const std::regex counts(R"((\d+)/(\d+) bytes(\s+(\d+) B/s)?)");
        std::smatch match;
        if (std::regex_search(text, match, counts)) {
            progress.bytes = std::stoll(match[1]);
            progress.total = std::stoll(match[2]);
            progress.rate = match[4].matched ? std::stoll(match[4]) : 0;
            progress.percent =
                progress.total > 0 ? static_cast<int>(progress.bytes * 100 / progress.total) : 0;
        }
        // "caption [####....] status  n/m bytes": the status is the state
        std::size_t bar = text.find("] ");
        std::string state = bar == std::string::npos ? text : text.substr(bar + 2);
        progress.state = state.substr(0, state.find("  "));
        return;
    }
    if (!text.empty()) {
        lines.push_back(std::move(text));
    }
}

std::vector<std::string> BoardOutputReader::take(const std::string& text, BoardProgress& progress) {
    std::vector<std::string> lines;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            piece(std::move(pending), lines, progress);
            pending.clear();
        } else {
            pending += c;
        }
    }
    return lines;
}

std::vector<std::string> BoardOutputReader::finish(BoardProgress& progress) {
    std::vector<std::string> lines;
    piece(std::move(pending), lines, progress);
    pending.clear();
    return lines;
}

int runOnEveryPort(const ProductionRun& run) {
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
        fs::remove(board.dir / "report.json", error);
        if (!run.logPath.empty()) {
            board.logPath = boardLogPath(run.logPath, name);
        }
    }

    const bool live = !run.quiet && isatty(STDERR_FILENO);
    for (Board& board : boards) {
        std::vector<std::string> argv{run.program};
        argv.insert(argv.end(), run.arguments.begin(), run.arguments.end());
        argv.insert(argv.end(), {"--port", board.port, "--work-dir", board.dir.string(), "--report",
                                 (board.dir / "report.json").string()});
        if (!board.logPath.empty()) {
            argv.insert(argv.end(), {"--log", board.logPath});
        }
        if (!startBoard(board, argv)) {
            board.messages.push_back("cannot start the run on this port");
            board.started = board.ended = Clock::now();
            board.startTime = board.endTime = isoTimeNow();
            board.exitCode = 1;
        }
    }

    if (live) {
        drawLiveLines(boards, true);
    }
    auto lastDrawn = Clock::now();
    for (;;) {
        std::vector<pollfd> watched;
        std::vector<Board*> owners;
        for (Board& board : boards) {
            if (!board.done()) {
                watched.push_back({board.terminal, POLLIN, 0});
                owners.push_back(&board);
            }
        }
        if (watched.empty()) {
            break;
        }
        if (poll(watched.data(), watched.size(), 100) < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            Board& board = *owners[i];
            char buffer[4096];
            ssize_t got = read(board.terminal, buffer, sizeof buffer);
            std::vector<std::string> lines;
            if (got > 0) {
                lines = board.reader.take(std::string(buffer, static_cast<std::size_t>(got)),
                                          board.progress);
            } else if (got == 0 || errno != EINTR) { // the run has ended (EIO)
                lines = board.reader.finish(board.progress);
                endBoard(board);
            }
            for (std::string& line : lines) {
                if (!live && !run.quiet) {
                    std::printf("[%s] %s\n", board.label.c_str(), line.c_str());
                    std::fflush(stdout);
                }
                board.progress.state = line; // the latest news is the state
                board.messages.push_back(std::move(line));
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
    if (!run.reportPath.empty() && !writeReport(run, boards)) {
        std::fprintf(stderr, "velmora-cli: cannot write %s\n", run.reportPath.c_str());
        return 1;
    }
    return everyBoard ? 0 : 1;
}

} // namespace velmora::cli
