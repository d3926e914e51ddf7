#include "image/mot_image.h"
#include "image_test_support.h"
#include "support/recording_operator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace velmora {
namespace {

using testing::RecordingOperator;
using testing::ScratchFolder;
using testing::writeText;
using Bytes = std::vector<std::uint8_t>;

TEST(HexByte, ReadsEitherCaseAndGivesZeroForAnythingElse) {
    EXPECT_EQ(MotImage::hexByte("00"), 0);
    EXPECT_EQ(MotImage::hexByte("1F"), 0x1F);
    EXPECT_EQ(MotImage::hexByte("af"), 0xAF);
    EXPECT_EQ(MotImage::hexByte("fF"), 0xFF);
    EXPECT_EQ(MotImage::hexByte("G1"), 0);
    EXPECT_EQ(MotImage::hexByte("1"), 0);
    EXPECT_EQ(MotImage::hexByte("123"), 0);
    EXPECT_EQ(MotImage::hexByte(""), 0);
    EXPECT_EQ(MotImage::hexByte(std::string_view("\0A", 2)), 0);
    EXPECT_EQ(MotImage::hexByte("\xC3\xA9"), 0);
}

class ParseLine : public ::testing::Test {
protected:
    RecordingOperator op;
    MotImage image{op};
    SRecord record;
};

TEST_F(ParseLine, ReadsS1AndS2FieldsWithoutCheckingTheChecksum) {
    const std::string data = "000102030405060708090A0B0C0D0E0F";
    ASSERT_EQ(image.parseLine("S1130000" + data + "77", record), 1);
    EXPECT_EQ(record.type, "S1");
    EXPECT_EQ(record.length, 16);
    EXPECT_EQ(record.address, 0u);
    EXPECT_EQ(record.data, data);
    EXPECT_EQ(record.checksum, 0x77);

    ASSERT_EQ(image.parseLine("S214010000" + data + "d6 trailing text", record), 1);
    EXPECT_EQ(record.type, "S2");
    EXPECT_EQ(record.length, 16);
    EXPECT_EQ(record.address, 65536u);
    EXPECT_EQ(record.checksum, 0xD6);
}

TEST_F(ParseLine, LowerCaseHexReadsAsUpperAndDataKeepsItsCase) {
    ASSERT_EQ(image.parseLine("S105abcdeeff0a", record), 1);
    EXPECT_EQ(record.length, 2);
    EXPECT_EQ(record.address, 0xABCDu);
    EXPECT_EQ(record.data, "eeff");
    EXPECT_EQ(record.checksum, 0x0A);
}

TEST_F(ParseLine, RecognisesOnlyExactRecordTypes) {
    ASSERT_EQ(image.parseLine("S1051234AABB00", record), 1);
    // S0 is accepted and touches nothing but the type.
    EXPECT_EQ(image.parseLine("S00600004844521B", record), 1);
    EXPECT_EQ(record.type, "S0");
    EXPECT_EQ(record.address, 0x1234u);
    EXPECT_EQ(record.data, "AABB");
    for (const char* line : {"S9030000FC", "s1051234AABB00", "", " S1051234AABB00",
                             "S3070000000011223344", "S5030001FB", "S", "X1"}) {
        EXPECT_EQ(image.parseLine(line, record), 0) << line;
    }
    EXPECT_EQ(image.parseLine(std::string_view("S\0", 2), record), 0);
}

TEST_F(ParseLine, TrustsTheByteCountWhateverTheLineHolds) {
    // A byte count of 02 announces -1 data bytes: no data.
    ASSERT_EQ(image.parseLine("S1020000FD", record), 1);
    EXPECT_EQ(record.length, -1);
    EXPECT_EQ(record.data, "");
    // A byte count of 01 in an S2 record: -3 bytes, the checksum pair sits inside the address.
    ASSERT_EQ(image.parseLine("S201123456", record), 1);
    EXPECT_EQ(record.length, -3);
    EXPECT_EQ(record.data, "");
    EXPECT_EQ(record.checksum, 0x12);
    // A line shorter than announced gives shorter data; the length stays.
    ASSERT_EQ(image.parseLine("S11300001122", record), 1);
    EXPECT_EQ(record.length, 16);
    EXPECT_EQ(record.data, "1122");
    EXPECT_EQ(record.checksum, 0);
    // Bad hex reads as 0; NUL and non-ASCII bytes stay in the data as written.
    const std::string odd("S1G5000012\0\xE9", 12);
    ASSERT_EQ(image.parseLine(odd, record), 1);
    EXPECT_EQ(record.length, -3);
    ASSERT_EQ(image.parseLine(std::string("S1050010") + std::string("\0\xE9", 2) + "ZZ00", record),
              1);
    EXPECT_EQ(record.address, 0x10u);
    EXPECT_EQ(record.data, std::string("\0\xE9ZZ", 4));
}

class ReadFile : public ::testing::Test {
protected:
    RecordingOperator op;
    MotImage image{op};
    ScratchFolder folder;
    std::filesystem::path file = folder / "program.mot";

    // The image the records read give, or empty when a step fails.
    Bytes builtImage() {
        if (!image.sortRecords() || !image.buildLines()) {
            return {};
        }
        image.mergeLines();
        return image.fillGaps() ? image.imageBytes() : Bytes{};
    }
    static Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
        return from + count <= bytes.size()
                   ? Bytes(bytes.begin() + from, bytes.begin() + from + count)
                   : Bytes{};
    }
};

TEST_F(ReadFile, HeaderAndEndOnlyGiveNoRecordsAndSuccess) {
    writeText(file, "S00600004844521B\r\nS9030000FC\r\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.recordCount(), 0u);
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(ReadFile, StopsSilentlyAtTheEndRecordOrTheFirstOtherLine) {
    writeText(file, "S0030000FC\nS1050010AABB00\nS9030000FC\nS1050020AABB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.recordCount(), 1u);
    EXPECT_EQ(image.stopLine(), 3u);
    EXPECT_TRUE(image.textAfterStop());
    EXPECT_EQ(builtImage().size(), 64u); // the record at 0x20 is not in it

    writeText(file, "S1050010AABB00\nS9030000FC\r\n \r\n\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.stopLine(), 2u);
    EXPECT_FALSE(image.textAfterStop()); // only white space after the end record

    writeText(file, "S1050010AABB00\n\nS1050040AABB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.recordCount(), 1u);
    EXPECT_EQ(image.stopLine(), 2u);

    writeText(file, "S3070000000011223344\nS1050010AABB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.recordCount(), 0u);
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(ReadFile, TakesCrLfLfAndALastLineWithoutEnd) {
    writeText(file, "S1050010AABB00\r\nS1050020CCDD00\nS1050030EEFF00");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.recordCount(), 3u);
    EXPECT_EQ(image.stopLine(), 0u);
    const Bytes bytes = builtImage();
    EXPECT_EQ(slice(bytes, 0x10, 3), (Bytes{0xAA, 0xBB, 0xFF}));
    EXPECT_EQ(slice(bytes, 0x20, 3), (Bytes{0xCC, 0xDD, 0xFF}));
    EXPECT_EQ(slice(bytes, 0x30, 3), (Bytes{0xEE, 0xFF, 0xFF}));
    // A carriage return that is not part of a line end stays in the line:
    // the pair "\rB" reads as 0x00.
    writeText(file, "S1060010AA\rBB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(slice(builtImage(), 0x10, 4), (Bytes{0xAA, 0x00, 0xB0, 0xFF}));
}

TEST_F(ReadFile, LineEndsSplitAcrossReadBlocksReadLikeAnyOther) {
    // The file is read in blocks of 64 KiB: put a CR LF, and a lone CR, at
    // every position around the first block's end. The line before it is a
    // record announcing more data than it holds, so its data run to the line
    // end: a CR taken into the data would add a byte 0x00 where an odd last
    // digit is filler.
    for (std::size_t crAt = 65530; crAt < 65540; ++crAt) {
        std::string text;
        while (text.size() + 30 < crAt) {
            text += "S1050010AABB00\n";
        }
        const std::size_t shortLines = text.size() / 15;
        text += "S1FF0030" + std::string(crAt - text.size() - 8, '0');
        const std::size_t zeros = crAt - 15 * shortLines - 8;

        writeText(file, text + "\r\nS1050020CCDD00");
        ASSERT_EQ(image.readFile(file), 1);
        ASSERT_EQ(image.recordCount(), shortLines + 2) << crAt;
        Bytes bytes = builtImage();
        EXPECT_EQ(slice(bytes, 0x30, zeros / 2 + 1), [&] {
            Bytes expected(zeros / 2, 0x00);
            expected.push_back(0xFF);
            return expected;
        }()) << crAt;
        EXPECT_EQ(slice(bytes, 0x20, 2), (Bytes{0xCC, 0xDD})) << crAt;

        // A CR not followed by LF stays in the line, also at a block's end.
        writeText(file, text + "\rX\nS1050020CCDD00\n");
        ASSERT_EQ(image.readFile(file), 1);
        ASSERT_EQ(image.recordCount(), shortLines + 2) << crAt;
        bytes = builtImage();
        EXPECT_EQ(slice(bytes, 0x30, (zeros + 2) / 2 + 1), [&] {
            Bytes expected((zeros + 2) / 2, 0x00);
            expected.push_back(0xFF);
            return expected;
        }()) << crAt;
        EXPECT_EQ(image.stopLine(), 0u);
    }
}

TEST_F(ReadFile, HugeLinesAreReadWithoutKeepingThem) {
    const std::string data(2 * 252, 'A');
    std::string text = "S1FF0100" + data + "5a" + std::string(3'000'000, 'x') + "\r\n";
    text += "S2" + std::string(5'000'000, '0') + "\n";
    text += "S1050010AABB00\n";
    writeText(file, text);
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.recordCount(), 3u);
    const Bytes bytes = builtImage();
    EXPECT_EQ(slice(bytes, 0x100, 253), [] {
        Bytes expected(252, 0xAA);
        expected.push_back(0xFF);
        return expected;
    }());
    EXPECT_EQ(slice(bytes, 0x10, 2), (Bytes{0xAA, 0xBB}));
}

TEST_F(ReadFile, StartsAfreshOnEveryReadAndRefusesWhatIsNotAFile) {
    writeText(file, "S1050010AABB00\nS1050020CCDD00\n");
    ASSERT_EQ(image.readFile(file), 1);
    ASSERT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.recordCount(), 2u);

    EXPECT_EQ(image.readFile(folder / "missing.mot"), 0);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{"Read File Error !"}));
    // A folder, a device that never ends and a pipe that no one writes are
    // refused at once, not read.
    const auto fifo = folder / "fifo.mot";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(image.readFile(folder.path()), 0);
    EXPECT_EQ(image.readFile("/dev/zero"), 0);
    EXPECT_EQ(image.readFile(fifo), 0);
    EXPECT_EQ(op.texts().size(), 4u);
}

TEST_F(ReadFile, CountsDamagedRecordsWithTheirFirstLinesAndLoadsThemAsWritten) {
    writeText(file, std::string("S00600004844521B\n") + // a header
                        "S1050010AABB85\n" +            // sound
                        "S1050010aabb85\n" +            // sound, lower case
                        "S1050010AABB00\n" +            // wrong checksum
                        "S1050010AAZB85\n" +            // not hex (and so a wrong sum)
                        "S1050010AABB\n" +              // no checksum
                        "S1020010\n" +                  // a count too small for its address
                        "S1050010AABB85 trailing words\n" + "S1050010AABB00\n");
    ASSERT_EQ(image.readFile(file), 1);
    const RecordFaults& faults = image.faults();
    EXPECT_EQ(faults.wrongChecksums, 5u);
    EXPECT_EQ(faults.firstWrongChecksumLine, 4u);
    EXPECT_EQ(faults.notHex, 1u);
    EXPECT_EQ(faults.firstNotHexLine, 5u);
    EXPECT_TRUE(faults.damaged());
    EXPECT_EQ(faults.pastFlashEnd, 0u);
    EXPECT_EQ(slice(builtImage(), 0x10, 2), (Bytes{0xAA, 0xBB}));

    writeText(file, "S1050010AABB85\r\nS208010000112233444C\r\n");
    ASSERT_EQ(image.readFile(file), 1);
    EXPECT_FALSE(image.faults().damaged());
    EXPECT_TRUE(op.messages.empty());
}

} // namespace
} // namespace velmora
