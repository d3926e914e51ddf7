// The boot-mode download against a chip played byte by byte on a model line.

#include "core/flags.h"
#include "support/model_target.h"
#include "support/recording_operator.h"
#include "support/test_files.h"
#include "transfer/boot_download.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::Bytes;
using testing::pattern;
using testing::RecordingOperator;
using testing::ScriptedTarget;
namespace fs = std::filesystem;

Bytes inverted(const Bytes& byte) {
    return {static_cast<std::uint8_t>(byte.at(0) ^ 0xFF)};
}

class BootDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        bootDownloadDone = 0;
        places.bootDir = testing::freshTestFolder("velmora-boot");
        places.workDir = places.bootDir;
        ASSERT_TRUE(link.transport->isOpen());
    }
    void TearDown() override {
        bootDownloadDone = 0;
        fs::remove_all(places.bootDir);
    }

    void writeBootProgram(const Bytes& bytes) {
        testing::writeBytes(places.bootProgramFile(), bytes);
    }

    int run() {
        BootDownload dialog(op, places, timing);
        dialog.setUp(*link.transport);
        int result = op.runExchange(dialog);
        EXPECT_FALSE(dialog.holdsImage());
        return result;
    }

    ScriptedTarget chip;
    testing::ModelLink link{chip};
    RecordingOperator op;
    Places places;
    Timing timing = link.timing();
};

TEST_F(BootDownloadTest, AnnouncesTheLengthThenSendsEveryByteEchoedUntilTheEndMarker) {
    const Bytes boot = pattern(1558);
    writeBootProgram(boot);
    chip.echo(2 + boot.size()).thenAfterHostTook({0xAA});
    BootDownload dialog(op, places, timing);
    dialog.setUp(*link.transport);
    const std::vector<std::string> shown = testing::statusTextsOfRun(dialog);
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(bootDownloadDone, 1);
    Bytes expected{0x06, 0x16};
    expected.insert(expected.end(), boot.begin(), boot.end());
    EXPECT_EQ(chip.received, expected);
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[0], "0 %");
    EXPECT_EQ(shown[1], "1 %"); // from byte 16 on
    EXPECT_EQ(shown.back(), "100 %");
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(BootDownloadTest, AnnouncesAProgramOfAnotherLengthAsItIs) {
    const Bytes boot = pattern(300);
    writeBootProgram(boot);
    chip.echo(2 + boot.size()).thenAfterHostTook({0xAA});
    EXPECT_EQ(run(), 1);
    ASSERT_EQ(chip.received.size(), 302u);
    EXPECT_EQ(chip.received[0], 0x01);
    EXPECT_EQ(chip.received[1], 0x2C);
}

TEST_F(BootDownloadTest, RepeatsAByteAfterAWrongEchoAndGivesUpAfterThreeInARow) {
    writeBootProgram(pattern(10));
    chip.then(1, {0x07}) // wrong echo of 0x00 (upper length byte)
        .then(1,
              [](const Bytes& byte) {
                  EXPECT_EQ(byte, Bytes{0x00});
                  return Bytes{0x00, 0x00}; // two bytes in one read: a mismatch too
              })
        .then(1, [](const Bytes& byte) {
            EXPECT_EQ(byte, Bytes{0x00});
            return Bytes{0x01};
        });
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Receive Error(A)!"});
    EXPECT_EQ(bootDownloadDone, 0);
}

TEST_F(BootDownloadTest, AGoodEchoClearsTheMismatchCount) {
    const Bytes boot = pattern(4);
    writeBootProgram(boot);
    chip.echo(2)
        .then(1, inverted)
        .then(1, inverted)
        .echo(1)           // the third try is echoed right
        .then(1, inverted) // a first mismatch again
        .thenAfterHostTook({0xAA});
    EXPECT_EQ(run(), 1);
    // Every send counts, the repeats too: the four sends used up the four-byte
    // program, and nothing more was sent before the end marker.
    EXPECT_EQ(chip.received, (Bytes{0x00, 0x04, boot[0], boot[0], boot[0], boot[1]}));
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(BootDownloadTest, AnEndMarkerBeforeTheEndIsAMismatch) {
    writeBootProgram(pattern(3));
    Bytes first;
    chip.echo(2)
        .then(1,
              [&](const Bytes& byte) {
                  first = byte;
                  return Bytes{0xAA};
              })
        .then(1,
              [&](const Bytes& byte) {
                  EXPECT_EQ(byte, first); // sent again
                  return Bytes{0xAA};
              })
        .then(1, Bytes{0xAA});
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Receive Error(A)!"});
    EXPECT_EQ(bootDownloadDone, 0);
}

TEST_F(BootDownloadTest, RefusesAMissingEmptyOrOverlongProgramBeforeSending) {
    EXPECT_EQ(run(), 2);
    writeBootProgram({});
    EXPECT_EQ(run(), 2);
    writeBootProgram(pattern(0x10000));
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>(3, "3062f.bin File Read Error !"));
    // Each named with its path and what is wrong, before the message.
    const std::string file = places.bootProgramFile().string();
    const std::string message = "3062f.bin File Read Error !";
    EXPECT_EQ(op.told,
              (std::vector<std::string>{file + ": No such file or directory", message,
                                        file + ": the file is empty", message,
                                        file + ": larger than 65535 bytes (65536)", message}));
    EXPECT_TRUE(chip.received.empty());
}

TEST_F(BootDownloadTest, SilenceEndsWithTimeOut) {
    writeBootProgram(pattern(10));
    const auto start = link.clock.now();
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Time out !"});
    EXPECT_EQ(chip.received, Bytes{0x00});
    // Every empty poll waited its whole length, on the line's clock.
    EXPECT_GE(link.elapsedSince(start), timing.pollWait * BootDownload::pollLimit);
}

} // namespace
} // namespace velmora
