#include "sim/board_for_run.h"

namespace velmora {

std::unique_ptr<SimulatedBoard> startBoardFor(SimulatedRun run, BoardOptions base,
                                              std::string* error) {
    base.mode = run == SimulatedRun::BootMode ? BoardOptions::Mode::Boot : BoardOptions::Mode::User;
    base.startInReflashMode = run == SimulatedRun::Write;
    auto board = std::make_unique<SimulatedBoard>(std::move(base));
    if (!board->start()) {
        if (error) {
            *error = board->lastError();
        }
        return nullptr;
    }
    return board;
}

} // namespace velmora
