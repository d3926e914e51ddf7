#pragma once

// The reference the programming runs are measured against: the same runs done
// by the plainest host there is, straight on the descriptor (termios, write,
// poll, read), against the same paced simulated board. What it takes beyond
// the line is what the machine, the pseudo-terminal and the board's thread
// cost; what our runs take beyond it is ours.

#include "sim/simulated_board.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::bench {

class BareHost {
public:
    BareHost(const SimulatedBoard& board, const std::string& device);
    ~BareHost();
    BareHost(const BareHost&) = delete;
    BareHost& operator=(const BareHost&) = delete;

    bool ok() const { return fd >= 0; }

    // Sets the line's rate and waits until the board hears at it.
    bool setBaud(int baud);

    // The reflash trigger word at 2400.
    bool sendTriggerWord(const char* word);
    // The boot-mode bit-rate handshake: 0x00 until the chip answers 0x00, then 0x55 / 0xAA.
    bool bootHandshake();
    // The boot program's download: the length, upper byte first, and every byte,
    // each echoed, then the end marker.
    bool bootDownload(const std::vector<std::uint8_t>& program);
    // One write: command block, size message, the blocks (the last padded) and
    // the closing message, each answered.
    bool write(const std::vector<std::uint8_t>& image);

private:
    bool send(const std::uint8_t* bytes, std::size_t count);
    bool sendByte(std::uint8_t byte) { return send(&byte, 1); }
    // The next byte from the board, or -1 after `timeout` without one.
    int receiveByte(std::chrono::milliseconds timeout);
    bool expect(std::uint8_t wanted);

    const SimulatedBoard& board;
    int fd = -1;
};

} // namespace velmora::bench
