#include "core/flags.h"
#include "core/places.h"
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

TEST(Places, BootFolderFollowsTheEnvironment) {
    setenv("VELMORA_BOOT_DIR", "/opt/boards", 1);
    EXPECT_EQ(Places::defaultBootDir(), "/opt/boards");
    Places places;
    places.workDir = "/tmp/run";
    EXPECT_EQ(places.imageFile(), "/tmp/run/tmp.bin");
    EXPECT_EQ(places.bootProgramFile(), "/opt/boards/3062f.bin");
    unsetenv("VELMORA_BOOT_DIR");
    EXPECT_NE(Places::defaultBootDir(), "/opt/boards");
}
