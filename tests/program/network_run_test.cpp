// velmora-cli programming simulated boards on network ports: the real ser2net
// daemon serves each board's pseudo-terminal on a loopback port and applies
// the rates the run asks for, so the board judges every message by the rate
// the line was at when it came.

#include "sim/simulated_board.h"
#include "support/run_command.h"
#include "support/scripted_port_server.h"
#include "support/ser2net_server.h"
#include "support/srec_text.h"
#include "support/test_files.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sys/wait.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velmora::BoardOptions;
using velmora::SimulatedBoard;
using velmora::testing::readText;

// Mostly 0xFF, as erased flash and padded programs are, with runs of 0xFF
// pairs (the Telnet escape doubled) and marks that tell the image arrived.
std::vector<std::uint8_t> imageBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size, 0xFF);
    for (std::size_t i = 0; i < size; i += 37) {
        bytes[i] = static_cast<std::uint8_t>(i / 37);
    }
    return bytes;
}

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    Clock::duration took{};
};

class NetworkRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        dir = fs::temp_directory_path() /
              ("velmora-network-run-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(dir);
        fs::create_directories(dir / "work");
        fs::create_directories(dir / "boot");
        std::ofstream mot(dir / "prog.mot", std::ios::binary);
        mot << "S00600004844521B\r\n";
        for (std::size_t address = 0; address < image.size(); address += 32) {
            std::vector<std::uint8_t> record(image.begin() + address,
                                             image.begin() + std::min(address + 32, image.size()));
            mot << velmora::testing::dataRecord(static_cast<std::uint32_t>(address), record)
                << "\r\n";
        }
        mot << "S9030000FC\r\n";
        // Short stand-ins for the boot files, which the simulated chip takes as
        // they are: each byte of the download waits for its echo.
        std::ofstream(dir / "boot" / "3062f.bin", std::ios::binary) << std::string(128, '\xFF');
        std::ofstream(dir / "boot" / "PreFlash.bin", std::ios::binary) << std::string(128, '\x33');
    }
    void TearDown() override { fs::remove_all(dir); }

    // A board that judges the rate of what comes with a change of settings
    // only when `judgeRates`: ser2net and velmora-cli cannot wait until it
    // has taken each change in, and a busy machine can hold its thread past
    // the trigger word and the reopening at 9600 (see ratesPass).
    static std::unique_ptr<SimulatedBoard> startBoard(BoardOptions options,
                                                      bool judgeRates = false) {
        options.strictRates = judgeRates;
        auto board = std::make_unique<SimulatedBoard>(options);
        EXPECT_TRUE(board->start()) << board->lastError();
        return board;
    }

    // velmora-cli with these words; what it printed, its exit code and time.
    CliRun run(std::vector<std::string> words) {
        words.insert(words.begin(), VELMORA_CLI);
        CliRun result;
        const auto start = Clock::now();
        const pid_t pid = velmora::testing::spawnProgram(words, dir / "out.txt", dir / "err.txt");
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.took = Clock::now() - start;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readText(dir / "out.txt");
        result.err = readText(dir / "err.txt");
        return result;
    }

    std::vector<std::string> programWords(const std::string& command,
                                          const std::vector<std::string>& ports,
                                          const std::string& pass = "0") const {
        std::vector<std::string> words{command,      (dir / "prog.mot").string(),
                                       "--work-dir", (dir / "work").string(),
                                       "--pass-us",  pass};
        for (const std::string& port : ports) {
            words.insert(words.end(), {"--port", port});
        }
        return words;
    }

    bool flashHoldsImage(const SimulatedBoard& board) const {
        const auto flash = board.flash();
        return std::equal(image.begin(), image.end(), flash.begin());
    }

    fs::path dir;
    const std::vector<std::uint8_t> image = imageBytes(1000);
};

// The pass that makes the pauses around the trigger word 0.3 s each: time for
// ser2net and the board to take in the 2400 of the trigger word before the
// port goes back to 9600, on the real clock, generous for a busy machine.
const std::string ratesPass = "100";

// Each command a test of its own, so that they spread over the machine's cores.
class EveryCommand : public NetworkRun, public ::testing::WithParamInterface<int> {};

TEST_P(EveryCommand, ProgramsTheBoardAtItsRates) {
    struct Case {
        std::string name;
        std::vector<std::string> extra;
        BoardOptions::Mode mode;
        bool startInReflash;
    };
    const std::vector<Case> cases = {
        {"flash", {}, BoardOptions::Mode::User, false},
        {"flash", {"--all"}, BoardOptions::Mode::User, false},
        {"write", {}, BoardOptions::Mode::User, true},
        {"boot", {"--boot-dir", (dir / "boot").string()}, BoardOptions::Mode::Boot, false},
    };
    {
        const Case& c = cases[static_cast<std::size_t>(GetParam())];
        SCOPED_TRACE(c.name + (c.extra.empty() ? "" : " " + c.extra.front()));
        BoardOptions options;
        options.mode = c.mode;
        options.startInReflashMode = c.startInReflash;
        auto board = startBoard(options, true);
        Ser2netServer server({board->terminalPath()}, {.passAtOnce = true});
        ASSERT_TRUE(server.running()) << server.log();

        const bool triggerWord = c.mode == BoardOptions::Mode::User && !c.startInReflash;
        auto words = programWords(c.name, {server.portName()}, triggerWord ? ratesPass : "0");
        words.insert(words.end(), c.extra.begin(), c.extra.end());
        if (c.mode == BoardOptions::Mode::Boot) {
            // The control line's port named on its own, the same network port.
            words.insert(words.end(), {"--boot-port", server.portName()});
        }
        const CliRun result = run(words);
        ASSERT_EQ(result.exitCode, 0) << result.err << server.log();
        EXPECT_NE(result.out.find("Porgramming successfully !\n"), std::string::npos) << result.out;
        EXPECT_TRUE(flashHoldsImage(*board));

        const auto summary = board->summary();
        std::map<std::string, std::set<int>> ratesByKind;
        for (const auto& message : summary.messages) {
            EXPECT_FALSE(message.rateUncertain) << message.kind;
            EXPECT_TRUE(message.frameOk) << message.kind;
            EXPECT_EQ(message.result.rfind("refused", 0), std::string::npos) << message.result;
            ratesByKind[message.kind].insert(message.bauds.begin(), message.bauds.end());
        }
        ASSERT_FALSE(summary.writes.empty());
        EXPECT_EQ(summary.writes.back().checksumReceived, summary.writes.back().checksumExpected);
        EXPECT_EQ(summary.writes.back().outcome, "completed");
        if (c.mode == BoardOptions::Mode::Boot) {
            EXPECT_EQ(ratesByKind["boot program"], std::set<int>{9600});
            EXPECT_EQ(ratesByKind["block"], (std::set<int>{9600, 38400}));
            EXPECT_EQ(summary.writes.back().baud, 38400);
        } else {
            EXPECT_EQ(ratesByKind["trigger word"],
                      c.startInReflash ? std::set<int>{} : std::set<int>{2400});
            EXPECT_EQ(ratesByKind["block"], std::set<int>{9600});
        }
    }
}

std::string commandName(const ::testing::TestParamInfo<int>& info) {
    static const std::vector<std::string> names{"flash", "all_flash", "write", "boot"};
    return names[static_cast<std::size_t>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(NetworkRun, EveryCommand, ::testing::Range(0, 4), commandName);

TEST_F(NetworkRun, NetworkFaultsAreNamedAtOnceWithTheCommandsOwnMessage) {
    // Nobody serves the port.
    const std::string nobody = "rfc2217://127.0.0.1:" + std::to_string(freeLoopbackPort());
    CliRun result = run(programWords("flash", {nobody}));
    EXPECT_EQ(result.exitCode, 1);
    // Under the 5 s a connection may take, with room for a busy machine.
    EXPECT_LT(result.took, 3s);
    EXPECT_EQ(velmora::testing::withoutAdapterLines(result.err),
              nobody + ": Connection refused\nSystem not Ready(A) !\nPort: " + nobody + ".\n");

    const std::string unknown = "rfc2217://no-such-bench.invalid:4001";
    result = run(programWords("flash", {unknown}));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err.rfind(unknown + ": ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("\nSystem not Ready(A) !\n"), std::string::npos) << result.err;
}

TEST_F(NetworkRun, AKilledServerIsNamedAtOnceWithTheCommandsOwnMessage) {
    // ser2net killed while the blocks cross a paced line.
    BoardOptions options;
    options.pace = true;
    auto board = startBoard(options);
    Ser2netServer server({board->terminalPath()}, {.passAtOnce = true});
    ASSERT_TRUE(server.running()) << server.log();
    Clock::time_point killedAt{};
    std::thread killer([&] {
        if (board->waitFor(
                [](const auto& seen) {
                    return !seen.writes.empty() && seen.writes.back().blocksReceived >= 2;
                },
                10s)) {
            killedAt = Clock::now();
            server.kill();
        }
    });
    CliRun result = run(programWords("flash", {server.portName()}));
    const auto ended = Clock::now();
    killer.join();
    ASSERT_NE(killedAt, Clock::time_point{}) << result.err;
    EXPECT_LT(ended - killedAt, 1s);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err.rfind(server.portName() + ": ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("\nProgramming Data Error. Please try again !\n"), std::string::npos)
        << result.err;
}

TEST_F(NetworkRun, AServerThatStopsAnsweringIsNamedLongBeforeTheBoardsTimeOut) {
    // A server that stops answering mid-run (stopped, its connection still
    // up) is named after two reply times, long before the board's time-out.
    BoardOptions options;
    options.pace = true;
    auto second = startBoard(options);
    Ser2netServer stopping({second->terminalPath()}, {.passAtOnce = true});
    ASSERT_TRUE(stopping.running()) << stopping.log();
    Clock::time_point stoppedAt{};
    std::thread stopper([&] {
        if (second->waitFor(
                [](const auto& seen) {
                    return !seen.writes.empty() && seen.writes.back().blocksReceived >= 2;
                },
                10s)) {
            stoppedAt = Clock::now();
            stopping.pause();
        }
    });
    CliRun result = run(programWords("flash", {stopping.portName()}));
    const auto gaveUp = Clock::now();
    stopper.join();
    stopping.resume();
    ASSERT_NE(stoppedAt, Clock::time_point{}) << result.err;
    EXPECT_LT(gaveUp - stoppedAt, 6s);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err.rfind(stopping.portName() +
                                   ": the server does not answer\nProgramming Data Error. Please "
                                   "try again !\nPort: " +
                                   stopping.portName() +
                                   ".\nThe board's flash is now partly written (the program "
                                   "ended at block ",
                               0),
              0u)
        << result.err;
}

TEST_F(NetworkRun, AFloodingServerEndsTheRunAndASignalEndsAStalledOne) {
    using velmora::testing::ScriptedPortServer;
    // "Next block" for ever: every block is taken, the closing message
    // resent as often as allowed, and the run ends with its own word.
    ScriptedPortServer flood(ScriptedPortServer::Part::Flood, 0x11);
    ASSERT_TRUE(flood.running());
    CliRun result = run(programWords("flash", {flood.portName()}));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(result.took, 30s);
    EXPECT_EQ(result.err, "The board asked for more after the last block.\nProgramming Data "
                          "Error. Please try again !\nPort: " +
                              flood.portName() +
                              ".\nEvery block of the program went out, but the board did not "
                              "confirm the checksum: the flash may hold a damaged program. Repeat "
                              "the run before the board is used.\n");

    // A server that takes the connection and never negotiates: SIGTERM ends
    // the wait at once, and the report is still written.
    ScriptedPortServer silent(ScriptedPortServer::Part::Silent);
    auto words = programWords("flash", {silent.portName()});
    words.insert(words.begin(), VELMORA_CLI);
    words.insert(words.end(), {"--report", (dir / "report.json").string()});
    const pid_t pid = velmora::testing::spawnProgram(words, dir / "out.txt", dir / "err.txt");
    for (auto until = Clock::now() + 10s; silent.connections() == 0 && Clock::now() < until;) {
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(200ms); // well inside the negotiation's 2 s wait
    ::kill(pid, SIGTERM);
    const auto signalled = Clock::now();
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_LT(Clock::now() - signalled, 1s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_EQ(readText(dir / "err.txt").rfind("Stopped by SIGTERM.\n", 0), 0u)
        << readText(dir / "err.txt");
    EXPECT_NE(readText(dir / "report.json").find("\"result\": \"interrupted\""), std::string::npos);
}

TEST_F(NetworkRun, ManyBoardsAcrossTwoServersEachInAFolderOfItsHost) {
    std::vector<std::unique_ptr<SimulatedBoard>> boards;
    std::vector<std::string> devices;
    for (int i = 0; i < 4; ++i) {
        boards.push_back(startBoard({}));
        devices.push_back(boards.back()->terminalPath());
    }
    Ser2netServer first({devices[0], devices[1]}, {.passAtOnce = true});
    Ser2netServer second({devices[2], devices[3]}, {.passAtOnce = true});
    ASSERT_TRUE(first.running() && second.running()) << first.log() << second.log();
    const std::vector<std::string> ports = {first.portName(0), first.portName(1),
                                            second.portName(0), second.portName(1)};

    // One port twice, under two names of the host, is refused before any board.
    std::string again = ports[2];
    again.replace(again.find("127.0.0.1"), 9, "localhost");
    CliRun result = run(programWords("flash", {ports[0], ports[2], again}));
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err,
              "velmora-cli: --port " + ports[2] + " and --port " + again + " are the same port\n");

    auto words = programWords("flash", ports);
    words.insert(words.end(), {"--report", (dir / "run.json").string(), "-q"});
    result = run(words);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("4 boards: 4 programmed, 0 failed"), std::string::npos) << result.out;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        EXPECT_TRUE(flashHoldsImage(*boards[i])) << ports[i];
        const std::string folder = "127.0.0.1-" + ports[i].substr(ports[i].rfind(':') + 1);
        EXPECT_TRUE(fs::exists(dir / "work" / folder / "tmp.bin")) << folder;
    }
    const std::string report = readText(dir / "run.json");
    for (const std::string& port : ports) {
        EXPECT_NE(report.find("\"" + port + "\""), std::string::npos) << port;
    }
}

} // namespace
