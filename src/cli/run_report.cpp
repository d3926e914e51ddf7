#include "cli/run_report.h"

#include "image/atomic_file.h"
#include "serial/wire_tap.h"

#include <array>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sys/time.h>
#include <variant>

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0.0.0"
#endif

namespace velmora::cli {

namespace {

// SHA-256 of a stream of bytes (FIPS 180-4).
class Sha256 {
public:
    void add(const std::uint8_t* bytes, std::size_t count) {
        length += count;
        while (count > 0) {
            const std::size_t take = std::min(count, block.size() - filled);
            std::memcpy(block.data() + filled, bytes, take);
            filled += take;
            bytes += take;
            count -= take;
            if (filled == block.size()) {
                compress();
                filled = 0;
            }
        }
    }

    std::string hex() {
        const std::uint64_t bits = length * 8;
        const std::uint8_t one = 0x80;
        add(&one, 1);
        const std::uint8_t zero = 0;
        while (filled != 56) {
            add(&zero, 1);
        }
        for (int shift = 56; shift >= 0; shift -= 8) {
            const auto byte = static_cast<std::uint8_t>(bits >> shift);
            add(&byte, 1);
        }
        std::string text;
        char digits[9];
        for (std::uint32_t word : state) {
            std::snprintf(digits, sizeof digits, "%08x", word);
            text += digits;
        }
        return text;
    }

private:
    static std::uint32_t rotate(std::uint32_t value, int count) {
        return (value >> count) | (value << (32 - count));
    }

    void compress() {
        static constexpr std::uint32_t k[64] = {
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
        std::uint32_t w[64];
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
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4],
                      f = state[5], g = state[6], h = state[7];
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
        const std::uint32_t added[8] = {a, b, c, d, e, f, g, h};
        for (int i = 0; i < 8; ++i) {
            state[i] += added[i];
        }
    }

    std::array<std::uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<std::uint8_t, 64> block{};
    std::size_t filled = 0;
    std::uint64_t length = 0;
};

// A JSON string literal of the text (UTF-8 passes as it is).
std::string quoted(const std::string& value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// A JSON value as read back from a report.
struct JsonValue {
    using Object = std::map<std::string, JsonValue>;
    using Array = std::vector<JsonValue>;
    std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>,
                 std::shared_ptr<Object>>
        value;

    const JsonValue& operator[](const std::string& key) const {
        static const JsonValue none;
        if (auto* object = std::get_if<std::shared_ptr<Object>>(&value)) {
            auto found = (*object)->find(key);
            return found != (*object)->end() ? found->second : none;
        }
        return none;
    }
    const Array& array() const {
        static const Array none;
        auto* items = std::get_if<std::shared_ptr<Array>>(&value);
        return items != nullptr ? **items : none;
    }
    std::string string() const {
        auto* text = std::get_if<std::string>(&value);
        return text != nullptr ? *text : std::string();
    }
    double numberValue() const {
        auto* count = std::get_if<double>(&value);
        return count != nullptr ? *count : 0;
    }
    bool isObject() const { return std::holds_alternative<std::shared_ptr<Object>>(value); }
};

// Reads JSON text; false on anything malformed.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text(text) {}

    bool read(JsonValue& out) {
        if (!value(out, 0)) {
            return false;
        }
        skipBlanks();
        return at == text.size();
    }

private:
    void skipBlanks() {
        while (at < text.size() && text[at] != '\0' &&
               std::strchr(" \t\r\n", text[at]) != nullptr) {
            ++at;
        }
    }
    bool literal(const char* word) {
        const std::size_t length = std::strlen(word);
        if (text.compare(at, length, word) != 0) {
            return false;
        }
        at += length;
        return true;
    }
    bool string(std::string& out) {
        if (at >= text.size() || text[at] != '"') {
            return false;
        }
        ++at;
        while (at < text.size() && text[at] != '"') {
            char c = text[at++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= text.size()) {
                return false;
            }
            c = text[at++];
            switch (c) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (at + 4 > text.size()) {
                    return false;
                }
                const std::string digits = text.substr(at, 4);
                char* end = nullptr;
                const unsigned code = static_cast<unsigned>(std::strtoul(digits.c_str(), &end, 16));
                if (end != digits.c_str() + 4) {
                    return false;
                }
                at += 4;
                // Written by us only below 0x20; others as UTF-8 for completeness.
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default:
                out += c; // \" \\ \/
            }
        }
        if (at >= text.size()) {
            return false;
        }
        ++at;
        return true;
    }
    bool value(JsonValue& out, int depth) {
        skipBlanks();
        if (at >= text.size() || depth > 32) {
            return false;
        }
        const char c = text[at];
        if (c == '{') {
            ++at;
            auto object = std::make_shared<JsonValue::Object>();
            skipBlanks();
            if (at < text.size() && text[at] == '}') {
                ++at;
            } else {
                for (;;) {
                    skipBlanks();
                    std::string key;
                    if (!string(key)) {
                        return false;
                    }
                    skipBlanks();
                    if (at >= text.size() || text[at++] != ':' ||
                        !value((*object)[key], depth + 1)) {
                        return false;
                    }
                    skipBlanks();
                    if (at < text.size() && text[at] == ',') {
                        ++at;
                        continue;
                    }
                    if (at < text.size() && text[at] == '}') {
                        ++at;
                        break;
                    }
                    return false;
                }
            }
            out.value = object;
            return true;
        }
        if (c == '[') {
            ++at;
            auto items = std::make_shared<JsonValue::Array>();
            skipBlanks();
            if (at < text.size() && text[at] == ']') {
                ++at;
            } else {
                for (;;) {
                    if (!value(items->emplace_back(), depth + 1)) {
                        return false;
                    }
                    skipBlanks();
                    if (at < text.size() && text[at] == ',') {
                        ++at;
                        continue;
                    }
                    if (at < text.size() && text[at] == ']') {
                        ++at;
                        break;
                    }
                    return false;
                }
            }
            out.value = items;
            return true;
        }
        if (c == '"') {
            std::string textValue;
            if (!string(textValue)) {
                return false;
            }
            out.value = std::move(textValue);
            return true;
        }
        if (literal("true")) {
            out.value = true;
            return true;
        }
        if (literal("false")) {
            out.value = false;
            return true;
        }
        if (literal("null")) {
            out.value = nullptr;
            return true;
        }
        char* end = nullptr;
        const double parsed = std::strtod(text.c_str() + at, &end);
        if (end == text.c_str() + at) {
            return false;
        }
        at = static_cast<std::size_t>(end - text.c_str());
        out.value = parsed;
        return true;
    }

    const std::string& text;
    std::size_t at = 0;
};

std::string formatTime(const timeval& now, int fractionDigits) {
    std::tm parts{};
    gmtime_r(&now.tv_sec, &parts);
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
}

bool RunReport::takeImage(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    Sha256 hash;
    long long size = 0;
    std::array<char, 65536> chunk;
    while (file.read(chunk.data(), chunk.size()) || file.gcount() > 0) {
        hash.add(reinterpret_cast<const std::uint8_t*>(chunk.data()),
                 static_cast<std::size_t>(file.gcount()));
        size += file.gcount();
    }
    if (file.bad()) {
        return false;
    }
    imageSize = size;
    imageSha256 = hash.hex();
    return true;
}

bool RunReport::write(const std::string& path) const {
    std::string out = "{\n";
    out += "    \"tool\": \"velmora-cli\",\n";
    out += "    \"version\": " + quoted(toolVersion()) + ",\n";
    out += "    \"command\": " + quoted(command) + ",\n";
    out += "    \"image\": {\n        \"file\": " + quoted(imageFile);
    if (imageSize >= 0) {
        out += ",\n        \"size\": " + std::to_string(imageSize);
        out += ",\n        \"sha256\": " + quoted(imageSha256);
    }
    out += "\n    },\n    \"boards\": [";
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const BoardRecord& board = boards[i];
        out += i == 0 ? "\n" : ",\n";
        out += "        {\n";
        out += "            \"port\": " + quoted(board.port) + ",\n";
        out += "            \"start\": " + quoted(board.startTime) + ",\n";
        out += "            \"end\": " + quoted(board.endTime) + ",\n";
        out += "            \"seconds\": " + number(board.seconds) + ",\n";
        out += std::string("            \"result\": ") +
               (board.programmed ? "\"programmed\"" : "\"failed\"") + ",\n";
        out += "            \"messages\": [";
        for (std::size_t m = 0; m < board.messages.size(); ++m) {
            out += (m == 0 ? "\n" : ",\n") + std::string(16, ' ') + quoted(board.messages[m]);
        }
        out += board.messages.empty() ? "],\n" : "\n            ],\n";
        out += "            \"bytesSent\": " + std::to_string(board.bytesSent) + ",\n";
        out += "            \"bytesReceived\": " + std::to_string(board.bytesReceived) + "\n";
        out += "        }";
    }
    out += boards.empty() ? "]\n}\n" : "\n    ]\n}\n";
    // A reader never sees half a report.
    return replaceFileAtomically(path, out.data(), out.size());
}

bool RunReport::readBoards(const std::string& path, std::vector<BoardRecord>& boards) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    JsonValue document;
    if (!JsonReader(text).read(document) || !document.isObject()) {
        return false;
    }
    for (const JsonValue& object : document["boards"].array()) {
        BoardRecord board;
        board.port = object["port"].string();
        board.startTime = object["start"].string();
        board.endTime = object["end"].string();
        board.seconds = object["seconds"].numberValue();
        board.programmed = object["result"].string() == "programmed";
        for (const JsonValue& message : object["messages"].array()) {
            board.messages.push_back(message.string());
        }
        board.bytesSent = static_cast<long long>(object["bytesSent"].numberValue());
        board.bytesReceived = static_cast<long long>(object["bytesReceived"].numberValue());
        boards.push_back(std::move(board));
    }
    return true;
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
        if (transcript == nullptr) {
            return;
        }
        std::fprintf(transcript, "%s %s %s %d", timeNow(6).c_str(), sent ? "TX" : "RX",
                     device.c_str(), baud);
        for (int i = 0; i < count; ++i) {
            std::fprintf(transcript, " %02X", bytes[i]);
        }
        std::fputc('\n', transcript);
    });
}

RunRecorder::~RunRecorder() {
    setWireObserver({});
    if (transcript != nullptr) {
        std::fclose(transcript);
    }
}

bool RunRecorder::openTranscript(const std::string& path) {
    std::lock_guard lock(wireMutex);
    transcript = std::fopen(path.c_str(), "w");
    if (transcript != nullptr) {
        std::fprintf(transcript,
                     "# velmora-cli %s wire transcript, port %s\n"
                     "# time (UTC) direction device baud bytes (hex)\n",
                     toolVersion(), record.port.c_str());
    }
    return transcript != nullptr;
}

void RunRecorder::showMessage(std::string_view text, Icon icon) {
    record.messages.emplace_back(text);
    {
        std::lock_guard lock(wireMutex);
        if (transcript != nullptr) { // where in the exchange the operator was told
            std::fprintf(transcript, "%s message %.*s\n", timeNow(6).c_str(),
                         static_cast<int>(text.size()), text.data());
        }
    }
    inner.showMessage(text, icon);
}

void RunRecorder::notify(std::string_view text, Notice kind) {
    record.messages.emplace_back(text);
    {
        std::lock_guard lock(wireMutex);
        if (transcript != nullptr) {
            std::fprintf(transcript, "%s notice %.*s\n", timeNow(6).c_str(),
                         static_cast<int>(text.size()), text.data());
        }
    }
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
    if (transcript != nullptr) {
        std::fflush(transcript);
    }
    return record;
}

} // namespace velmora::cli
