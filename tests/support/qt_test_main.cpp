#include <QCoreApplication>
#include <gtest/gtest.h>

// Tests of Qt code that needs an application object, without a window system.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
