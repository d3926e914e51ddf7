#include "serial/port_names.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#include "support/pty_peer.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

using velmora::SerialPort;
using velmora::testing::PtyPeer;

namespace {

// Waits (bounded) until the port has count bytes queued.
bool waitForQueued(SerialPort& port, int count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (port.bytesWaiting() < count && std::chrono::steady_clock::now() < until) {
        port.waitForInput(1000);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return port.bytesWaiting() >= count;
}

// Runs the probe program on device; its exit code (0: it could open it).
int probeFromAnotherProcess(const std::string& device) {
    pid_t child = 0;
    std::string program = SERIAL_PROBE;
    char* argv[] = {program.data(), const_cast<char*>(device.c_str()), nullptr};
    if (::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::uint8_t> everyByteValue() {
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

} // namespace

TEST(SerialPort, OpensAtTheRateAskedAndKeepsItUntilClosed) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
    EXPECT_EQ(peer.baud(), 9600);
    termios line = peer.lineSettings();
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);

    EXPECT_EQ(port.open(peer.devicePath(), 2400), 1);
    EXPECT_EQ(peer.baud(), 9600) << "opening an open port changes nothing";

    EXPECT_EQ(port.close(), 1);
    EXPECT_EQ(port.close(), 1);
    EXPECT_FALSE(port.isOpen());
    ASSERT_EQ(port.open(peer.devicePath(), 2400), 1) << "the lock is released at close";
    EXPECT_EQ(peer.baud(), 2400);
}

TEST(SerialPort, PortNumbersNameTheirAssignedDevice) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    velmora::Ports ports;
    ports.assign(7, peer.devicePath());
    SerialPort port(ports);
    EXPECT_EQ(port.open(7, 9600), 1);
    EXPECT_EQ(port.device(), std::filesystem::canonical(peer.devicePath()).string());
}

TEST(SerialPort, AbsentDeviceFailsAndLeavesThePortUsable) {
    SerialPort port;
    EXPECT_EQ(port.open("/dev/velmora-no-such-device", 9600), 0);
    EXPECT_EQ(port.open(0, 9600), 0);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.close(), 1);

    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(port.open(peer.devicePath(), 9600), 1);
}

TEST(SerialPort, ClosedPortDoesNothing) {
    SerialPort port;
    std::uint8_t buffer[4] = {};
    EXPECT_EQ(port.send("abc", 3), 0);
    EXPECT_EQ(port.bytesWaiting(), 0);
    EXPECT_EQ(port.receive(buffer, 4), 0);
    EXPECT_FALSE(port.waitForInput(1000));
    EXPECT_EQ(port.sendByte(0x41), 1);
}

TEST(SerialPort, SendCountsEveryByteAndIgnoresEmptyCounts) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
    EXPECT_EQ(port.send("xyz", 0), 0);
    EXPECT_EQ(port.send("xyz", -5), 0);
    EXPECT_EQ(port.send("Z", 1), 1);
    EXPECT_EQ(peer.read(2, std::chrono::milliseconds(300)), std::vector<std::uint8_t>{'Z'})
        << "nothing but the one byte reached the line";

    std::vector<std::uint8_t> block(34, 0x5A);
    EXPECT_EQ(port.send(block.data(), 34), 34);
    EXPECT_EQ(peer.read(34), block);
}

TEST(SerialPort, ReceiveTakesOnlyWhatIsAskedAndLeavesTheRest) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(port.bytesWaiting(), 0);
    EXPECT_EQ(port.receive(buffer, 1), 0);

    ASSERT_TRUE(peer.write({1, 2, 3, 4, 5}));
    ASSERT_TRUE(waitForQueued(port, 5));
    EXPECT_EQ(port.bytesWaiting(), 5);
    EXPECT_EQ(port.receive(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(port.bytesWaiting(), 4);
    ASSERT_TRUE(peer.write({6, 7}));
    ASSERT_TRUE(waitForQueued(port, 6)) << "later bytes join the ones left queued";
    EXPECT_EQ(port.receive(buffer, 8), 6);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 6),
              (std::vector<std::uint8_t>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(port.bytesWaiting(), 0);
}

TEST(SerialPort, EveryByteValueTravelsUnchangedBothWays) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 38400), 1);
    std::vector<std::uint8_t> bytes = everyByteValue(); // 0x11 and 0x13 among them

    EXPECT_EQ(port.send(bytes.data(), 256), 256);
    EXPECT_EQ(peer.read(256), bytes);

    ASSERT_TRUE(peer.write(bytes));
    ASSERT_TRUE(waitForQueued(port, 256));
    std::vector<std::uint8_t> received(300);
    EXPECT_EQ(port.receive(received.data(), 300), 256);
    received.resize(256);
    EXPECT_EQ(received, bytes);
}

TEST(SerialPort, WaitForInputReturnsWhenBytesArriveOrTheWaitRunsOut) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
    EXPECT_FALSE(port.waitForInput(2000));
    ASSERT_TRUE(peer.write({0x06}));
    EXPECT_TRUE(waitForQueued(port, 1));
    EXPECT_TRUE(port.waitForInput(0)) << "queued bytes answer at once";
}

TEST(SerialPort, DeviceIsHeldExclusively) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort first;
    SerialPort second;
    ASSERT_EQ(first.open(peer.devicePath(), 9600), 1);
    EXPECT_EQ(second.open(peer.devicePath(), 9600), 0);
    EXPECT_EQ(probeFromAnotherProcess(peer.devicePath()), 3);

    // Through a second name for the same device.
    std::filesystem::path link = std::filesystem::temp_directory_path() /
                                 ("velmora-serial-test-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(peer.devicePath(), link);
    EXPECT_EQ(second.open(link.string(), 9600), 0);
    EXPECT_EQ(probeFromAnotherProcess(link.string()), 3);

    first.close();
    EXPECT_EQ(probeFromAnotherProcess(peer.devicePath()), 0) << "released at close";
    EXPECT_EQ(second.open(link.string(), 9600), 1);
    std::filesystem::remove(link);
}

TEST(SerialPort, VanishedDeviceActsAsClosedAndCanBeOpenedAgain) {
    std::filesystem::path link = std::filesystem::temp_directory_path() /
                                 ("velmora-serial-vanish-" + std::to_string(::getpid()));
    auto pointLinkAt = [&link](const std::string& target) {
        std::filesystem::remove(link);
        std::filesystem::create_symlink(target, link);
    };
    auto peer = std::make_unique<PtyPeer>();
    ASSERT_TRUE(peer->ok());
    pointLinkAt(peer->devicePath());
    SerialPort port;
    ASSERT_EQ(port.open(link.string(), 9600), 1);

    peer->hangUp();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.waitForInput(30'000'000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "a gone device ends the wait instead of holding it";
    std::uint8_t buffer[4] = {};
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.bytesWaiting(), 0);
    EXPECT_EQ(port.receive(buffer, 4), 0);
    EXPECT_EQ(port.send("ab", 2), 0);
    EXPECT_EQ(port.close(), 1);

    auto back = std::make_unique<PtyPeer>();
    ASSERT_TRUE(back->ok());
    pointLinkAt(back->devicePath());
    ASSERT_EQ(port.open(link.string(), 9600), 1);
    EXPECT_EQ(port.send("ok", 2), 2);
    EXPECT_EQ(back->read(2), (std::vector<std::uint8_t>{'o', 'k'}));
    std::filesystem::remove(link);
}

TEST(SerialPort, VanishedDeviceWhileSendingDoesNotHang) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
    peer.hangUp();
    std::vector<std::uint8_t> block(128, 0x11);
    port.send(block.data(), 128);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.send(block.data(), 128), 0);
}

TEST(SerialPort, BytesSentBeforeCloseStillArriveAfterAReopenAtAnotherRate) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 2400), 1);
    const char trigger[] = "reflshu";
    EXPECT_EQ(port.send(trigger, 7), 7);
    port.close();
    ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
    EXPECT_EQ(port.send("\x11", 1), 1);
    std::vector<std::uint8_t> expected(trigger, trigger + 7);
    expected.push_back(0x11);
    EXPECT_EQ(peer.read(8), expected);
}
