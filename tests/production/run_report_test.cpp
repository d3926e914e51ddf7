// The run recorder: messages in order, bytes counted and transcribed as they
// cross a real pseudo-terminal, and the JSON report written and read back.

#include "cli/run_report.h"
#include "serial/serial_port.h"
#include "support/pty_peer.h"
#include "support/recording_operator.h"

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
using velmora::testing::Bytes;

class RunRecord : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("velmora-report-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string readText(const fs::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir;
};

TEST_F(RunRecord, CountsAndTranscribesTheWireAndKeepsMessagesInOrder) {
    velmora::testing::PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    velmora::testing::RecordingOperator inner;
    velmora::cli::BoardRecord record;
    {
        velmora::cli::RunRecorder recorder(inner, "sim");
        ASSERT_TRUE(recorder.openTranscript((dir / "wire.log").string()));
        velmora::SerialPort port;
        ASSERT_EQ(port.open(peer.devicePath(), 9600), 1);
        recorder.showMessage("first", velmora::Icon::Information);
        ASSERT_EQ(port.send("abc", 3), 3);
        EXPECT_EQ(peer.read(3), (Bytes{'a', 'b', 'c'}));
        peer.write({0x06, 0x15});
        std::uint8_t answer[8] = {};
        ASSERT_TRUE(port.waitForInput(2'000'000));
        int got = 0;
        for (int tries = 0; got < 2 && tries < 100; ++tries) {
            got += port.receive(answer + got, 8 - got);
            if (got < 2) {
                port.waitForInput(20'000);
            }
        }
        ASSERT_EQ(got, 2);
        recorder.showMessage("Time out !", velmora::Icon::Warning);
        port.close();
        record = recorder.finish(false);
    }
    // Everything reached the wrapped operator as well.
    EXPECT_EQ(inner.texts(), (std::vector<std::string>{"first", "Time out !"}));
    EXPECT_EQ(record.messages, (std::vector<std::string>{"first", "Time out !"}));
    EXPECT_EQ(record.port, "sim");
    EXPECT_FALSE(record.programmed);
    EXPECT_EQ(record.bytesSent, 3);
    EXPECT_EQ(record.bytesReceived, 2);
    EXPECT_LE(record.startTime, record.endTime);

    std::string transcript = readText(dir / "wire.log");
    // The port hands its bytes to the device one by one: one line each, in order.
    const std::string sent = "TX " + fs::canonical(peer.devicePath()).string() + " 9600 ";
    std::size_t a = transcript.find(sent + "61\n");
    std::size_t b = transcript.find(sent + "62\n");
    std::size_t c = transcript.find(sent + "63\n");
    ASSERT_NE(a, std::string::npos) << transcript;
    EXPECT_LT(a, b) << transcript;
    EXPECT_LT(b, c) << transcript;
    EXPECT_NE(c, std::string::npos) << transcript;
    EXPECT_NE(transcript.find(" 9600 06 15\n"), std::string::npos) << transcript;
    // Messages sit in the transcript where they were shown: after the bytes before them.
    EXPECT_LT(transcript.find("message first"), transcript.find("TX "));
    EXPECT_LT(transcript.find(" 06 15\n"), transcript.find("message Time out !"));
}

TEST_F(RunRecord, NothingIsCountedOnceTheRecorderIsGone) {
    velmora::testing::PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    velmora::testing::RecordingOperator inner;
    { velmora::cli::RunRecorder recorder(inner, "1"); }
    velmora::SerialPort port;
    ASSERT_EQ(port.open(peer.devicePath(), 2400), 1);
    // The tap is empty again: sending must not reach a recorder that is gone.
    EXPECT_EQ(port.send("x", 1), 1);
    EXPECT_EQ(peer.read(1), (Bytes{'x'}));
}

TEST_F(RunRecord, ReportCarriesTheImageHashAndEveryBoard) {
    std::ofstream(dir / "tmp.bin", std::ios::binary) << "abc";
    velmora::cli::RunReport report;
    report.command = "velmora-cli flash prog.mot --port 1 --port 2";
    report.imageFile = "prog.mot";
    ASSERT_TRUE(report.takeImage((dir / "tmp.bin").string()));
    EXPECT_FALSE(velmora::cli::RunReport().takeImage((dir / "absent.bin").string()));
    velmora::cli::BoardRecord good{"1",
                                   "2026-01-01T00:00:00.000Z",
                                   "2026-01-01T00:00:01.000Z",
                                   1.0,
                                   true,
                                   {"Porgramming successfully !"},
                                   1000,
                                   20};
    velmora::cli::BoardRecord bad{"2",
                                  "2026-01-01T00:00:00.000Z",
                                  "2026-01-01T00:00:05.000Z",
                                  5.0,
                                  false,
                                  {"Time out !", "System not Ready(A) !"},
                                  8,
                                  0};
    report.boards = {good, bad};
    ASSERT_TRUE(report.write((dir / "report.json").string()));

    QFile file(QString::fromStdString((dir / "report.json").string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(root["tool"].toString(), "velmora-cli");
    EXPECT_FALSE(root["version"].toString().isEmpty());
    EXPECT_EQ(root["command"].toString().toStdString(), report.command);
    QJsonObject image = root["image"].toObject();
    EXPECT_EQ(image["file"].toString(), "prog.mot");
    EXPECT_EQ(image["size"].toInteger(), 3);
    EXPECT_EQ(image["sha256"].toString(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QJsonArray boards = root["boards"].toArray();
    ASSERT_EQ(boards.size(), 2);
    EXPECT_EQ(boards[1].toObject()["result"].toString(), "failed");
    EXPECT_EQ(boards[1].toObject()["messages"].toArray()[1].toString(), "System not Ready(A) !");

    std::vector<velmora::cli::BoardRecord> back;
    ASSERT_TRUE(velmora::cli::RunReport::readBoards((dir / "report.json").string(), back));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].messages, good.messages);
    EXPECT_TRUE(back[0].programmed);
    EXPECT_EQ(back[0].bytesSent, 1000);
    EXPECT_EQ(back[1].messages, bad.messages);
    EXPECT_EQ(back[1].endTime, bad.endTime);
    EXPECT_FALSE(back[1].programmed);
}

} // namespace
