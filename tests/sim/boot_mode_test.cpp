#include "sim/model_board.h"
#include "sim/scripted_host.h"
#include "sim/simulated_board.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
using namespace std::chrono_literals;

namespace {

BoardOptions bootOptions() {
    BoardOptions options;
    options.mode = BoardOptions::Mode::Boot;
    return options;
}

// Sends 0x00 until the chip answers (at most `limit` bytes); returns the answer or -1.
template <typename Host> int adjustBitRate(Host& host, int limit = 20) {
    for (int i = 0; i < limit; ++i) {
        host.send(Bytes{0x00});
        int reply = host.readByte(50ms);
        if (reply >= 0) {
            return reply;
        }
    }
    return -1;
}

enum class Download { Done, ReceiveError, TimeOut };

// The host's side of the download: the length (upper byte first) and the
// program, each byte sent again after a wrong echo, every send of a program
// byte counted, three wrong echoes in a row fatal; then the end marker.
template <typename Host>
Download download(Host& host, const Bytes& program, int* repeats = nullptr) {
    const int length = static_cast<int>(program.size());
    Bytes head{static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    int retries = 0;
    std::size_t phase = 0;
    int sentCount = 0;
    std::size_t next = 0;
    for (;;) {
        int byte = -1;
        if (phase < 2) {
            byte = head[phase];
        } else if (++sentCount <= length) {
            byte = program[next];
        }
        if (byte >= 0) {
            host.send(Bytes{static_cast<std::uint8_t>(byte)});
        }
        Bytes reply = host.readOnce(2s);
        if (reply.empty()) {
            return Download::TimeOut;
        }
        if (reply == Bytes{0xAA} && sentCount > length) {
            return Download::Done;
        }
        if (byte >= 0 && reply == Bytes{static_cast<std::uint8_t>(byte)}) {
            phase < 2 ? ++phase : ++next;
            retries = 0;
            continue;
        }
        if (repeats) {
            ++*repeats;
        }
        if (++retries >= 3) {
            return Download::ReceiveError;
        }
    }
}

// Handshake and download; true when the boot program is running.
template <typename Host> bool enterBootProgram(Host& host, const Bytes& program) {
    if (!host.setBaud(9600) || adjustBitRate(host) != 0x00) {
        return false;
    }
    host.send(Bytes{0x55});
    return host.readByte() == 0xAA && download(host, program) == Download::Done;
}

} // namespace

TEST(BootMode, WholeRunWritesTheBootProgramsImageThenTheFinalImageAt38400) {
    ModelBoard board(bootOptions());
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(host.setBaud(9600));

    host.send(Bytes{0x06}); // a stray byte before the run does no harm
    EXPECT_EQ(adjustBitRate(host), 0x00);
    host.send(Bytes{0x55});
    EXPECT_EQ(host.readByte(), 0xAA);

    // Every echo comes alone, and the end marker only after the last echo was taken.
    const Bytes program = pattern(300, 4);
    Bytes sent{0x01, 0x2C};
    sent.insert(sent.end(), program.begin(), program.end());
    for (std::uint8_t byte : sent) {
        host.send(Bytes{byte});
        ASSERT_EQ(host.readOnce(), Bytes{byte});
    }
    EXPECT_EQ(host.readOnce(), Bytes{0xAA});

    const Bytes preFlash = pattern(200, 8);
    EXPECT_EQ(writeImage(host, preFlash), goodReplies(200));
    ASSERT_TRUE(board.waitForCompletedWrites(1, 5s));
    EXPECT_TRUE(std::equal(preFlash.begin(), preFlash.end(), board.flash().begin()));

    ASSERT_TRUE(host.setBaud(38400));
    const Bytes image = pattern(448, 2); // 3.5 blocks
    EXPECT_EQ(writeImage(host, image), goodReplies(448));
    ASSERT_TRUE(board.waitForCompletedWrites(2, 5s));
    Bytes expected(128 * 1024, 0xFF);
    std::copy(image.begin(), image.end(), expected.begin());
    EXPECT_EQ(board.flash(), expected);

    const BoardSummary s = board.summary();
    EXPECT_EQ(s.mode, "boot");
    EXPECT_EQ(s.bootDownloads, 1);
    ASSERT_EQ(s.writes.size(), 2u);
    EXPECT_EQ(s.writes[0].stage, "boot program");
    EXPECT_EQ(s.writes[0].baud, 9600);
    EXPECT_EQ(s.writes[1].stage, "new firmware");
    EXPECT_EQ(s.writes[1].baud, 38400);
    EXPECT_EQ(s.writes[1].outcome, "completed");
    EXPECT_EQ(s.messages[0].result, "ignored: not a bit-rate byte");
    EXPECT_EQ(s.messages[1].kind, "bit-rate adjustment");
    EXPECT_EQ(s.messages[1].reply, 0x00);

    // The run is over: the board is back at the start of boot mode, ready for another.
    EXPECT_TRUE(enterBootProgram(host, program));
}

TEST(BootMode, TheFinalWriteMustComeAt38400) {
    ModelBoard board(bootOptions());
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    ASSERT_TRUE(enterBootProgram(host, pattern(64)));
    EXPECT_EQ(writeImage(host, pattern(128)), goodReplies(128));
    // Still at 9600, with no change of settings in between: garbage to the new firmware.
    EXPECT_EQ(writeImage(host, pattern(128), 300ms), std::vector<int>{-1});
    EXPECT_EQ(board.summary().ignoredBytes, 34u);
}

TEST(BootMode, WrongEchoIsRepeatedByTheHostAndCountedByTheChip) {
    BoardOptions options = bootOptions();
    options.wrongEchoByte = 5; // program byte 3
    const Bytes program = pattern(40, 6);
    {
        ModelBoard board(options);
        ASSERT_TRUE(board.start());
        ModelHost host(board);
        ASSERT_TRUE(host.setBaud(9600));
        ASSERT_EQ(adjustBitRate(host), 0x00);
        host.send(Bytes{0x55});
        ASSERT_EQ(host.readByte(), 0xAA);
        int repeats = 0;
        EXPECT_EQ(download(host, program, &repeats), Download::Done);
        EXPECT_EQ(repeats, 1);
        const BoardSummary s = board.summary();
        EXPECT_EQ(s.faultsInjected, std::vector<std::string>{"wrong echo of boot byte 5"});
        EXPECT_EQ(s.messages.back().bytes, 40u); // the repeat counted, the last byte never sent
        // The program it got still runs (nothing to compare it with).
        EXPECT_EQ(writeImage(host, pattern(128)), goodReplies(128));
    }
    {
        // Knowing the real program, the chip runs the damaged copy astray.
        options.expectedBootProgram = program;
        ModelBoard board(options);
        ASSERT_TRUE(board.start());
        ModelHost host(board);
        EXPECT_TRUE(enterBootProgram(host, program));
        EXPECT_EQ(writeImage(host, pattern(128), 300ms), std::vector<int>{-1});
        EXPECT_EQ(board.summary().ignoredBytes, 34u);
        EXPECT_EQ(board.summary().messages[3].result,
                  "refused: not the expected boot program; the chip runs astray");
    }
    {
        // The upper length byte, three times in a row: the chip takes the repeats
        // as the lower length byte and the first program byte.
        options.wrongEchoByte = 1;
        options.wrongEchoCount = 3;
        ModelBoard board(options);
        ASSERT_TRUE(board.start());
        ModelHost host(board);
        ASSERT_TRUE(host.setBaud(9600));
        ASSERT_EQ(adjustBitRate(host), 0x00);
        host.send(Bytes{0x55});
        ASSERT_EQ(host.readByte(), 0xAA);
        EXPECT_EQ(download(host, pattern(300)), Download::ReceiveError);
        EXPECT_EQ(board.summary().faultsInjected.size(), 3u);
        EXPECT_EQ(board.summary().messages.back().result, "accepted: 257 bytes");
    }
}

TEST(BootMode, HandshakeFaultsAndWrongBytesLeaveTheHostWithoutAnswer) {
    {
        BoardOptions options = bootOptions();
        options.noAdjustAnswer = true;
        ModelBoard board(options);
        ASSERT_TRUE(board.start());
        ModelHost host(board);
        ASSERT_TRUE(host.setBaud(9600));
        EXPECT_EQ(adjustBitRate(host, 6), -1);
        EXPECT_EQ(board.summary().faultsInjected,
                  std::vector<std::string>{"no answer to the bit-rate adjustment"});
    }
    {
        BoardOptions options = bootOptions();
        options.noSelectAnswer = true;
        ModelBoard board(options);
        ASSERT_TRUE(board.start());
        ModelHost host(board);
        ASSERT_TRUE(host.setBaud(9600));
        EXPECT_EQ(adjustBitRate(host), 0x00);
        host.send(Bytes{0x55});
        EXPECT_EQ(host.readByte(300ms), -1);
    }
    ModelBoard board(bootOptions());
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    // A handshake at 4800 is not heard.
    ASSERT_TRUE(settle(host, board, 4800));
    EXPECT_EQ(adjustBitRate(host, 5), -1);
    // 0x56 instead of 0x55: the chip starts over, silent.
    ASSERT_TRUE(settle(host, board, 9600));
    EXPECT_EQ(adjustBitRate(host), 0x00);
    host.send(Bytes{0x56});
    EXPECT_EQ(host.readByte(300ms), -1);
    // A length of zero is refused after its echoes.
    EXPECT_EQ(adjustBitRate(host), 0x00);
    host.send(Bytes{0x55});
    EXPECT_EQ(host.readByte(), 0xAA);
    host.send(Bytes{0x00});
    EXPECT_EQ(host.readByte(), 0x00);
    host.send(Bytes{0x00});
    EXPECT_EQ(host.readByte(), 0x00);
    EXPECT_EQ(host.readByte(300ms), -1);
    const BoardSummary s = board.summary();
    EXPECT_EQ(s.messages.back().result, "refused: length 0");
    EXPECT_EQ(s.bootDownloads, 0);
    EXPECT_EQ(s.ignoredBytes, 5u);
}

TEST(BootMode, AFailedWriteSendsTheChipBackToTheHandshake) {
    BoardOptions options = bootOptions();
    options.nakBlock = 2;
    options.faultWrite = 1;
    ModelBoard board(options);
    ASSERT_TRUE(board.start());
    ModelHost host(board);
    const Bytes program = pattern(20);
    ASSERT_TRUE(enterBootProgram(host, program));
    EXPECT_EQ(writeImage(host, pattern(512)), (std::vector<int>{0x06, 0x06, 0x11, 0x15}));
    host.send(Bytes{0x06}); // the host's failure byte
    // A second run goes through; the fault was for the first write only.
    ASSERT_TRUE(enterBootProgram(host, program));
    EXPECT_EQ(writeImage(host, pattern(512)), goodReplies(512));
    ASSERT_TRUE(host.setBaud(38400));
    EXPECT_EQ(writeImage(host, pattern(256)), goodReplies(256));
    const BoardSummary s = board.summary();
    EXPECT_EQ(s.completedWrites, 2);
    EXPECT_EQ(s.failedWrites, 1);
    EXPECT_EQ(s.writes[0].outcome, "refused by fault");
    EXPECT_EQ(s.faultsInjected, std::vector<std::string>{"NAK on block 2 of write 1"});
}
