// The local-device transport over real pseudo-terminals: what each call tells
// apart, failures named with the system's reason, and what an open and a
// rate change do to the line.

#include "serial/transport.h"
#include "sim/simulated_board.h"
#include "support/pty_peer.h"
#include "support/test_files.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::PtyPeer;
namespace fs = std::filesystem;

LineSettings at(int baud) {
    LineSettings settings;
    settings.baud = baud;
    return settings;
}

Deadline in(std::chrono::milliseconds wait) {
    return TransportClock::now() + wait;
}

// Another process that holds the device until it is killed.
class Holder {
public:
    explicit Holder(const std::string& device) {
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string program = SERIAL_PROBE;
        char hold[] = "hold";
        char* argv[] = {program.data(), const_cast<char*>(device.c_str()), hold, nullptr};
        if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        char said[5] = {};
        holding = pid > 0 && ::read(out[0], said, 4) == 4 && std::string(said) == "open";
        ::close(out[0]);
    }
    ~Holder() { kill(); }

    void kill() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

    pid_t pid = -1;
    bool holding = false;
};

TEST(LineTime, CountsStartDataParityAndStopBits) {
    EXPECT_EQ(lineTime(1, at(9600)), 1042us) << "rounded up";
    EXPECT_EQ(lineTime(960, at(9600)), 1s);
    EXPECT_EQ(lineTime(7, at(2400)), 29167us);
    LineSettings withParity = at(9600);
    withParity.parity = 'e';
    withParity.stopBitsTenths = 20;
    EXPECT_EQ(lineTime(800, withParity), 1s) << "12 bits a byte";
    EXPECT_EQ(lineTime(0, at(9600)), 0us);
}

TEST(Transport, OpenFailuresCarryTheDeviceAndTheSystemsReason) {
    auto missing = makeTransport("/dev/velmora-no-such-device");
    Status status = missing->open(at(9600));
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason, "Cannot open /dev/velmora-no-such-device: No such file or directory");
    EXPECT_FALSE(missing->isOpen());

    const fs::path plain =
        fs::temp_directory_path() / ("velmora-plain-" + std::to_string(getpid()));
    std::ofstream(plain) << "not a serial device";
    auto file = makeTransport(plain.string());
    status = file->open(at(9600));
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason.rfind("Cannot open " + plain.string() + ": ", 0), 0u) << status.reason;
    EXPECT_FALSE(file->isOpen());
    fs::remove(plain);

    auto network = makeTransport("rfc2217://localhost:4001");
    EXPECT_EQ(network->name(), "rfc2217://localhost:4001");
    EXPECT_FALSE(network->isOpen());
}

TEST(Transport, CallsOnAClosedTransportAreRefused) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    auto port = makeTransport(peer.devicePath());
    std::uint8_t byte = 0x41;
    std::size_t taken = 9;
    EXPECT_EQ(port->send(&byte, 1, in(100ms)).outcome, Outcome::Refused);
    EXPECT_EQ(port->waitForInput(in(100ms)).outcome, Outcome::Refused);
    EXPECT_EQ(port->take(&byte, 1, taken).outcome, Outcome::Refused);
    EXPECT_EQ(taken, 0u);
    EXPECT_EQ(port->available(), 0u);
    EXPECT_EQ(port->send(&byte, 1, in(100ms)).reason, peer.devicePath() + " is not open");
    port->close(); // closing a closed transport does nothing
}

TEST(Transport, ADeviceHeldByAnotherProgramIsNamedWithItsPidAtOnce) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    Holder holder(peer.devicePath());
    ASSERT_TRUE(holder.holding);
    auto port = makeTransport(peer.devicePath());
    const auto start = TransportClock::now();
    Status status = port->open(at(9600));
    EXPECT_LT(TransportClock::now() - start, 1s);
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason, peer.devicePath() + " is in use by another program (pid " +
                                 std::to_string(holder.pid) + ")");

    // Killed, it leaves nothing behind: the kernel drops the lock with it.
    holder.kill();
    EXPECT_TRUE(port->open(at(9600)).ok());
}

TEST(Transport, AnOpenPutsTheSettingsInForceAndDiscardsWhatCameBefore) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer.write({0x11, 0x06, 0x11})); // left on the line by an earlier run
    std::this_thread::sleep_for(20ms);
    auto port = makeTransport(peer.devicePath());
    ASSERT_TRUE(port->open(at(2400)).ok());
    EXPECT_EQ(peer.baud(), 2400);
    const termios line = peer.lineSettings();
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u) << "0x11 is a protocol byte, not XON";
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(port->available(), 0u);
    EXPECT_EQ(port->waitForInput(in(50ms)).outcome, Outcome::TimedOut);

    ASSERT_TRUE(peer.write({0x06}));
    ASSERT_TRUE(port->waitForInput(in(2000ms)).ok());
    std::uint8_t reply[4] = {};
    std::size_t taken = 0;
    ASSERT_TRUE(port->take(reply, sizeof reply, taken).ok());
    EXPECT_EQ(taken, 1u);
    EXPECT_EQ(reply[0], 0x06) << "only what came after the open is an answer";
}

TEST(Transport, TakeHandsOverQueuedBytesInOrderAndLeavesTheRest) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    auto port = makeTransport(peer.devicePath());
    ASSERT_TRUE(port->open(at(38400)).ok());
    Bytes every(256);
    for (std::size_t i = 0; i < every.size(); ++i) {
        every[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_TRUE(peer.write(every));
    Bytes got;
    while (got.size() < every.size() && port->waitForInput(in(2000ms)).ok()) {
        std::uint8_t chunk[100];
        std::size_t taken = 0;
        ASSERT_TRUE(port->take(chunk, got.empty() ? 1 : sizeof chunk, taken).ok());
        got.insert(got.end(), chunk, chunk + taken);
    }
    EXPECT_EQ(got, every);
    EXPECT_EQ(port->available(), 0u);
}

TEST(Transport, ALineThatStopsTakingBytesTimesOutByTheDeadline) {
    PtyPeer peer; // never reads: the pseudo-terminal's buffers fill up
    ASSERT_TRUE(peer.ok());
    auto port = makeTransport(peer.devicePath());
    ASSERT_TRUE(port->open(at(9600)).ok());
    Bytes lots(1 << 20, 0x55);
    const auto start = TransportClock::now();
    Status status = port->send(lots.data(), lots.size(), in(200ms));
    const auto took = TransportClock::now() - start;
    EXPECT_EQ(status.outcome, Outcome::TimedOut);
    EXPECT_NE(status.reason.find(peer.devicePath()), std::string::npos) << status.reason;
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 1s);
    EXPECT_TRUE(port->isOpen()) << "the device is still there";
}

TEST(Transport, AVanishedDeviceIsGoneAtOnceAndClosed) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    auto port = makeTransport(peer.devicePath());
    ASSERT_TRUE(port->open(at(9600)).ok());
    std::thread pull([&peer] {
        std::this_thread::sleep_for(50ms);
        peer.hangUp();
    });
    const auto start = TransportClock::now();
    Status status = port->waitForInput(in(30s));
    pull.join();
    // Far below the 30 s asked for, with room for a busy machine.
    EXPECT_LT(TransportClock::now() - start, 5s);
    EXPECT_EQ(status.outcome, Outcome::Gone);
    EXPECT_EQ(status.reason.rfind(peer.devicePath() + ": ", 0), 0u) << status.reason;
    EXPECT_FALSE(port->isOpen());

    PtyPeer other;
    ASSERT_TRUE(other.ok());
    auto writer = makeTransport(other.devicePath());
    ASSERT_TRUE(writer->open(at(9600)).ok());
    other.hangUp();
    std::uint8_t block[129] = {};
    Status sent = writer->send(block, sizeof block, in(1s));
    EXPECT_EQ(sent.outcome, Outcome::Gone) << sent.reason;
    EXPECT_FALSE(writer->isOpen());
}

// The far end in packet mode: every change of the host's line settings is
// reported in order with the data.
struct PacketPeer {
    PtyPeer peer;
    bool ready = false;

    PacketPeer() {
        termios line{};
        int on = 1;
        int slave = ::open(peer.devicePath().c_str(), O_RDWR | O_NOCTTY);
        if (slave < 0 || ::tcgetattr(slave, &line) != 0) {
            return;
        }
        line.c_lflag |= EXTPROC;
        ready =
            ::tcsetattr(slave, TCSANOW, &line) == 0 && ::ioctl(peer.master(), TIOCPKT, &on) == 0;
        ::close(slave);
    }
};

TEST(Transport, ARateChangeRightAfterASendLetsTheBytesLeaveAtTheOldRate) {
    PacketPeer far;
    ASSERT_TRUE(far.ready);
    auto port = makeTransport(far.peer.devicePath());
    ASSERT_TRUE(port->open(at(2400)).ok());

    // The far end reads as a board does, a little late, and notes the rate in
    // force whenever bytes reach it.
    std::vector<int> ratesSeen;
    std::size_t dataBytes = 0;
    std::thread board([&] {
        std::this_thread::sleep_for(5ms);
        const auto until = TransportClock::now() + 2s;
        while (dataBytes < 7 && TransportClock::now() < until) {
            pollfd entry{far.peer.master(), POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            std::uint8_t packet[64];
            ssize_t n = ::read(far.peer.master(), packet, sizeof packet);
            if (n > 1 && packet[0] == TIOCPKT_DATA) {
                dataBytes += static_cast<std::size_t>(n - 1);
                ratesSeen.push_back(far.peer.baud());
            }
        }
    });
    const Bytes trigger{'r', 'e', 'f', 'l', 's', 'h', 'u'};
    ASSERT_TRUE(port->send(trigger.data(), trigger.size(), in(1s)).ok());
    const auto start = TransportClock::now();
    ASSERT_TRUE(port->configure(at(9600)).ok());
    const auto took = TransportClock::now() - start;
    board.join();
    EXPECT_EQ(dataBytes, 7u);
    ASSERT_FALSE(ratesSeen.empty());
    for (int rate : ratesSeen) {
        EXPECT_EQ(rate, 2400) << "a byte of the trigger word met the new rate";
    }
    EXPECT_EQ(far.peer.baud(), 9600);
    EXPECT_GE(took, lineTime(trigger.size(), at(2400)) - 5ms) << "the change waited for the line";
    EXPECT_LT(took, 500ms);
}

TEST(Transport, TheSimulatedBoardHearsATriggerWordSentJustBeforeARateChangeAtTheOldRate) {
    BoardOptions options;
    options.strictRates = true; // bytes that meet a settings change are held to it
    SimulatedBoard board(options);
    ASSERT_TRUE(board.start());
    auto port = makeTransport(board.devicePath());
    ASSERT_TRUE(port->open(at(2400)).ok());
    const Bytes trigger{'r', 'e', 'f', 'l', 's', 'h', 'u'};
    ASSERT_TRUE(port->send(trigger.data(), trigger.size(), in(1s)).ok());
    ASSERT_TRUE(port->configure(at(9600)).ok());
    ASSERT_TRUE(board.waitForLineBaud(9600, 0, 2s));
    const BoardSummary seen = board.summary();
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages[0].kind, "trigger word");
    // The open's own change may reach the board with the first bytes; the
    // change after them must not.
    const std::vector<int>& bauds = seen.messages[0].bauds;
    EXPECT_NE(std::find(bauds.begin(), bauds.end(), 2400), bauds.end());
    EXPECT_EQ(std::find(bauds.begin(), bauds.end(), 9600), bauds.end());
    EXPECT_EQ(seen.messages[0].result.rfind("accepted", 0), 0u) << seen.messages[0].result;
}

TEST(Transport, NoFileIsLeftByAnOpenAndNoneBlocksTheNextOne) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    const auto before = testing::lockFolderEntries();
    {
        Holder killed(peer.devicePath());
        ASSERT_TRUE(killed.holding);
        EXPECT_EQ(testing::lockFolderEntries(), before) << "the device is held without a lock file";
    }
    auto port = makeTransport(peer.devicePath());
    EXPECT_TRUE(port->open(at(9600)).ok()) << "a killed holder leaves the device free";
    port->close();
    EXPECT_EQ(testing::lockFolderEntries(), before);
}

} // namespace
} // namespace velmora
