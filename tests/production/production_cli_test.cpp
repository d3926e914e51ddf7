// velmora-cli programming simulated boards: several at once, one of them
// silent, each board's news and result kept to it; reports and transcripts
// that cannot be written; signals; a closed output; one device named twice.

#include "support/run_command.h"
#include "support/srec_text.h"
#include "support/test_files.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace velmora::testing;

unsigned programByte(unsigned address) {
    return (address * 7 + 1) & 0xFF;
}
constexpr unsigned programSize = 300;
// No pauses: the boards take what comes with a change of settings at any rate
// (see startBoard), so the trigger word needs no time of its own before the
// port is opened at 9600 again.
const std::string passMicroseconds = "0";

class ProductionCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir = freshTestFolder("velmora-production");
        writeText(dir / "prog.mot", programText(programSize, [](std::uint32_t address) {
                      return static_cast<std::uint8_t>(programByte(address));
                  }));
    }
    void TearDown() override {
        for (pid_t board : boards) {
            ::kill(board, SIGTERM);
            ::waitpid(board, nullptr, 0);
        }
        fs::remove_all(dir);
    }

    // A velmora-sim on dir/NAME, writing its flash to dir/NAME.bin. It takes
    // bytes that come with a change of settings at any rate: velmora-cli in
    // another process cannot wait until the board has taken each change in,
    // and a busy machine can hold the board's thread until the host has opened
    // at 2400, sent the trigger word and opened at 9600 again. The rates are
    // tested where the host waits for the board (tests/sim).
    std::string startBoard(const std::string& name, std::vector<std::string> faults = {}) {
        std::vector<std::string> words{VELMORA_SIM,
                                       "--link",
                                       (dir / name).string(),
                                       "--flash-out",
                                       (dir / (name + ".bin")).string(),
                                       "--lenient-rates"};
        words.insert(words.end(), faults.begin(), faults.end());
        const pid_t pid = spawnProgram(words, {}, dir / (name + ".err"));
        boards.push_back(pid);
        for (int tries = 0; tries < 500 && !fs::exists(dir / name); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return (dir / name).string();
    }

    int run(const std::string& arguments) {
        std::string command = std::string(VELMORA_CLI) + " " + arguments + " --pass-us " +
                              passMicroseconds + " >" + (dir / "out.txt").string() + " 2>" +
                              (dir / "err.txt").string() + " </dev/null";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // velmora-cli started and left running; its output goes to out.txt and
    // err.txt (stdout to `stdoutFd` when given).
    pid_t start(const std::vector<std::string>& arguments, int stdoutFd = -1) {
        std::vector<std::string> words{VELMORA_CLI};
        words.insert(words.end(), arguments.begin(), arguments.end());
        words.insert(words.end(), {"--pass-us", passMicroseconds});
        return spawnProgram(words, dir / "out.txt", dir / "err.txt", stdoutFd);
    }

    // The exit code, or -1 when it has not ended within the time.
    static int waitForExit(pid_t pid, std::chrono::seconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Waits until the file holds the text; false after ten seconds.
    bool waitForText(const fs::path& file, const std::string& text, int times = 1) {
        for (int tries = 0; tries < 1000; ++tries) {
            std::string now = readText(file);
            int found = 0;
            for (auto at = now.find(text); at != std::string::npos; at = now.find(text, at + 1)) {
                ++found;
            }
            if (found >= times) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    QJsonObject readJson(const fs::path& path) {
        QFile file(QString::fromStdString(path.string()));
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    fs::path dir;
    std::vector<pid_t> boards;
};

const std::string loaded = "Please check file name(upper-left corner) is correct or not!";

TEST_F(ProductionCli, GoodBoardsAreProgrammedAndTheSilentOneFailsAlone) {
    std::string first = startBoard("first");
    std::string silent = startBoard("silent", {"--silent"});
    std::string third = startBoard("third");
    ASSERT_TRUE(fs::exists(first) && fs::exists(silent) && fs::exists(third));

    // A short tick: the silent board's wait gives up after 3 s, not 15.
    int code = run("flash " + (dir / "prog.mot").string() + " --port " + first + " --port " +
                   silent + " --port " + third + " --tick-us 20000 --work-dir " +
                   (dir / "work").string() + " --report " + (dir / "report.json").string() +
                   " --log " + (dir / "wire.log").string());
    std::string out = readText(dir / "out.txt");
    EXPECT_EQ(code, 1) << out << readText(dir / "err.txt");

    // Lines carry their port and only their own news.
    EXPECT_NE(out.find("[" + first + "] Porgramming successfully !\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[" + third + "] Porgramming successfully !\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[" + silent + "] Time out !\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("[" + silent + "] Porgramming"), std::string::npos) << out;
    EXPECT_EQ(out.find("[" + first + "] Time out"), std::string::npos) << out;
    EXPECT_NE(out.find("3 boards: 2 programmed, 1 failed"), std::string::npos) << out;
    // The silent board's hints, on stderr with its port: what it must be doing.
    const std::string err = readText(dir / "err.txt");
    EXPECT_NE(err.find("[" + silent + "] The board did not answer on " + silent +
                       ". It must be powered, connected to this port and running its own "
                       "firmware"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("[" + first + "] "), std::string::npos) << err;

    // The good boards hold the program; the silent one was never written.
    for (std::string name : {"first", "third"}) {
        std::string flash = readText(dir / (name + ".bin"));
        ASSERT_EQ(flash.size(), 128u * 1024) << name;
        for (unsigned address = 0; address < programSize; ++address) {
            ASSERT_EQ(static_cast<unsigned char>(flash[address]), programByte(address))
                << name << " at " << address;
        }
    }
    EXPECT_FALSE(fs::exists(dir / "silent.bin"));

    QFile file(QString::fromStdString((dir / "report.json").string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_NE(root["command"].toString().toStdString().find(" --port " + silent),
              std::string::npos);
    QJsonObject image = root["image"].toObject();
    EXPECT_EQ(image["file"].toString().toStdString(), (dir / "prog.mot").string());
    EXPECT_EQ(image["size"].toInteger(),
              static_cast<qint64>(fs::file_size(dir / "work" / "first" / "tmp.bin")));
    EXPECT_EQ(image["sha256"].toString().size(), 64);
    QJsonArray list = root["boards"].toArray();
    ASSERT_EQ(list.size(), 3);
    QJsonObject good = list[0].toObject();
    QJsonObject bad = list[1].toObject();
    EXPECT_EQ(good["port"].toString().toStdString(), first);
    EXPECT_EQ(good["result"].toString(), "programmed");
    ASSERT_EQ(good["messages"].toArray().size(), 2);
    EXPECT_EQ(good["messages"].toArray()[0].toString().toStdString(), loaded);
    EXPECT_EQ(good["messages"].toArray()[1].toString(), "Porgramming successfully !");
    EXPECT_GT(good["bytesSent"].toInteger(), image["size"].toInteger());
    EXPECT_GT(good["bytesReceived"].toInteger(), 0);
    EXPECT_EQ(bad["port"].toString().toStdString(), silent);
    EXPECT_EQ(bad["result"].toString(), "failed");
    EXPECT_EQ(bad["bytesReceived"].toInteger(), 0);
    EXPECT_EQ(good["stage"].toString(), "finished");
    EXPECT_EQ(bad["stage"].toString(), "command block");
    EXPECT_TRUE(bad["cause"].isNull()); // it did not answer: no system's reason
    QJsonArray badMessages = bad["messages"].toArray();
    ASSERT_GE(badMessages.size(), 2);
    EXPECT_EQ(badMessages[1].toString(), "Time out !");
    EXPECT_LE(good["start"].toString(), good["end"].toString());

    // A transcript per board: the silent board's shows bytes out and none back.
    std::string silentWire = readText(dir / "wire-silent.log");
    EXPECT_NE(silentWire.find(" TX "), std::string::npos) << silentWire;
    EXPECT_EQ(silentWire.find(" RX "), std::string::npos) << silentWire;
    EXPECT_NE(readText(dir / "wire-first.log").find(" RX "), std::string::npos);
}

TEST_F(ProductionCli, SimulatedBoardsForEveryPortAllSucceed) {
    int code = run("flash " + (dir / "prog.mot").string() + " --port sim --port sim -q" +
                   " --work-dir " + (dir / "work").string());
    EXPECT_EQ(code, 0) << readText(dir / "out.txt") << readText(dir / "err.txt");
    EXPECT_TRUE(fs::exists(dir / "work" / "sim-1" / "tmp.bin"));
    EXPECT_TRUE(fs::exists(dir / "work" / "sim-2" / "tmp.bin"));
}

TEST_F(ProductionCli, SeveralBoardsTellTheirEventsAndRecordsAsJsonLines) {
    int code = run("--json flash " + (dir / "prog.mot").string() + " --port sim --port sim" +
                   " --work-dir " + (dir / "work").string());
    const std::string out = readText(dir / "out.txt");
    EXPECT_EQ(code, 0) << out << readText(dir / "err.txt");
    std::map<std::string, nlohmann::json> records;
    std::map<std::string, int> messages;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line); // throws, failing the test, if not JSON
        const std::string port = event["port"];
        if (event["event"] == "record") {
            records[port] = event;
        } else if (event["event"] == "message") {
            ++messages[port];
        }
    }
    ASSERT_EQ(records.size(), 2u) << out;
    for (const std::string port : {"sim#1", "sim#2"}) {
        EXPECT_EQ(records[port]["result"], "programmed") << port;
        EXPECT_EQ(records[port]["messages"].back(), "Porgramming successfully !") << port;
        EXPECT_EQ(messages[port], 2) << port;
    }
    // The summary goes to stderr, beside the boards' messages.
    EXPECT_NE(readText(dir / "err.txt").find("2 boards: 2 programmed, 0 failed"),
              std::string::npos);
}

TEST_F(ProductionCli, OneBoardRunWritesItsReportToo) {
    int code = run("flash " + (dir / "prog.mot").string() + " --port sim --work-dir " +
                   (dir / "work").string() + " --report " + (dir / "one.json").string());
    EXPECT_EQ(code, 0) << readText(dir / "err.txt");
    QFile file(QString::fromStdString((dir / "one.json").string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonArray list = QJsonDocument::fromJson(file.readAll()).object()["boards"].toArray();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toObject()["port"].toString(), "sim");
    EXPECT_EQ(list[0].toObject()["result"].toString(), "programmed");
}

TEST_F(ProductionCli, OnATerminalEachBoardsLineShowsWhatItsRunReported) {
    std::string first = startBoard("first");
    std::string second = startBoard("second");
    const TerminalRun shown = runOnTerminal(
        {VELMORA_CLI, "flash", (dir / "prog.mot").string(), "--port", first, "--port", second,
         "--work-dir", (dir / "work").string(), "--pass-us", passMicroseconds},
        {"TERM=xterm", "NO_COLOR="}, false);
    const std::string& screen = shown.screen;
    EXPECT_EQ(shown.exitCode, 0) << screen;
    // The last drawing: each board's line with the bytes its run reported sending.
    const std::string last = screen.substr(screen.rfind("\033[2A"));
    for (const std::string& port : {first, second}) {
        const auto line = last.find(port);
        ASSERT_NE(line, std::string::npos) << last;
        const std::string text = last.substr(line, last.find('\n', line) - line);
        EXPECT_NE(text.find("100%"), std::string::npos) << text;
        EXPECT_NE(text.find("320/320"), std::string::npos) << text;
        EXPECT_NE(text.find("programmed"), std::string::npos) << text;
    }
}

TEST_F(ProductionCli, AReportOrTranscriptThatCannotBeMadeRefusesTheRunBeforeAnyBoard) {
    std::string board = startBoard("board");
    const std::string nowhere = (dir / "absent" / "file").string();
    for (std::string option : {"--report", "--log"}) {
        int code = run("flash " + (dir / "prog.mot").string() + " --port " + board + " " + option +
                       " " + nowhere + " --work-dir " + (dir / "work").string());
        EXPECT_EQ(code, 2) << option;
        EXPECT_EQ(readText(dir / "err.txt"),
                  "velmora-cli: cannot write " + nowhere + ": No such file or directory\n");
        // Several boards: refused the same way, none started.
        code = run("flash " + (dir / "prog.mot").string() + " --port " + board + " --port sim " +
                   option + " " + nowhere + " --work-dir " + (dir / "work").string());
        EXPECT_EQ(code, 2) << option;
        EXPECT_NE(readText(dir / "err.txt").find("No such file or directory"), std::string::npos);
        EXPECT_EQ(readText(dir / "out.txt"), "");
    }
    EXPECT_FALSE(fs::exists(dir / "board.bin")); // the board was never written
}

TEST_F(ProductionCli, AFullDiskFailsTheRunAndKeepsTheEarlierReport) {
    fs::path small = dir / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    std::ofstream(small / "report.json") << "the earlier report";
    std::ofstream(small / "filler") << std::string(16 * 1024, 'x');
    std::string board = startBoard("board");
    int code = run("flash " + (dir / "prog.mot").string() + " --port " + board + " --report " +
                   (small / "report.json").string() + " --work-dir " + (dir / "work").string());
    std::string err = readText(dir / "err.txt");
    std::string report = readText(small / "report.json");
    ::umount(small.c_str());
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(report, "the earlier report");
    EXPECT_NE(
        err.find("cannot write " + (small / "report.json").string() + ": No space left on device"),
        std::string::npos)
        << err;
    EXPECT_NE(readText(dir / "out.txt").find("Porgramming successfully !"), std::string::npos);
}

TEST_F(ProductionCli, ASignalEndsTheRunBetweenStepsWithItsReport) {
    std::string silent = startBoard("silent", {"--silent"});
    pid_t cli = start({"flash", (dir / "prog.mot").string(), "--port", silent, "--report",
                       (dir / "report.json").string(), "--work-dir", (dir / "work").string()});
    ASSERT_TRUE(waitForText(dir / "out.txt", loaded));
    ::kill(cli, SIGTERM);
    // The board would keep it waiting a minute; the signal ends the wait.
    EXPECT_EQ(waitForExit(cli, std::chrono::seconds(10)), 143);
    std::string err = readText(dir / "err.txt");
    // The stop, then the command's failure when the signal came while the flash ran.
    EXPECT_TRUE(err == "Stopped by SIGTERM.\nSystem not Ready(A) !\n" ||
                err == "Stopped by SIGTERM.\n")
        << err;
    QJsonObject board = readJson(dir / "report.json")["boards"].toArray()[0].toObject();
    EXPECT_EQ(board["result"].toString(), "interrupted");
    EXPECT_EQ(board["messages"].toArray()[1].toString(), "Stopped by SIGTERM.");
}

TEST_F(ProductionCli, ASignalToSeveralBoardsReachesEveryRunAndWaitsForThem) {
    std::string first = startBoard("first", {"--silent"});
    std::string second = startBoard("second", {"--silent"});
    pid_t cli =
        start({"flash", (dir / "prog.mot").string(), "--port", first, "--port", second, "--report",
               (dir / "report.json").string(), "--work-dir", (dir / "work").string()});
    ASSERT_TRUE(waitForText(dir / "out.txt", loaded, 2)) << readText(dir / "out.txt");
    ::kill(cli, SIGINT); // the parent alone: it passes the signal on
    EXPECT_EQ(waitForExit(cli, std::chrono::seconds(10)), 130);
    std::string out = readText(dir / "out.txt");
    EXPECT_NE(out.find("[" + first + "] Stopped by SIGINT."), std::string::npos) << out;
    EXPECT_NE(out.find("[" + second + "] Stopped by SIGINT."), std::string::npos) << out;
    EXPECT_NE(out.find("2 boards: 0 programmed, 0 failed, 2 interrupted"), std::string::npos)
        << out;
    QJsonArray list = readJson(dir / "report.json")["boards"].toArray();
    ASSERT_EQ(list.size(), 2);
    for (const QJsonValue& board : list) {
        EXPECT_EQ(board.toObject()["result"].toString(), "interrupted");
        // Each run ended its board its own way: the stop, then the command's
        // failure when the signal came after the load, while the flash ran.
        QJsonArray messages = board.toObject()["messages"].toArray();
        ASSERT_GE(messages.size(), 2);
        ASSERT_LE(messages.size(), 3);
        EXPECT_EQ(messages[1].toString(), "Stopped by SIGINT.");
        if (messages.size() == 3) {
            EXPECT_EQ(messages[2].toString(), "System not Ready(A) !");
        }
    }
}

TEST_F(ProductionCli, BoardRunsOfAParentKilledOutrightEndTheirBoards) {
    std::string first = startBoard("first", {"--silent"});
    std::string second = startBoard("second", {"--silent"});
    pid_t cli =
        start({"flash", (dir / "prog.mot").string(), "--port", first, "--port", second, "--log",
               (dir / "wire.log").string(), "--work-dir", (dir / "work").string()});
    ASSERT_TRUE(waitForText(dir / "out.txt", loaded, 2)) << readText(dir / "out.txt");
    ::kill(cli, SIGKILL);
    ::waitpid(cli, nullptr, 0);
    // Each run publishes its transcript as it ends; the boards would keep them a minute.
    for (std::string name : {"first", "second"}) {
        const fs::path log = dir / ("wire-" + name + ".log");
        EXPECT_TRUE(waitForText(log, "notice Stopped by SIGTERM.")) << name;
    }
}

TEST_F(ProductionCli, AClosedOutputStopsThePrintingNotTheBoard) {
    std::string board = startBoard("board");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]); // nobody will read: every write to stdout fails
    pid_t cli = start({"flash", (dir / "prog.mot").string(), "--port", board, "--work-dir",
                       (dir / "work").string()},
                      ends[1]);
    ::close(ends[1]);
    EXPECT_EQ(waitForExit(cli, std::chrono::seconds(30)), 0) << readText(dir / "err.txt");
    std::string flash = readText(dir / "board.bin");
    ASSERT_EQ(flash.size(), 128u * 1024);
    EXPECT_EQ(static_cast<unsigned char>(flash[programSize - 1]), programByte(programSize - 1));
}

TEST_F(ProductionCli, OneDeviceNamedTwiceIsRefusedAtOnce) {
    std::string board = startBoard("board");
    fs::create_symlink(board, dir / "alias");
    const auto started = std::chrono::steady_clock::now();
    int code = run("flash " + (dir / "prog.mot").string() + " --port " + board + " --port " +
                   (dir / "alias").string() + " --work-dir " + (dir / "work").string());
    EXPECT_EQ(code, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(readText(dir / "err.txt"), "velmora-cli: --port " + board + " and --port " +
                                             (dir / "alias").string() + " are the same device\n");
    EXPECT_FALSE(fs::exists(dir / "board.bin"));
}

} // namespace

namespace {

TEST_F(ProductionCli, RunsWithDbAreKeptAndSeveralHistoriesReadAsOne) {
    const std::string good = startBoard("good");
    const std::string nak = startBoard("nak", {"--nak-block", "2"});
    const std::string a = (dir / "a.sqlite").string();
    const std::string b = (dir / "b.sqlite").string();
    const std::string mot = (dir / "prog.mot").string();
    EXPECT_EQ(run("flash " + mot + " --port " + good + " --port " + nak + " --work-dir " +
                  (dir / "work").string() + " --db " + a),
              1)
        << readText(dir / "err.txt");
    EXPECT_EQ(run("flash " + mot + " --port " + good + " --work-dir " + (dir / "one").string() +
                  " --db " + b),
              0)
        << readText(dir / "err.txt");

    auto history = [&](const std::string& arguments) {
        return runCommand(std::string(VELMORA_CLI) + " history " + arguments, dir);
    };
    const CommandResult table = history("--db " + a + " --db " + b + " --csv");
    EXPECT_EQ(table.exitCode, 0) << table.err;
    std::istringstream csv(table.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(csv, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 4u) << table.out;
    EXPECT_EQ(lines[0].rfind("start,end,station,port,", 0), 0u);

    const CommandResult json = history("--db " + a + " --db " + b + " --json --result failed");
    EXPECT_EQ(json.exitCode, 0);
    const std::string& out = json.out;
    ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    const auto failed = nlohmann::json::parse(out);
    EXPECT_EQ(failed["port"], nak);
    EXPECT_EQ(failed["command"], "flash");
    EXPECT_EQ(failed["program"], mot);
    EXPECT_EQ(failed["imageSha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(failed["stage"], "block 2 of 3");
    EXPECT_EQ(failed["cause"], "Receive Error(B) !");
    EXPECT_EQ(failed["messages"].back(), "Programming Data Error. Please try again !");

    // The table for a person ends with the totals; a time it cannot read is refused.
    const CommandResult people = history("--db " + a + " --db " + b + " --image " +
                                         failed["imageSha256"].get<std::string>().substr(0, 8));
    EXPECT_EQ(people.exitCode, 0);
    EXPECT_NE(people.out.find("3 runs: 2 programmed, 1 failed, 0 interrupted"), std::string::npos)
        << people.out;
    const CommandResult refused = history("--db " + a + " --since soon");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("--since soon: not a time"), std::string::npos) << refused.err;
}

} // namespace

namespace {

// The rows of a history file as JSON, through velmora-cli history.
std::vector<nlohmann::json> historyRows(const fs::path& db) {
    const CommandResult read = runCommand(
        std::string(VELMORA_CLI) + " history --json --db " + db.string(), db.parent_path());
    std::vector<nlohmann::json> rows;
    std::istringstream lines(read.out);
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(nlohmann::json::parse(line));
    }
    return rows;
}

std::string integrityOf(const fs::path& db) {
    sqlite3* raw = nullptr;
    std::string verdict = "cannot open";
    if (sqlite3_open_v2(db.string().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* check = nullptr;
        sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &check, nullptr);
        verdict = sqlite3_step(check) == SQLITE_ROW
                      ? reinterpret_cast<const char*>(sqlite3_column_text(check, 0))
                      : sqlite3_errmsg(raw);
        sqlite3_finalize(check);
    }
    sqlite3_close(raw);
    return verdict;
}

TEST_F(ProductionCli, AStationProgramsBoardsAsTheirLinksAppearInTheWatchedFolder) {
    const fs::path watched = dir / "by-id"; // made only once the station waits for it
    const fs::path db = dir / "history.sqlite";
    const pid_t station =
        start({"station", (dir / "prog.mot").string(), "--watch", watched.string(), "--db",
               db.string(), "--work-dir", (dir / "work").string()});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fs::create_directories(watched);
    const std::string first = startBoard("by-id/first");
    ASSERT_TRUE(waitForText(dir / "out.txt", "[" + first + "] programmed in"))
        << readText(dir / "out.txt") << readText(dir / "err.txt");

    // Several at once, one of them refusing a block.
    const std::string second = startBoard("by-id/second");
    const std::string nak = startBoard("by-id/nak", {"--nak-block", "2"});
    ASSERT_TRUE(waitForText(dir / "out.txt", "[" + second + "] programmed in"))
        << readText(dir / "out.txt");
    ASSERT_TRUE(waitForText(dir / "out.txt", "[" + nak + "] FAILED in"))
        << readText(dir / "out.txt");

    // The first board unplugged and plugged again: the next board there.
    const pid_t firstBoard = boards.front();
    ::kill(firstBoard, SIGTERM);
    ::waitpid(firstBoard, nullptr, 0);
    boards.erase(boards.begin());
    ASSERT_TRUE(waitForText(dir / "out.txt", "[" + first + "] board gone"));
    startBoard("by-id/first");
    ASSERT_TRUE(waitForText(dir / "out.txt", "[" + first + "] programmed in", 2))
        << readText(dir / "out.txt");

    ::kill(station, SIGINT);
    EXPECT_EQ(waitForExit(station, std::chrono::seconds(20)), 130);
    EXPECT_NE(readText(dir / "out.txt").find("station: 3 programmed, 1 failed"), std::string::npos)
        << readText(dir / "out.txt");

    const std::vector<nlohmann::json> rows = historyRows(db);
    ASSERT_EQ(rows.size(), 4u);
    std::map<std::string, int> runs;
    for (const auto& row : rows) {
        ++runs[row["port"]];
        EXPECT_EQ(row["command"], "flash");
        EXPECT_EQ(row["imageSha256"].get<std::string>().size(), 64u);
        if (row["port"] == nak) {
            EXPECT_EQ(row["result"], "failed");
            EXPECT_EQ(row["stage"], "block 2 of 3");
            EXPECT_EQ(row["cause"], "Receive Error(B) !");
        } else {
            EXPECT_EQ(row["result"], "programmed") << row.dump();
        }
    }
    EXPECT_EQ(runs[first], 2);
    EXPECT_EQ(runs[second], 1);
}

TEST_F(ProductionCli, AStationKilledMidRunLeavesAWholeHistoryOfItsFinishedRuns) {
    const fs::path watched = dir / "by-id";
    fs::create_directories(watched);
    const fs::path db = dir / "history.sqlite";
    const pid_t station =
        start({"station", (dir / "prog.mot").string(), "--watch", watched.string(), "--db",
               db.string(), "--work-dir", (dir / "work").string()});
    startBoard("by-id/quick");
    ASSERT_TRUE(waitForText(dir / "out.txt", "programmed in")) << readText(dir / "out.txt");
    // A board that answers slowly is mid-run when the station dies.
    startBoard("by-id/slow", {"--pace", "--reply-delay-ms", "300"});
    ASSERT_TRUE(waitForText(dir / "out.txt", "by-id/slow] board started"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(station, SIGKILL);
    EXPECT_EQ(waitForExit(station, std::chrono::seconds(10)), 128 + SIGKILL);

    EXPECT_EQ(integrityOf(db), "ok");
    const std::string out = readText(dir / "out.txt");
    std::size_t finished = 0;
    for (auto at = out.find("] programmed in"); at != std::string::npos;
         at = out.find("] programmed in", at + 1)) {
        ++finished;
    }
    const std::vector<nlohmann::json> rows = historyRows(db);
    EXPECT_EQ(rows.size(), finished) << out;
    EXPECT_GE(rows.size(), 1u);
}

TEST_F(ProductionCli, FixtureSlotsStartOnLinesOnStdinAndTheStationEndsWithIt) {
    const std::string one = startBoard("one");
    const std::string two = startBoard("two");
    const fs::path db = dir / "history.sqlite";
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    const pid_t station = ::fork();
    if (station == 0) {
        ::dup2(input[0], STDIN_FILENO);
        ::close(input[1]);
        const int out = ::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execl(VELMORA_CLI, VELMORA_CLI, "station", (dir / "prog.mot").c_str(), "--port",
                one.c_str(), "--port", two.c_str(), "--db", db.c_str(), "--work-dir",
                (dir / "work").c_str(), "--pass-us", passMicroseconds.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(input[0]);
    auto say = [&](const std::string& line) {
        ASSERT_EQ(::write(input[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    };
    say("start 2\n");
    ASSERT_TRUE(waitForText(dir / "out.txt", "[" + two + "] programmed in"))
        << readText(dir / "out.txt");
    EXPECT_EQ(readText(dir / "out.txt").find("[" + one + "] board started"), std::string::npos);
    say("start 7\nstart\n");
    ASSERT_TRUE(waitForText(dir / "out.txt", "programmed in", 3)) << readText(dir / "out.txt");
    ::close(input[1]); // nothing more can start: the station ends
    EXPECT_EQ(waitForExit(station, std::chrono::seconds(20)), 0) << readText(dir / "out.txt");
    const std::string out = readText(dir / "out.txt");
    EXPECT_NE(out.find("velmora-cli: station: no slot 7"), std::string::npos) << out;
    EXPECT_NE(out.find("station: 3 programmed, 0 failed"), std::string::npos) << out;
    EXPECT_EQ(historyRows(db).size(), 3u);
}

} // namespace
