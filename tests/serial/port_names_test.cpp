#include "serial/port_names.h"
#include "serial/ports.h"

#include <gtest/gtest.h>

using velmora::portDevice;
using velmora::resolvePort;

TEST(PortNames, NumbersNameTheSerialDevicesUnlessAssigned) {
    EXPECT_EQ(portDevice(1), "/dev/ttyS0");
    EXPECT_EQ(portDevice(4), "/dev/ttyS3");
    EXPECT_EQ(portDevice(0), "");
    EXPECT_EQ(portDevice(-2), "");
    velmora::Ports ports;
    ports.assign(3, "/tmp/board");
    EXPECT_EQ(ports.device(3), "/tmp/board");
    EXPECT_EQ(ports.resolve("3"), "/tmp/board");
    // The number stands for the board in that run alone.
    EXPECT_EQ(velmora::Ports().device(3), "/dev/ttyS2");
    EXPECT_EQ(resolvePort("3"), "/dev/ttyS2");
    ports.assign(3, "");
    EXPECT_EQ(ports.device(3), "/dev/ttyS2");
}

TEST(PortNames, ChoicesResolveToDevices) {
    EXPECT_EQ(resolvePort("1"), "/dev/ttyS0");
    EXPECT_EQ(resolvePort("COM2"), "/dev/ttyS1");
    EXPECT_EQ(resolvePort("com2"), "/dev/ttyS1");
    EXPECT_EQ(resolvePort("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(resolvePort("./board-link"), "./board-link");
    EXPECT_EQ(resolvePort("ttyUSB1"), "/dev/ttyUSB1");
    EXPECT_EQ(resolvePort(""), "");
    EXPECT_EQ(resolvePort("0"), "");
    EXPECT_EQ(resolvePort("COM0"), "");
    EXPECT_EQ(resolvePort("COMx"), "");
}
