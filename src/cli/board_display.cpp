// What a run on many boards shows: one live line per board on a terminal,
// the summary table at the end, and the report of every board.

#include "cli/board_run.h"

#include <algorithm>
#include <csignal>

namespace velmora::cli {

namespace {

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string liveLine(const Board& board) {
    const BoardProgress& p = board.progress;
    std::string state;
    if (board.done()) {
        state = board.resultText() +
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

} // namespace

bool Board::interrupted() const {
    return (reported && record.interrupted) || exitCode == 128 + SIGINT || exitCode == 128 + SIGTERM
#ifdef SIGHUP
           || exitCode == 128 + SIGHUP
#endif
        ;
}

double Board::seconds() const {
    return std::chrono::duration<double>((done() ? ended : BoardClock::now()) - started).count();
}

std::string Board::resultText() const {
    return programmed() ? "programmed" : interrupted() ? "interrupted" : "FAILED";
}

// One line per board, redrawn in place.
void drawLiveLines(const std::vector<Board>& boards, bool first) {
    std::string out;
    if (!first) {
        out += "\033[" + std::to_string(boards.size()) + "A";
    }
    for (const Board& board : boards) {
        out += "\r\033[K" + liveLine(board) + "\n";
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void printSummary(const std::vector<Board>& boards, std::FILE* out) {
    std::size_t width = 4;
    for (const Board& board : boards) {
        width = std::max(width, board.label.size());
    }
    const int w = static_cast<int>(width);
    std::fprintf(out, "\n%-*s  %-11s  %8s  %s\n", w, "port", "result", "time", "messages");
    int programmed = 0;
    int interrupted = 0;
    for (const Board& board : boards) {
        std::string messages;
        for (const std::string& message : board.messages) {
            messages += (messages.empty() ? "" : " | ") + message;
        }
        std::fprintf(out, "%-*s  %-11s  %8s  %s\n", w, board.label.c_str(),
                     board.resultText().c_str(), formatSeconds(board.seconds()).c_str(),
                     messages.c_str());
        programmed += board.programmed() ? 1 : 0;
        interrupted += !board.programmed() && board.interrupted() ? 1 : 0;
    }
    const auto failed = boards.size() - static_cast<std::size_t>(programmed + interrupted);
    std::fprintf(out, "%zu boards: %d programmed, %zu failed", boards.size(), programmed, failed);
    if (interrupted > 0) {
        std::fprintf(out, ", %d interrupted", interrupted);
    }
    std::fprintf(out, "\n");
    std::fflush(out);
}

BoardRecord recordOf(const Board& board) {
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
    return record;
}

RunReport reportOf(const ProductionRun& run, const std::vector<Board>& boards) {
    RunReport report;
    report.command = commandLineOfThisProcess();
    report.imageFile = run.imageFile;
    for (const Board& board : boards) {
        if (report.imageSize < 0) {
            report.takeImage((board.dir / "tmp.bin").string());
        }
        report.boards.push_back(recordOf(board));
    }
    return report;
}

} // namespace velmora::cli
