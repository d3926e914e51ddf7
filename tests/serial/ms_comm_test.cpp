#include "serial/line_settings.h"
#include "serial/ms_comm.h"
#include "serial/port_names.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#include "support/pty_peer.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using velmora::ByteBuffer;
using velmora::CMSComm;
using velmora::testing::PtyPeer;

namespace {

bool waitForQueued(CMSComm& comm, int count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (comm.inBufferCount() < count && std::chrono::steady_clock::now() < until) {
        comm.waitForInput(1000);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return comm.inBufferCount() >= count;
}

} // namespace

TEST(CMSComm, StartsClosedWithItsStoredDefaults) {
    CMSComm comm;
    EXPECT_FALSE(comm.portOpen());
    EXPECT_EQ(comm.settings(), "9600,n,8,1");
    EXPECT_EQ(comm.inputMode(), CMSComm::inputModeText);
    EXPECT_EQ(comm.portName(), velmora::portDevice(1));
    EXPECT_EQ(comm.inBufferCount(), 0);
    EXPECT_TRUE(comm.input().empty());
}

TEST(CMSComm, SettingsTextIsReadStrictly) {
    for (const char* good : {"38400,n,8,1", "2400,E,7,2", "115200,o,8,1.5", "9600,m,5,1"}) {
        EXPECT_TRUE(velmora::parseLineSettings(good).has_value()) << good;
    }
    for (const char* bad : {"", "9600", "9600,n,8", "9600,n,8,1,", "9600,x,8,1", "9600,n,9,1",
                            "9600,n,8,3", " 9600,n,8,1", "9600 ,n,8,1", "09600,n,8,1",
                            "12345,n,8,1", "-9600,n,8,1", "9600,nn,8,1", "9600,n,8,1.0"}) {
        EXPECT_FALSE(velmora::parseLineSettings(bad).has_value()) << '"' << bad << '"';
    }
    CMSComm comm;
    EXPECT_EQ(comm.setSettings("38400,N,8,1"), 1);
    EXPECT_EQ(comm.settings(), "38400,n,8,1");
    EXPECT_EQ(comm.setSettings("38400;n;8;1"), 0);
    EXPECT_EQ(comm.settings(), "38400,n,8,1") << "a malformed text changes nothing";
}

TEST(CMSComm, OpensAtItsSettingsAndReappliesThemWhenPutWhileOpen) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    CMSComm comm;
    comm.setPortName(peer.devicePath());
    comm.setDTREnable(true); // a pseudo-terminal has no modem lines: no failure
    comm.setRTSEnable(true);
    ASSERT_EQ(comm.setPortOpen(true), 1);
    EXPECT_TRUE(comm.portOpen());
    EXPECT_EQ(peer.baud(), 9600);
    EXPECT_EQ(comm.setPortOpen(true), 1);

    EXPECT_EQ(comm.setSettings("38400,n,8,1"), 1);
    EXPECT_EQ(peer.baud(), 38400);
    EXPECT_EQ(comm.setSettings("nonsense"), 0);
    EXPECT_EQ(peer.baud(), 38400);

    comm.setOutput({0x00, 0x11, 0x13, 0x55});
    EXPECT_EQ(peer.read(4), (std::vector<std::uint8_t>{0x00, 0x11, 0x13, 0x55}));
    comm.setDTREnable(false);
    comm.setRTSEnable(false);
    EXPECT_TRUE(comm.portOpen());
}

TEST(CMSComm, InputHandsOverEveryQueuedByteAsOneArray) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    CMSComm comm;
    comm.setPortName(peer.devicePath());
    ASSERT_EQ(comm.setPortOpen(true), 1);
    comm.setInputMode(CMSComm::inputModeBinary);
    comm.setInputMode(7);
    EXPECT_EQ(comm.inputMode(), CMSComm::inputModeBinary);

    ASSERT_TRUE(peer.write({0xAA, 0x11, 0x06}));
    ASSERT_TRUE(waitForQueued(comm, 3));
    EXPECT_EQ(comm.inBufferCount(), 3);
    EXPECT_EQ(comm.input(), (ByteBuffer{0xAA, 0x11, 0x06}));
    EXPECT_EQ(comm.inBufferCount(), 0);
    EXPECT_TRUE(comm.input().empty());
}

TEST(CMSComm, OutputOnAClosedLinkDoesNothing) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    CMSComm comm;
    comm.setPortName(peer.devicePath());
    comm.setOutput({0x01, 0x02});
    ASSERT_EQ(comm.setPortOpen(true), 1);
    comm.setOutput({0x55});
    EXPECT_EQ(peer.read(3, std::chrono::milliseconds(300)), ByteBuffer{0x55});

    EXPECT_EQ(comm.setPortOpen(false), 1);
    EXPECT_FALSE(comm.portOpen());
    comm.setOutput({0x09});
    EXPECT_TRUE(peer.read(1, std::chrono::milliseconds(200)).empty());
}

TEST(CMSComm, OpenOfAnAbsentDeviceFailsWithTheSystemsReason) {
    CMSComm comm;
    comm.setPortName("/dev/velmora-no-such-device");
    EXPECT_EQ(comm.setPortOpen(true), 0);
    EXPECT_FALSE(comm.portOpen());
    EXPECT_EQ(comm.lastFailure().reason,
              "Cannot open /dev/velmora-no-such-device: No such file or directory");
    std::size_t taken = 0;
    std::uint8_t byte = 0;
    EXPECT_EQ(comm.transport().take(&byte, 1, taken).outcome, velmora::Outcome::Refused)
        << "a closed link's transport refuses";
}

TEST(CMSComm, SharesItsDeviceWithTheDirectPort) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    velmora::Ports ports;
    ports.assign(1, peer.devicePath());
    CMSComm comm(ports); // names the direct port's device by default
    velmora::SerialPort port(ports);
    ASSERT_EQ(comm.setPortOpen(true), 1);
    EXPECT_EQ(port.close(), 1) << "a reset closing the direct port leaves the link open";
    EXPECT_TRUE(comm.portOpen());

    ASSERT_EQ(port.open(1, 2400), 1) << "the same device is shared, not opened twice";
    EXPECT_EQ(peer.baud(), 2400) << "the direct port's rate is in force while it is open";
    EXPECT_EQ(port.send("T", 1), 1);
    EXPECT_EQ(peer.read(1), ByteBuffer{'T'});
    ASSERT_TRUE(peer.write({0x06}));
    ASSERT_TRUE(waitForQueued(comm, 1));
    std::uint8_t reply = 0;
    EXPECT_EQ(port.receive(&reply, 1), 1) << "both read the one queue";
    EXPECT_EQ(reply, 0x06);

    port.close();
    EXPECT_TRUE(comm.portOpen());
    EXPECT_EQ(peer.baud(), 9600) << "the link's own settings come back";
    comm.setOutput({0x55});
    EXPECT_EQ(peer.read(1), ByteBuffer{0x55});

    ASSERT_EQ(port.open(1, 9600), 1);
    comm.setPortOpen(false);
    EXPECT_TRUE(port.isOpen()) << "closing the link leaves the direct port open";
    EXPECT_EQ(port.send("U", 1), 1);
    EXPECT_EQ(peer.read(1), ByteBuffer{'U'});
}

TEST(CMSComm, VanishedDeviceClosesTheLink) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    CMSComm comm;
    comm.setPortName(peer.devicePath());
    ASSERT_EQ(comm.setPortOpen(true), 1);
    peer.hangUp();
    EXPECT_FALSE(comm.waitForInput(5'000'000));
    EXPECT_EQ(comm.lastFailure().outcome, velmora::Outcome::Gone);
    EXPECT_FALSE(comm.portOpen());
    EXPECT_EQ(comm.inBufferCount(), 0);
    comm.setOutput({0x00});
    EXPECT_TRUE(comm.input().empty());
}
