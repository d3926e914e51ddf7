#include "image/mot_image.h"
#include "image_test_support.h"
#include "reference_order.h"
#include "support/recording_operator.h"
#include "support/srec_text.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <random>

namespace velmora {
namespace {

using testing::dataRecord;
using testing::readBytes;
using testing::RecordingOperator;
using testing::ScratchFolder;
using testing::writeText;
using Bytes = std::vector<std::uint8_t>;

Bytes counting(std::size_t size, std::uint8_t first = 0) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

// The expected image: 0xFF from address 0 up to `size`, then the pieces placed.
Bytes filler(std::size_t size) {
    return Bytes(size, 0xFF);
}
void place(Bytes& image, std::uint32_t address, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + address);
}

class Builder : public ::testing::Test {
protected:
    RecordingOperator op;
    MotImage image{op};
    ScratchFolder folder;

    // Runs the whole load over the given lines; the image written, or empty
    // when a step failed.
    Bytes load(const std::vector<std::string>& lines) {
        std::string text;
        for (const auto& line : lines) {
            text += line + "\n";
        }
        writeText(folder / "in.mot", text);
        const auto out = (folder / "tmp.bin").string();
        std::filesystem::remove(out);
        if (!image.readFile(folder / "in.mot") || !image.sortRecords() || !image.buildLines()) {
            return {};
        }
        image.mergeLines();
        if (!image.fillGaps() || !image.writeImage(out)) {
            return {};
        }
        return readBytes(out);
    }
};

TEST_F(Builder, PlacesDataFromAddressZeroAndEndsAtA64ByteBoundary) {
    Bytes expected = filler(64);
    place(expected, 0, counting(16));
    EXPECT_EQ(load({dataRecord(0, counting(16))}), expected);

    expected = filler(0x140);
    place(expected, 0x100, {1, 2, 3, 4});
    EXPECT_EQ(load({dataRecord(0x100, {1, 2, 3, 4})}), expected);

    // A last data line at 0x1030 ends the image at 0x1040, one at 0x1040 at 0x1080.
    EXPECT_EQ(load({dataRecord(0x1030, {1})}).size(), 0x1040u);
    EXPECT_EQ(load({dataRecord(0x1040, {1})}).size(), 0x1080u);
    EXPECT_EQ(load({dataRecord(0x10, {1})}),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 1,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(op.messages.size(), 0u);
}

TEST_F(Builder, RecordsSharingALineEndUpInOneLineInEitherFileOrder) {
    Bytes expected = filler(0x1040);
    place(expected, 0x1000, counting(8, 0x10));
    place(expected, 0x1008, counting(8, 0x80));
    EXPECT_EQ(load({dataRecord(0x1000, counting(8, 0x10)), dataRecord(0x1008, counting(8, 0x80))}),
              expected);
    EXPECT_EQ(load({dataRecord(0x1008, counting(8, 0x80)), dataRecord(0x1000, counting(8, 0x10))}),
              expected);
}

TEST_F(Builder, ARecordAcrossALineBoundaryCoversBothLines) {
    Bytes expected = filler(0x1040);
    place(expected, 0x1004, counting(16, 0xA0));
    EXPECT_EQ(load({dataRecord(0x1004, counting(16, 0xA0))}), expected);
    // A later record starting in the second line keeps the first one's bytes
    // in front of its own start, and its filler replaces the rest of the line.
    place(expected, 0x1016, {0x11});
    std::fill(expected.begin() + 0x1017, expected.begin() + 0x1020, 0xFF);
    EXPECT_EQ(load({dataRecord(0x1004, counting(16, 0xA0)), dataRecord(0x1016, {0x11})}), expected);
}

TEST_F(Builder, OrdersLateRecordsAsInsertedOneByOne) {
    const Bytes scattered = load({dataRecord(0x40, {1}), dataRecord(0x100, {2}),
                                  dataRecord(0x20, {3}), dataRecord(0x10, {4})});
    ASSERT_EQ(scattered.size(), 0x140u);
    EXPECT_EQ(scattered[0x10], 4);
    EXPECT_EQ(scattered[0x20], 3);
    EXPECT_EQ(scattered[0x40], 1);
    EXPECT_EQ(scattered[0x100], 2);

    // The late second record at 0x40 goes before the first: the first one's bytes win.
    const Bytes image1 = load({dataRecord(0x0, {9, 9, 9, 9}), dataRecord(0x100, {8, 8, 8, 8}),
                               dataRecord(0x40, {1, 2, 3, 4}), dataRecord(0x40, {5, 6, 7, 8})});
    EXPECT_EQ(Bytes(image1.begin() + 0x40, image1.begin() + 0x44), (Bytes{1, 2, 3, 4}));

    // Equal addresses in the ascending run keep file order: the later one wins,
    // over every late record of its address too.
    const Bytes image2 = load({dataRecord(0x40, {1, 1}), dataRecord(0x80, {7}),
                               dataRecord(0x40, {3, 3}), dataRecord(0x80, {2, 2})});
    EXPECT_EQ(Bytes(image2.begin() + 0x40, image2.begin() + 0x42), (Bytes{1, 1}));
    EXPECT_EQ(Bytes(image2.begin() + 0x80, image2.begin() + 0x82), (Bytes{2, 2}));
}

TEST_F(Builder, ByteOfEachAddressComesFromTheLastRecordInOneByOneOrder) {
    // Many one-byte records at few addresses, in and out of order, some
    // outside the window: each address gets the byte of the last record of
    // that address in the reference order.
    std::mt19937 random(20261209);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::string> lines;
        std::vector<SRecord> records;
        const int count = 1 + static_cast<int>(random() % 400);
        const std::uint32_t spread = 1 + random() % 64;
        for (int i = 0; i < count; ++i) {
            SRecord record;
            record.type = "S1";
            record.length = 1;
            record.address = (random() % spread) * 16 + (random() % 9 == 0 ? 0x20000 : 0);
            record.data = std::to_string(i % 256); // tells the records apart
            records.push_back(record);
            lines.push_back(dataRecord(record.address, {static_cast<std::uint8_t>(i % 256)}));
        }
        std::map<std::uint32_t, std::uint8_t> expected;
        for (const auto& record : testing::insertedOneByOne(records)) {
            expected[record.address] = static_cast<std::uint8_t>(std::stoi(record.data));
        }
        const Bytes bytes = load(lines);
        if (expected.empty()) {
            EXPECT_TRUE(bytes.empty());
            continue;
        }
        for (const auto& [address, byte] : expected) {
            ASSERT_LT(address, bytes.size());
            ASSERT_EQ(bytes[address], byte) << "round " << round << " address " << address;
        }
    }
}

TEST_F(Builder, DescendingFileGivesTheSameImageAsAscending) {
    std::vector<std::string> lines;
    Bytes expected = filler(0x20000);
    std::mt19937 random(7);
    for (std::uint32_t address = 0; address < 0x20000; address += 16) {
        Bytes bytes(16);
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        place(expected, address, bytes);
        lines.push_back(dataRecord(address, bytes));
    }
    EXPECT_EQ(load(lines), expected);
    std::reverse(lines.begin(), lines.end());
    EXPECT_EQ(load(lines), expected);
    // Vector records after the code give the same image too.
    std::reverse(lines.begin(), lines.end());
    std::rotate(lines.begin(), lines.begin() + 1, lines.end());
    EXPECT_EQ(load(lines), expected);
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(Builder, RefusesFilesWithNothingToPlaceOrOverlapsAcrossLines) {
    EXPECT_TRUE(load({"S00600004844521B", "S9030000FC"}).empty());
    EXPECT_TRUE(load({dataRecord(0x20000, {1, 2}), dataRecord(0x30000, {3})}).empty());
    EXPECT_TRUE(load({dataRecord(0x1008, counting(16)), dataRecord(0x100C, {1, 2})}).empty());
    // Records with no data bytes make no line.
    EXPECT_TRUE(load({"S1030010EC", "S1020020DD"}).empty());
    // Two records starting in one line, the earlier in order running into the next line.
    EXPECT_TRUE(load({dataRecord(0x4E, counting(15)), dataRecord(0x42, counting(28))}).empty());
    // A record reaching past the line where a later record starts.
    EXPECT_TRUE(load({dataRecord(0x10, counting(40)), dataRecord(0x20, {1})}).empty());
    EXPECT_EQ(op.texts(), (std::vector<std::string>{
                              "Mot File Error (not S19 format) !", "Mot File Data Range Error !",
                              "Mot File Error(2) !", "Mot File Error (Execute the max range) !",
                              "Mot File Error(2) !", "Mot File Error(2) !"}));
    // Overlaps that stay within the later record's lines load.
    EXPECT_FALSE(load({dataRecord(0x10, counting(40)), dataRecord(0x30, {1})}).empty());
    EXPECT_FALSE(load({dataRecord(0x42, counting(4)), dataRecord(0x44, counting(28))}).empty());
}

TEST_F(Builder, DropsRecordsOutsideTheWindowAndBytesPastTheFlash) {
    Bytes expected = filler(0x20000);
    place(expected, 0x1FFF8, counting(8, 1));
    place(expected, 0x10, {7});
    EXPECT_EQ(load({dataRecord(0x10, {7}), dataRecord(0x20000, {5}),
                    dataRecord(0x1FFF8, counting(16, 1))}),
              expected);
    EXPECT_EQ(image.faults().pastFlashEnd, 1u);
    EXPECT_EQ(image.faults().firstPastFlashEndLine, 3u);
    // The longest S2 record at the last address: one byte in, the rest dropped.
    expected = filler(0x20000);
    expected[0x1FFFF] = 0x42;
    EXPECT_EQ(load({dataRecord(0x1FFFF, Bytes(251, 0x42))}), expected);
    // Data ending at the flash's last byte is no fault.
    load({dataRecord(0x1FFF0, counting(16))});
    EXPECT_EQ(image.faults().pastFlashEnd, 0u);
}

TEST_F(Builder, UnexpectedRecordsGiveDefinedLines) {
    // Length 0 or less: no line; the other records still count.
    Bytes expected = filler(64);
    expected[0x20] = 0x11;
    EXPECT_EQ(load({"S1030010EC",
                    "S1050020"
                    "11",
                    "S1000030"}),
              expected);

    // Data shorter than announced: the pairs present, filler for the rest
    // (a lone last digit included), and the image stays aligned.
    expected = filler(128);
    place(expected, 0x04, {0x12, 0x34});
    place(expected, 0x40, {0x99});
    EXPECT_EQ(load({"S1130004"
                    "12345",
                    dataRecord(0x40, {0x99})}),
              expected);

    // Data running past the second line: every byte lands.
    expected = filler(0x140);
    place(expected, 0x10C, counting(40, 0x40));
    EXPECT_EQ(load({dataRecord(0x10C, counting(40, 0x40))}), expected);

    // Characters that are not hex, NUL and non-ASCII bytes among them, write 0x00.
    expected = filler(64);
    place(expected, 0, {0x00, 0x00, 0xAB, 0x00});
    EXPECT_EQ(load({std::string("S1070000ZZ\0\xE9"
                                "ab\xC3\xA9"
                                "00",
                                18)}),
              expected);
    EXPECT_TRUE(op.messages.empty());
}

} // namespace
} // namespace velmora
