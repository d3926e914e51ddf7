// The response wait, in both its forms, against a target played on a model
// line; a line that vanishes is shown on a real pseudo-terminal.

#include "serial/serial_port.h"
#include "support/model_target.h"
#include "support/pty_peer.h"
#include "support/recording_operator.h"
#include "transfer/response_wait.h"

#include <gtest/gtest.h>
#include <thread>

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::RecordingOperator;
using testing::ScriptedTarget;

class ResponseWaitTest : public ::testing::Test {
protected:
    // The direct port's acknowledgements (the control closed), or the
    // control's handshake; one device either way.
    int run() {
        ResponseWait dialog(op, timing);
        Transport& line = *link.transport;
        dialog.setUp(bootHandshake ? line : *link.unopened, line, bootHandshake, bootSyncSeen);
        int result = op.runExchange(dialog);
        lastStatus = dialog.statusText();
        return result;
    }

    ScriptedTarget target;
    testing::ModelLink link{target};
    RecordingOperator op;
    Timing timing = link.timing({.tick = 2ms});
    int bootHandshake = 0;
    int bootSyncSeen = 0;
    std::string lastStatus;
};

TEST_F(ResponseWaitTest, TakesEitherAcknowledgementAndLeavesFurtherBytesQueued) {
    link.line.farEndSends({0x06, 0x11});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(run(), 1); // the second byte stayed for the next reader
    link.line.farEndSends({0x15});
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.messages,
              (std::vector<RecordingOperator::Message>{{"Response Error(A) !", Icon::Stop}}));
}

TEST_F(ResponseWaitTest, TakesAnAnswerWhenItArrivesNotOnTheNextTick) {
    // Ticks so long that an answer taken only on the next tick would keep the
    // wait going for twenty seconds; taken on arrival, it ends within the first.
    timing.tick = 20s;
    const auto started = link.clock.now();
    link.line.farEndSends({0x06}, started + 30ms);
    ResponseWait acknowledgement(op, timing);
    acknowledgement.setUp(*link.unopened, *link.transport, bootHandshake, bootSyncSeen);
    EXPECT_EQ(op.runExchange(acknowledgement), 1);
    EXPECT_EQ(acknowledgement.tickCount(), 1); // the empty pass at start-up only

    bootHandshake = 1;
    bootSyncSeen = 1;
    link.line.farEndSends({0xAA}, link.clock.now() + 30ms);
    ResponseWait handshake(op, timing);
    handshake.setUp(*link.transport, *link.transport, bootHandshake, bootSyncSeen);
    EXPECT_EQ(op.runExchange(handshake), 1);
    EXPECT_EQ(handshake.tickCount(), 1);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_LT(link.elapsedSince(started), timing.tick);
}

TEST_F(ResponseWaitTest, TimesOutAfterTheHundredFiftiethEmptyTick) {
    ResponseWait dialog(op, timing);
    dialog.setUp(*link.unopened, *link.transport, bootHandshake, bootSyncSeen);
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
    bootHandshake = 1;
    target.then(5, {0x00}); // five bit-rate bytes, then the chip has adjusted
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(bootSyncSeen, 1);
    // One more 0x00 may have crossed the answer on the line.
    const std::size_t sent = target.received.size();
    EXPECT_GE(sent, 5u);
    EXPECT_LE(sent, 6u);
    EXPECT_EQ(target.received, Bytes(sent, 0x00));

    // Nothing is sent while the second run waits.
    link.line.farEndSends({0xAA}, link.clock.now() + 30ms);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(target.received.size(), sent);
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(ResponseWaitTest, HandshakeRefusesTwoAnswerBytesReadTogether) {
    bootHandshake = 1;
    bootSyncSeen = 1;
    link.line.farEndSends({0x00, 0x00});
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{
                               {"Boot Mode Response Error !", Icon::Stop}}));
}

TEST_F(ResponseWaitTest, SilentChipGetsAZeroOnEveryEmptyTickUntilTheTimeOut) {
    bootHandshake = 1;
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(lastStatus, "Parsing... 149");
    EXPECT_EQ(op.texts(), std::vector<std::string>{"Time out !"});
    EXPECT_EQ(target.received, Bytes(150, 0x00));
    EXPECT_EQ(bootSyncSeen, 0);
}

// Only a real device can vanish under the port.
TEST(ResponseWaitOnADevice, ALineThatVanishesEndsTheWaitWithTheDevicesReason) {
    testing::PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
    const std::string device = port.device();
    peer.play([](testing::PtyPeer& target) {
        std::this_thread::sleep_for(20ms);
        target.hangUp();
    });
    RecordingOperator op;
    Timing timing;
    timing.tick = 2ms;
    int bootHandshake = 0;
    int bootSyncSeen = 0;
    ResponseWait dialog(op, timing);
    dialog.setUp(port.transport(), port.transport(), bootHandshake, bootSyncSeen);
    EXPECT_EQ(op.runExchange(dialog), 2);
    peer.join();
    EXPECT_TRUE(op.messages.empty()) << "no time-out is waited out";
    ASSERT_EQ(op.notices.size(), 1u);
    // The system says end of file or Input/output error, depending on how the
    // line was hung up.
    EXPECT_EQ(op.notices[0].first.rfind(device + ": ", 0), 0u) << op.notices[0].first;
    EXPECT_NE(op.notices[0].first.find("the device went away"), std::string::npos)
        << op.notices[0].first;
    EXPECT_EQ(op.notices[0].second, Notice::Failure);
}

} // namespace
} // namespace velmora
