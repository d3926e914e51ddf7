#include <QCoreApplication>
#include <gtest/gtest.h>

// The serial code runs on QtSerialPort, which needs an application object.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
