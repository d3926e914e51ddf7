#pragma once

#include "core/operator.h"
#include "image/hex_text.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// One parsed S-record. `data` keeps the data field as written (hex text, two
// characters per byte); only the byte count, address and checksum are numbers.
// `data` is a HexText, which holds up to 32 characters without an allocation
// of its own. Nothing derives from SRecord or ImageLine (final), so the lists
// copy and destroy their entries without virtual calls.
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
    HexText data;              // data field exactly as written
    std::int32_t checksum = 0; // checksum byte as read, never compared
};

// One 16-byte line of the image, its bytes as hex text.
class ImageLine final {
public:
    virtual ~ImageLine() = default;
    ImageLine() = default;
    ImageLine(const ImageLine&) = default;
    ImageLine(ImageLine&&) = default;
    ImageLine& operator=(const ImageLine&) = default;
    ImageLine& operator=(ImageLine&&) = default;

    std::int32_t offset = 0;   // filler bytes in front of the record's data
    std::uint32_t address = 0; // address of the line's first byte, a multiple of 16
    std::int32_t count = 0;    // bytes the line holds, 16 when finished
    HexText data;              // the bytes as hex text, 32 characters when finished
};

// Reads an S-record (.mot) file and turns it into the flat image of the
// target's 128 KiB flash: byte i of the image is the byte for address i, 0xFF
// where no record supplies one, the length a multiple of 64.
//
// A load calls, in order: readFile, sortRecords, buildLines, mergeLines,
// fillGaps, writeImage; each shows its own failure message through the
// Operator and returns 0, and the caller stops at the first 0.
//
// Reading accepts S0 (skipped), S1 and S2 records and ends silently, with
// success, at the end of the file, at an S9 record or at the first other line.
// Nothing is verified: byte counts are trusted, checksums are not compared,
// a pair of characters that is not hex reads as 0.
//
// Inputs the reader and builder do not expect have these results; none reads
// or writes out of bounds:
// - Any line length is accepted. Only the first 515 characters of a line are
//   kept (the longest record, byte count 0xFF, ends at 514); the rest of the
//   line is skipped without being stored, as characters after the checksum are.
// - NUL and non-ASCII bytes are ordinary characters: in the record type they
//   end the reading like any unknown line; in hex fields they read as 0; in
//   the data field they are kept and written as the byte 0x00 per pair.
// - A record whose length is 0 or less (byte count below 4 for S1, below 5
//   for S2) has no data: it takes part in sorting but makes no line. When no
//   record of the window makes a line, buildLines fails with
//   "Mot File Error (Execute the max range) !".
// - A record whose data field holds fewer than 2 x length characters supplies
//   the whole pairs it holds; the rest of its length (a lone last digit
//   included) is filler 0xFF. Its lines stay 16 bytes each.
// - A record whose data, placed at its offset in the line, run past the
//   second line (more than 16 bytes, e.g. the 32-byte records other tools
//   write) is cut into as many 16-byte lines as it touches, none of its bytes
//   lost.
// - A record that starts below 0x20000 and runs past it extends the image by
//   the lines it touches, rounded up to 64 bytes.
// - Records that overlap across a line boundary fail with "Mot File Error(2) !".
class MotImage {
public:
    explicit MotImage(Operator& op) : op(&op) {}
    virtual ~MotImage() = default;
    MotImage(const MotImage&) = default;
    MotImage& operator=(const MotImage&) = default;

    std::vector<ImageLine> lines;       // one or more lines per record of `ascending`
    std::vector<ImageLine> mergedLines; // `lines` with lines of equal address joined
    std::vector<ImageLine> fullLines;   // the whole image, from address 0
    std::vector<SRecord> records;       // accepted records of the last file read, file order
    std::vector<SRecord> ascending;     // records inside the window, ascending address
    std::vector<SRecord> outOfOrder;    // records that arrived below the ascending run

    // Reads the file into `records`. 1 when it could be read up to where
    // reading ends; 0 with "Read File Error !" when it cannot be opened or read.
    int readFile(const std::string& path);

    // Parses one line without its line end into `record`. 1 for S0, S1 and S2
    // records; 0 for S9 and any other line.
    int parseLine(std::string_view line, SRecord& record);

    // The value of a two-character hex text (either case); 0 for anything else.
    static int hexByte(std::string_view text);

    // `records` to `ascending`: drops records at 0x20000 and above and orders
    // the rest by address. Among equal addresses the records of the ascending
    // run keep file order, and each record that arrived out of order goes in
    // front of every record already there with its address.
    int sortRecords();
    // `ascending` to `lines`: 16-byte lines aligned on 16, filler around the data.
    int buildLines();
    // `lines` to `mergedLines`: neighbours covering the same 16 addresses joined.
    void mergeLines();
    // `mergedLines` to `fullLines`: filler lines for the gaps from 0 and up to
    // the next 64-byte boundary after the last line.
    int fillGaps();
    // `fullLines` to the file, replaced atomically: a failed write leaves the
    // file as it was and shows "BIN File Write Error !".
    int writeImage(const std::string& path);

    // The line (from 1) at which the last readFile stopped before the end of
    // the file: an S9 record or a line that is not a record; 0 when it read
    // to the end.
    int stopLine() const { return stoppedAt; }

private:
    Operator* op;
    int stoppedAt = 0;
};

} // namespace velmora
