// The programming transfer against a target played message by message on a model line.

#include "core/flags.h"
#include "support/model_target.h"
#include "support/recording_operator.h"
#include "support/test_files.h"
#include "transfer/programming_transfer.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>

namespace velmora {
namespace {

using testing::Bytes;
using testing::RecordingOperator;
using testing::ScriptedTarget;
namespace fs = std::filesystem;
using testing::pattern;
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
        ASSERT_TRUE(link.transport->isOpen());
    }
    void TearDown() override {
        bootDownloadDone = 0;
        fs::remove_all(places.workDir);
    }

    int run() {
        ProgrammingTransfer dialog(op, places, timing);
        dialog.setUp(*link.transport);
        int result = op.runExchange(dialog);
        EXPECT_FALSE(dialog.holdsImage());
        EXPECT_FALSE(dialog.recordFileOpen());
        return result;
    }

    ScriptedTarget target;
    testing::ModelLink link{target};
    RecordingOperator op;
    Places places;
    Timing timing = link.timing();
};

TEST_F(ProgrammingTransferTest, SendsWholeBlocksThenTheClosingMessageAndRecordsEveryReply) {
    const Bytes image = pattern(256);
    writeBytes(places.imageFile(), image);
    writeBytes(places.recordFile(), Bytes(100, 0x55)); // an earlier record is emptied
    target.then(129, {0x11}).then(129, {0x11}).then(2, {0x06});
    EXPECT_EQ(run(), 1);

    Bytes expected;
    expected.reserve(2 * 129 + 2);
    expected.push_back(0x11);
    expected.insert(expected.end(), image.begin(), image.begin() + 128);
    expected.push_back(0x11);
    expected.insert(expected.end(), image.begin() + 128, image.end());
    expected.push_back(0x11);
    expected.push_back(complementOfSum(image));
    EXPECT_EQ(target.received, expected);

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
    target.then(129, {0x11}).then(129, {0x11}).then(2, {0x06});
    ProgrammingTransfer dialog(op, places, timing);
    dialog.setUp(*link.transport);
    EXPECT_EQ(testing::statusTextsOfRun(dialog),
              (std::vector<std::string>{"0 %", "66 %", "100 %"}));
    EXPECT_EQ(dialog.result(), 1);

    Bytes padded = image;
    padded.resize(256, 0xFF);
    ASSERT_EQ(target.received.size(), 2u * 129 + 2);
    EXPECT_TRUE(std::equal(padded.begin() + 128, padded.end(), target.received.begin() + 130));
    EXPECT_EQ(target.received.back(), complementOfSum(padded));
    EXPECT_EQ(readBytes(places.imageFile()), image); // the image file stays as built
}

TEST_F(ProgrammingTransferTest, ResendsTheClosingMessageWhenAskedForMore) {
    Bytes image(128, 0);
    image[0] = 0x01;
    writeBytes(places.imageFile(), image);
    target.then(129, {0x11})
        .then(2,
              [](const Bytes& closing) {
                  EXPECT_EQ(closing, (Bytes{0x11, 0xFE}));
                  return Bytes{0x11};
              })
        .then(2, [](const Bytes& closing) {
            EXPECT_EQ(closing, (Bytes{0x11, 0xFE}));
            return Bytes{0x06};
        });
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(readBytes(places.recordFile()).size(), 48u);
}

TEST_F(ProgrammingTransferTest, ABoardThatAsksForMoreForEverIsGivenUpOnAfterTheLastResend) {
    writeBytes(places.imageFile(), pattern(128));
    int closingMessages = 0;
    // Answers every closing message with 0x11 while the host sends one.
    target.then(129, {0x11}).always(2, [&](const Bytes&) {
        ++closingMessages;
        return Bytes{0x11};
    });
    EXPECT_EQ(run(), 2);
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
    target.then(129, {0x06});
    EXPECT_EQ(run(), 2);
    ASSERT_EQ(op.notices.size(), 1u);
    EXPECT_EQ(op.notices[0].first, "The board ended the transfer after block 1 of 3.");

    // After the last block the board has every byte: the closing message is owed, not needed.
    op.notices.clear();
    target.then(129, {0x11}).then(129, {0x11}).then(129, {0x06});
    ProgrammingTransfer dialog(op, places, timing);
    dialog.setUp(*link.transport);
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
    target.then(129, {0x11}).then(129, {0x15});
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Receive Error(B) !"});
    EXPECT_EQ(readBytes(places.recordFile()).size(), 32u);
}

TEST_F(ProgrammingTransferTest, ATargetThatFallsSilentTimesOutAfterThePollLimit) {
    // The real poll wait: the sixty seconds pass on the line's clock alone.
    writeBytes(places.imageFile(), pattern(512));
    target.then(129, {0x11}); // and no answer to the second block
    const auto start = link.clock.now();
    EXPECT_EQ(run(), 2);
    // The empty polls count by the time waited, however many one wait stands for.
    EXPECT_GE(link.elapsedSince(start), timing.pollWait * ProgrammingTransfer::pollLimit);
    EXPECT_LT(link.elapsedSince(start), timing.pollWait * (ProgrammingTransfer::pollLimit + 100));
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Time out !"});
    EXPECT_EQ(readBytes(places.recordFile()).size(), 16u);
    EXPECT_EQ(target.received.size(), 2u * 129);
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
    EXPECT_TRUE(target.received.empty());
}

TEST_F(ProgrammingTransferTest, SendsPreFlashAfterABootDownload) {
    bootDownloadDone = 1;
    const Bytes preFlash = pattern(128);
    writeBytes(places.preFlashFile(), preFlash);
    writeBytes(places.imageFile(), pattern(1024));
    target.then(129, {0x11}).then(2, {0x06});
    EXPECT_EQ(run(), 1);
    ASSERT_EQ(target.received.size(), 131u);
    EXPECT_TRUE(std::equal(preFlash.begin(), preFlash.end(), target.received.begin() + 1));
}

TEST_F(ProgrammingTransferTest, ARecordFileThatCannotBeMadeEndsBeforeSending) {
    writeBytes(places.imageFile(), pattern(128));
    fs::create_directory(places.recordFile());
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.told, (std::vector<std::string>{"Cannot create " + places.recordFile().string() +
                                                     ": Is a directory",
                                                 "Create Recv File Error !"}));
    EXPECT_TRUE(target.received.empty());
}

TEST_F(ProgrammingTransferTest, ARecordThatCannotBeWrittenEndsTheTransfer) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    writeBytes(places.imageFile(), pattern(256));
    fs::create_symlink("/dev/full", places.recordFile()); // every write finds the disk full
    target.then(129, {0x11});
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Save to receive file error !"});
    EXPECT_EQ(target.received.size(), 129u); // nothing after the first answer
}

TEST_F(ProgrammingTransferTest, StopBetweenPassesEndsWithTwoAndReleasesEverything) {
    writeBytes(places.imageFile(), pattern(256));
    ProgrammingTransfer dialog(op, places, timing);
    dialog.setUp(*link.transport);
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
