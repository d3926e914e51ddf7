#include "image_test_support.h"
#include "run_command.h"
#include "srec_text.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::dataRecord;
using testing::readBytes;
using testing::runCommand;
using testing::ScratchFolder;
using testing::shellQuoted;
using testing::writeText;

constexpr const char* reminder = "Please check file name(upper-left corner) is correct or not!\n";

class ConvertCommand : public ::testing::Test {
protected:
    ScratchFolder folder;
    std::string good = (folder / "good.mot").string();

    void SetUp() override { writeText(good, dataRecord(0x20, {0xAB}) + "\nS9030000FC\n"); }

    testing::CommandResult convert(const std::string& arguments) {
        return runCommand(std::string(VELMORA_CLI) + " convert " + arguments, folder.path());
    }
};

TEST_F(ConvertCommand, WritesTmpBinOrTheNamedFileAndPrintsTheReminder) {
    auto result = convert(shellQuoted(good) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, reminder);
    EXPECT_EQ(result.err, "");
    auto image = readBytes(folder / "tmp.bin");
    ASSERT_EQ(image.size(), 64u);
    EXPECT_EQ(image[0x20], 0xAB);
    EXPECT_EQ(image[0x1F], 0xFF);

    const auto out = (folder / "image.bin").string();
    result = convert(shellQuoted(good) + " -o " + shellQuoted(out));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(readBytes(out), image);
}

TEST_F(ConvertCommand, FailedLoadsExitOneWithTheMessagesOnStderr) {
    const auto missing = (folder / "missing.mot").string();
    auto result =
        convert(shellQuoted(missing) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, missing + " was not found.\nFile Open fail\n");

    writeText(good, "S2140200000000000000000000000000000000000000E9\n");
    result = convert(shellQuoted(good) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Mot File Data Range Error !\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "tmp.bin"));
}

TEST_F(ConvertCommand, WarnsWhenDataRecordsFollowWhereReadingStopped) {
    writeText(good, dataRecord(0x20, {1}) + "\n\n" + dataRecord(0x30, {2}) + "\n" +
                        dataRecord(0x40, {3}) + "\n");
    auto result = convert(shellQuoted(good) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, reminder);
    EXPECT_NE(result.err.find("warning"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("stopped at line 2"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("2 data records"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("line 3"), std::string::npos) << result.err;

    // An end record followed by nothing but blank lines is no reason to warn.
    writeText(good, dataRecord(0x20, {1}) + "\nS9030000FC\n\n");
    result = convert(shellQuoted(good) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.err, "");
}

TEST_F(ConvertCommand, CountsEveryIgnoredRecordOfALongTail) {
    // 5000 records after a stray blank line: the count runs across the blocks
    // the file is scanned in, and a last record without a line end counts too.
    std::string text = dataRecord(0x20, {1}) + "\n\n";
    for (int i = 0; i < 5000; ++i) {
        text += dataRecord(static_cast<std::uint32_t>(16 * i), std::vector<std::uint8_t>(16, 7)) +
                (i % 3 ? "\r\n" : "\n");
    }
    text += "S5030000FC\n" + dataRecord(0x40, {3});
    writeText(good, text);
    auto result = convert(shellQuoted(good) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.err.find("stopped at line 2; 5001 data records after it (first at line 3)"),
              std::string::npos)
        << result.err;
}

TEST_F(ConvertCommand, UsageErrorsExitTwoAndHelpExplains) {
    EXPECT_EQ(convert("").exitCode, 2);
    EXPECT_EQ(convert(shellQuoted(good) + " --no-such-option").exitCode, 2);
    const auto help = convert("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("tmp.bin"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--work-dir"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("-o"), std::string::npos) << help.out;
}

} // namespace
} // namespace velmora
