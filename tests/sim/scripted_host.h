#pragma once

// A small host for the board's tests: opens the device as a serial port would
// (raw, at a given rate) and speaks the write protocol byte by byte. The
// messages of a write and the whole write serve its model-line twin
// (model_board.h) and the bench's reference host (bench/program/bare_host.h)
// as well.

#include "sim/line_speeds.h"
#include "support/byte_pattern.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velmora::test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedHost {
public:
    explicit ScriptedHost(const std::string& device) {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~ScriptedHost() { close(); }
    ScriptedHost(const ScriptedHost&) = delete;
    ScriptedHost& operator=(const ScriptedHost&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // Raw 8N1 at the given rate (two stop bits when asked, to test the frame
    // check). As a real line's drain does, the bytes sent before are first
    // given their time on the line at the rate they went out at.
    bool setBaud(int baud, bool twoStopBits = false) {
        std::this_thread::sleep_until(lineClear_);
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) {
            return false;
        }
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~CSTOPB;
        if (twoStopBits) {
            t.c_cflag |= CSTOPB;
        }
        const speed_t speed = speedOf(baud);
        if (speed == B0 || ::cfsetspeed(&t, speed) != 0 || ::tcsetattr(fd_, TCSANOW, &t) != 0) {
            return false;
        }
        baud_ = baud;
        return true;
    }

    bool send(const Bytes& bytes) {
        // Ten bits a byte: start, eight data bits, stop.
        const auto now = std::chrono::steady_clock::now();
        lineClear_ = std::max(lineClear_, now) +
                     std::chrono::microseconds(10'000'000LL * static_cast<long long>(bytes.size()) /
                                               std::max(baud_, 1));
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool send(std::string_view text) { return send(Bytes(text.begin(), text.end())); }

    // Whatever one read() delivers once input is there; empty at the timeout or end.
    Bytes readOnce(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0 || !(p.revents & POLLIN)) {
            return {};
        }
        std::uint8_t buffer[512];
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
    }

    // One byte, or -1 at the timeout.
    int readByte(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0 || !(p.revents & POLLIN)) {
            return -1;
        }
        std::uint8_t byte = 0;
        return ::read(fd_, &byte, 1) == 1 ? byte : -1;
    }

private:
    int fd_ = -1;
    int baud_ = 0; // 0 until set: bytes sent before are not waited for
    std::chrono::steady_clock::time_point lineClear_{};
};

// Sets the host's rate and waits until the board has taken the change in, so
// that the bytes sent next are held to this rate.
template <typename Host, typename Board>
bool settle(Host& host, const Board& board, int baud, bool twoStopBits = false) {
    const int before = board.lineChanges();
    return host.setBaud(baud, twoStopBits) &&
           board.waitForLineBaud(baud, before, std::chrono::seconds(5));
}

// ---- the messages of a write -------------------------------------------------

inline Bytes commandBlock() {
    Bytes block{0x57, 0x08};
    for (std::uint32_t address : {0x00000000u, 0x00000400u, 0x00000800u, 0x00000C00u, 0x00001000u,
                                  0x00008000u, 0x00010000u, 0x00018000u}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            block.push_back(static_cast<std::uint8_t>(address >> shift));
        }
    }
    return block;
}

inline Bytes sizeMessage(std::uint32_t size) {
    return {0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(size >> 24),
            static_cast<std::uint8_t>(size >> 16),
            static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size)};
}

// The block messages of an image, the last one padded with 0xFF.
inline std::vector<Bytes> blockMessages(const Bytes& image) {
    std::vector<Bytes> blocks;
    for (std::size_t at = 0; at < image.size(); at += 128) {
        Bytes block{0x11};
        for (std::size_t i = at; i < at + 128; ++i) {
            block.push_back(i < image.size() ? image[i] : 0xFF);
        }
        blocks.push_back(block);
    }
    return blocks;
}

inline Bytes closingMessage(const Bytes& image) {
    std::uint8_t sum = 0;
    for (const Bytes& block : blockMessages(image)) {
        for (std::size_t i = 1; i < block.size(); ++i) {
            sum = static_cast<std::uint8_t>(sum + block[i]);
        }
    }
    return {0x11, static_cast<std::uint8_t>(~sum)};
}

using testing::pattern;

// Runs a whole write (command block, size message, blocks, closing) and returns
// the board's answer to each message sent, -1 for none; it stops after the
// first answer a host would not go on with.
template <typename Host>
std::vector<int> writeImage(Host& host, const Bytes& image,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::vector<int> replies;
    auto exchange = [&](const Bytes& message) {
        host.send(message);
        replies.push_back(host.readByte(timeout));
        return replies.back();
    };
    auto acknowledged = [](int reply) { return reply == 0x06 || reply == 0x11; };
    if (!acknowledged(exchange(commandBlock())) ||
        !acknowledged(exchange(sizeMessage(static_cast<std::uint32_t>(image.size()))))) {
        return replies;
    }
    for (const Bytes& block : blockMessages(image)) {
        if (exchange(block) != 0x11) {
            return replies;
        }
    }
    exchange(closingMessage(image));
    return replies;
}

// The answers of a write that goes through: two acknowledgements, 0x11 per block, 0x06.
inline std::vector<int> goodReplies(std::size_t imageSize, int acknowledge = 0x06) {
    std::vector<int> replies{acknowledge, acknowledge};
    replies.insert(replies.end(), (imageSize + 127) / 128, 0x11);
    replies.push_back(0x06);
    return replies;
}

} // namespace velmora::test
