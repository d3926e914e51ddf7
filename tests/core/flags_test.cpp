#include "core/flags.h"
#include "core/timing.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(ProcessFlags, StartClearAndDefaultsMatchARealLine) {
    EXPECT_EQ(dataReady, 0);
    EXPECT_EQ(bootMode, 0);
    EXPECT_EQ(bootDownloadDone, 0);
    Timing timing;
    EXPECT_EQ(timing.pollWait.count(), 1000);
    EXPECT_EQ(timing.tick.count(), 100000);
    EXPECT_EQ(timing.pass.count(), 200);
}
