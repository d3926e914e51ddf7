#include "bare_host.h"

#include "sim/scripted_host.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace velmora::bench {

namespace {

constexpr auto answerTimeout = std::chrono::milliseconds(5000);

speed_t speedOf(int baud) {
    switch (baud) {
    case 2400:
        return B2400;
    case 9600:
        return B9600;
    default:
        return B38400;
    }
}

} // namespace

BareHost::BareHost(const SimulatedBoard& simulated, const std::string& device) : board(simulated) {
    fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
}

BareHost::~BareHost() {
    if (fd >= 0) {
        ::close(fd);
    }
}

bool BareHost::setBaud(int baud) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&settings, speedOf(baud));
    ::cfsetospeed(&settings, speedOf(baud));
    const int changesBefore = board.lineChanges();
    if (::tcsetattr(fd, TCSADRAIN, &settings) != 0) {
        return false;
    }
    return board.waitForLineBaud(baud, changesBefore, std::chrono::milliseconds(2000));
}

bool BareHost::send(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

int BareHost::receiveByte(std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
        return -1;
    }
    std::uint8_t byte = 0;
    return ::read(fd, &byte, 1) == 1 ? byte : -1;
}

bool BareHost::drainOutput() {
    return ::tcdrain(fd) == 0;
}

bool TransportHost::setBaud(int baud) {
    LineSettings settings = transport.settings();
    settings.baud = baud;
    const int changesBefore = board.lineChanges();
    const bool set =
        transport.isOpen() ? transport.configure(settings).ok() : transport.open(settings).ok();
    return set && board.waitForLineBaud(baud, changesBefore, std::chrono::milliseconds(2000));
}

bool TransportHost::send(const std::uint8_t* bytes, std::size_t count) {
    return transport.send(bytes, count, TransportClock::now() + answerTimeout).ok();
}

bool TransportHost::drainOutput() {
    return transport.drain(TransportClock::now() + answerTimeout).ok();
}

int TransportHost::receiveByte(std::chrono::milliseconds timeout) {
    if (!transport.waitForInput(TransportClock::now() + timeout).ok()) {
        return -1;
    }
    std::uint8_t byte = 0;
    std::size_t taken = 0;
    return transport.take(&byte, 1, taken).ok() && taken == 1 ? byte : -1;
}

bool ProtocolHost::expect(std::uint8_t wanted) {
    return receiveByte(answerTimeout) == wanted;
}

bool ProtocolHost::sendTriggerWord(const char* word) {
    return send(reinterpret_cast<const std::uint8_t*>(word), std::strlen(word)) && drainOutput();
}

bool ProtocolHost::bootHandshake() {
    for (int tries = 0; tries < 150; ++tries) {
        if (!sendByte(0x00)) {
            return false;
        }
        int answer = receiveByte(std::chrono::milliseconds(100));
        if (answer == 0x00) {
            return sendByte(0x55) && expect(0xAA);
        }
        if (answer >= 0) {
            return false;
        }
    }
    return false;
}

bool ProtocolHost::bootDownload(const std::vector<std::uint8_t>& program) {
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(program.size() >> 8),
                                    static_cast<std::uint8_t>(program.size())};
    for (std::uint8_t byte : length) {
        if (!sendByte(byte) || !expect(byte)) {
            return false;
        }
    }
    for (std::uint8_t byte : program) {
        if (!sendByte(byte) || !expect(byte)) {
            return false;
        }
    }
    return expect(0xAA);
}

bool ProtocolHost::write(const std::vector<std::uint8_t>& image) {
    // The board's own tests' player: the same messages, each answered.
    const std::vector<int> replies = test::writeImage(*this, image, answerTimeout);
    return !replies.empty() && replies == test::goodReplies(image.size(), replies.front());
}

} // namespace velmora::bench
