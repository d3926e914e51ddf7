// The response wait, in both its forms, against a target played on a pseudo-terminal.

#include "control/corvane_view.h"
#include "serial/ms_comm.h"
#include "serial/serial_port.h"
#include "support/pty_peer.h"
#include "support/recording_operator.h"
#include "transfer/response_wait.h"

#include <gtest/gtest.h>
#include <thread>

namespace velmora {
namespace {

using testing::Bytes;
using testing::PtyPeer;
using testing::RecordingOperator;

class ResponseWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        timing.tick = std::chrono::milliseconds(2);
    }
    void TearDown() override {
        peer.join();
        port.close();
        comm.setPortOpen(false);
    }

    void openDirectPort() { ASSERT_EQ(port.open(peer.devicePath(), 9600), 1); }
    void openControl() {
        comm.setPortName(peer.devicePath());
        comm.setPortOpen(true);
        comm.setInputMode(1);
        ASSERT_TRUE(comm.portOpen());
    }

    int run() {
        ResponseWait dialog(op, timing);
        dialog.setUp(comm.transport(), port.transport(), bootHandshake, bootSyncSeen);
        int result = op.runExchange(dialog);
        lastStatus = dialog.statusText();
        return result;
    }

    PtyPeer peer;
    SerialPort port;
    CMSComm comm;

    RecordingOperator op;
    Timing timing;
    int bootHandshake = 0;
    int bootSyncSeen = 0;
    std::string lastStatus;
};

TEST_F(ResponseWaitTest, TakesEitherAcknowledgementAndLeavesFurtherBytesQueued) {
    openDirectPort();
    peer.write({0x06, 0x11});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(run(), 1); // the second byte stayed for the next reader
    peer.write({0x15});
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.messages,
              (std::vector<RecordingOperator::Message>{{"Response Error(A) !", Icon::Stop}}));
}

TEST_F(ResponseWaitTest, ALineThatVanishesEndsTheWaitWithTheDevicesReason) {
    openDirectPort();
    const std::string device = port.device();
    peer.play([](PtyPeer& target) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        target.hangUp();
    });
    EXPECT_EQ(run(), 2);
    EXPECT_TRUE(op.messages.empty()) << "no time-out is waited out";
    ASSERT_EQ(op.notices.size(), 1u);
    // The system says end of file or Input/output error, depending on how the
    // line was hung up.
    EXPECT_EQ(op.notices[0].first.rfind(device + ": ", 0), 0u) << op.notices[0].first;
    EXPECT_NE(op.notices[0].first.find("the device went away"), std::string::npos)
        << op.notices[0].first;
    EXPECT_EQ(op.notices[0].second, Notice::Failure);
}

TEST_F(ResponseWaitTest, TakesAnAnswerWhenItArrivesNotOnTheNextTick) {
    openDirectPort();
    openControl();
    // Ticks so long that an answer taken only on the next tick would keep the
    // wait going for twenty seconds; taken on arrival, it ends within the first.
    timing.tick = std::chrono::seconds(20);
    const auto started = std::chrono::steady_clock::now();
    peer.play([](PtyPeer& target) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        target.write({0x06});
    });
    ResponseWait acknowledgement(op, timing);
    acknowledgement.setUp(comm.transport(), port.transport(), bootHandshake, bootSyncSeen);
    EXPECT_EQ(op.runExchange(acknowledgement), 1);
    EXPECT_EQ(acknowledgement.tickCount(), 1); // the empty pass at start-up only
    peer.join();

    bootHandshake = 1;
    bootSyncSeen = 1;
    peer.play([](PtyPeer& chip) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        chip.write({0xAA});
    });
    ResponseWait handshake(op, timing);
    handshake.setUp(comm.transport(), port.transport(), bootHandshake, bootSyncSeen);
    EXPECT_EQ(op.runExchange(handshake), 1);
    EXPECT_EQ(handshake.tickCount(), 1);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, timing.tick);
}

TEST_F(ResponseWaitTest, TimesOutAfterTheHundredFiftiethEmptyTick) {
    openDirectPort();
    ResponseWait dialog(op, timing);
    dialog.setUp(comm.transport(), port.transport(), bootHandshake, bootSyncSeen);
    ASSERT_TRUE(dialog.start());
    EXPECT_EQ(dialog.statusText(), "Parsing... 00");
    EXPECT_EQ(dialog.stepInterval(), timing.tick);
    int passes = 0;
    while (dialog.step()) {
        ++passes;
    }
    EXPECT_EQ(passes, 149);
    EXPECT_EQ(dialog.statusText(), "Parsing... 149");
    EXPECT_EQ(dialog.result(), 2);
    EXPECT_EQ(op.messages,
              (std::vector<RecordingOperator::Message>{{"Time out !", Icon::Warning}}));
}

TEST_F(ResponseWaitTest, HandshakeRepeatsZeroUntilTheChipAnswersThenWaitsQuietly) {
    openControl();
    bootHandshake = 1;
    peer.play([](PtyPeer& chip) {
        chip.read(5); // five bit-rate bytes, then the chip has adjusted
        chip.write({0x00});
    });
    EXPECT_EQ(run(), 1);
    peer.join();
    EXPECT_EQ(bootSyncSeen, 1);
    // One more 0x00 may have crossed the answer on the line.
    Bytes crossed = peer.drain(std::chrono::milliseconds(20));
    EXPECT_LE(crossed.size(), 1u);
    EXPECT_EQ(peer.received, Bytes(5 + crossed.size(), 0x00));

    peer.play([](PtyPeer& chip) {
        // Nothing is sent while the second run waits.
        EXPECT_TRUE(chip.drain(std::chrono::milliseconds(30)).empty());
        chip.write({0xAA});
    });
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(ResponseWaitTest, HandshakeRefusesTwoAnswerBytesReadTogether) {
    openControl();
    bootHandshake = 1;
    bootSyncSeen = 1;
    peer.write({0x00, 0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{
                               {"Boot Mode Response Error !", Icon::Stop}}));
}

TEST_F(ResponseWaitTest, SilentChipGetsAZeroOnEveryEmptyTickUntilTheTimeOut) {
    openControl();
    bootHandshake = 1;
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(lastStatus, "Parsing... 149");
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Time out !"});
    EXPECT_EQ(peer.drain(std::chrono::milliseconds(50)), Bytes(150, 0x00));
    EXPECT_EQ(bootSyncSeen, 0);
}

} // namespace
} // namespace velmora
