#include "cli/run_report.h"

#include "core/sha256.h"
#include "serial/ports.h"

#include <array>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sys/time.h>
#ifdef _WIN32
#include <windows.h>
#endif

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0.0.0"
#endif

namespace velmora::cli {

namespace {

std::string formatTime(const timeval& now, int fractionDigits) {
    std::tm parts{};
    const std::time_t seconds = now.tv_sec;
#ifdef _WIN32
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char whole[32];
    std::strftime(whole, sizeof whole, "%Y-%m-%dT%H:%M:%S", &parts);
    char fraction[24];
    if (fractionDigits == 6) {
        std::snprintf(fraction, sizeof fraction, ".%06ld", static_cast<long>(now.tv_usec));
    } else {
        std::snprintf(fraction, sizeof fraction, ".%03ld", static_cast<long>(now.tv_usec / 1000));
    }
    return std::string(whole) + fraction + "Z";
}

std::string timeNow(int fractionDigits) {
    timeval now{};
    gettimeofday(&now, nullptr);
    return formatTime(now, fractionDigits);
}

} // namespace

const char* toolVersion() {
    return VELMORA_VERSION;
}

std::string isoTimeNow() {
    return timeNow(3);
}

std::string commandLineOfThisProcess() {
#ifdef _WIN32
    return ::GetCommandLineA();
#else
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string words((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!words.empty() && words.back() == '\0') {
        words.pop_back();
    }
    for (char& c : words) {
        if (c == '\0') {
            c = ' ';
        }
    }
    return words;
#endif
}

std::string sha256Hex(const std::string& bytes) {
    Sha256 hash;
    hash.add(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return hash.hex();
}

bool RunReport::takeImage(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return false; // a FIFO that took the image holds it no more
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    Sha256 hash;
    long long size = 0;
    char chunk[16384];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        hash.add(reinterpret_cast<const unsigned char*>(chunk),
                 static_cast<std::size_t>(in.gcount()));
        size += in.gcount();
    }
    if (in.bad()) {
        return false;
    }
    imageSize = size;
    imageSha256 = hash.hex();
    return true;
}

nlohmann::ordered_json boardRecordJson(const BoardRecord& record) {
    nlohmann::ordered_json object;
    object["port"] = record.port;
    object["start"] = record.startTime;
    object["end"] = record.endTime;
    object["seconds"] = std::round(record.seconds * 1000) / 1000; // to the millisecond
    object["result"] = record.result();
    object["stage"] = record.stage.empty() ? nlohmann::ordered_json(nullptr)
                                           : nlohmann::ordered_json(record.stage);
    object["cause"] = record.cause.empty() ? nlohmann::ordered_json(nullptr)
                                           : nlohmann::ordered_json(record.cause);
    if (record.endedBeforeChecksum) {
        object["endedBeforeChecksum"] = true;
    }
    object["messages"] = record.messages;
    object["bytesSent"] = record.bytesSent;
    object["bytesReceived"] = record.bytesReceived;
    return object;
}

std::string jsonText(const nlohmann::ordered_json& value, int indent) {
    // A text that is not UTF-8 (a device path, say) is written with U+FFFD in
    // place of its bad bytes rather than failing the report.
    return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string RunReport::toJson() const {
    nlohmann::ordered_json root;
    root["tool"] = "velmora-cli";
    root["version"] = toolVersion();
    root["command"] = command;
    nlohmann::ordered_json& image = root["image"];
    image["file"] = imageFile;
    if (imageSize >= 0) {
        image["size"] = imageSize;
        image["sha256"] = imageSha256;
    }
    root["boards"] = nlohmann::ordered_json::array();
    for (const BoardRecord& board : boards) {
        root["boards"].push_back(boardRecordJson(board));
    }
    return jsonText(root, 4) + "\n";
}

bool RunReport::write(PublishedFile& file) const {
    return file.write(toJson()) && file.commit();
}

RunRecorder::RunRecorder(Operator& wrapped, std::string port, Ports& runPorts)
    : inner(wrapped), ports(runPorts), started(std::chrono::steady_clock::now()) {
    record.port = std::move(port);
    record.startTime = isoTimeNow();
    runPorts.setWireObserver([this](const std::string& device, WireDirection direction, int baud,
                                    const std::uint8_t* bytes, int count) {
        std::lock_guard lock(wireMutex);
        bool sent = direction == WireDirection::Sent;
        (sent ? record.bytesSent : record.bytesReceived) += count;
        if (!transcript.isOpen() && !wireShown) {
            return;
        }
        std::string line = (sent ? "TX " : "RX ") + device + " " + std::to_string(baud);
        for (int i = 0; i < count; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
            line += hex;
        }
        if (wireShown) {
            wireShown(line);
        }
        if (transcript.isOpen()) {
            transcript.write(timeNow(6) + " " + line + "\n");
        }
    });
}

RunRecorder::~RunRecorder() {
    ports.setWireObserver({});
}

bool RunRecorder::openTranscript(const std::string& path) {
    std::lock_guard lock(wireMutex);
    return transcript.open(path) &&
           transcript.write(std::string("# velmora-cli ") + toolVersion() +
                            " wire transcript, port " + record.port +
                            "\n# time (UTC) direction device baud bytes (hex)\n");
}

bool RunRecorder::closeTranscript() {
    std::lock_guard lock(wireMutex);
    return transcript.commit();
}

void RunRecorder::showWire(std::function<void(const std::string&)> show) {
    std::lock_guard lock(wireMutex);
    wireShown = std::move(show);
}

std::string RunRecorder::transcriptError() const {
    std::lock_guard lock(wireMutex);
    return transcript.error();
}

void RunRecorder::transcribe(const std::string& line) {
    std::lock_guard lock(wireMutex);
    if (transcript.isOpen()) {
        transcript.write(timeNow(6) + " " + line + "\n");
    }
}

void RunRecorder::showMessage(std::string_view text, Icon icon) {
    record.messages.emplace_back(text);
    transcribe("message " + std::string(text)); // where in the exchange the operator was told
    inner.showMessage(text, icon);
}

void RunRecorder::notify(std::string_view text, Notice kind) {
    record.messages.emplace_back(text);
    transcribe("notice " + std::string(text));
    inner.notify(text, kind);
}

int RunRecorder::runExchange(Exchange& exchange) {
    return inner.runExchange(exchange);
}

void RunRecorder::pause(int passes) {
    inner.pause(passes);
}

BoardRecord RunRecorder::finish(bool programmed) {
    std::lock_guard lock(wireMutex);
    record.programmed = programmed;
    record.endTime = isoTimeNow();
    record.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return record;
}

} // namespace velmora::cli
