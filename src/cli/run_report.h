#pragma once

#include "core/file_io.h"
#include "core/operator.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace velmora {
class Ports;
}

namespace velmora::cli {

// What one board's run showed, for the run report.
struct BoardRecord {
    std::string port;
    std::string startTime; // ISO 8601, UTC
    std::string endTime;
    double seconds = 0;
    bool programmed = false;
    std::vector<std::string> messages; // in the order the run showed them
    long long bytesSent = 0;
    long long bytesReceived = 0;
    bool interrupted = false; // a signal ended the run
    // The board ended a transfer after its last block, before the checksum
    // (the only check of the data) was sent.
    bool endedBeforeChecksum = false;
    // Where the run ended ("command block", "block 3 of 8", "finished") and
    // the system's reason, from the run's record; empty when unknown.
    std::string stage{};
    std::string cause{};

    // "programmed", "failed" or "interrupted".
    std::string result() const {
        return interrupted ? "interrupted" : programmed ? "programmed" : "failed";
    }
};

// The JSON report of a programming run: the tool, the command, the image and
// every board's record.
struct RunReport {
    std::string command;
    std::string imageFile;
    long long imageSize = -1; // the built image the boards are sent (tmp.bin)
    std::string imageSha256;
    std::vector<BoardRecord> boards;

    // Size and SHA-256 of the built image in path; false when unreadable.
    bool takeImage(const std::string& path);
    std::string toJson() const;
    // Writes the report into a file opened before the run and publishes it;
    // false (and file.error()) when any of it fails.
    bool write(PublishedFile& file) const;
};

// One board's record as the report and --json give it: port, start, end,
// seconds, result, stage, cause, messages, bytesSent, bytesReceived.
nlohmann::ordered_json boardRecordJson(const BoardRecord& record);
// A JSON value as text: on one line (indent -1) or indented.
std::string jsonText(const nlohmann::ordered_json& value, int indent = -1);

// Lowercase hex SHA-256 of a byte string.
std::string sha256Hex(const std::string& bytes);

// This process's command line as it was given, words joined by spaces.
std::string commandLineOfThisProcess();
std::string isoTimeNow();
// The tool's version.
const char* toolVersion();

// Passes everything on to the operator it wraps and keeps what the run
// showed; counts the bytes on the wire and, given a file, writes a transcript
// of them (time, device, direction, baud, hex bytes). One per run: it owns
// the wire tap of the run's ports while it lives.
class RunRecorder : public Operator {
public:
    // Watches the wire of `ports` until it ends.
    RunRecorder(Operator& wrapped, std::string port, Ports& runPorts);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // Starts the transcript; false when the file can't be created.
    bool openTranscript(const std::string& path);
    // Publishes the transcript; false when any of it could not be written.
    bool closeTranscript();
    // Why the transcript failed, with the system's reason.
    std::string transcriptError() const;
    // Every run of bytes on the wire also goes to `show` as it crosses
    // ("TX /dev/ttyUSB0 2400 72 65 ..."), for -v.
    void showWire(std::function<void(const std::string&)> show);

    void showMessage(std::string_view text, Icon icon) override;
    int runExchange(Exchange& exchange) override;
    void pause(int passes) override;
    void notify(std::string_view text, Notice kind) override;

    // The record of the run, ended now.
    BoardRecord finish(bool programmed);

private:
    void transcribe(const std::string& line);

    Operator& inner;
    Ports& ports;
    BoardRecord record;
    std::chrono::steady_clock::time_point started;
    mutable std::mutex wireMutex;
    PublishedFile transcript;
    std::function<void(const std::string&)> wireShown;
};

} // namespace velmora::cli
