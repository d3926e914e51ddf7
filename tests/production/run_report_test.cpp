// The run recorder: messages in order, bytes counted and transcribed as they
// cross a real pseudo-terminal; the JSON report; the channel a board's run
// reports on.

#include "cli/progress_channel.h"
#include "cli/run_report.h"
#include "core/file_io.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#include "support/pty_peer.h"
#include "support/recording_operator.h"
#include "support/test_files.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using velmora::testing::Bytes;
using velmora::testing::readText;

class RunRecord : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("velmora-report-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

TEST_F(RunRecord, CountsAndTranscribesTheWireAndKeepsMessagesInOrder) {
    velmora::testing::PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    velmora::testing::RecordingOperator inner;
    velmora::cli::BoardRecord record;
    {
        velmora::Ports ports;
        velmora::cli::RunRecorder recorder(inner, "sim", ports);
        ASSERT_TRUE(recorder.openTranscript((dir / "wire.log").string()));
        velmora::SerialPort port(ports);
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
        // Nothing shows under the transcript's name before it is published.
        EXPECT_FALSE(fs::exists(dir / "wire.log"));
        ASSERT_TRUE(recorder.closeTranscript()) << recorder.transcriptError();
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
    velmora::Ports ports;
    { velmora::cli::RunRecorder recorder(inner, "1", ports); }
    velmora::SerialPort port(ports);
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
    bad.interrupted = true;
    bad.stage = "command block";
    report.boards = {good, bad};
    velmora::PublishedFile file;
    ASSERT_TRUE(file.open((dir / "report.json").string())) << file.error();
    ASSERT_TRUE(report.write(file)) << file.error();

    QFile json(QString::fromStdString((dir / "report.json").string()));
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    QJsonParseError parseError;
    QJsonObject root = QJsonDocument::fromJson(json.readAll(), &parseError).object();
    ASSERT_EQ(parseError.error, QJsonParseError::NoError) << report.toJson();
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
    EXPECT_EQ(boards[0].toObject()["result"].toString(), "programmed");
    EXPECT_EQ(boards[0].toObject()["bytesSent"].toInteger(), 1000);
    EXPECT_EQ(boards[1].toObject()["result"].toString(), "interrupted");
    EXPECT_EQ(boards[1].toObject()["messages"].toArray()[1].toString(), "System not Ready(A) !");
    EXPECT_EQ(boards[1].toObject()["end"].toString().toStdString(), bad.endTime);
    EXPECT_EQ(boards[1].toObject()["stage"].toString(), "command block");
    EXPECT_TRUE(boards[1].toObject()["cause"].isNull()); // a board that did not answer

    // Texts that JSON must escape, and hashes longer than one block.
    report.command = "say \"hi\"\t\\ \x01";
    report.boards.clear();
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(report.toJson()))
                  .object()["command"]
                  .toString()
                  .toStdString(),
              report.command);
    EXPECT_EQ(velmora::cli::sha256Hex(""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(velmora::cli::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(ProgressChannel, EventsCrossAPipeInAnyPiecesAndTextCannotBreakALine) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    velmora::cli::ProgressWriter writer(ends[1]);
    writer.progress(256, 1024, 980, "25 %");
    writer.message("failure", "Time\tout\n!");
    velmora::cli::BoardRecord record;
    record.interrupted = true;
    record.bytesSent = 300;
    record.bytesReceived = 4;
    record.seconds = 1.5;
    record.startTime = "2026-01-01T00:00:00.000Z";
    record.endTime = "2026-01-01T00:00:01.500Z";
    record.stage = "block 2 of 8";
    record.cause = "/dev/ttyUSB0: Input/output\terror";
    writer.end(record);
    ::close(ends[1]);
    std::string bytes;
    char buffer[256];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(ends[0]);

    velmora::cli::ProgressReader reader;
    std::vector<velmora::cli::ChannelEvent> events;
    for (char c : bytes) { // one byte at a time: every line is cut everywhere
        for (auto& event : reader.take(std::string_view(&c, 1))) {
            events.push_back(std::move(event));
        }
    }
    using Kind = velmora::cli::ChannelEvent::Kind;
    ASSERT_EQ(events.size(), 3u) << bytes;
    EXPECT_EQ(events[0].kind, Kind::Progress);
    EXPECT_EQ(events[0].value, 256);
    EXPECT_EQ(events[0].maximum, 1024);
    EXPECT_EQ(events[0].rate, 980);
    EXPECT_EQ(events[0].text, "25 %");
    EXPECT_EQ(events[1].kind, Kind::Message);
    EXPECT_EQ(events[1].messageKind, "failure");
    EXPECT_EQ(events[1].text, "Time out !");
    EXPECT_EQ(events[2].kind, Kind::End);
    EXPECT_TRUE(events[2].record.interrupted);
    EXPECT_EQ(events[2].record.result(), "interrupted");
    EXPECT_EQ(events[2].record.bytesSent, 300);
    EXPECT_EQ(events[2].record.bytesReceived, 4);
    EXPECT_DOUBLE_EQ(events[2].record.seconds, 1.5);
    EXPECT_EQ(events[2].record.endTime, record.endTime);
    EXPECT_EQ(events[2].record.stage, "block 2 of 8");
    EXPECT_EQ(events[2].record.cause, "/dev/ttyUSB0: Input/output error");
}

} // namespace
