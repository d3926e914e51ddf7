#pragma once

#include "serial/ports.h"
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

// How a run in this process reaches its own simulated board: every open and
// every change of settings on the board's device returns once the board has
// taken the new settings in (bounded by a couple of seconds). A
// pseudo-terminal tells the board that the host's settings changed, neither
// when nor how often, so a host that opened at 2400 for the trigger word and
// at 9600 again before the board looked would have its trigger word judged by
// the wrong rate; a busy machine can hold the board's thread that long. Other
// names are reached through `other`. The board must outlive the opener.
Ports::Opener reachSettled(const SimulatedBoard& board, Ports::Opener other);

} // namespace velmora
