#include "serial/ports.h"
#include "sim/board_for_run.h"
#include "sim/model_board.h"
#include "sim/scripted_host.h"
#include "sim/simulated_board.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
using namespace std::chrono_literals;

namespace {

Bytes flashWith(const Bytes& image) {
    Bytes flash(128 * 1024, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

int countKind(const BoardSummary& s, const std::string& kind) {
    int n = 0;
    for (const MessageRecord& m : s.messages) {
        n += m.kind == kind;
    }
    return n;
}

} // namespace

TEST(UserMode, FlashRunWritesTheImageAndReportsWhatItSaw) {
    ModelBoard board;
    ASSERT_TRUE(board.start()) << board.lastError();
    EXPECT_EQ(board.flash(), Bytes(128 * 1024, 0xFF));

    ModelHost host(board);
    ASSERT_TRUE(host.isOpen());
    ASSERT_TRUE(host.setBaud(2400));
    host.send("reflshu");
    ASSERT_TRUE(board.waitFor([](const BoardSummary& s) { return !s.messages.empty(); }, 5s));
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(256);
    EXPECT_EQ(writeImage(host, image), goodReplies(256));
    ASSERT_TRUE(board.waitFor([](const BoardSummary& s) { return s.bytesSent == 5; }, 5s));
    EXPECT_EQ(board.flash(), flashWith(image));

    const BoardSummary s = board.summary();
    EXPECT_EQ(s.mode, "user");
    EXPECT_EQ(s.completedWrites, 1);
    EXPECT_EQ(s.failedWrites, 0);
    ASSERT_EQ(s.messages.size(), 6u); // trigger, command, size, 2 blocks, closing
    EXPECT_EQ(s.messages[0].kind, "trigger word");
    EXPECT_EQ(s.messages[0].result, "accepted: reflshu (Flash)");
    EXPECT_EQ(s.messages[0].bauds.back(), 2400);
    EXPECT_EQ(s.messages[1].kind, "command block");
    EXPECT_EQ(s.messages[1].bytes, 34u);
    EXPECT_EQ(s.messages[1].bauds.back(), 9600);
    EXPECT_EQ(s.messages[2].bytes, 8u);
    EXPECT_EQ(s.messages[3].bytes, 129u);
    EXPECT_EQ(s.messages[5].kind, "closing message");
    EXPECT_EQ(s.messages[5].reply, 0x06);
    ASSERT_EQ(s.writes.size(), 1u);
    EXPECT_EQ(s.writes[0].size, 256u);
    EXPECT_EQ(s.writes[0].blocksReceived, 2);
    EXPECT_EQ(s.writes[0].checksumReceived, closingMessage(image)[1]);
    EXPECT_EQ(s.writes[0].outcome, "completed");
    EXPECT_NE(s.toJson().find("\"checksumOk\": true"), std::string::npos);
}

TEST(UserMode, AllFlashWithAPaddedLastBlockReplacesAnEarlierLargerImage) {
    BoardOptions options;
    options.acknowledge = 0x11;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);

    ASSERT_TRUE(host.setBaud(2400));
    host.send("reflsha");
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes large = pattern(1024, 9);
    EXPECT_EQ(writeImage(host, large), goodReplies(1024, 0x11));

    // 192 bytes: an odd multiple of 64, so the second block carries 64 bytes of padding.
    ASSERT_TRUE(host.setBaud(2400));
    host.send("reflsha");
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes small = pattern(192, 3);
    EXPECT_EQ(writeImage(host, small), goodReplies(192, 0x11));
    ASSERT_TRUE(board.waitForCompletedWrites(2, 5s));
    EXPECT_EQ(board.flash(), flashWith(small)); // the erase removed the rest of the first image
    EXPECT_EQ(board.summary().messages[0].result, "accepted: reflsha (All flash)");
}

TEST(UserMode, WriteCommandNeedsReflashMode) {
    {
        ModelBoard board; // running its firmware: listens at 2400 only
        ASSERT_TRUE(board.start());
        ModelHost host(board);
        ASSERT_TRUE(settle(host, board, 9600));
        EXPECT_EQ(writeImage(host, pattern(128), 300ms), std::vector<int>{-1});
        EXPECT_EQ(board.summary().ignoredBytes, 34u);
    }
    BoardOptions options;
    options.startInReflashMode = true;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(128);
    EXPECT_EQ(writeImage(host, image), goodReplies(128));
    // The new program runs: a second write without trigger word is not heard.
    EXPECT_EQ(writeImage(host, image, 300ms), std::vector<int>{-1});
}

TEST(UserMode, WrongChecksumIsRefusedAndTheBoardStaysInReflashMode) {
    BoardOptions options;
    options.startInReflashMode = true;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(384);
    host.send(commandBlock());
    EXPECT_EQ(host.readByte(), 0x06);
    host.send(sizeMessage(384));
    EXPECT_EQ(host.readByte(), 0x06);
    for (const Bytes& block : blockMessages(image)) {
        host.send(block);
        EXPECT_EQ(host.readByte(), 0x11);
    }
    Bytes closing = closingMessage(image);
    closing[1] ^= 0x01;
    host.send(closing);
    EXPECT_EQ(host.readByte(), 0x15);
    ASSERT_TRUE(board.waitForEndedWrites(1, 5s));
    BoardSummary s = board.summary();
    EXPECT_EQ(s.completedWrites, 0);
    EXPECT_EQ(s.writes[0].outcome, "checksum wrong");
    EXPECT_EQ(s.writes[0].checksumExpected, closingMessage(image)[1]);

    // "Write command" now goes through.
    EXPECT_EQ(writeImage(host, image), goodReplies(384));
    ASSERT_TRUE(board.waitForCompletedWrites(1, 5s));
    EXPECT_EQ(board.flash(), flashWith(image));
}

TEST(UserMode, WrongCommandBlockAndSizeMessagesAreRefused) {
    BoardOptions options;
    options.startInReflashMode = true;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));

    Bytes command = commandBlock();
    command[33] = 0x01; // last address 0x00018001
    host.send(command);
    EXPECT_EQ(host.readByte(), 0x15);

    const std::vector<Bytes> wrongSizes = {
        {0, 0, 0, 1, 0, 0, 1, 0}, // high bytes not zero
        sizeMessage(0),
        sizeMessage(128 * 1024 + 64),
    };
    for (const Bytes& size : wrongSizes) {
        host.send(commandBlock());
        EXPECT_EQ(host.readByte(), 0x06);
        host.send(size);
        EXPECT_EQ(host.readByte(), 0x15);
    }
    // A refused size message leaves no write behind; the largest image is taken.
    const Bytes full = pattern(128 * 1024, 5);
    EXPECT_EQ(writeImage(host, full), goodReplies(full.size()));
    ASSERT_TRUE(board.waitForCompletedWrites(1, 10s));
    EXPECT_EQ(board.flash(), full);
    BoardSummary s = board.summary();
    EXPECT_EQ(s.writes.size(), 1u);
    EXPECT_EQ(s.messages[0].result, "refused: byte 34 is 0x01, not 0x00");
}

TEST(UserMode, BlocksMustBePaddedWithErasedBytesAndComeWhole) {
    BoardOptions options;
    options.startInReflashMode = true;
    options.messageGap = 100ms;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(64);

    // Padding that is not 0xFF.
    host.send(commandBlock());
    EXPECT_EQ(host.readByte(), 0x06);
    host.send(sizeMessage(64));
    EXPECT_EQ(host.readByte(), 0x06);
    Bytes block = blockMessages(image)[0];
    block[128] = 0x00;
    host.send(block);
    EXPECT_EQ(host.readByte(), 0x15);

    // The 64 bytes alone, then the closing message: the block is cut short.
    host.send(commandBlock());
    EXPECT_EQ(host.readByte(), 0x06);
    host.send(sizeMessage(64));
    EXPECT_EQ(host.readByte(), 0x06);
    Bytes shortBlock{0x11};
    shortBlock.insert(shortBlock.end(), image.begin(), image.end());
    host.send(shortBlock);
    host.send(closingMessage(image));
    EXPECT_EQ(host.readByte(), 0x15);

    ASSERT_TRUE(board.waitForEndedWrites(2, 5s));
    BoardSummary s = board.summary();
    EXPECT_EQ(s.completedWrites, 0);
    EXPECT_EQ(s.writes[0].outcome, "refused block 1: padding byte 128 is 0x00, not 0xFF");
    EXPECT_EQ(s.writes[1].outcome, "incomplete message");
    EXPECT_EQ(s.messages.back().bytes, 67u);
}

TEST(UserMode, BytesAtTheWrongRateOrFrameAreGarbage) {
    ModelBoard board;
    ASSERT_TRUE(board.start());
    ModelHost host(board);

    // Trigger word at 9600: not heard.
    ASSERT_TRUE(settle(host, board, 9600));
    host.send("reflshu");
    ASSERT_TRUE(board.waitFor([](const BoardSummary& s) { return s.ignoredBytes == 7; }, 5s));
    // Right rate, two stop bits: not heard either.
    ASSERT_TRUE(settle(host, board, 2400, true));
    host.send("reflshu");
    ASSERT_TRUE(board.waitFor([](const BoardSummary& s) { return s.ignoredBytes == 14; }, 5s));
    // A word that is not a trigger word.
    ASSERT_TRUE(settle(host, board, 2400));
    host.send("reflshx");
    ASSERT_TRUE(board.waitFor([](const BoardSummary& s) { return s.messages.size() == 3; }, 5s));
    ASSERT_TRUE(settle(host, board, 9600));
    EXPECT_EQ(writeImage(host, pattern(128), 300ms), std::vector<int>{-1});

    // Now the trigger word, but the command block at 19200 once the line has settled.
    ASSERT_TRUE(host.setBaud(2400));
    host.send("reflshu");
    ASSERT_TRUE(board.waitFor(
        [](const BoardSummary& s) {
            return s.messages.back().result == "accepted: reflshu (Flash)";
        },
        5s));
    ASSERT_TRUE(settle(host, board, 19200));
    host.send(commandBlock());
    EXPECT_EQ(host.readByte(300ms), -1);

    const BoardSummary s = board.summary();
    EXPECT_EQ(s.messages[0].kind, "ignored");
    EXPECT_EQ(s.messages[0].bauds, std::vector<int>{9600});
    EXPECT_FALSE(s.messages[0].rateUncertain);
    EXPECT_FALSE(s.messages[1].frameOk);
    EXPECT_EQ(s.messages[2].result, "refused: unknown word reflshx");
    EXPECT_EQ(s.messages.back().bauds, std::vector<int>{19200});
    EXPECT_TRUE(s.writes.empty());
}

TEST(UserMode, ANewCommandBlockEndsAWriteTheHostGaveUpOn) {
    BoardOptions options;
    options.startInReflashMode = true;
    options.stayInReflashMode = true;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(256);
    host.send(commandBlock());
    EXPECT_EQ(host.readByte(), 0x06);
    host.send(sizeMessage(256));
    EXPECT_EQ(host.readByte(), 0x06);
    host.send(blockMessages(image)[0]);
    EXPECT_EQ(host.readByte(), 0x11);
    // The host stops here and starts over, and once more after the command block.
    EXPECT_EQ(writeImage(host, image), goodReplies(256));
    host.send(commandBlock());
    EXPECT_EQ(host.readByte(), 0x06);
    EXPECT_EQ(writeImage(host, image), goodReplies(256));
    const BoardSummary s = board.summary();
    ASSERT_EQ(s.writes.size(), 3u);
    EXPECT_EQ(s.writes[0].outcome, "abandoned: a new command block came");
    EXPECT_EQ(s.writes[1].outcome, "completed");
    EXPECT_EQ(s.failedWrites, 1);
}

TEST(UserMode, AHostThatOpensAtAWrongRateAndWritesAtOnceIsRefusedByDefault) {
    SimulatedBoard board;
    ASSERT_TRUE(board.start());
    {
        ScriptedHost host(board.devicePath());
        ASSERT_TRUE(host.setBaud(9600));
        host.send("reflshu");
        EXPECT_EQ(writeImage(host, pattern(128), 300ms), std::vector<int>{-1});
        EXPECT_EQ(board.summary().ignoredBytes, 41u);
    }
    // Settings taken in one at a time: the same board takes a right host.
    ScriptedHost host(board.devicePath());
    ASSERT_TRUE(settle(host, board, 2400));
    host.send("reflshu");
    ASSERT_TRUE(settle(host, board, 9600));
    EXPECT_EQ(writeImage(host, pattern(128)), goodReplies(128));
}

TEST(UserMode, ARunsOwnBoardHasTakenEachRateInBeforeTheHostSendsAtIt) {
    // The host in this process opens at 2400 for the trigger word and at 9600
    // right after it, with no pause: each open returns once the board has
    // taken the rate in, however late the board's thread comes to look.
    auto board = startBoardFor(SimulatedRun::Flash);
    ASSERT_TRUE(board);
    Ports ports;
    ports.setOpener(reachSettled(*board, ports.opener()));
    LineSettings settings;
    settings.baud = 2400;
    auto trigger = ports.reach(board->devicePath());
    ASSERT_TRUE(trigger->open(settings).ok());
    EXPECT_EQ(board->settledBaud(), 2400);
    const Bytes word{'r', 'e', 'f', 'l', 's', 'h', 'u'};
    ASSERT_TRUE(sendWithinLineTime(*trigger, word.data(), word.size(), steadyClock()).ok());
    trigger->close();

    settings.baud = 9600;
    auto write = ports.reach(board->devicePath());
    ASSERT_TRUE(write->open(settings).ok());
    EXPECT_EQ(board->settledBaud(), 9600);
    const Bytes block = commandBlock();
    ASSERT_TRUE(sendWithinLineTime(*write, block.data(), block.size(), steadyClock()).ok());
    ASSERT_TRUE(write->waitForInput(TransportClock::now() + 5s).ok());
    std::uint8_t reply = 0;
    std::size_t taken = 0;
    ASSERT_TRUE(write->take(&reply, 1, taken).ok());
    EXPECT_EQ(reply, 0x06);
    EXPECT_EQ(board->summary().messages.front().result, "accepted: reflshu (Flash)");
}

TEST(UserMode, StrayBytesBeforeACommandBlockAreNoise) {
    BoardOptions options;
    options.startInReflashMode = true;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));
    host.send(Bytes{0x06}); // a host's failure byte
    const Bytes image = pattern(128);
    EXPECT_EQ(writeImage(host, image), goodReplies(128));
    const BoardSummary s = board.summary();
    EXPECT_EQ(s.messages[0].kind, "ignored");
    EXPECT_EQ(s.messages[0].result, "ignored: not a command");
    EXPECT_EQ(countKind(s, "block"), 1);
}

TEST(UserMode, LinkPathNamesTheDeviceAndGoesAwayOnStop) {
    const std::string link =
        ::testing::TempDir() + "velmora-sim-link-" + std::to_string(::getpid());
    BoardOptions options;
    options.linkPath = link;
    {
        SimulatedBoard board(options);
        ASSERT_TRUE(board.start()) << board.lastError();
        EXPECT_EQ(board.devicePath(), link);
        EXPECT_NE(board.terminalPath(), link);
        ScriptedHost host(link);
        EXPECT_TRUE(host.isOpen());
        board.stop();
        EXPECT_NE(::access(link.c_str(), F_OK), 0);
    }
    // A plain file in the way is not replaced.
    FILE* file = std::fopen(link.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    SimulatedBoard board(options);
    EXPECT_FALSE(board.start());
    EXPECT_NE(board.lastError().find("link"), std::string::npos);
    std::remove(link.c_str());
}
