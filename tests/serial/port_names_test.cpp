#include "serial/port_names.h"

#include <gtest/gtest.h>

using velmora::portDevice;
using velmora::resolvePort;

TEST(PortNames, NumbersNameTheSerialDevicesUnlessAssigned) {
    EXPECT_EQ(portDevice(1), "/dev/ttyS0");
    EXPECT_EQ(portDevice(4), "/dev/ttyS3");
    EXPECT_EQ(portDevice(0), "");
    EXPECT_EQ(portDevice(-2), "");
    velmora::assignPortDevice(3, "/tmp/board");
    EXPECT_EQ(portDevice(3), "/tmp/board");
    EXPECT_EQ(resolvePort("3"), "/tmp/board");
    velmora::assignPortDevice(3, "");
    EXPECT_EQ(portDevice(3), "/dev/ttyS2");
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
