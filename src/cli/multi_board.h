#pragma once

#include <string>
#include <vector>

namespace velmora::cli {

// One programming run on many boards at once: velmora-cli runs itself once
// per port, each run exactly a run on one port (its own process, its own
// serial link and work folder), and gathers what each one shows.
struct ProductionRun {
    std::string program;                // the velmora-cli to run per board
    std::vector<std::string> arguments; // the command and its options, without the ones below
    std::vector<std::string> ports;
    std::string workDir = "."; // each board gets a folder of its own inside
    std::string imageFile;
    std::string reportPath; // empty: no report
    std::string logPath;    // empty: no transcripts
    bool quiet = false;
};

// Runs every board and prints their progress and a summary; 0 when every
// board was programmed, else 1.
int runOnEveryPort(const ProductionRun& run);

// A port text as a file name part: "/dev/ttyUSB0" gives "ttyUSB0".
std::string portFileName(const std::string& port);
// The transcript of one board among several: "wire.log" gives "wire-ttyUSB0.log".
std::string boardLogPath(const std::string& logPath, const std::string& boardName);

// How a board's run is doing, read off the lines it draws.
struct BoardProgress {
    int percent = -1;
    long long bytes = 0;
    long long total = 0;
    long long rate = 0;
    std::string state;
};

// Splits what a run printed on its terminal into message lines and progress
// drawings; keeps an unfinished piece for the next call.
class BoardOutputReader {
public:
    // Message lines completed by this text, in order; progress updates `progress`.
    std::vector<std::string> take(const std::string& text, BoardProgress& progress);
    // The unfinished rest at the end of the run, if it is a message.
    std::vector<std::string> finish(BoardProgress& progress);

private:
    void piece(std::string text, std::vector<std::string>& lines, BoardProgress& progress);
    std::string pending;
};

} // namespace velmora::cli
