#pragma once

#include "sim/board_options.h"
#include "sim/simulated_board.h"

#include <memory>
#include <string>

namespace velmora {

// The programming runs a simulated board can be started for.
enum class SimulatedRun {
    Flash,    // "Flash" and "All flash": the board's firmware waits for a trigger word
    Write,    // "Write command": the firmware is already in its reflash mode
    BootMode, // "Flash Action Setting": the chip in its boot mode
};

// A simulated board for one run, in the state the run expects, started and
// serving. `base` carries the rest of the options (pace, faults). Null when it
// cannot be started; `error` then says why.
std::unique_ptr<SimulatedBoard> startBoardFor(SimulatedRun run, BoardOptions base = {},
                                              std::string* error = nullptr);

} // namespace velmora
