// velmora-cli flash / write / boot, run as a program against a simulated board.

#include "support/run_command.h"
#include "support/srec_text.h"
#include "support/test_files.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace velmora::testing;

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        dir = freshTestFolder("velmora-cli");
        fs::create_directories(dir / "work");
        fs::create_directories(dir / "boot");
        writeText(dir / "prog.mot", programText(200, [](std::uint32_t address) {
                      return static_cast<std::uint8_t>(address * 3);
                  }));
    }
    void TearDown() override { fs::remove_all(dir); }

    CommandResult run(const std::string& arguments) {
        return runCommand(std::string(VELMORA_CLI) + " " + arguments + " --work-dir " +
                              (dir / "work").string() + " --pass-us 0",
                          dir);
    }

    std::string file() const { return (dir / "prog.mot").string(); }

    fs::path dir;
};

const std::string loaded = "Please check file name(upper-left corner) is correct or not!\n";

TEST_F(Cli, FlashProgramsTheSimulatedBoard) {
    CommandResult outcome = run("flash " + file() + " --port sim");
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, loaded + "Porgramming successfully !\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(fs::file_size(dir / "work" / "tmp.bin"), 256u);
    EXPECT_EQ(fs::file_size(dir / "work" / "Recv.bin"), 16u * 3);
}

TEST_F(Cli, AllFlashAndWriteCommandProgramTheSimulatedBoard) {
    EXPECT_EQ(run("flash " + file() + " --all --port sim").exitCode, 0);
    CommandResult outcome = run("write " + file() + " --port sim -q");
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, ""); // quiet: failures only
}

TEST_F(Cli, FailuresGoToStandardErrorAndExitWithOne) {
    CommandResult outcome = run("flash " + file() + " --port " + (dir / "absent").string());
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.out, loaded);
    EXPECT_EQ(outcome.err, "Cannot open " + (dir / "absent").string() +
                               ": No such file or directory\nSystem not Ready(A) !\n");

    outcome = run("flash " + (dir / "missing.mot").string() + " --port sim");
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err, "");
}

TEST_F(Cli, BootProgramsThroughTheBootModeWithItsFiles) {
    // With --boot-port the control line carries everything: a --port that
    // names another device would go unused, and is refused before any work.
    const std::string control = (dir / "control").string();
    CommandResult refused =
        run("boot " + file() + " --port " + (dir / "absent").string() + " --boot-port " + control);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "velmora-cli: boot: --port " + (dir / "absent").string() +
                               " would not be used: with --boot-port the control line (" + control +
                               ") carries the handshake, the download and both writes; leave "
                               "--port out\n");
    EXPECT_FALSE(fs::exists(dir / "work" / "tmp.bin"));

    CommandResult outcome =
        run("boot " + file() + " --port sim --boot-dir " + (dir / "boot").string());
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err,
              (dir / "boot" / "3062f.bin").string() +
                  ": No such file or directory\n3062f.bin File Read Error !\nBoot Mode "
                  "Setting Failed\n");

    // Stand-ins for the boot files, which the simulated chip takes as they are.
    std::ofstream(dir / "boot" / "3062f.bin", std::ios::binary) << std::string(1558, '\x5A');
    std::ofstream(dir / "boot" / "PreFlash.bin", std::ios::binary) << std::string(512, '\x33');
    outcome = run("boot " + file() + " --port sim --boot-dir " + (dir / "boot").string());
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, loaded + "Porgramming successfully !\n");
}

} // namespace

namespace {

TEST(CliProgram, IsOneProgramWithoutQt) {
    const fs::path program = VELMORA_CLI;
    const fs::path listing =
        fs::temp_directory_path() / ("velmora-cli-ldd-" + std::to_string(::getpid()) + ".txt");
    const std::string command = "ldd " + program.string() + " >" + listing.string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string libraries = readText(listing);
    fs::remove(listing);
    EXPECT_NE(libraries.find("libc.so"), std::string::npos) << libraries;
    EXPECT_EQ(libraries.find("libQt"), std::string::npos) << libraries;
    for (const auto& entry : fs::directory_iterator(program.parent_path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.rfind("velmora-cli", 0) != 0 || name == "velmora-cli")
            << "a second program beside velmora-cli: " << name;
    }
}

} // namespace
