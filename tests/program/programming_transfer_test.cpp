// The programming transfer against a target played byte by byte on a pseudo-terminal.

#include "core/flags.h"
#include "serial/serial_port.h"
#include "support/pty_peer.h"
#include "support/recording_operator.h"
#include "support/test_files.h"
#include "transfer/programming_transfer.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numeric>

namespace velmora {
namespace {

using testing::Bytes;
using testing::PtyPeer;
using testing::RecordingOperator;
namespace fs = std::filesystem;
using testing::readBytes;
using testing::writeBytes;

std::uint8_t complementOfSum(const Bytes& bytes) {
    unsigned sum = std::accumulate(bytes.begin(), bytes.end(), 0u);
    return static_cast<std::uint8_t>(0xFF - (sum & 0xFF));
}

class ProgrammingTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        bootDownloadDone = 0;
        places.workDir = testing::freshTestFolder("velmora-transfer");
        places.bootDir = places.workDir / "boot";
        fs::create_directories(places.bootDir);
        ASSERT_TRUE(peer.ok());
        ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
        timing.pollWait = std::chrono::microseconds(500);
    }
    void TearDown() override {
        peer.join();
        port.close();
        bootDownloadDone = 0;
        fs::remove_all(places.workDir);
    }

    int run() {
        ProgrammingTransfer dialog(op, places, timing);
        dialog.setUp(port.transport());
        int result = op.runExchange(dialog);
        EXPECT_FALSE(dialog.holdsImage());
        EXPECT_FALSE(dialog.recordFileOpen());
        return result;
    }

    PtyPeer peer;
    SerialPort port;
    RecordingOperator op;
    Places places;
    Timing timing;
};

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return bytes;
}

TEST_F(ProgrammingTransferTest, SendsWholeBlocksThenTheClosingMessageAndRecordsEveryReply) {
    const Bytes image = pattern(256);
    writeBytes(places.imageFile(), image);
    writeBytes(places.recordFile(), Bytes(100, 0x55)); // an earlier record is emptied
    peer.play([&](PtyPeer& target) {
        for (int block = 0; block < 2; ++block) {
            target.read(129);
            target.write({0x11});
        }
        target.read(2);
        target.write({0x06});
    });
    EXPECT_EQ(run(), 1);
    peer.join();

    Bytes expected;
    expected.reserve(2 * 129 + 2);
    expected.push_back(0x11);
    expected.insert(expected.end(), image.begin(), image.begin() + 128);
    expected.push_back(0x11);
    expected.insert(expected.end(), image.begin() + 128, image.end());
    expected.push_back(0x11);
    expected.push_back(complementOfSum(image));
    EXPECT_EQ(peer.received, expected);

    Bytes record = readBytes(places.recordFile());
    ASSERT_EQ(record.size(), 48u);
    EXPECT_EQ(record[0], 0x11);
    EXPECT_EQ(record[16], 0x11);
    EXPECT_EQ(record[32], 0x06);
    EXPECT_EQ(std::count(record.begin(), record.end(), 0), 45);
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(ProgrammingTransferTest, PadsTheLastPartBlockWithErasedBytesAndCountsThemInTheChecksum) {
    const Bytes image = pattern(192); // a multiple of 64, not of 128
    writeBytes(places.imageFile(), image);
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x11});
        target.read(129);
        target.write({0x11});
        target.read(2);
        target.write({0x06});
    });
    ProgrammingTransfer dialog(op, places, timing);
    dialog.setUp(port.transport());
    ASSERT_TRUE(dialog.start());
    EXPECT_EQ(dialog.statusText(), "0 %");
    std::vector<std::string> shown;
    while (dialog.step()) {
        if (shown.empty() || shown.back() != dialog.statusText()) {
            shown.push_back(dialog.statusText());
        }
    }
    EXPECT_EQ(dialog.result(), 1);
    peer.join();
    EXPECT_EQ(shown, (std::vector<std::string>{"66 %", "100 %"}));

    Bytes padded = image;
    padded.resize(256, 0xFF);
    ASSERT_EQ(peer.received.size(), 2u * 129 + 2);
    EXPECT_TRUE(std::equal(padded.begin() + 128, padded.end(), peer.received.begin() + 130));
    EXPECT_EQ(peer.received.back(), complementOfSum(padded));
    EXPECT_EQ(readBytes(places.imageFile()), image); // the image file stays as built
}

TEST_F(ProgrammingTransferTest, ResendsTheClosingMessageWhenAskedForMore) {
    Bytes image(128, 0);
    image[0] = 0x01;
    writeBytes(places.imageFile(), image);
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x11});
        EXPECT_EQ(target.read(2), (Bytes{0x11, 0xFE}));
        target.write({0x11});
        EXPECT_EQ(target.read(2), (Bytes{0x11, 0xFE}));
        target.write({0x06});
    });
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(readBytes(places.recordFile()).size(), 48u);
}

TEST_F(ProgrammingTransferTest, ABoardThatAsksForMoreForEverIsGivenUpOnAfterTheLastResend) {
    writeBytes(places.imageFile(), pattern(128));
    int closingMessages = 0;
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x11});
        // Answers every closing message with 0x11 while the host sends one.
        while (target.read(2, std::chrono::milliseconds(300)).size() == 2) {
            ++closingMessages;
            target.write({0x11});
        }
    });
    EXPECT_EQ(run(), 2);
    peer.join();
    EXPECT_EQ(closingMessages, 1 + ProgrammingTransfer::closingResendLimit);
    ASSERT_EQ(op.notices.size(), 1u);
    EXPECT_EQ(op.notices[0],
              std::make_pair(std::string("The board asked for more after the last block."),
                             Notice::Failure));
    EXPECT_TRUE(op.messages.empty()); // the caller adds its own
    // One record per answer: the block's and each closing message's.
    EXPECT_EQ(readBytes(places.recordFile()).size(),
              16u * (2 + ProgrammingTransfer::closingResendLimit));
}

TEST_F(ProgrammingTransferTest, AnEndReplyIsASuccessOnlyOnceTheLastBlockIsOut) {
    writeBytes(places.imageFile(), pattern(300)); // three blocks, the last one padded
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x06});
    });
    EXPECT_EQ(run(), 2);
    ASSERT_EQ(op.notices.size(), 1u);
    EXPECT_EQ(op.notices[0].first, "The board ended the transfer after block 1 of 3.");
    peer.join();

    // After the last block the board has every byte: the closing message is owed, not needed.
    op.notices.clear();
    peer.play([&](PtyPeer& target) {
        for (int block = 0; block < 2; ++block) {
            target.read(129);
            target.write({0x11});
        }
        target.read(129);
        target.write({0x06});
    });
    ProgrammingTransfer dialog(op, places, timing);
    dialog.setUp(port.transport());
    EXPECT_EQ(op.runExchange(dialog), 1);
    EXPECT_TRUE(dialog.endedBeforeChecksum());
    // A success, but the operator hears that the data were never checked.
    ASSERT_EQ(op.notices.size(), 1u);
    EXPECT_EQ(op.notices[0].first,
              "The board ended the transfer after the last block; the checksum was never sent.");
    EXPECT_EQ(op.notices[0].second, Notice::Warning);
    EXPECT_EQ(readBytes(places.recordFile()).size(), 48u);
}

TEST_F(ProgrammingTransferTest, ANegativeReplyEndsTheTransfer) {
    writeBytes(places.imageFile(), pattern(512));
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x11});
        target.read(129);
        target.write({0x15});
    });
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Receive Error(B) !"});
    EXPECT_EQ(readBytes(places.recordFile()).size(), 32u);
}

TEST_F(ProgrammingTransferTest, ATargetThatFallsSilentTimesOutAfterThePollLimit) {
    timing.pollWait = std::chrono::microseconds(20);
    writeBytes(places.imageFile(), pattern(512));
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x11});
        target.read(129); // and no answer
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(), 2);
    // The empty polls count by the time waited, however many one wait stands for.
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              timing.pollWait * ProgrammingTransfer::pollLimit);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Time out !"});
    EXPECT_EQ(readBytes(places.recordFile()).size(), 16u);
}

TEST_F(ProgrammingTransferTest, FileErrorsEndBeforeAnythingIsSent) {
    EXPECT_EQ(run(), 2); // no tmp.bin
    writeBytes(places.imageFile(), {});
    EXPECT_EQ(run(), 2); // an empty one
    bootDownloadDone = 1;
    writeBytes(places.imageFile(), pattern(128));
    EXPECT_EQ(run(), 2); // PreFlash.bin missing after a boot download
    EXPECT_EQ(op.texts(),
              (std::vector<std::string>{"BIN File Read Error !", "BIN File Read Error !",
                                        "PreFlash.bin File Read Error !"}));
    EXPECT_FALSE(fs::exists(places.recordFile()));
    EXPECT_TRUE(peer.drain(std::chrono::milliseconds(50)).empty());
}

TEST_F(ProgrammingTransferTest, SendsPreFlashAfterABootDownload) {
    bootDownloadDone = 1;
    const Bytes preFlash = pattern(128);
    writeBytes(places.preFlashFile(), preFlash);
    writeBytes(places.imageFile(), pattern(1024));
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x11});
        target.read(2);
        target.write({0x06});
    });
    EXPECT_EQ(run(), 1);
    ASSERT_EQ(peer.received.size(), 131u);
    EXPECT_TRUE(std::equal(preFlash.begin(), preFlash.end(), peer.received.begin() + 1));
}

TEST_F(ProgrammingTransferTest, ARecordFileThatCannotBeMadeEndsBeforeSending) {
    writeBytes(places.imageFile(), pattern(128));
    fs::create_directory(places.recordFile());
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.told, (std::vector<std::string>{"Cannot create " + places.recordFile().string() +
                                                     ": Is a directory",
                                                 "Create Recv File Error !"}));
    EXPECT_TRUE(peer.drain(std::chrono::milliseconds(50)).empty());
}

TEST_F(ProgrammingTransferTest, ARecordThatCannotBeWrittenEndsTheTransfer) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    writeBytes(places.imageFile(), pattern(256));
    fs::create_symlink("/dev/full", places.recordFile()); // every write finds the disk full
    peer.play([&](PtyPeer& target) {
        target.read(129);
        target.write({0x11});
        EXPECT_TRUE(target.drain(std::chrono::milliseconds(100)).empty());
    });
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Save to receive file error !"});
}

TEST_F(ProgrammingTransferTest, StopBetweenPassesEndsWithTwoAndReleasesEverything) {
    writeBytes(places.imageFile(), pattern(256));
    ProgrammingTransfer dialog(op, places, timing);
    dialog.setUp(port.transport());
    ASSERT_TRUE(dialog.start());
    ASSERT_TRUE(dialog.step()); // the first block goes out
    EXPECT_TRUE(dialog.recordFileOpen());
    dialog.stop();
    EXPECT_EQ(dialog.result(), 2);
    EXPECT_FALSE(dialog.step());
    EXPECT_FALSE(dialog.holdsImage());
    EXPECT_FALSE(dialog.recordFileOpen());
    EXPECT_TRUE(op.messages.empty());
}

} // namespace
} // namespace velmora
