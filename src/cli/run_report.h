#pragma once

#include "core/operator.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

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
    bool write(const std::string& path) const;
    // The boards of a report written by write(); false when unreadable.
    static bool readBoards(const std::string& path, std::vector<BoardRecord>& boards);
};

// This process's command line as it was given, words joined by spaces.
std::string commandLineOfThisProcess();
std::string isoTimeNow();
// The tool's version.
const char* toolVersion();

// Passes everything on to the operator it wraps and keeps what the run
// showed; counts the bytes on the wire and, given a file, writes a transcript
// of them (time, device, direction, baud, hex bytes). One per process: it
// owns the process's wire tap while it lives.
class RunRecorder : public Operator {
public:
    RunRecorder(Operator& inner, std::string port);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // Starts the transcript; false when the file can't be written.
    bool openTranscript(const std::string& path);

    void showMessage(std::string_view text, Icon icon) override;
    int runExchange(Exchange& exchange) override;
    void pause(int passes) override;
    void notify(std::string_view text, Notice kind) override;

    // The record of the run, ended now.
    BoardRecord finish(bool programmed);

private:
    Operator& inner;
    BoardRecord record;
    std::chrono::steady_clock::time_point started;
    std::mutex wireMutex;
    std::FILE* transcript = nullptr;
};

} // namespace velmora::cli
