#include "image/mot_image.h"
#include "image_test_support.h"
#include "support/recording_operator.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::RecordingOperator;
using testing::ScratchFolder;
using testing::writeText;

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

    std::vector<std::uint32_t> addresses() const {
        std::vector<std::uint32_t> result;
        for (const auto& record : image.records) {
            result.push_back(record.address);
        }
        return result;
    }
};

TEST_F(ReadFile, HeaderAndEndOnlyGiveNoRecordsAndSuccess) {
    writeText(file, "S00600004844521B\r\nS9030000FC\r\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_TRUE(image.records.empty());
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(ReadFile, StopsSilentlyAtTheEndRecordOrTheFirstOtherLine) {
    writeText(file, "S0030000FC\nS1050010AABB00\nS9030000FC\nS1050020AABB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(addresses(), (std::vector<std::uint32_t>{0x10}));
    EXPECT_EQ(image.stopLine(), 3);

    writeText(file, "S1050010AABB00\n\nS1050020AABB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(addresses(), (std::vector<std::uint32_t>{0x10}));
    EXPECT_EQ(image.stopLine(), 2);

    writeText(file, "S3070000000011223344\nS1050010AABB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_TRUE(image.records.empty());
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(ReadFile, TakesCrLfLfAndALastLineWithoutEnd) {
    writeText(file, "S1050010AABB00\r\nS1050020CCDD00\nS1050030EEFF00");
    EXPECT_EQ(image.readFile(file), 1);
    ASSERT_EQ(addresses(), (std::vector<std::uint32_t>{0x10, 0x20, 0x30}));
    EXPECT_EQ(image.records[0].data, "AABB");
    EXPECT_EQ(image.records[2].data, "EEFF");
    EXPECT_EQ(image.stopLine(), 0);
    // A carriage return that is not part of a line end stays in the line.
    writeText(file, "S1060010AA\rBB00\n");
    EXPECT_EQ(image.readFile(file), 1);
    EXPECT_EQ(image.records[0].data, "AA\rBB0");
}

TEST_F(ReadFile, LineEndsSplitAcrossReadBlocksReadLikeAnyOther) {
    // The file is read in blocks of 64 KiB: put a CR LF, and a lone CR, at
    // every position around the first block's end. The line before it is a
    // record announcing more data than it holds, so its data run to the line end.
    for (std::size_t crAt = 65530; crAt < 65540; ++crAt) {
        std::string text;
        while (text.size() + 30 < crAt) {
            text += "S1050010AABB00\n";
        }
        const std::size_t shortLines = text.size() / 15;
        text += "S1FF0030" + std::string(crAt - text.size() - 8, '0');
        const std::string zeros(crAt - 15 * shortLines - 8, '0');

        writeText(file, text + "\r\nS1050020CCDD00");
        ASSERT_EQ(image.readFile(file), 1);
        ASSERT_EQ(image.records.size(), shortLines + 2) << crAt;
        EXPECT_EQ(image.records[shortLines].data, zeros) << crAt;
        EXPECT_EQ(image.records.back().data, "CCDD") << crAt;

        // A CR not followed by LF stays in the line, also at a block's end.
        writeText(file, text + "\rX\nS1050020CCDD00\n");
        ASSERT_EQ(image.readFile(file), 1);
        ASSERT_EQ(image.records.size(), shortLines + 2) << crAt;
        EXPECT_EQ(image.records[shortLines].data, zeros + "\rX") << crAt;
        EXPECT_EQ(image.stopLine(), 0);
    }
}

TEST_F(ReadFile, HugeLinesAreReadWithoutKeepingThem) {
    const std::string data(2 * 252, 'A');
    std::string text = "S1FF0100" + data + "5a" + std::string(3'000'000, 'x') + "\r\n";
    text += "S2" + std::string(5'000'000, '0') + "\n";
    text += "S1050010AABB00\n";
    writeText(file, text);
    EXPECT_EQ(image.readFile(file), 1);
    ASSERT_EQ(addresses(), (std::vector<std::uint32_t>{0x100, 0, 0x10}));
    EXPECT_EQ(image.records[0].length, 252);
    EXPECT_EQ(image.records[0].data, data);
    EXPECT_EQ(image.records[0].checksum, 0x5A);
    EXPECT_EQ(image.records[1].length, -4);
}

TEST_F(ReadFile, EmptiesTheListOnEveryReadAndKeepsItWhenTheFileCannotBeRead) {
    writeText(file, "S1050010AABB00\nS1050020CCDD00\n");
    ASSERT_EQ(image.readFile(file), 1);
    ASSERT_EQ(image.readFile(file), 1);
    EXPECT_EQ(addresses(), (std::vector<std::uint32_t>{0x10, 0x20}));

    EXPECT_EQ(image.readFile(folder / "missing.mot"), 0);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{"Read File Error !"}));
    EXPECT_EQ(image.records.size(), 2u);
    // A folder opens but cannot be read: the read fails after the list was emptied.
    EXPECT_EQ(image.readFile(folder.path()), 0);
    EXPECT_EQ(op.texts().size(), 2u);
    EXPECT_TRUE(image.records.empty());
}

} // namespace
} // namespace velmora
