#pragma once

#include <string>
#include <vector>

namespace velmora::cli {

// One programming run on many boards at once: velmora-cli runs itself once
// per port, each run exactly a run on one port (its own process, its own
// serial link and work folder), and learns what each one does from the events
// it sends on a pipe of its own.
struct ProductionRun {
    std::string program;                // the velmora-cli to run per board
    std::vector<std::string> arguments; // the command and its options, without the ones below
    std::vector<std::string> ports;
    std::string workDir = "."; // each board gets a folder of its own inside
    std::string imageFile;
    std::string reportPath; // empty: no report
    std::string logPath;    // empty: no transcripts
    std::string dbPath;     // empty: no history
    std::string command;    // as the history names it: flash, all, write, boot
    bool quiet = false;
    bool json = false;    // events and records as JSON lines on stdout, the rest on stderr
    bool verbose = false; // the runs' wire lines on stderr
};

// Runs every board and prints their progress and a summary; 0 when every
// board was programmed, 1 when one was not (or the report could not be
// written), 2 when the run was refused before any board was touched (a
// device named twice, a folder or file that cannot be made), 128 + the
// signal's number when a signal ended it (after every board's run has ended).
int runOnEveryPort(const ProductionRun& run);

// A port text as a file name part: "/dev/ttyUSB0" gives "ttyUSB0",
// "rfc2217://bench-a:4001" gives "bench-a-4001".
std::string portFileName(const std::string& port);
// The transcript of one board among several: "wire.log" gives "wire-ttyUSB0.log".
std::string boardLogPath(const std::string& logPath, const std::string& boardName);

// When two of the ports name one device (a link and its target, say) or one
// network port (a host by two names), why the run cannot go on; empty
// otherwise. "sim" names a board of its own each time.
std::string sameDeviceTwice(const std::vector<std::string>& ports);

} // namespace velmora::cli
