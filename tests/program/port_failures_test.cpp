// velmora-cli meeting the port failures a user meets: each is named with the
// system's reason within a second and the run exits with 1; nothing is left
// behind that would stop the next run, whoever starts it.

#include "support/run_command.h"
#include "support/srec_text.h"
#include "support/test_files.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace velmora::testing;

// What "at once" allows on the real clock: far below the 15 s the wait for the
// board's answer takes to give up, so a run that waited one out fails, and
// room enough for a sanitized build on a busy machine to start and end a run.
constexpr auto atOnce = 5s;

unsigned programByte(unsigned address) {
    return (address * 5 + 3) & 0xFF;
}
// Three blocks of 128 bytes once the image is built (a multiple of 64).
constexpr unsigned programSize = 300;

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    Clock::duration took{};
};

class PortFailures : public ::testing::Test {
protected:
    void SetUp() override {
        dir = freshTestFolder("velmora-port-failures");
        fs::create_directories(dir / "work");
        // Another user runs here too.
        fs::permissions(dir, fs::perms::all);
        fs::permissions(dir / "work", fs::perms::all);
        writeText(dir / "prog.mot", programText(programSize, [](std::uint32_t address) {
                      return static_cast<std::uint8_t>(programByte(address));
                  }));
    }
    void TearDown() override {
        for (pid_t pid : children) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        fs::remove_all(dir);
    }

    // A velmora-sim on dir/board; its flash goes to dir/board.bin. Bytes that
    // come with a change of settings are taken at any rate: velmora-cli cannot
    // wait for a board in another process to take each change in, and a busy
    // machine can hold the board's thread past the trigger word and the
    // reopening at 9600 (the rates are tested in tests/sim).
    std::string startBoard(std::vector<std::string> options = {}) {
        std::vector<std::string> words{VELMORA_SIM,
                                       "--link",
                                       (dir / "board").string(),
                                       "--flash-out",
                                       (dir / "board.bin").string(),
                                       "--lenient-rates"};
        words.insert(words.end(), options.begin(), options.end());
        children.push_back(spawnProgram(words, dir / "sim.out", dir / "sim.err"));
        for (auto until = Clock::now() + 5s; !fs::exists(dir / "board") && Clock::now() < until;) {
            std::this_thread::sleep_for(5ms);
        }
        return (dir / "board").string();
    }

    std::vector<std::string> flashWords(const std::string& port, const std::string& work = "work") {
        return {VELMORA_CLI, "flash",      (dir / "prog.mot").string(), "--port",
                port,        "--work-dir", (dir / work).string(),       "--pass-us",
                "0",         "-q"};
    }

    CliRun run(std::vector<std::string> words) {
        CliRun result;
        const auto start = Clock::now();
        pid_t pid = spawnProgram(std::move(words), dir / "out.txt", dir / "err.txt");
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.took = Clock::now() - start;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = readText(dir / "out.txt");
        result.err = readText(dir / "err.txt");
        return result;
    }

    // The words run as an unprivileged user with no extra groups.
    static std::vector<std::string> asNobody(std::vector<std::string> words) {
        words.insert(words.begin(),
                     {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
        return words;
    }
    static bool canRunAsNobody() { return ::geteuid() == 0 && fs::exists("/usr/bin/setpriv"); }

    fs::path dir;
    std::vector<pid_t> children;
};

TEST_F(PortFailures, AMissingDeviceOrARegularFileIsNamedAtOnce) {
    const std::string missing = (dir / "no-such-device").string();
    CliRun result = run(flashWords(missing));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(result.took, atOnce);
    EXPECT_EQ(withoutAdapterLines(result.err),
              "Cannot open " + missing +
                  ": No such file or directory\nSystem not Ready(A) !\nPort: " + missing + ".\n");

    result = run(flashWords((dir / "prog.mot").string()));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(result.took, atOnce);
    EXPECT_EQ(result.err.rfind("Cannot open " + (dir / "prog.mot").string() + ": ", 0), 0u)
        << result.err;
    EXPECT_NE(result.err.find("\nSystem not Ready(A) !\n"), std::string::npos) << result.err;
}

TEST_F(PortFailures, ADeviceTheUserMayNotOpenSaysWhichGroupTheyNeed) {
    if (!canRunAsNobody()) {
        GTEST_SKIP() << "needs root to run as another user";
    }
    const std::string board = startBoard();
    const std::string device = board; // named as the operator named it, not the pty behind it
    CliRun result = run(asNobody(flashWords(board)));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(result.took, atOnce);
    EXPECT_EQ(result.err.rfind("Cannot open " + device +
                                   ": Permission denied (the user must be in the device's group, ",
                               0),
              0u)
        << result.err;
    EXPECT_NE(result.err.find("\nSystem not Ready(A) !\n"), std::string::npos) << result.err;
}

TEST_F(PortFailures, ASecondRunOnABusyBoardIsToldWhoHoldsItAndAKilledRunLeavesItFree) {
    const auto locksBefore = lockFolderEntries();
    // A slow board keeps the first run busy for seconds.
    const std::string board = startBoard({"--reply-delay-ms", "400"});
    const std::string device = board;
    fs::create_directories(dir / "first");
    const pid_t first =
        spawnProgram(flashWords(board, "first"), dir / "first.out", dir / "first.err");
    children.push_back(first);

    // Its record file appears once the transfer has begun: the device is held
    // from then until the end of the write.
    for (auto until = Clock::now() + 5s;
         !fs::exists(dir / "first" / "Recv.bin") && Clock::now() < until;) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(fs::exists(dir / "first" / "Recv.bin"));
    CliRun second = run(flashWords(board));
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_LT(second.took, atOnce);
    EXPECT_EQ(withoutAdapterLines(second.err),
              device + " is in use by another program (pid " + std::to_string(first) +
                  ")\nSystem not Ready(A) !\nPort: " + device + ".\n");

    // Killed mid-transfer, the first run leaves no lock anywhere.
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    children.pop_back();
    EXPECT_EQ(lockFolderEntries(), locksBefore);
    if (!canRunAsNobody()) {
        GTEST_SKIP() << "needs root to run as another user";
    }
    ::chmod(device.c_str(), 0666); // the other user may use the board
    CliRun other = run(asNobody(flashWords(board)));
    EXPECT_EQ(other.err.find("in use"), std::string::npos) << other.err;
    EXPECT_EQ(other.err.find("Cannot open"), std::string::npos) << other.err;
    EXPECT_EQ(lockFolderEntries(), locksBefore);
}

TEST_F(PortFailures, ABoardThatVanishesMidTransferIsNamedAtOnce) {
    const std::string board = startBoard({"--drop-after-block", "2"});
    const std::string device = board; // the --port path, not the /dev/pts/N it leads to
    CliRun result = run(flashWords(board));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(result.took, atOnce);
    EXPECT_EQ(result.err.rfind(device + ": ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("\nProgramming Data Error. Please try again !\n"), std::string::npos)
        << result.err;
}

TEST_F(PortFailures, AStrayByteOnTheLineIsNoAnswer) {
    // 0x11 is what the board answers a block with: taken as an answer, it
    // shifts every reply by one and the end reply arrives after block 1.
    const std::string board = startBoard({"--stray", "11"});
    CliRun result = run(flashWords(board));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string flash = readText(dir / "board.bin");
    ASSERT_GE(flash.size(), programSize);
    for (unsigned address = 0; address < programSize; ++address) {
        ASSERT_EQ(static_cast<unsigned char>(flash[address]), programByte(address))
            << "at " << address;
    }
}

} // namespace
