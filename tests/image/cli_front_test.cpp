// The velmora-cli that people run: convert in its own process without Qt,
// every other command line handed to the full program with the same
// arguments and its exit code.

#include "image_test_support.h"
#include "srec_text.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::dataRecord;
using testing::readBytes;
using testing::ScratchFolder;
using testing::writeText;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string readText(const fs::path& file) {
    const auto bytes = readBytes(file);
    return {bytes.begin(), bytes.end()};
}

// Runs `program` with exactly `argv` (argv[0] as given), output into files of `folder`.
Outcome run(const fs::path& program, const std::vector<std::string>& argv, const fs::path& folder) {
    const fs::path out = folder / ".out";
    const fs::path err = folder / ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> words;
    for (const std::string& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);
    Outcome outcome;
    pid_t pid = 0;
    const int started =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        ADD_FAILURE() << "cannot start " << program;
        return outcome;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readText(out);
    outcome.err = readText(err);
    return outcome;
}

std::string linesOf(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += word + "\n";
    }
    return text;
}

// A copy of the front in a folder of its own, with or without a stand-in
// for the full program beside it.
class Front : public ::testing::Test {
protected:
    ScratchFolder folder;
    fs::path front = folder / "velmora-cli";
    fs::path fullBeside = folder / fs::path(VELMORA_CLI_FULL).filename().string();
    std::string program = (folder / "good.mot").string();

    void SetUp() override {
        fs::copy_file(VELMORA_CLI, front);
        writeText(program, dataRecord(0x20, {0xAB}) + "\nS9030000FC\n");
    }
    void putStandInBeside() { fs::copy_file(ARGV_ECHO, fullBeside); }
};

TEST_F(Front, ConvertRunsInTheFrontItself) {
    putStandInBeside(); // were convert handed on, it would exit 42
    const auto image = (folder / "image.bin").string();
    auto outcome = run(front, {"velmora-cli", "convert", program, "-o", image}, folder.path());
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Please check file name(upper-left corner) is correct or not!\n");
    const auto bytes = readBytes(image);
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(bytes[0x20], 0xAB);

    // Its failures and usage errors are its own too.
    outcome = run(front, {"velmora-cli", "convert", (folder / "none.mot").string()}, folder.path());
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find("File Open fail"), std::string::npos) << outcome.err;
    EXPECT_EQ(run(front, {"velmora-cli", "convert"}, folder.path()).exitCode, 2);
    outcome = run(front, {"velmora-cli", "convert", "--help"}, folder.path());
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_NE(outcome.out.find("Usage: velmora-cli convert"), std::string::npos) << outcome.out;
}

TEST_F(Front, EveryOtherCommandLineReachesTheFullProgramUnchanged) {
    putStandInBeside();
    const std::vector<std::vector<std::string>> commandLines = {
        {"velmora-cli"},
        {"velmora-cli", "--help"},
        {"velmora-cli", "--version"},
        {"velmora-cli", "ports"},
        {"velmora-cli", "flash", program, "--port", "sim", "--port", "/dev/ttyUSB0"},
        {"some/other/name", "boot", "a b.mot", "", "--boot-dir", "x"},
        {"velmora-cli", "--help", "convert"},
        {"velmora-cli", "Convert", program},
        {"velmora-cli", "no-such-command"},
    };
    for (const auto& argv : commandLines) {
        const auto outcome = run(front, argv, folder.path());
        EXPECT_EQ(outcome.exitCode, 42) << argv.size();
        EXPECT_EQ(outcome.out, linesOf(argv));
        EXPECT_EQ(outcome.err, "");
    }
}

TEST_F(Front, TheFullProgramsExitCodesAndMessagesComeThrough) {
    const fs::path built = VELMORA_CLI; // the build tree's front, the full program beside it
    auto outcome = run(built, {"velmora-cli", "--help"}, folder.path());
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_NE(outcome.out.find("Usage: velmora-cli [OPTIONS] SUBCOMMAND"), std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("flash"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("convert"), std::string::npos) << outcome.out;

    outcome = run(built, {"velmora-cli", "--version"}, folder.path());
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out, "velmora-cli " VELMORA_VERSION "\n");
    EXPECT_EQ(run(built, {"velmora-cli"}, folder.path()).exitCode, 2);
    EXPECT_EQ(run(built, {"velmora-cli", "flash"}, folder.path()).exitCode, 2);
    EXPECT_EQ(run(built, {"velmora-cli", "ports"}, folder.path()).exitCode, 0);

    const auto missing = (folder / "missing.mot").string();
    outcome =
        run(built,
            {"velmora-cli", "flash", missing, "--port", "1", "--work-dir", folder.path().string()},
            folder.path());
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err, missing + " was not found.\nFile Open fail\n");
}

TEST_F(Front, WithoutTheFullProgramItSaysSoAndFails) {
    if (fs::exists(VELMORA_CLI_FULL_INSTALLED)) {
        GTEST_SKIP() << "an installed " << VELMORA_CLI_FULL_INSTALLED << " would be found";
    }
    const auto outcome = run(front, {"velmora-cli", "ports"}, folder.path());
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find("cannot find velmora-cli-serial"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(VELMORA_CLI_FULL_INSTALLED), std::string::npos) << outcome.err;
    // convert needs nothing else.
    EXPECT_EQ(run(front, {"velmora-cli", "convert", program}, folder.path()).exitCode, 0);
}

// The shared libraries a program loads, as the dynamic loader resolves them.
std::string loadedLibraries(const fs::path& program, const fs::path& folder) {
    const auto outcome = run("/usr/bin/ldd", {"ldd", program.string()}, folder);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    return outcome.out;
}

TEST_F(Front, LinksNoQtWhereTheFullProgramDoes) {
    const std::string front = loadedLibraries(VELMORA_CLI, folder.path());
    EXPECT_NE(front.find("libc.so"), std::string::npos) << front;
    EXPECT_EQ(front.find("libQt"), std::string::npos) << front;
    const std::string full = loadedLibraries(VELMORA_CLI_FULL, folder.path());
    EXPECT_NE(full.find("libQt6Core"), std::string::npos) << full;
}

} // namespace
} // namespace velmora
