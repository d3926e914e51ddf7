#pragma once

// What the network benches share: the image they write, paced simulated
// boards served by ser2net daemons on loopback, and the printing of a timed
// run against the line.

#include "sim/simulated_board.h"
#include "support/ser2net_server.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace velmora::bench {

// The image written: every eighth byte 0xFF, as erased flash is full of them.
inline std::vector<std::uint8_t> flashPattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = i % 8 == 0 ? 0xFF : static_cast<std::uint8_t>(i * 29 + (i >> 7));
    }
    return bytes;
}

// Boards on their own paced pseudo-terminals, served by `servers` ser2net
// daemons (the boards shared out between them in turn), for as long as the
// object lives.
class ServedBoards {
public:
    // False, with the reason printed, when a board or a daemon does not start.
    bool start(int boardCount, int serverCount, const BoardOptions& options) {
        servers = serverCount;
        std::vector<std::vector<std::string>> devicesOf(serverCount);
        for (int i = 0; i < boardCount; ++i) {
            boards.push_back(std::make_unique<SimulatedBoard>(options));
            if (!boards.back()->start()) {
                return false;
            }
            devicesOf[i % serverCount].push_back(boards.back()->terminalPath());
        }
        for (const auto& devices : devicesOf) {
            daemons.push_back(std::make_unique<Ser2netServer>(
                devices, Ser2netServer::Options{.passAtOnce = true}));
            if (!daemons.back()->running()) {
                std::fprintf(stderr, "ser2net did not start: %s\n", daemons.back()->log().c_str());
                return false;
            }
        }
        return true;
    }

    // The network port the board numbered `board` (from 0) is served on.
    std::string portName(int board) const {
        return daemons[board % servers]->portName(board / servers);
    }

    std::vector<std::unique_ptr<SimulatedBoard>> boards;

private:
    int servers = 1;
    // Declared after the boards: the daemons stop first.
    std::vector<std::unique_ptr<Ser2netServer>> daemons;
};

// One timed run: wall time, line time, their ratio and, with a reference, the
// ratio to it; FAILED for a negative time.
inline void printTimed(const std::string& what, double seconds, double line, double reference,
                       const char* against) {
    if (seconds < 0) {
        std::printf("%-52s FAILED\n", what.c_str());
        return;
    }
    std::printf("%-52s %7.2f s  line %7.2f s  ratio %6.4f", what.c_str(), seconds, line,
                seconds / line);
    if (reference > 0) {
        std::printf("  %s %6.4f", against, seconds / reference);
    }
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace velmora::bench
