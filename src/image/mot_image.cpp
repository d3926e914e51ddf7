#include "image/mot_image.h"

#include "core/file_io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

constexpr std::uint32_t imageWindowEnd = 0x20000;
constexpr std::uint32_t lineSize = 16;
constexpr std::uint32_t endBoundary = 64;
constexpr std::uint32_t linesInWindow = imageWindowEnd / lineSize;
// The longest record, byte count 0xFF: S1 8 + 2 x 252 data digits + 2 checksum digits
// (S2 the same with 2 more address digits and 1 data byte less).
constexpr std::size_t longestRecordText = 8 + 2 * 252 + 2;
constexpr std::size_t readChunk = 64 * 1024;

// Cuts the bytes of a file into lines, keeping at most `keep` characters of
// each (the rest of a longer line is skipped); a carriage return before the
// line feed belongs to the line end.
class LineSplitter {
public:
    explicit LineSplitter(std::size_t longest) : keep(longest) { line.reserve(longest); }

    // Hands every line the bytes end to `take`; once `take` says stop, where
    // the bytes after that line begin, else nullptr.
    template <typename Take> const char* feed(const char* cursor, const char* end, Take& take) {
        while (cursor < end) {
            const char* newline = static_cast<const char*>(std::memchr(cursor, '\n', end - cursor));
            const char* pieceEnd = newline ? newline : end;
            if (!tooLong) {
                const std::size_t room = keep - line.size();
                const std::size_t piece = static_cast<std::size_t>(pieceEnd - cursor);
                line.append(cursor, std::min(room, piece));
                tooLong = piece > room;
            }
            pending = true;
            if (!newline) {
                break;
            }
            if (!tooLong && !line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!take(line)) {
                return newline + 1;
            }
            line.clear();
            tooLong = false;
            pending = false;
            cursor = newline + 1;
        }
        return nullptr;
    }

    // Hands on the characters read since the last line end, if any.
    template <typename Take> void finish(Take& take) {
        if (pending) {
            take(line);
        }
    }

private:
    std::string line;
    std::size_t keep;
    bool tooLong = false; // characters past the kept part are skipped
    bool pending = false; // characters read since the last line end
};

// The order that decides which record's byte is kept: the record starting
// higher comes later; of records starting at one address, one of the
// ascending run comes after every earlier one, a late record (one starting
// below an earlier record) after none of them, so the first late one stays
// the last of the late ones.
void setBit(std::vector<std::uint64_t>& bits, std::uint32_t index) {
    bits[index / 64] |= std::uint64_t{1} << (index % 64);
}

bool bitAt(const std::vector<std::uint64_t>& bits, std::uint32_t index) {
    return (bits[index / 64] >> (index % 64)) & 1;
}

bool comesAfter(std::uint32_t start, bool late, std::uint32_t otherStart) {
    return start > otherStart || (start == otherStart && !late);
}

// Whether anything but white space is left: in the chunk past `from`, then in
// what the file still holds. Most programs end at their end record, and this
// spares reading them a second time to look for records after it.
bool textFollows(int fd, const char* from, const char* end, std::vector<char>& chunk) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    if (!std::all_of(from, end, blank)) {
        return true;
    }
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0; // unreadable: let the caller look for itself
        }
        if (!std::all_of(chunk.data(), chunk.data() + got, blank)) {
            return true;
        }
    }
}

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

// The byte two hex digits spell, 0 when either is not one.
int pairValue(char high, char low) {
    const int highValue = hexValue[static_cast<unsigned char>(high)];
    const int lowValue = hexValue[static_cast<unsigned char>(low)];
    return (highValue | lowValue) < 0 ? 0 : highValue * 16 + lowValue;
}

// The pair at `position`, clamped to the line as hexByte sees it.
int pairAt(std::string_view line, std::size_t position) {
    return position + 2 <= line.size() ? pairValue(line[position], line[position + 1]) : 0;
}

std::string_view clampedSubstring(std::string_view line, std::size_t position, long long count) {
    if (position >= line.size() || count <= 0) {
        return {};
    }
    return line.substr(position, static_cast<std::size_t>(count));
}

struct Damage {
    bool wrongChecksum = false;
    bool notHex = false;
};

using DataBytes = std::array<std::uint8_t, 256>;

// Checks an S1 or S2 record against its own line: every character from the
// byte count to the checksum a hex digit, and the checksum the one's
// complement of the sum of the count, address and data bytes. A line that
// ends before its checksum, or a count too small for the address, has no
// right checksum. In the same pass, the data pairs the line holds go to
// `bytes` (0x00 for a pair that is not hex) and `supplied` counts them.
Damage inspect(std::string_view line, const SRecord& record, DataBytes& bytes,
               std::size_t& supplied) {
    Damage damage;
    const std::size_t dataStart = record.type == "S1" ? 8 : 10;
    const std::size_t length = record.length < 0 ? 0 : static_cast<std::size_t>(record.length);
    const std::size_t fieldsEnd = record.length < 0 ? dataStart : dataStart + 2 * length + 2;
    const std::size_t dataEnd = dataStart + 2 * std::min(length, bytes.size());
    const std::size_t limit = std::min(fieldsEnd, line.size());
    const std::size_t pairsEnd = limit / 2 * 2; // past the last whole pair
    int digits = 0;                             // negative once a digit is not hex
    auto pair = [&](std::size_t at) {
        const int high = hexValue[static_cast<unsigned char>(line[at])];
        const int low = hexValue[static_cast<unsigned char>(line[at + 1])];
        digits |= high | low;
        return (high | low) < 0 ? 0u : static_cast<unsigned>(high * 16 + low);
    };
    unsigned sum = 0;
    std::size_t i = 2;
    for (; i < std::min(dataStart, pairsEnd); i += 2) {
        sum += pair(i); // the count and the address
    }
    const std::size_t dataStop = std::min(dataEnd, pairsEnd);
    for (; i < dataStop; i += 2) {
        const unsigned value = pair(i);
        sum += value;
        bytes[(i - dataStart) / 2] = static_cast<std::uint8_t>(value);
    }
    for (; i < pairsEnd; i += 2) {
        const unsigned value = pair(i);
        if (i + 2 < fieldsEnd) {
            sum += value; // every pair but the checksum
        }
    }
    if (pairsEnd < limit) {
        digits |= hexValue[static_cast<unsigned char>(line[pairsEnd])]; // a lone last character
    }
    damage.notHex = digits < 0;
    supplied = dataStop > dataStart ? (dataStop - dataStart) / 2 : 0;
    damage.wrongChecksum = record.length < 0 || line.size() < fieldsEnd ||
                           static_cast<int>(~sum & 0xFF) != record.checksum;
    return damage;
}

void countFault(std::uint64_t& count, std::uint64_t& firstLine, std::uint64_t lineNumber) {
    if (count++ == 0) {
        firstLine = lineNumber;
    }
}

} // namespace

int MotImage::hexByte(std::string_view text) {
    if (text.size() != 2) {
        return 0;
    }
    return pairValue(text[0], text[1]);
}

int MotImage::parseLine(std::string_view line, SRecord& record) {
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
    // The text never outgrows its first capacity: a line holds 515 characters at most.
    record.data.assign(clampedSubstring(line, dataStart, digits));
    const long long checksumAt = static_cast<long long>(dataStart) + digits;
    record.checksum = checksumAt < 0 ? 0 : pairAt(line, static_cast<std::size_t>(checksumAt));
    return 1;
}

void MotImage::startRead() {
    stoppedAt = 0;
    moreAfterStop = false;
    recordsRead = 0;
    windowRecords = 0;
    placedRecords = 0;
    lastRunAddress = 0;
    dataEnd = 0;
    suppliedFirst = imageWindowEnd;
    suppliedEnd = 0;
    imageLength = 0;
    recordFaults = {};
    window.assign(imageWindowEnd, 0xFF);
    owner.clear();
    startBits.assign(imageWindowEnd / 64, 0);
    placedBits.assign(imageWindowEnd / 64, 0);
    lineStates.assign(linesInWindow, LineState{});
}

void MotImage::takeRecord(std::string_view line, const SRecord& record, std::uint64_t lineNumber) {
    DataBytes bytes;
    std::size_t supplied = 0;
    const Damage damage = inspect(line, record, bytes, supplied);
    if (damage.wrongChecksum) {
        countFault(recordFaults.wrongChecksums, recordFaults.firstWrongChecksumLine, lineNumber);
    }
    if (damage.notHex) {
        countFault(recordFaults.notHex, recordFaults.firstNotHexLine, lineNumber);
    }
    ++recordsRead;
    if (record.address >= imageWindowEnd) {
        countFault(recordFaults.outsideFlash, recordFaults.firstOutsideFlashLine, lineNumber);
        return; // outside the window: dropped
    }
    ++windowRecords;
    const bool late = record.address < lastRunAddress;
    if (!late) {
        lastRunAddress = record.address;
    }
    if (record.length <= 0) {
        return; // no data bytes: nothing to place
    }
    ++placedRecords;
    const std::uint32_t start = record.address;
    const std::uint32_t end = start + static_cast<std::uint32_t>(record.length);
    const std::uint32_t reach = (end + lineSize - 1) / lineSize * lineSize;
    const std::uint32_t firstLine = start - start % lineSize;
    const std::uint32_t lastLine = reach - lineSize;
    if (end > imageWindowEnd) {
        countFault(recordFaults.pastFlashEnd, recordFaults.firstPastFlashEndLine, lineNumber);
    }

    LineState& state = lineStates[firstLine / lineSize];
    const bool isLong = lastLine > firstLine;
    const std::uint32_t startInLine = start - firstLine;
    if (state.lastStart == 0 || comesAfter(startInLine, late, state.lastStart - 1u)) {
        state.lastStart = static_cast<std::uint8_t>(startInLine + 1);
        state.lastIsLong = isLong;
    }
    if (isLong && state.longRecords < 2) {
        ++state.longRecords;
    }
    state.furthestLine =
        std::max(state.furthestLine, static_cast<std::uint16_t>(lastLine / lineSize));
    const std::uint32_t reachedBefore = dataEnd;
    dataEnd = std::max(dataEnd, reach);

    const std::uint32_t stop = std::min(reach, imageWindowEnd);
    suppliedFirst = std::min(suppliedFirst, start);
    suppliedEnd = std::max(suppliedEnd, std::min(end, imageWindowEnd));
    placeBytes(start, stop, late, start >= reachedBefore, bytes.data(), supplied);
}

// A byte goes to the last record in order among those covering it. `clear`:
// the record starts past every byte placed so far (the usual ascending file),
// so all of them are its own.
void MotImage::placeBytes(std::uint32_t start, std::uint32_t stop, bool late, bool clear,
                          const std::uint8_t* bytes, std::size_t supplied) {
    if (clear) {
        const std::uint32_t count = stop - start;
        const std::uint32_t given = std::min<std::uint32_t>(count, supplied);
        std::copy_n(bytes, given, window.begin() + start);
        std::fill_n(window.begin() + start + given, count - given, std::uint8_t{0xFF});
        if (owner.empty()) {
            setBit(startBits, start);
            for (std::uint32_t address = start; address < stop; ++address) {
                setBit(placedBits, address);
            }
        } else {
            for (std::uint32_t offset = 0; offset < count; ++offset) {
                owner[start + offset] = static_cast<std::uint16_t>(offset + 1);
            }
        }
        return;
    }
    if (owner.empty()) {
        buildOwners();
    }
    for (std::uint32_t address = start; address < stop; ++address) {
        const std::uint32_t back = owner[address];
        if (back == 0 || comesAfter(start, late, address + 1 - back)) {
            const std::size_t offset = address - start;
            owner[address] = static_cast<std::uint16_t>(offset + 1);
            window[address] = offset < supplied ? bytes[offset] : 0xFF;
        }
    }
}

// Until now every record started past the bytes placed before it, so a
// placed byte belongs to the last record start at or below it.
void MotImage::buildOwners() {
    owner.assign(imageWindowEnd, 0);
    std::uint32_t lastStart = 0;
    for (std::uint32_t address = 0; address < imageWindowEnd; ++address) {
        if (bitAt(startBits, address)) {
            lastStart = address;
        }
        if (bitAt(placedBits, address)) {
            owner[address] = static_cast<std::uint16_t>(address - lastStart + 1);
        }
    }
}

int MotImage::readFile(const std::string& path) {
    // Not blocking on open: a pipe without a writer must not hold the load.
    const int fd = ::open(path.c_str(), O_RDONLY | openNonBlocking | openBytes);
    if (fd < 0) {
        op->showMessage("Read File Error !");
        return 0;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        op->showMessage("Read File Error !");
        return 0;
    }
    haveInput = true;
    inputDevice = status.st_dev;
    inputInode = status.st_ino;
    inputPath = path;
    startRead();
    const bool read = readRecords(fd);
    ::close(fd);
    if (!read) {
        op->showMessage("Read File Error !");
        return 0;
    }
    return 1;
}

bool MotImage::readRecords(int fd) {
    SRecord working;
    working.data.reserve(longestRecordText + 1);
    std::uint64_t lineNumber = 0;
    // Takes one line (without its line end); false ends the reading.
    auto takeLine = [&](const std::string& line) {
        ++lineNumber;
        if (parseLine(line, working) == 0) {
            stoppedAt = lineNumber;
            return false;
        }
        if (working.type != "S0") {
            takeRecord(line, working, lineNumber);
        }
        return true;
    };
    LineSplitter lines(longestRecordText + 1);
    std::vector<char> chunk(readChunk);
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (const char* rest = lines.feed(chunk.data(), chunk.data() + got, takeLine)) {
            moreAfterStop = textFollows(fd, rest, chunk.data() + got, chunk);
            return true;
        }
    }
    lines.finish(takeLine); // a last line without a line end
    return true;
}

int MotImage::sortRecords() {
    if (recordsRead == 0) {
        op->showMessage("Mot File Error (not S19 format) !");
        return 0;
    }
    if (windowRecords == 0) {
        op->showMessage("Mot File Data Range Error !");
        return 0;
    }
    return 1;
}

int MotImage::buildLines() {
    if (placedRecords == 0) {
        op->showMessage("Mot File Error (Execute the max range) !");
        return 0;
    }
    return 1;
}

void MotImage::mergeLines() {}

int MotImage::fillGaps() {
    imageLength = 0;
    // Walking the lines in order, a line that starts records must not lie
    // below a line that an earlier record reaches; and among the records that
    // start in one line, only the last in order may reach into later lines.
    bool seen = false;
    std::uint32_t furthest = 0; // as a line number
    for (std::uint32_t i = 0; i < lineStates.size(); ++i) {
        const LineState& state = lineStates[i];
        if (state.lastStart == 0) {
            continue;
        }
        const bool reachedOver = seen && furthest > i;
        const bool longRecordNotLast =
            state.longRecords > 1 || (state.longRecords == 1 && !state.lastIsLong);
        if (reachedOver || longRecordNotLast) {
            op->showMessage("Mot File Error(2) !");
            return 0;
        }
        furthest = std::max<std::uint32_t>(furthest, state.furthestLine);
        seen = true;
    }
    const std::uint32_t end = std::min(dataEnd, imageWindowEnd);
    imageLength = (end + endBoundary - 1) / endBoundary * endBoundary;
    return 1;
}

int MotImage::writeImage(const std::string& path) {
#ifdef _WIN32
    const bool overInput = haveInput && sameFile(path, inputPath);
#else
    struct stat target {};
    const bool overInput = haveInput && ::stat(path.c_str(), &target) == 0 &&
                           target.st_dev == inputDevice && target.st_ino == inputInode;
#endif
    if (overInput) {
        op->notify(path + " is the program file itself; the image is not written over it",
                   Notice::Failure);
        op->showMessage("BIN File Write Error !");
        return 0;
    }
    std::string reason;
    // The image is made again by every load: renamed into place whole, not
    // waited on to reach the disk.
    const std::string_view bytes(reinterpret_cast<const char*>(window.data()),
                                 std::min<std::size_t>(imageLength, window.size()));
    if (!publishFile(path, bytes, Durability::Renamed, &reason)) {
        if (!reason.empty()) {
            op->notify("Cannot write " + path + ": " + reason, Notice::Failure);
        }
        op->showMessage("BIN File Write Error !");
        return 0;
    }
    return 1;
}

std::vector<std::uint8_t> MotImage::imageBytes() const {
    const std::size_t size = std::min<std::size_t>(imageLength, window.size());
    return {window.begin(), window.begin() + static_cast<std::ptrdiff_t>(size)};
}

int MotImage::suppliedRange(std::uint32_t& first, std::uint32_t& last) const {
    if (suppliedEnd <= suppliedFirst) {
        return 0;
    }
    first = suppliedFirst;
    last = suppliedEnd - 1;
    return 1;
}

} // namespace velmora
