#pragma once

#include <string>
#include <vector>

namespace velmora::cli {

// A programming station: boards programmed as they come, each in a process
// of its own as in a run on many boards, every run added to the history.
// Boards come from a watched folder (every serial device or link that
// appears in it is a board, programmed at once; its entry going away and
// coming back is the next board) or from fixture slots (ports where boards
// are changed, started by a key or by a line "start [SLOT]" on stdin).
struct StationOptions {
    std::string file;
    std::string command = "flash";  // flash, all, write or boot
    std::vector<std::string> ports; // fixture slots; none: the watched folder
    std::string watchDir;
    std::string dbPath = "velmora-history.sqlite";
    std::string workDir = ".";
    std::string bootDir;
    long long pauseUnitMicroseconds = 200;
    bool strict = false;
    bool quiet = false;
    bool json = false;
    std::string program; // the velmora-cli each board's run is; empty: this one
};

// Runs until a signal (the boards in progress ended as a signal ends a run,
// then the totals, 128 + the signal's number) or, with fixture slots and no
// terminal, until stdin ends and the last board is done (0 when no board
// failed, else 1). 2 when refused before any board (the history file, the
// folders).
int runStation(const StationOptions& options);

} // namespace velmora::cli
