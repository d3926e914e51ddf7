// velmora-cli programming several simulated boards at once, one of them
// silent: the good boards end with the program, the silent one fails with its
// own messages, and the report and transcripts say so board by board.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string s1Record(unsigned address, const std::vector<unsigned>& data) {
    unsigned count = static_cast<unsigned>(data.size()) + 3;
    unsigned sum = count + (address >> 8) + (address & 0xFF);
    char text[8];
    std::string line = "S1";
    std::snprintf(text, sizeof text, "%02X%04X", count, address);
    line += text;
    for (unsigned byte : data) {
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
        sum += byte;
    }
    std::snprintf(text, sizeof text, "%02X", (~sum) & 0xFF);
    return line + text + "\r\n";
}

unsigned programByte(unsigned address) {
    return (address * 7 + 1) & 0xFF;
}
constexpr unsigned programSize = 300;

class ProductionCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("velmora-production-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream mot(dir / "prog.mot", std::ios::binary);
        mot << "S00600004844521B\r\n";
        for (unsigned address = 0; address < programSize; address += 16) {
            std::vector<unsigned> data;
            for (unsigned i = 0; i < 16 && address + i < programSize; ++i) {
                data.push_back(programByte(address + i));
            }
            mot << s1Record(address, data);
        }
        mot << "S9030000FC\r\n";
    }
    void TearDown() override {
        for (pid_t board : boards) {
            ::kill(board, SIGTERM);
            ::waitpid(board, nullptr, 0);
        }
        fs::remove_all(dir);
    }

    // A velmora-sim on dir/NAME, writing its flash to dir/NAME.bin.
    std::string startBoard(const std::string& name, std::vector<std::string> faults = {}) {
        std::vector<std::string> words{VELMORA_SIM, "--link", (dir / name).string(), "--flash-out",
                                       (dir / (name + ".bin")).string()};
        words.insert(words.end(), faults.begin(), faults.end());
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (auto& word : words) {
                argv.push_back(word.data());
            }
            argv.push_back(nullptr);
            int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        boards.push_back(pid);
        for (int tries = 0; tries < 500 && !fs::exists(dir / name); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return (dir / name).string();
    }

    int run(const std::string& arguments) {
        std::string command = std::string(VELMORA_CLI) + " " + arguments + " --pass-us 0 >" +
                              (dir / "out.txt").string() + " 2>" + (dir / "err.txt").string() +
                              " </dev/null";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

    int code =
        run("flash " + (dir / "prog.mot").string() + " --port " + first + " --port " + silent +
            " --port " + third + " --work-dir " + (dir / "work").string() + " --report " +
            (dir / "report.json").string() + " --log " + (dir / "wire.log").string());
    std::string out = readText(dir / "out.txt");
    EXPECT_EQ(code, 1) << out << readText(dir / "err.txt");

    // Lines carry their port and only their own news.
    EXPECT_NE(out.find("[" + first + "] Porgramming successfully !\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[" + third + "] Porgramming successfully !\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[" + silent + "] Time out !\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("[" + silent + "] Porgramming"), std::string::npos) << out;
    EXPECT_EQ(out.find("[" + first + "] Time out"), std::string::npos) << out;
    EXPECT_NE(out.find("3 boards: 2 programmed, 1 failed"), std::string::npos) << out;

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

} // namespace
