#include "cli/progress_channel.h"

#include "core/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace velmora::cli {

namespace {

// Free text never breaks the line or its fields.
std::string field(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return out;
}

std::vector<std::string> splitFields(const std::string& line, std::size_t count) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (fields.size() + 1 < count) {
        std::size_t tab = line.find('\t', start);
        if (tab == std::string::npos) {
            break;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

long long number(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

} // namespace

void ProgressWriter::send(std::string line) {
    line += '\n';
    // A write that fails means the parent is gone; the board's run goes on.
    writeWhole(fd, line.data(), line.size());
}

void ProgressWriter::progress(long long value, long long maximum, long long rate,
                              std::string_view status) {
    send("progress\t" + std::to_string(value) + "\t" + std::to_string(maximum) + "\t" +
         std::to_string(rate) + "\t" + field(status));
}

void ProgressWriter::stage(std::string_view caption) {
    send("stage\t" + field(caption));
}

void ProgressWriter::message(std::string_view kind, std::string_view text) {
    send("message\t" + field(kind) + "\t" + field(text));
}

void ProgressWriter::wire(std::string_view line) {
    send("wire\t" + field(line));
}

void ProgressWriter::end(const BoardRecord& record) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", record.seconds);
    send("end\t" + record.result() + "\t" + std::to_string(record.bytesSent) + "\t" +
         std::to_string(record.bytesReceived) + "\t" + seconds + "\t" + field(record.startTime) +
         "\t" + field(record.endTime) + "\t" +
         (record.endedBeforeChecksum ? "unchecked" : "checked") + "\t" + field(record.stage) +
         "\t" + field(record.cause));
}

std::vector<ChannelEvent> ProgressReader::take(std::string_view bytes) {
    std::vector<ChannelEvent> events;
    pending.append(bytes);
    std::size_t lineEnd;
    while ((lineEnd = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, lineEnd);
        pending.erase(0, lineEnd + 1);
        const std::string kind = line.substr(0, line.find('\t'));
        ChannelEvent event;
        if (kind == "stage" || kind == "wire") {
            auto fields = splitFields(line, 2);
            if (fields.size() != 2) {
                continue;
            }
            event.kind = kind == "stage" ? ChannelEvent::Kind::Stage : ChannelEvent::Kind::Wire;
            event.text = fields[1];
        } else if (kind == "progress") {
            auto fields = splitFields(line, 5);
            if (fields.size() != 5) {
                continue;
            }
            event.kind = ChannelEvent::Kind::Progress;
            event.value = number(fields[1]);
            event.maximum = number(fields[2]);
            event.rate = number(fields[3]);
            event.text = fields[4];
        } else if (kind == "message") {
            auto fields = splitFields(line, 3);
            if (fields.size() != 3) {
                continue;
            }
            event.kind = ChannelEvent::Kind::Message;
            event.messageKind = fields[1];
            event.text = fields[2];
        } else if (kind == "end") {
            auto fields = splitFields(line, 10);
            if (fields.size() < 7) {
                continue;
            }
            event.kind = ChannelEvent::Kind::End;
            event.record.programmed = fields[1] == "programmed";
            event.record.interrupted = fields[1] == "interrupted";
            event.record.bytesSent = number(fields[2]);
            event.record.bytesReceived = number(fields[3]);
            event.record.seconds = std::strtod(fields[4].c_str(), nullptr);
            event.record.startTime = fields[5];
            event.record.endTime = fields[6];
            event.record.endedBeforeChecksum = fields.size() > 7 && fields[7] == "unchecked";
            if (fields.size() > 9) {
                event.record.stage = fields[8];
                event.record.cause = fields[9];
            }
        } else {
            continue; // a line of a later version: not ours to guess at
        }
        events.push_back(std::move(event));
    }
    return events;
}

} // namespace velmora::cli
