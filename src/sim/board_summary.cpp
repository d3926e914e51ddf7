#include "sim/board_summary.h"

#include <cstdio>

namespace velmora {

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
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

std::string numbers(const std::vector<int>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i ? ", " : "") + std::to_string(values[i]);
    }
    return out + "]";
}

} // namespace

std::string BoardSummary::toJson() const {
    std::string out = "{\n";
    out += "  \"mode\": " + quoted(mode) + ",\n";
    out += "  \"completedWrites\": " + std::to_string(completedWrites) + ",\n";
    out += "  \"failedWrites\": " + std::to_string(failedWrites) + ",\n";
    out += "  \"bootDownloads\": " + std::to_string(bootDownloads) + ",\n";
    out += "  \"bytesReceived\": " + std::to_string(bytesReceived) + ",\n";
    out += "  \"bytesSent\": " + std::to_string(bytesSent) + ",\n";
    out += "  \"ignoredBytes\": " + std::to_string(ignoredBytes) + ",\n";
    out += std::string("  \"linkDropped\": ") + (linkDropped ? "true" : "false") + ",\n";
    out += "  \"faultsInjected\": [";
    for (std::size_t i = 0; i < faultsInjected.size(); ++i) {
        out += (i ? ", " : "") + quoted(faultsInjected[i]);
    }
    out += "],\n  \"writes\": [";
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const WriteRecord& w = writes[i];
        out += i ? ",\n    " : "\n    ";
        out += "{\"stage\": " + quoted(w.stage) + ", \"size\": " + std::to_string(w.size) +
               ", \"blocksExpected\": " + std::to_string(w.blocksExpected) +
               ", \"blocksReceived\": " + std::to_string(w.blocksReceived) +
               ", \"baud\": " + std::to_string(w.baud) +
               ", \"checksumExpected\": " + std::to_string(w.checksumExpected) +
               ", \"checksumReceived\": " + std::to_string(w.checksumReceived) +
               ", \"checksumOk\": " +
               (w.checksumReceived >= 0 && w.checksumReceived == w.checksumExpected ? "true"
                                                                                    : "false") +
               ", \"outcome\": " + quoted(w.outcome) + "}";
    }
    out += writes.empty() ? "],\n" : "\n  ],\n";
    out += "  \"messages\": [";
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const MessageRecord& m = messages[i];
        out += i ? ",\n    " : "\n    ";
        out += "{\"kind\": " + quoted(m.kind) + ", \"bytes\": " + std::to_string(m.bytes) +
               ", \"bauds\": " + numbers(m.bauds) +
               ", \"frameOk\": " + (m.frameOk ? "true" : "false") +
               ", \"rateUncertain\": " + (m.rateUncertain ? "true" : "false") +
               ", \"result\": " + quoted(m.result) + ", \"reply\": " + std::to_string(m.reply) +
               "}";
    }
    out += messages.empty() ? "]\n" : "\n  ]\n";
    out += "}\n";
    return out;
}

} // namespace velmora
