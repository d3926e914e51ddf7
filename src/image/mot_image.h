#pragma once

#include "core/operator.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace velmora {

// One parsed S-record. `data` keeps the data field as written (hex text, two
// characters per byte); only the byte count, address and checksum are numbers.
class SRecord final {
public:
    virtual ~SRecord() = default;
    SRecord() = default;
    SRecord(const SRecord&) = default;
    SRecord(SRecord&&) = default;
    SRecord& operator=(const SRecord&) = default;
    SRecord& operator=(SRecord&&) = default;

    std::string type;          // first two characters of the line ("S0", "S1", "S2", "S9")
    std::int32_t length = 0;   // data bytes: byte count - 3 (S1) or - 4 (S2)
    std::uint32_t address = 0; // load address of the first data byte
    std::string data;          // data field exactly as written
    std::int32_t checksum = 0; // checksum byte as read
};

// Records of the last file read that the load takes as written although they
// are damaged, and records whose bytes run past the end of the flash. Line
// numbers count from 1; 0 when there is no such record.
struct RecordFaults {
    std::uint64_t wrongChecksums = 0; // checksum not the one's complement of the sum, or missing
    std::uint64_t firstWrongChecksumLine = 0;
    std::uint64_t notHex = 0; // a character in the count, address, data or checksum not a hex digit
    std::uint64_t firstNotHexLine = 0;
    std::uint64_t pastFlashEnd = 0; // data bytes at 0x20000 and above, dropped from the image
    std::uint64_t firstPastFlashEndLine = 0;
    std::uint64_t outsideFlash = 0; // records that start at 0x20000 or above, dropped whole
    std::uint64_t firstOutsideFlashLine = 0;

    bool damaged() const { return wrongChecksums > 0 || notHex > 0; }
};

// The program image: an S-record file read and built into the flash's image.
//
// Reads an S-record (.mot) file and turns it into the flat image of the
// target's 128 KiB flash: byte i of the image is the byte for address i, 0xFF
// where no record supplies one, the length a multiple of 64.
//
// A load calls, in order: readFile, sortRecords, buildLines, mergeLines,
// fillGaps, writeImage; each shows its own failure message through the
// Operator and returns 0, and the caller stops at the first 0.
//
// Memory stays the same whatever the file's size: reading places each record
// into the 128 KiB window as it goes, and keeps per address only which record
// supplied each byte, so no list of records or lines is held. The steps after
// the read decide from what the read gathered.
//
// Which record's byte wins is the one of the ordered record list: records in
// ascending address order, where a record that arrived below the addresses
// already seen (a late record) goes in front of the records of its address,
// the latest late record first. A record covers its bytes and the filler up
// to the end of the last 16-byte line it touches; the last record in that
// order that covers an address supplies its byte.
//
// Reading accepts S0 (skipped), S1 and S2 records and ends silently, with
// success, at the end of the file, at an S9 record or at the first other line.
// Byte counts are trusted and a pair of characters that is not hex reads as 0;
// records with a wrong checksum or with characters that are not hex digits
// are counted (faults()) but loaded as written.
//
// Inputs the reader and builder do not expect have these results; none reads
// or writes out of bounds:
// - Any line length is accepted. Only the first 515 characters of a line are
//   kept (the longest record, byte count 0xFF, ends at 514); the rest of the
//   line is skipped without being stored, as characters after the checksum are.
// - NUL and non-ASCII bytes are ordinary characters: in the record type they
//   end the reading like any unknown line; in hex fields they read as 0; in
//   the data field each such pair is written as the byte 0x00.
// - A record whose length is 0 or less has no data: it takes part in the
//   order but places nothing. When no record of the window places a byte,
//   buildLines fails with "Mot File Error (Execute the max range) !".
// - A record whose data field holds fewer than 2 x length characters supplies
//   the whole pairs it holds; the rest of its length is filler 0xFF.
// - A record longer than 16 bytes covers every line it touches.
// - Bytes at 0x20000 and above are dropped, so the image is never larger than
//   the flash; such records are counted in faults().
// - Records where one covers a line after the first line of a record later
//   in the order fail with "Mot File Error(2) !" (two records that overlap
//   across a line boundary).
class MotImage {
public:
    explicit MotImage(Operator& theOperator) : op(&theOperator) {}
    virtual ~MotImage() = default;
    MotImage(const MotImage&) = default;
    MotImage& operator=(const MotImage&) = default;

    // Reads the file and places its records. 1 when it could be read up to
    // where reading ends; 0 with "Read File Error !" when it cannot be opened
    // or read, or is not a regular file (a device or a pipe could never end).
    int readFile(const std::string& path);

    // Parses one line without its line end into `record`. 1 for S0, S1 and S2
    // records; 0 for S9 and any other line.
    int parseLine(std::string_view line, SRecord& record);

    // The value of a two-character hex text (either case); 0 for anything else.
    static int hexByte(std::string_view text);

    // Fails with "Mot File Error (not S19 format) !" when the file held no
    // S1 or S2 record, with "Mot File Data Range Error !" when none starts
    // below 0x20000.
    int sortRecords();
    // Fails with "Mot File Error (Execute the max range) !" when no record of
    // the window has data.
    int buildLines();
    // Lines that share 16 addresses were joined as the records were placed.
    void mergeLines();
    // Fails with "Mot File Error(2) !" when records overlap across a line
    // boundary; otherwise fixes the image's length: up to the 64-byte boundary
    // after the last line that holds data.
    int fillGaps();
    // The image to the file, replaced atomically and flushed to the disk: a
    // failed write leaves the file as it was and shows "BIN File Write Error !".
    // The file last read is never written over (the same file under another
    // name included): the reason, then the same message.
    int writeImage(const std::string& path);

    // The line (from 1) at which the last readFile stopped before the end of
    // the file: an S9 record or a line that is not a record; 0 when it read
    // to the end.
    std::uint64_t stopLine() const { return stoppedAt; }
    // Whether anything but white space follows the line reading stopped at.
    bool textAfterStop() const { return moreAfterStop; }
    // The accepted S1 and S2 records of the last file read.
    std::uint64_t recordCount() const { return recordsRead; }
    const RecordFaults& faults() const { return recordFaults; }
    // The image fillGaps settled on (empty before it).
    std::vector<std::uint8_t> imageBytes() const;
    // The lowest and highest address a record of the last file read supplies
    // a byte for; 0 when none does.
    int suppliedRange(std::uint32_t& first, std::uint32_t& last) const;

private:
    // What the read keeps for one 16-byte line of the window.
    // Four bytes, so the table of the whole window stays small.
    struct LineState {
        std::uint8_t lastStart = 0;     // 1 + where in the line the last record in order starts
        bool lastIsLong = false;        // whether that record runs into a later line
        std::uint8_t longRecords = 0;   // how many of them run into a later line, counted up to 2
        std::uint16_t furthestLine = 0; // the furthest line any of them reaches, as a line number
    };

    void startRead();
    // Reads the records of the open file line by line; false when a read fails.
    bool readRecords(int fd);
    void placeBytes(std::uint32_t start, std::uint32_t stop, bool late, bool clear,
                    const std::uint8_t* bytes, std::size_t supplied);
    void buildOwners();
    void takeRecord(std::string_view line, const SRecord& record, std::uint64_t lineNumber);

    Operator* op;
    std::uint64_t stoppedAt = 0;
    bool moreAfterStop = false;
    std::uint64_t recordsRead = 0;
    std::uint64_t windowRecords = 0;
    std::uint64_t placedRecords = 0;
    std::uint32_t lastRunAddress = 0; // the highest start address so far in the window
    std::uint32_t dataEnd = 0;        // end of the furthest line a record reaches
    std::uint32_t suppliedFirst = 0;  // the first address a record's data covers
    std::uint32_t suppliedEnd = 0;    // the end of the last
    std::uint32_t imageLength = 0;
    RecordFaults recordFaults;
    std::vector<std::uint8_t> window; // the image being built, 0x20000 bytes
    // Per address: 1 + how far back the record it holds starts, 0 none. Built
    // from the two bit maps at the first record that is not past every byte
    // placed before it; most files have none, and it is the read's largest table.
    std::vector<std::uint16_t> owner;
    std::vector<std::uint64_t> startBits;  // until then: where records start
    std::vector<std::uint64_t> placedBits; // and which bytes they hold
    std::vector<LineState> lineStates;     // per 16-byte line of the window
    bool haveInput = false;                // the identity of the file last read
    dev_t inputDevice = 0;
    ino_t inputInode = 0;
    std::string inputPath; // Windows: stat() has no file numbers there
};

} // namespace velmora
