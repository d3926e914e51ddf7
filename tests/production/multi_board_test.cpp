// Many boards at once: every board's run in a process of its own and a folder
// of its own, one device never twice. The runs here are shell scripts, so
// runs that cannot be real ones (waiting for each other, absent) can be
// made; velmora-cli's own runs are in production_cli_test.

#include "cli/multi_board.h"
#include "support/test_files.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(BoardOutput, NamesFilesAfterPorts) {
    EXPECT_EQ(velmora::cli::portFileName("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(velmora::cli::portFileName("sim#2"), "sim-2");
    EXPECT_EQ(velmora::cli::portFileName(".."), "port");
    EXPECT_EQ(velmora::cli::portFileName("rfc2217://bench-a:4001"), "bench-a-4001");
    EXPECT_EQ(velmora::cli::portFileName("rfc2217://[fd00::21]:4001"), "fd00--21-4001");
    EXPECT_EQ(velmora::cli::portFileName("rfc2217://../..:4001"), "..-..-4001");
    EXPECT_EQ(velmora::cli::boardLogPath("/tmp/x/wire.log", "ttyS0"), "/tmp/x/wire-ttyS0.log");
}

TEST(BoardOutput, OneDeviceIsNamedOnceWhateverNamesIt) {
    fs::path dir = fs::temp_directory_path() / ("velmora-same-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::create_symlink("/dev/null", dir / "alias");
    using velmora::cli::sameDeviceTwice;
    EXPECT_EQ(sameDeviceTwice({"/dev/null", (dir / "alias").string()}),
              "--port /dev/null and --port " + (dir / "alias").string() + " are the same device");
    EXPECT_EQ(sameDeviceTwice({"/dev/zero", "/dev/zero"}), "--port /dev/zero is named twice");
    EXPECT_EQ(sameDeviceTwice({"/dev/null", "/dev/zero", "sim", "sim"}), "");

    // A network port is its server's address and port, whatever the host's name.
    EXPECT_EQ(sameDeviceTwice({"rfc2217://localhost:4001", "rfc2217://127.0.0.1:4001"}),
              "--port rfc2217://localhost:4001 and --port rfc2217://127.0.0.1:4001 are the same "
              "port");
    EXPECT_EQ(sameDeviceTwice({"rfc2217://127.0.0.1:4001", "rfc2217://127.0.0.1:4002",
                               "rfc2217://127.0.0.2:4001"}),
              "");
    EXPECT_EQ(sameDeviceTwice({"rfc2217://bench.invalid:4001", "rfc2217://bench.invalid:4001"}),
              "--port rfc2217://bench.invalid:4001 is named twice");
    fs::remove_all(dir);
}

class ManyBoards : public ::testing::Test {
protected:
    void SetUp() override { dir = velmora::testing::freshTestFolder("velmora-many"); }
    void TearDown() override { fs::remove_all(dir); }

    // The run of a board: called as `sh -c SCRIPT --port P --work-dir D --progress-fd 3`,
    // so $1 is the port and $3 the board's folder.
    velmora::cli::ProductionRun scripted(const std::string& script) {
        velmora::cli::ProductionRun run;
        run.program = "/bin/sh";
        run.arguments = {"-c", script};
        run.workDir = (dir / "work").string();
        run.imageFile = "prog.mot";
        run.reportPath = (dir / "report.json").string();
        return run;
    }

    fs::path dir;
};

TEST_F(ManyBoards, BoardsRunAtTheSameTimeAndTheSamePortTwiceGetsTwoFolders) {
    // Each run waits for the other to have started: in turn, they would never end.
    auto run = scripted(R"(
touch "$3/started"
for i in $(seq 100); do
  n=$(ls "$3"/../*/started 2>/dev/null | wc -l)
  [ "$n" -ge 2 ] && { echo both; exit 0; }
  sleep 0.05
done
exit 1)");
    run.ports = {"sim", "sim"};
    ::testing::internal::CaptureStdout();
    int code = velmora::cli::runOnEveryPort(run);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0) << out;
    EXPECT_TRUE(fs::exists(dir / "work" / "sim-1" / "started"));
    EXPECT_TRUE(fs::exists(dir / "work" / "sim-2" / "started"));
    EXPECT_NE(out.find("[sim#1] both"), std::string::npos) << out;
    EXPECT_NE(out.find("[sim#2] both"), std::string::npos) << out;
}

TEST_F(ManyBoards, AFolderThatCannotBeMadeRefusesTheRunBeforeAnyBoard) {
    auto run = scripted("touch \"$3/started\"");
    velmora::testing::writeText(dir / "work", "a file where the boards' folders would go");
    run.ports = {"1", "2"};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(velmora::cli::runOnEveryPort(run), 2);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "velmora-cli: cannot make the folder " + (dir / "work" / "1").string() +
                       ": Not a directory\n");
    EXPECT_FALSE(fs::exists(dir / "report.json"));
}

TEST_F(ManyBoards, ARunThatCannotStartFailsOnlyItsBoard) {
    auto run = scripted("exit 0");
    run.program = (dir / "absent-program").string();
    run.arguments = {};
    run.ports = {"1", "2"};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(velmora::cli::runOnEveryPort(run), 1);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("2 boards: 0 programmed, 2 failed"), std::string::npos) << out;
    // Why is said by the run that could not start.
    EXPECT_NE(out.find("[1] cannot run " + run.program + ": No such file or directory"),
              std::string::npos)
        << out;
}

} // namespace
