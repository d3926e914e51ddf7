// The boot-mode download against a chip played byte by byte on a pseudo-terminal.

#include "control/corvane_view.h"
#include "core/flags.h"
#include "serial/ms_comm.h"
#include "support/pty_peer.h"
#include "support/recording_operator.h"
#include "support/test_files.h"
#include "transfer/boot_download.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::Bytes;
using testing::PtyPeer;
using testing::RecordingOperator;
namespace fs = std::filesystem;

class BootDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        bootDownloadDone = 0;
        places.bootDir = testing::freshTestFolder("velmora-boot");
        places.workDir = places.bootDir;
        ASSERT_TRUE(peer.ok());
        comm.setPortName(peer.devicePath());
        comm.setPortOpen(true);
        comm.setInputMode(1);
        ASSERT_TRUE(comm.portOpen());
        timing.pollWait = std::chrono::microseconds(500);
    }
    void TearDown() override {
        peer.join();
        comm.setPortOpen(false);
        bootDownloadDone = 0;
        fs::remove_all(places.bootDir);
    }

    void writeBootProgram(const Bytes& bytes) {
        testing::writeBytes(places.bootProgramFile(), bytes);
    }

    int run() {
        BootDownload dialog(op, places, timing);
        dialog.setUp(comm.transport());
        int result = op.runExchange(dialog);
        EXPECT_FALSE(dialog.holdsImage());
        return result;
    }

    // Echoes each of `count` bytes, then (when asked) sends the end marker.
    static void echo(PtyPeer& chip, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            Bytes byte = chip.read(1);
            if (byte.empty()) {
                return;
            }
            chip.write(byte);
        }
    }

    PtyPeer peer;
    CMSComm comm;

    RecordingOperator op;
    Places places;
    Timing timing;
};

Bytes program(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    return bytes;
}

TEST_F(BootDownloadTest, AnnouncesTheLengthThenSendsEveryByteEchoedUntilTheEndMarker) {
    const Bytes boot = program(1558);
    writeBootProgram(boot);
    peer.play([&](PtyPeer& chip) {
        echo(chip, 2 + boot.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        chip.write({0xAA});
    });
    BootDownload dialog(op, places, timing);
    dialog.setUp(comm.transport());
    ASSERT_TRUE(dialog.start());
    EXPECT_EQ(dialog.statusText(), "0 %");
    std::vector<std::string> shown;
    while (dialog.step()) {
        if (shown.empty() || shown.back() != dialog.statusText()) {
            shown.push_back(dialog.statusText());
        }
    }
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(bootDownloadDone, 1);
    peer.join();
    Bytes expected{0x06, 0x16};
    expected.insert(expected.end(), boot.begin(), boot.end());
    EXPECT_EQ(peer.received, expected);
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[1], "1 %"); // from byte 16 on
    EXPECT_EQ(shown.back(), "100 %");
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(BootDownloadTest, AnnouncesAProgramOfAnotherLengthAsItIs) {
    const Bytes boot = program(300);
    writeBootProgram(boot);
    peer.play([&](PtyPeer& chip) {
        echo(chip, 2 + boot.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        chip.write({0xAA});
    });
    EXPECT_EQ(run(), 1);
    ASSERT_EQ(peer.received.size(), 302u);
    EXPECT_EQ(peer.received[0], 0x01);
    EXPECT_EQ(peer.received[1], 0x2C);
}

TEST_F(BootDownloadTest, RepeatsAByteAfterAWrongEchoAndGivesUpAfterThreeInARow) {
    writeBootProgram(program(10));
    peer.play([&](PtyPeer& chip) {
        chip.read(1);
        chip.write({0x07}); // wrong echo of 0x00 (upper length byte)
        EXPECT_EQ(chip.read(1), Bytes{0x00});
        chip.write({0x00, 0x00}); // two bytes in one read: a mismatch too
        EXPECT_EQ(chip.read(1), Bytes{0x00});
        chip.write({0x01});
    });
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Receive Error(A)!"});
    EXPECT_EQ(bootDownloadDone, 0);
}

TEST_F(BootDownloadTest, AGoodEchoClearsTheMismatchCount) {
    const Bytes boot = program(4);
    writeBootProgram(boot);
    peer.play([&](PtyPeer& chip) {
        echo(chip, 2);
        for (int mismatch = 0; mismatch < 2; ++mismatch) {
            Bytes byte = chip.read(1);
            chip.write({static_cast<std::uint8_t>(byte[0] ^ 0xFF)});
        }
        chip.write(chip.read(1)); // the third try is echoed right
        Bytes byte = chip.read(1);
        chip.write({static_cast<std::uint8_t>(byte[0] ^ 0xFF)}); // a first mismatch again
        // Every send counts, the repeats too: the four sends used up the four-byte program.
        EXPECT_TRUE(chip.drain(std::chrono::milliseconds(50)).empty());
        chip.write({0xAA});
    });
    EXPECT_EQ(run(), 1);
    peer.join();
    EXPECT_EQ(peer.received, (Bytes{0x00, 0x04, boot[0], boot[0], boot[0], boot[1]}));
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(BootDownloadTest, AnEndMarkerBeforeTheEndIsAMismatch) {
    writeBootProgram(program(3));
    peer.play([&](PtyPeer& chip) {
        echo(chip, 2);
        Bytes first = chip.read(1);
        chip.write({0xAA});
        EXPECT_EQ(chip.read(1), first); // sent again
        chip.write({0xAA});
        chip.read(1);
        chip.write({0xAA});
    });
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Receive Error(A)!"});
    EXPECT_EQ(bootDownloadDone, 0);
}

TEST_F(BootDownloadTest, RefusesAMissingEmptyOrOverlongProgramBeforeSending) {
    EXPECT_EQ(run(), 2);
    writeBootProgram({});
    EXPECT_EQ(run(), 2);
    writeBootProgram(program(0x10000));
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>(3, "3062f.bin File Read Error !"));
    // Each named with its path and what is wrong, before the message.
    const std::string file = places.bootProgramFile().string();
    const std::string message = "3062f.bin File Read Error !";
    EXPECT_EQ(op.told,
              (std::vector<std::string>{file + ": No such file or directory", message,
                                        file + ": the file is empty", message,
                                        file + ": larger than 65535 bytes (65536)", message}));
    EXPECT_TRUE(peer.drain(std::chrono::milliseconds(50)).empty());
}

TEST_F(BootDownloadTest, SilenceEndsWithTimeOut) {
    timing.pollWait = std::chrono::microseconds(5);
    writeBootProgram(program(10));
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Time out !"});
    EXPECT_EQ(peer.drain(std::chrono::milliseconds(50)), Bytes{0x00});
}

} // namespace
} // namespace velmora
