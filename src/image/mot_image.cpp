#include "image/mot_image.h"

#include "image/atomic_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <new>

namespace velmora {

namespace {

constexpr std::uint32_t imageWindowEnd = 0x20000;
constexpr std::uint32_t lineSize = 16;
constexpr std::uint32_t endBoundary = 64;
// The longest record, byte count 0xFF: S1 8 + 2 x 252 data digits + 2 checksum digits
// (S2 the same with 2 more address digits and 1 data byte less).
constexpr std::size_t longestRecordText = 8 + 2 * 252 + 2;
constexpr std::size_t readChunk = 64 * 1024;
// An S1 record of 16 data bytes and its CR LF, as most tools write them.
constexpr std::uintmax_t typicalRecordLine = 4 + 4 + 32 + 2 + 2;
constexpr std::uintmax_t mostRecordsReserved = 1 << 20;

constexpr std::string_view fillerLine = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";

constexpr std::array<signed char, 256> makeHexTable() {
    std::array<signed char, 256> table{};
    for (auto& value : table) {
        value = -1;
    }
    for (int digit = 0; digit < 10; ++digit) {
        table['0' + digit] = static_cast<signed char>(digit);
    }
    for (int letter = 0; letter < 6; ++letter) {
        table['A' + letter] = static_cast<signed char>(10 + letter);
        table['a' + letter] = static_cast<signed char>(10 + letter);
    }
    return table;
}
constexpr auto hexValue = makeHexTable();

// The pair at `position`, clamped to the line as hexByte sees it.
int pairAt(std::string_view line, std::size_t position) {
    if (position >= line.size()) {
        return 0;
    }
    return MotImage::hexByte(line.substr(position, 2));
}

std::string_view clampedSubstring(std::string_view line, std::size_t position, long long count) {
    if (position >= line.size() || count <= 0) {
        return {};
    }
    return line.substr(position, static_cast<std::size_t>(count));
}

ImageLine fillerAt(std::uint32_t address) {
    ImageLine line;
    line.address = address;
    line.count = static_cast<std::int32_t>(lineSize);
    line.data = fillerLine;
    return line;
}

} // namespace

int MotImage::hexByte(std::string_view text) {
    if (text.size() != 2) {
        return 0;
    }
    int high = hexValue[static_cast<unsigned char>(text[0])];
    int low = hexValue[static_cast<unsigned char>(text[1])];
    if (high < 0 || low < 0) {
        return 0;
    }
    return high * 16 + low;
}

int MotImage::parseLine(std::string_view line, SRecord& record) {
    try {
        record.type.assign(line.substr(0, std::min<std::size_t>(2, line.size())));
        const std::string_view type = record.type;
        if (type == "S0") {
            return 1;
        }
        std::size_t dataStart = 0;
        if (type == "S1") {
            record.length = pairAt(line, 2) - 3;
            record.address = static_cast<std::uint32_t>(pairAt(line, 4) * 256 + pairAt(line, 6));
            dataStart = 8;
        } else if (type == "S2") {
            record.length = pairAt(line, 2) - 4;
            record.address = static_cast<std::uint32_t>(pairAt(line, 4) * 65536 +
                                                        pairAt(line, 6) * 256 + pairAt(line, 8));
            dataStart = 10;
        } else {
            return 0; // S9 ends the reading, and so does any other line
        }
        const long long digits = 2LL * record.length;
        record.data.assign(clampedSubstring(line, dataStart, digits));
        const long long checksumAt = static_cast<long long>(dataStart) + digits;
        record.checksum = checksumAt < 0 ? 0 : pairAt(line, static_cast<std::size_t>(checksumAt));
        return 1;
    } catch (const std::bad_alloc&) {
        op->showMessage("S19 File Error (A) !");
        return 0;
    }
}

int MotImage::readFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        op->showMessage("Read File Error !");
        return 0;
    }
    records.clear();
    stoppedAt = 0;
    // Room for as many records as the file would hold in 16-byte records
    // (44 characters a line), so the list is rarely copied as it grows.
    // Only an estimate: room that is never used costs no memory pages.
    std::error_code sizeUnknown;
    const auto fileSize = std::filesystem::file_size(path, sizeUnknown);
    if (!sizeUnknown) {
        try {
            records.reserve(static_cast<std::size_t>(
                std::min<std::uintmax_t>(fileSize / typicalRecordLine + 1, mostRecordsReserved)));
        } catch (const std::exception&) {
            // grows as it goes instead
        }
    }

    SRecord working;
    std::string line;
    line.reserve(longestRecordText + 1);
    bool lineTooLong = false; // characters past the kept part are skipped
    int lineNumber = 0;
    std::vector<char> chunk(readChunk);

    // Hands one line (without its line end) to the parser; false ends the reading.
    auto takeLine = [&]() {
        ++lineNumber;
        if (parseLine(line, working) == 0) {
            stoppedAt = lineNumber;
            return false;
        }
        if (working.type != "S0") {
            try {
                records.push_back(working);
            } catch (const std::bad_alloc&) {
                op->showMessage("S19 File Error (A) !");
                stoppedAt = lineNumber;
                return false;
            }
        }
        return true;
    };

    bool reading = true;
    bool pendingLine = false; // characters read since the last line end
    while (reading) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        if (got == 0) {
            break;
        }
        const char* cursor = chunk.data();
        const char* end = cursor + got;
        while (cursor < end) {
            const char* newline = static_cast<const char*>(std::memchr(cursor, '\n', end - cursor));
            const char* pieceEnd = newline ? newline : end;
            if (!lineTooLong) {
                const std::size_t room = longestRecordText + 1 - line.size();
                const std::size_t piece = static_cast<std::size_t>(pieceEnd - cursor);
                line.append(cursor, std::min(room, piece));
                lineTooLong = piece > room;
            }
            pendingLine = true;
            if (!newline) {
                break;
            }
            // A carriage return before the line feed belongs to the line end.
            if (!lineTooLong && !line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!takeLine()) {
                reading = false;
                break;
            }
            line.clear();
            lineTooLong = false;
            pendingLine = false;
            cursor = newline + 1;
        }
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        op->showMessage("Read File Error !");
        return 0;
    }
    if (reading && pendingLine) {
        takeLine(); // a last line without a line end
    }
    return 1;
}

int MotImage::sortRecords() {
    outOfOrder.clear();
    ascending.clear();
    if (records.empty()) {
        op->showMessage("Mot File Error (not S19 format) !");
        return 0;
    }
    // Split twice: first counting, so each list is allocated once at its size.
    std::size_t late = 0;
    std::size_t inRun = 0;
    std::uint32_t lastAddress = 0;
    for (const SRecord& record : records) {
        if (record.address >= imageWindowEnd) {
            continue;
        }
        if (record.address < lastAddress) {
            ++late;
        } else {
            ++inRun;
            lastAddress = record.address;
        }
    }
    outOfOrder.reserve(late);
    ascending.reserve(inRun);
    lastAddress = 0;
    for (const SRecord& record : records) {
        if (record.address >= imageWindowEnd) {
            continue;
        }
        if (record.address < lastAddress) {
            outOfOrder.push_back(record);
        } else {
            ascending.push_back(record);
            lastAddress = record.address;
        }
    }
    if (ascending.empty()) {
        op->showMessage("Mot File Data Range Error !");
        return 0;
    }
    if (outOfOrder.empty()) {
        return 1;
    }
    // Inserting each late record in turn before the first record not below it
    // puts, among equal addresses, the late records last in first out and
    // ahead of the ascending run. The same order comes from ordering the late
    // records newest first by address (stably) and merging them in front of
    // equal addresses: O(n log n) instead of one insertion per record.
    // The late records are ordered through pointers, so each is copied once.
    std::vector<const SRecord*> newestFirst;
    newestFirst.reserve(outOfOrder.size());
    for (auto record = outOfOrder.rbegin(); record != outOfOrder.rend(); ++record) {
        newestFirst.push_back(&*record);
    }
    std::stable_sort(newestFirst.begin(), newestFirst.end(),
                     [](const SRecord* a, const SRecord* b) { return a->address < b->address; });
    std::vector<SRecord> run = std::move(ascending);
    ascending.clear();
    ascending.reserve(run.size() + newestFirst.size());
    auto next = newestFirst.begin();
    for (SRecord& record : run) {
        while (next != newestFirst.end() && (*next)->address <= record.address) {
            ascending.push_back(**next++);
        }
        ascending.push_back(std::move(record));
    }
    for (; next != newestFirst.end(); ++next) {
        ascending.push_back(**next);
    }
    return 1;
}

int MotImage::buildLines() {
    if (ascending.empty()) {
        op->showMessage("Mot File Error (Execute the max range) !");
        return 0;
    }
    lines.clear();
    lines.reserve(ascending.size() + ascending.size() / 4);
    std::string text;
    for (const SRecord& record : ascending) {
        if (record.length <= 0) {
            continue; // no data bytes: nothing to place
        }
        const std::uint32_t offset = record.address % lineSize;
        const std::uint32_t lineAddress = record.address - offset;
        const std::size_t length = static_cast<std::size_t>(record.length);
        const std::size_t present = std::min(length, record.data.size() / 2);
        const std::size_t lineCount = (offset + length + lineSize - 1) / lineSize;

        text.clear();
        for (std::uint32_t i = 0; i < offset; ++i) {
            text += "FF";
        }
        text.append(record.data.data(), 2 * present);
        text.resize(lineCount * 2 * lineSize, 'F');

        for (std::size_t i = 0; i < lineCount; ++i) {
            ImageLine line;
            // The lines after the first carry 16 minus the first line's offset.
            line.offset = static_cast<std::int32_t>(i == 0 ? offset : lineSize - offset);
            line.address = lineAddress + static_cast<std::uint32_t>(i * lineSize);
            line.count = static_cast<std::int32_t>(lineSize);
            line.data.assign(std::string_view(text).substr(i * 2 * lineSize, 2 * lineSize));
            lines.push_back(std::move(line));
        }
    }
    if (lines.empty()) {
        op->showMessage("Mot File Error (Execute the max range) !");
        return 0;
    }
    return 1;
}

void MotImage::mergeLines() {
    mergedLines.clear();
    mergedLines.reserve(lines.size());
    std::string joined;
    for (const ImageLine& line : lines) {
        if (mergedLines.empty() || mergedLines.back().address != line.address) {
            mergedLines.push_back(line);
            continue;
        }
        // The previous line's bytes in front of this line's data, then this
        // line's data and the filler after them.
        ImageLine& previous = mergedLines.back();
        const std::size_t front = std::min<std::size_t>(
            2 * std::clamp<std::int32_t>(line.offset, 0, 16), previous.data.size());
        const std::size_t back = std::min<std::size_t>(
            2 * (16 - std::clamp<std::int32_t>(line.offset, 0, 16)), line.data.size());
        joined.assign(previous.data.data(), front);
        joined.append(line.data.data() + line.data.size() - back, back);
        previous.offset = line.offset;
        previous.address = line.address;
        previous.count = line.count;
        previous.data = joined;
    }
}

int MotImage::fillGaps() {
    fullLines.clear();
    if (!mergedLines.empty()) {
        // From 0 up to the 64-byte boundary after the last line.
        fullLines.reserve((mergedLines.back().address / endBoundary + 1) *
                          (endBoundary / lineSize));
    }
    bool havePrevious = false;
    std::uint32_t previousAddress = 0;
    for (const ImageLine& line : mergedLines) {
        if (havePrevious && line.address < previousAddress) {
            op->showMessage("Mot File Error(2) !");
            return 0;
        }
        for (std::uint32_t address = havePrevious ? previousAddress + lineSize : 0;
             address < line.address; address += lineSize) {
            fullLines.push_back(fillerAt(address));
        }
        fullLines.push_back(line);
        previousAddress = line.address;
        havePrevious = true;
    }
    if (havePrevious) {
        while (fullLines.back().address % endBoundary != endBoundary - lineSize) {
            fullLines.push_back(fillerAt(fullLines.back().address + lineSize));
        }
    }
    return 1;
}

int MotImage::writeImage(const std::string& path) {
    std::size_t total = 0;
    for (const ImageLine& line : fullLines) {
        total += (line.data.size() + 1) / 2;
    }
    std::vector<unsigned char> bytes(total);
    unsigned char* out = bytes.data();
    for (const ImageLine& line : fullLines) {
        const auto* text = reinterpret_cast<const unsigned char*>(line.data.data());
        const std::size_t size = line.data.size();
        std::size_t i = 0;
        for (; i + 1 < size; i += 2) {
            const int high = hexValue[text[i]];
            const int low = hexValue[text[i + 1]];
            *out++ = high < 0 || low < 0 ? 0 : static_cast<unsigned char>(high * 16 + low);
        }
        if (i < size) {
            *out++ = 0; // a lone last digit
        }
    }
    if (!replaceFileAtomically(path, bytes.data(), bytes.size())) {
        op->showMessage("BIN File Write Error !");
        return 0;
    }
    return 1;
}

} // namespace velmora
