#include "cli/run_report.h"

#include "serial/wire_tap.h"

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

// SHA-256 (FIPS 180-4), for the image's fingerprint in the report.
class Sha256 {
public:
    void add(const unsigned char* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            block[used++] = bytes[i];
            if (used == block.size()) {
                compress();
                used = 0;
            }
        }
        length += count;
    }

    std::string hex() {
        const std::uint64_t bits = length * 8;
        const unsigned char one = 0x80;
        add(&one, 1);
        const unsigned char zero = 0;
        while (used != 56) {
            add(&zero, 1);
        }
        for (int shift = 56; shift >= 0; shift -= 8) {
            const auto byte = static_cast<unsigned char>(bits >> shift);
            add(&byte, 1);
        }
        std::string out;
        for (std::uint32_t word : state) {
            char text[9];
            std::snprintf(text, sizeof text, "%08x", word);
            out += text;
        }
        return out;
    }

private:
    static std::uint32_t rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void compress() {
        static constexpr std::array<std::uint32_t, 64> k{
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2};
        std::array<std::uint32_t, 64> w{};
        for (int i = 0; i < 16; ++i) {
            w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16 |
                   std::uint32_t(block[4 * i + 2]) << 8 | std::uint32_t(block[4 * i + 3]);
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 =
                rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        auto [a, b, c, d, e, f, g, h] = state;
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = h + (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) +
                                     ((e & f) ^ (~e & g)) + k[i] + w[i];
            const std::uint32_t t2 =
                (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const std::array<std::uint32_t, 8> add{a, b, c, d, e, f, g, h};
        for (int i = 0; i < 8; ++i) {
            state[i] += add[i];
        }
    }

    std::array<std::uint32_t, 8> state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block{};
    std::size_t used = 0;
    std::uint64_t length = 0;
};

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

RunRecorder::RunRecorder(Operator& inner, std::string port)
    : inner(inner), started(std::chrono::steady_clock::now()) {
    record.port = std::move(port);
    record.startTime = isoTimeNow();
    setWireObserver([this](const std::string& device, WireDirection direction, int baud,
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
    setWireObserver({});
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
