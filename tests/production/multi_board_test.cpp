// Many boards at once: every board's run in a process of its own, its lines
// kept to its port, its result in the summary and the report. The runs here
// are shell scripts that print what a board's run prints, progress drawings
// included, so the runs can be told apart and made to fail on purpose.

#include "cli/multi_board.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using velmora::cli::BoardOutputReader;
using velmora::cli::BoardProgress;

TEST(BoardOutput, SplitsMessagesFromProgressDrawings) {
    BoardOutputReader reader;
    BoardProgress progress;
    // As a run prints on its terminal: a message, progress redrawn in place
    // (cut anywhere by the reads), a line end before the next message.
    std::vector<std::string> lines =
        reader.take("Please check file\n\r\033[KProgramming [###", progress);
    EXPECT_EQ(lines, (std::vector<std::string>{"Please check file"}));
    EXPECT_EQ(progress.percent, -1);
    lines = reader.take("...] Writing  1024/4096 bytes  960 B/s\r\033[KProgramming [######] "
                        "Writing  2048/4096 bytes  980 B/s",
                        progress);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(progress.bytes, 1024); // the second drawing is not finished yet
    lines = reader.take("\nPorgramming successfully !\nTime", progress);
    EXPECT_EQ(lines, (std::vector<std::string>{"Porgramming successfully !"}));
    EXPECT_EQ(progress.bytes, 2048);
    EXPECT_EQ(progress.total, 4096);
    EXPECT_EQ(progress.percent, 50);
    EXPECT_EQ(progress.rate, 980);
    EXPECT_EQ(progress.state, "Writing");
    EXPECT_EQ(reader.finish(progress), (std::vector<std::string>{"Time"}));
}

TEST(BoardOutput, NamesFilesAfterPorts) {
    EXPECT_EQ(velmora::cli::portFileName("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(velmora::cli::portFileName("sim#2"), "sim-2");
    EXPECT_EQ(velmora::cli::portFileName(".."), "port");
    EXPECT_EQ(velmora::cli::boardLogPath("/tmp/x/wire.log", "ttyS0"), "/tmp/x/wire-ttyS0.log");
}

class ManyBoards : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("velmora-many-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // The run of a board: called as `sh -c SCRIPT --port P --work-dir D --report R`,
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

// Every board writes its port into its own folder and says so; port "bad" fails.
const std::string boardScript = R"(
port=$1; folder=$3
echo "start $port"
printf '\r\033[KProgramming [##....] Writing  128/256 bytes  100 B/s'
sleep 0.2
printf '\n'
if [ "$port" = bad ]; then echo "Time out !" >&2; echo "System not Ready(A) !" >&2; exit 1; fi
echo "$port" > "$folder/flash.txt"
echo "Porgramming successfully !"
)";

TEST_F(ManyBoards, EachBoardKeepsItsOwnLinesAndOneFailureFailsTheRun) {
    auto run = scripted(boardScript);
    run.ports = {"/dev/ttyA", "bad", "/dev/ttyB"};
    ::testing::internal::CaptureStdout();
    int code = velmora::cli::runOnEveryPort(run);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 1);
    // Without a terminal every line carries its port.
    EXPECT_NE(out.find("[/dev/ttyA] start /dev/ttyA\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[bad] Time out !\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[/dev/ttyB] Porgramming successfully !\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("[/dev/ttyA] Time out"), std::string::npos) << out;
    EXPECT_EQ(out.find("Writing  128"), std::string::npos) << out; // progress is not a message
    EXPECT_NE(out.find("3 boards: 2 programmed, 1 failed"), std::string::npos) << out;

    // Each run worked in a folder of its own.
    std::ifstream a(dir / "work" / "ttyA" / "flash.txt");
    std::string written;
    std::getline(a, written);
    EXPECT_EQ(written, "/dev/ttyA");
    EXPECT_FALSE(fs::exists(dir / "work" / "bad" / "flash.txt"));

    // These runs write no report of their own: the report holds what they showed.
    QFile file(QString::fromStdString(run.reportPath));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonArray boards = QJsonDocument::fromJson(file.readAll()).object()["boards"].toArray();
    ASSERT_EQ(boards.size(), 3);
    QJsonObject bad = boards[1].toObject();
    EXPECT_EQ(bad["port"].toString(), "bad");
    EXPECT_EQ(bad["result"].toString(), "failed");
    QJsonArray messages = bad["messages"].toArray();
    ASSERT_EQ(messages.size(), 3);
    EXPECT_EQ(messages[0].toString(), "start bad");
    EXPECT_EQ(messages[1].toString(), "Time out !");
    EXPECT_EQ(messages[2].toString(), "System not Ready(A) !");
    EXPECT_EQ(boards[2].toObject()["result"].toString(), "programmed");
}

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

TEST_F(ManyBoards, ARunThatCannotStartFailsOnlyItsBoard) {
    auto run = scripted(boardScript);
    run.program = (dir / "absent-program").string();
    run.arguments = {};
    run.ports = {"1", "2"};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(velmora::cli::runOnEveryPort(run), 1);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("2 boards: 0 programmed, 2 failed"), std::string::npos) << out;
}

} // namespace
