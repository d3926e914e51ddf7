// velmora-cli flash / write / boot, run as a program against a simulated
// board; its conventions as a user meets them: option orders, the
// environment, a typo, --json lines, terminals that take no sequences, the
// shell completion.

#include "support/run_command.h"
#include "support/srec_text.h"
#include "support/test_files.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
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

    CommandResult run(const std::string& arguments, const std::string& environment = "") {
        return runCommand(environment + " " + VELMORA_CLI + " " + arguments + " --work-dir " +
                              (dir / "work").string() + " --pass-us 0",
                          dir);
    }

    std::string file() const { return (dir / "prog.mot").string(); }

    fs::path dir;
};

const std::string loaded = "Please check file name(upper-left corner) is correct or not!\n";
// A success's last line, its simulated board's device and time put aside.
const std::string programmed =
    loaded + "Porgramming successfully !\nProgrammed prog.mot: 256 bytes on sim in T s.\n";

std::string steady(const std::string& text) {
    static const std::regex varying(R"(on /dev/pts/[0-9]+ \(sim\) in [0-9]+\.[0-9] s\.)");
    return std::regex_replace(text, varying, "on sim in T s.");
}

TEST_F(Cli, FlashProgramsTheSimulatedBoard) {
    CommandResult outcome = run("flash " + file() + " --port sim");
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(steady(outcome.out), programmed);
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
    EXPECT_EQ(withoutAdapterLines(outcome.err),
              "Cannot open " + (dir / "absent").string() +
                  ": No such file or directory\nSystem not Ready(A) !\nPort: " +
                  (dir / "absent").string() + ".\n");

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
                  "Setting Failed\n3062f.bin belongs in the boot files folder (--boot-dir, "
                  "VELMORA_BOOT_DIR).\n");

    // Short stand-ins for the boot files, which the simulated chip takes as
    // they are: each byte of the download waits for its echo, and a write's
    // close waits out its line time.
    std::ofstream(dir / "boot" / "3062f.bin", std::ios::binary) << std::string(128, '\x5A');
    std::ofstream(dir / "boot" / "PreFlash.bin", std::ios::binary) << std::string(128, '\x33');
    outcome = run("boot " + file() + " --port sim --boot-dir " + (dir / "boot").string());
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(steady(outcome.out), programmed);
}

TEST_F(Cli, OptionsStandBeforeOrAfterTheCommandAndThePortMayComeFromTheEnvironment) {
    for (const std::string& words :
         {"--port sim flash " + file(), "-p sim flash " + file(), "flash -p sim " + file(),
          "-q flash " + file() + " --port=sim"}) {
        CommandResult outcome = run(words);
        EXPECT_EQ(outcome.exitCode, 0) << words << ": " << outcome.err;
        EXPECT_EQ(steady(outcome.out), words[1] == 'q' ? "" : programmed) << words;
    }
    CommandResult outcome = run("write " + file(), "VELMORA_PORT=sim");
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(steady(outcome.out), programmed);
    // A --port on the command line wins over the environment.
    outcome = run("flash " + file() + " --port sim", "VELMORA_PORT=" + (dir / "absent").string());
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;

    // An option before a command that has no such option is a usage error.
    fs::remove(dir / "work" / "tmp.bin");
    outcome = run("--all write " + file() + " --port sim");
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_NE(outcome.err.find("write has no option --all"), std::string::npos) << outcome.err;
    EXPECT_FALSE(fs::exists(dir / "work" / "tmp.bin"));
}

TEST_F(Cli, AnUnknownCommandIsNamedWithTheNearestOne) {
    for (auto [typo, meant] :
         {std::pair{"flsh", "flash"}, {"wirte", "write"}, {"conv", "convert"}}) {
        CommandResult outcome = run(std::string(typo) + " " + file() + " --port sim");
        EXPECT_EQ(outcome.exitCode, 2) << typo;
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("velmora-cli: unknown command '" + std::string(typo) +
                                   "'; did you mean '" + meant + "'?"),
                  std::string::npos)
            << outcome.err;
    }
    CommandResult outcome = run("frobnicate");
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_NE(outcome.err.find("(commands: convert, ports, flash, write, boot, history, station)"),
              std::string::npos)
        << outcome.err;
}

TEST_F(Cli, JsonGivesEveryEventAsALineAndTheRecordLast) {
    CommandResult outcome = run("flash " + file() + " --port sim --json -v");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    std::vector<nlohmann::json> events;
    std::istringstream lines(outcome.out);
    for (std::string line; std::getline(lines, line);) {
        events.push_back(nlohmann::json::parse(line)); // throws, failing the test, if not JSON
    }
    ASSERT_GE(events.size(), 3u) << outcome.out;
    for (const auto& event : events) {
        EXPECT_EQ(event["port"], "sim") << event;
    }
    EXPECT_EQ(events.front()["event"], "message");
    EXPECT_EQ(events.front()["kind"], "news");
    EXPECT_EQ(events.front()["text"].get<std::string>() + "\n", loaded);
    const auto finalProgress =
        std::find_if(events.rbegin(), events.rend(), [](const nlohmann::json& event) {
            return event["event"] == "progress" && event["stage"] == "Programming .....";
        });
    ASSERT_NE(finalProgress, events.rend()) << outcome.out;
    EXPECT_EQ((*finalProgress)["value"], 256);
    EXPECT_EQ((*finalProgress)["maximum"], 256);
    const nlohmann::json& record = events.back();
    EXPECT_EQ(record["event"], "record");
    EXPECT_EQ(record["result"], "programmed");
    EXPECT_EQ(record["messages"].size(), 2u);
    EXPECT_EQ(record["messages"][1], "Porgramming successfully !");
    EXPECT_GT(record["bytesSent"].get<long long>(), 256);
    // The messages go to stderr, with the wire's bytes (-v): the trigger word at 2400.
    EXPECT_NE(outcome.err.find(loaded), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(" 2400 72 65 66 6C 73 68 75\n"), std::string::npos) << outcome.err;

    outcome = runCommand(std::string(VELMORA_CLI) + " ports --json", dir);
    EXPECT_EQ(outcome.exitCode, 0);
    std::istringstream ports(outcome.out);
    for (std::string line; std::getline(ports, line);) {
        const auto port = nlohmann::json::parse(line);
        EXPECT_EQ(port["event"], "port");
        EXPECT_TRUE(port["device"].is_string()) << line;
    }
}

TEST_F(Cli, ATerminalThatTakesNoSequencesGetsAPlainProgressLine) {
    auto screenUnder = [&](const std::string& variable) { // and the other one unset
        return runOnTerminal({VELMORA_CLI, "flash", file(), "--port", "sim", "--work-dir",
                              (dir / "work").string(), "--pass-us", "0"},
                             {variable, variable == "TERM=dumb" ? "NO_COLOR=" : "TERM=xterm"});
    };
    const TerminalRun redrawn = screenUnder("NO_COLOR=");
    EXPECT_EQ(redrawn.exitCode, 0) << redrawn.screen;
    EXPECT_NE(redrawn.screen.find("\033[K"), std::string::npos) << redrawn.screen;
    for (const char* variable : {"TERM=dumb", "NO_COLOR=1"}) {
        const TerminalRun plain = screenUnder(variable);
        EXPECT_EQ(plain.exitCode, 0) << variable << plain.screen;
        EXPECT_EQ(plain.screen.find('\033'), std::string::npos) << variable << plain.screen;
        EXPECT_NE(plain.screen.find("\rProgramming ..... [##############################]"),
                  std::string::npos)
            << variable << plain.screen;
        EXPECT_NE(plain.screen.find("Porgramming successfully !"), std::string::npos);
    }
}

TEST(CliCompletion, BashLoadsTheScriptAndCompletesCommandsAndOptions) {
    const std::string script = std::string(VELMORA_COMPLETIONS) + "/velmora-cli.bash";
    const fs::path folder = freshTestFolder("velmora-completion");
    auto complete = [&](const std::string& words, int word) {
        return runCommand("bash -c " +
                              shellQuoted("source " + shellQuoted(script) + " && COMP_WORDS=(" +
                                          words + ") && COMP_CWORD=" + std::to_string(word) +
                                          "; _velmora_cli; echo ${COMPREPLY[*]}"),
                          folder)
            .out;
    };
    const CommandResult registered = runCommand(
        "bash -c " + shellQuoted("source " + shellQuoted(script) + " && complete -p velmora-cli"),
        folder);
    EXPECT_EQ(registered.exitCode, 0) << registered.err;
    EXPECT_EQ(registered.out, "complete -o filenames -F _velmora_cli velmora-cli\n")
        << registered.err;
    EXPECT_EQ(complete("velmora-cli fl", 1), "flash\n");
    EXPECT_EQ(complete("velmora-cli flash --po", 2), "--port\n");
    EXPECT_EQ(complete("velmora-cli boot --boot-p", 2), "--boot-port\n");
    EXPECT_EQ(complete("velmora-cli flash --port si", 3), "sim\n");
    fs::remove_all(folder);
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
