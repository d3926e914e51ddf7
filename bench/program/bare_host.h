#pragma once

// The reference the programming runs are measured against: the same runs done
// by the plainest host there is, straight on the descriptor (termios, write,
// poll, read), against the same paced simulated board. What it takes beyond
// the line is what the machine, the pseudo-terminal and the board's thread
// cost; what our runs take beyond it is ours.

#include "serial/transport.h"
#include "sim/simulated_board.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::bench {

// The programming protocol's steps, byte for byte, over any line: the host's
// side with nothing of the product's exchanges in between.
class ProtocolHost {
public:
    virtual ~ProtocolHost() = default;

    // Sets the line's rate and waits until the board hears at it.
    virtual bool setBaud(int baud) = 0;

    // The reflash trigger word at 2400, drained.
    bool sendTriggerWord(const char* word);
    // The boot-mode bit-rate handshake: 0x00 until the chip answers 0x00, then 0x55 / 0xAA.
    bool bootHandshake();
    // The boot program's download: the length, upper byte first, and every byte,
    // each echoed, then the end marker.
    bool bootDownload(const std::vector<std::uint8_t>& program);
    // One write: command block, size message, the blocks (the last padded) and
    // the closing message, each answered.
    bool write(const std::vector<std::uint8_t>& image);

    // A message out and one byte back, for the write player the board's tests share.
    bool send(const std::vector<std::uint8_t>& message) {
        return send(message.data(), message.size());
    }
    int readByte(std::chrono::milliseconds timeout) { return receiveByte(timeout); }

protected:
    virtual bool send(const std::uint8_t* bytes, std::size_t count) = 0;
    // Waits until what was sent has left the line.
    virtual bool drainOutput() = 0;
    // The next byte from the board, or -1 after `timeout` without one.
    virtual int receiveByte(std::chrono::milliseconds timeout) = 0;

private:
    bool sendByte(std::uint8_t byte) { return send(&byte, 1); }
    bool expect(std::uint8_t wanted);
};

// Straight on the descriptor of a local device.
class BareHost : public ProtocolHost {
public:
    BareHost(const SimulatedBoard& simulated, const std::string& device);
    ~BareHost() override;
    BareHost(const BareHost&) = delete;
    BareHost& operator=(const BareHost&) = delete;

    bool ok() const { return fd >= 0; }
    bool setBaud(int baud) override;

protected:
    bool send(const std::uint8_t* bytes, std::size_t count) override;
    bool drainOutput() override;
    int receiveByte(std::chrono::milliseconds timeout) override;

private:
    const SimulatedBoard& board;
    int fd = -1;
};

// Over a transport (a network port), opened at the first rate set.
class TransportHost : public ProtocolHost {
public:
    TransportHost(const SimulatedBoard& simulated, Transport& link)
        : board(simulated), transport(link) {}

    bool setBaud(int baud) override;

protected:
    bool send(const std::uint8_t* bytes, std::size_t count) override;
    bool drainOutput() override;
    int receiveByte(std::chrono::milliseconds timeout) override;

private:
    const SimulatedBoard& board;
    Transport& transport;
};

} // namespace velmora::bench
