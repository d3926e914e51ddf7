#include "image/hex_text.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

// Whether the characters lie inside the object itself (no allocation of their own).
bool heldInPlace(const HexText& text) {
    const char* self = reinterpret_cast<const char*>(&text);
    return text.data() >= self && text.data() < self + sizeof text;
}

const std::string line32 = "00112233445566778899AABBCCDDEEFF";
const std::string record64 = line32 + "0123456789abcdef0123456789ABCDEF";

TEST(HexText, ALineIsHeldInPlaceALongerRecordOnTheHeap) {
    HexText empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty, "");

    HexText line = line32;
    EXPECT_TRUE(heldInPlace(line));
    EXPECT_EQ(line.size(), 32u);
    EXPECT_EQ(line, line32);

    HexText record = record64;
    EXPECT_FALSE(heldInPlace(record));
    EXPECT_EQ(record.size(), 64u);
    EXPECT_EQ(record, record64);

    // Shorter again: the characters are the new ones, whatever the storage.
    record = "AB";
    EXPECT_EQ(record, "AB");
    EXPECT_EQ(record.size(), 2u);
    line = record64;
    EXPECT_EQ(line, record64);
}

TEST(HexText, CopiesAndMovesKeepTheCharactersAndLeaveTheSourceUsable) {
    for (const std::string& value : {std::string("A1"), line32, record64}) {
        HexText original = value;
        HexText copy = original;
        EXPECT_EQ(copy, value);
        EXPECT_EQ(original, value);
        EXPECT_EQ(heldInPlace(copy), value.size() <= HexText::inlineCapacity);

        HexText moved = std::move(original);
        EXPECT_EQ(moved, value);
        original = "FF"; // a moved-from text takes a new value
        EXPECT_EQ(original, "FF");

        HexText target = record64; // assignments over heap and in-place targets alike
        target = copy;
        EXPECT_EQ(target, value);
        HexText small = "0";
        small = std::move(copy);
        EXPECT_EQ(small, value);

        HexText& alias = small;
        small = alias; // self-assignment
        EXPECT_EQ(small, value);
    }
    // Copies in a list, as the image's lists hold them.
    std::vector<HexText> texts(100, HexText(record64));
    texts.emplace_back(line32);
    std::vector<HexText> copies = texts;
    EXPECT_EQ(copies.front(), record64);
    EXPECT_EQ(copies.back(), line32);
}

TEST(HexText, AssignsAPartOfItself) {
    HexText text = record64;
    text.assign(text.view().substr(32)); // from its own heap characters
    EXPECT_EQ(text, record64.substr(32));
    HexText line = line32;
    line.assign(line.view().substr(2, 4)); // from its own characters in place
    EXPECT_EQ(line, "1122");
}

TEST(HexText, ComparesAndConvertsLikeTheStringItStandsFor) {
    HexText text = "s1AbZ";
    EXPECT_EQ(text, std::string("s1AbZ"));
    EXPECT_EQ(std::string_view("s1AbZ"), text);
    EXPECT_NE(text, "s1ABZ"); // case matters: the text is kept as written
    EXPECT_NE(text, "s1Ab");
    EXPECT_EQ(text, HexText("s1AbZ"));
    const std::string asString = text;
    EXPECT_EQ(asString, "s1AbZ");
    EXPECT_EQ(text[2], 'A');
    EXPECT_EQ(std::string(text.begin(), text.end()), "s1AbZ");
    std::ostringstream shown;
    shown << text;
    EXPECT_EQ(shown.str(), "s1AbZ");

    const std::string withNul("\0\xE9", 2); // any bytes, NUL included
    text = withNul;
    EXPECT_EQ(text.size(), 2u);
    EXPECT_EQ(text, withNul);
    text.clear();
    EXPECT_TRUE(text.empty());
}

} // namespace
} // namespace velmora
