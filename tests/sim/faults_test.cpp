#include "sim/model_board.h"
#include "sim/scripted_host.h"
#include "sim/simulated_board.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
using namespace std::chrono_literals;

namespace {

BoardOptions reflashOptions() {
    BoardOptions options;
    options.startInReflashMode = true;
    return options;
}

} // namespace

TEST(Faults, SilentBoardTakesEverythingAndAnswersNothing) {
    BoardOptions options = reflashOptions();
    options.silent = true;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    host.send(commandBlock());
    host.send(sizeMessage(128));
    ASSERT_TRUE(board.waitFor([](const BoardSummary& s) { return s.messages.size() == 2; }, 5s));
    EXPECT_EQ(host.readByte(200ms), -1);
    const BoardSummary s = board.summary();
    EXPECT_EQ(s.messages[1].result, "accepted: 128 bytes");
    EXPECT_EQ(s.messages[1].reply, -1);
    EXPECT_EQ(s.bytesSent, 0u);
    EXPECT_EQ(s.faultsInjected, std::vector<std::string>{"silent: every answer withheld"});
}

TEST(Faults, NakAndEarlyEndOnBlockK) {
    BoardOptions options = reflashOptions();
    options.nakBlock = 3;
    options.faultWrite = 1;
    options.earlyAckBlock = 2;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(640);
    // Write 1: block 2 is answered 0x06, which ends the host's transfer.
    EXPECT_EQ(writeImage(host, image), (std::vector<int>{0x06, 0x06, 0x11, 0x06}));
    // Write 2: the faults were for write 1 only.
    EXPECT_EQ(writeImage(host, image), goodReplies(640));
    ASSERT_TRUE(board.waitForEndedWrites(2, 5s));

    options.faultWrite = 0;
    options.earlyAckBlock = 0;
    ModelBoard nakBoard(options);
    ASSERT_TRUE(nakBoard.start());
    ModelHost nakHost(nakBoard);
    ASSERT_TRUE(nakHost.setBaud(9600));
    EXPECT_EQ(writeImage(nakHost, image), (std::vector<int>{0x06, 0x06, 0x11, 0x11, 0x15}));
    EXPECT_EQ(writeImage(nakHost, image), (std::vector<int>{0x06, 0x06, 0x11, 0x11, 0x15}));

    BoardSummary s = board.summary();
    EXPECT_EQ(s.writes[0].outcome, "ended early by fault");
    EXPECT_EQ(s.writes[0].blocksReceived, 2);
    EXPECT_EQ(s.writes[1].outcome, "completed");
    EXPECT_EQ(s.faultsInjected, std::vector<std::string>{"early 0x06 after block 2 of write 1"});
    s = nakBoard.summary();
    EXPECT_EQ(s.failedWrites, 2);
    EXPECT_EQ(s.faultsInjected,
              (std::vector<std::string>{"NAK on block 3 of write 1", "NAK on block 3 of write 2"}));
    // The refused block was not written; the two before it were.
    const Bytes flash = nakBoard.flash();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 256, flash.begin()));
    EXPECT_EQ(flash[256], 0xFF);
}

TEST(Faults, DroppedLinkMakesTheDeviceVanish) {
    const std::string link =
        ::testing::TempDir() + "velmora-sim-drop-" + std::to_string(::getpid());
    BoardOptions options = reflashOptions();
    options.linkPath = link;
    options.dropAfterBlock = 2;
    SimulatedBoard board(options);
    ASSERT_TRUE(board.start());
    ScriptedHost host(link);
    ASSERT_TRUE(host.setBaud(9600));
    EXPECT_EQ(writeImage(host, pattern(512)), (std::vector<int>{0x06, 0x06, 0x11, -1}));
    ASSERT_TRUE(board.waitFor([](const BoardSummary& s) { return s.linkDropped; }, 5s));
    EXPECT_TRUE(board.linkDropped());
    EXPECT_FALSE(host.send(Bytes{0x11})); // the line is gone
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
    ScriptedHost again(link);
    EXPECT_FALSE(again.isOpen());
    const BoardSummary s = board.summary();
    EXPECT_EQ(s.writes[0].outcome, "link dropped");
    EXPECT_EQ(s.failedWrites, 1);
    board.stop(); // after a drop, stopping is still clean
}

TEST(Faults, SlowAnswersComeNoSoonerThanTheDelay) {
    BoardOptions options = reflashOptions();
    options.replyDelay = 40ms;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    const auto start = board.clock.now();
    EXPECT_EQ(writeImage(host, pattern(128)), goodReplies(128));
    EXPECT_GE(board.clock.now() - start, 4 * 40ms);
}

TEST(Pacing, AnswersWaitForTheBytesToCrossTheLine) {
    BoardOptions options = reflashOptions();
    options.pace = true;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(384);
    const auto start = board.clock.now();
    EXPECT_EQ(writeImage(host, image), goodReplies(384));
    const auto elapsed = board.clock.now() - start;
    // 34 + 8 + 3 * 129 + 2 bytes out, 6 answers back, 10 bits each at 9600 baud.
    const auto lineTime =
        std::chrono::microseconds((34 + 8 + 3 * 129 + 2 + 6) * 10 * 1'000'000LL / 9600);
    EXPECT_GE(elapsed, lineTime);
    ASSERT_TRUE(board.waitForCompletedWrites(1, 5s));
}
