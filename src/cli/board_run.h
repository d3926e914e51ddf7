#pragma once

// The parts of a run on many boards (multi_board.h): the boards and their
// folders, their processes' events, the drawing and the summary.

#include "cli/board_process.h"
#include "cli/json_events.h"
#include "cli/multi_board.h"
#include "cli/progress_channel.h"
#include "cli/run_report.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::cli {

using BoardClock = std::chrono::steady_clock;

struct BoardProgress {
    long long bytes = 0;
    long long total = 0;
    long long rate = 0;
    std::string state;
};

// One board of the run: its port and folder, its process and what it told.
struct Board {
    std::string label; // the port as shown, unique among the boards
    std::string port;  // the port as given
    std::filesystem::path dir;
    std::string logPath;
    BoardProcess process;
    bool running = false;
    int openStreams = 0; // of the process's two, still delivering
    ProgressReader events;
    std::string outputPending;
    std::string stage; // the caption of the exchange it runs
    BoardProgress progress;
    std::vector<std::string> messages;
    std::vector<std::string> hints; // what the run said to do next
    std::string firstFailure;       // the first failure it told: the cause of its end
    bool reported = false;          // the run sent its own record
    BoardRecord record;
    int exitCode = -1;
    BoardClock::time_point started;
    BoardClock::time_point ended;
    std::string startTime;
    std::string endTime;

    bool done() const { return !running; }
    bool programmed() const { return exitCode == 0; }
    // Ended by a signal that asks a run to end (not by a crash).
    bool interrupted() const;
    double seconds() const;
    // "programmed", "interrupted" or "FAILED".
    std::string resultText() const;
};

// How the run shows what the boards do.
struct BoardDisplay {
    bool live = false;  // one line per board, redrawn in place on stderr
    bool quiet = false; // failures only
    bool verbose = false;
    std::FILE* lines = stdout; // the boards' news, prefixed with their port
    JsonEvents* json = nullptr;
};

// Events: follows every started board's streams until each has ended and its
// process been waited for; passes a signal on to the runs, once.
void followBoards(std::vector<Board>& boards, const BoardDisplay& display);

// Drawing and summary.
void drawLiveLines(const std::vector<Board>& boards, bool first);
void printSummary(const std::vector<Board>& boards, std::FILE* out);
RunReport reportOf(const ProductionRun& run, const std::vector<Board>& boards);
// One board's record as the report and the history keep it.
BoardRecord recordOf(const Board& board);

// The parts of followBoards, for runs whose boards come and go: a board's
// run started (its port, its folder) and what one of its streams delivered.
void startBoard(const ProductionRun& run, Board& board);
void takeArrival(Board& board, const Arrival& arrival, const BoardDisplay& display);

} // namespace velmora::cli
