#include "image_test_support.h"
#include "support/run_command.h"
#include "support/srec_text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST_F(ConvertCommand, TheImageGoesWhereTheOutputNameLeads) {
    namespace fs = std::filesystem;
    const std::string work = " --work-dir " + shellQuoted(folder.path().string());
    ASSERT_EQ(convert(shellQuoted(good) + work).exitCode, 0);
    const auto image = readBytes(folder / "tmp.bin");
    const auto hiddenFiles = [](const fs::path& place) {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(place)) {
            count += entry.path().filename().string().ends_with(".part");
        }
        return count;
    };

    // A link: the file it names is replaced in its own folder, the link stays.
    fs::create_directories(folder / "images");
    writeText(folder / "images" / "board.bin", "old");
    fs::create_symlink("images/board.bin", folder / "current.bin");
    auto result =
        convert(shellQuoted(good) + " -o " + shellQuoted((folder / "current.bin").string()));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(fs::is_symlink(folder / "current.bin"));
    EXPECT_EQ(readBytes(folder / "images" / "board.bin"), image);
    EXPECT_EQ(hiddenFiles(folder.path()) + hiddenFiles(folder / "images"), 0);

    // A FIFO: its reader gets the image, and it stays a FIFO.
    const auto fifo = folder / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    result = runCommand("cat " + shellQuoted(fifo.string()) + " > " +
                            shellQuoted((folder / "read.bin").string()) + " & " + VELMORA_CLI +
                            " convert " + shellQuoted(good) + " -o " + shellQuoted(fifo.string()) +
                            "; status=$?; wait; exit $status",
                        folder.path());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readBytes(folder / "read.bin"), image);
    EXPECT_TRUE(fs::is_fifo(fifo));

    // Standard output, by - or by /dev/stdout: the image alone there, every message on stderr.
    for (const char* name : {"-", "/dev/stdout"}) {
        result = convert(shellQuoted(good) + " -o " + name);
        EXPECT_EQ(result.exitCode, 0) << name;
        EXPECT_EQ(result.out, std::string(image.begin(), image.end())) << name;
        EXPECT_EQ(result.err, reminder) << name;
    }
    EXPECT_FALSE(fs::exists(folder / "-"));

    // A folder is refused with the reason before anything is written.
    fs::create_directories(folder / "out.bin");
    result = convert(shellQuoted(good) + " -o " + shellQuoted((folder / "out.bin").string()));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Cannot write " + (folder / "out.bin").string() +
                              ": Is a directory\nBIN File Write Error !\n");
    EXPECT_EQ(hiddenFiles(folder.path()), 0);

    // A run killed before it published left its hidden file: the next one
    // writing there removes it; one of a live process is left alone.
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ::waitpid(gone, nullptr, 0);
    const auto stale = folder / (".tmp.bin." + std::to_string(gone) + ".0.part");
    const auto live = folder / (".tmp.bin." + std::to_string(::getpid()) + ".0.part");
    writeText(stale, "half");
    writeText(live, "busy");
    ASSERT_EQ(convert(shellQuoted(good) + work).exitCode, 0);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(live));
}

TEST_F(ConvertCommand, FailedLoadsExitOneWithTheMessagesOnStderr) {
    const auto missing = (folder / "missing.mot").string();
    auto result =
        convert(shellQuoted(missing) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, missing + " was not found.\nFile Open fail\n");

    writeText(good, dataRecord(0x20000, std::vector<std::uint8_t>(16, 0)) + "\n");
    result = convert(shellQuoted(good) + " --work-dir " + shellQuoted(folder.path().string()));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Warning: " + good +
                              ": 1 record starts at or above 0x20000, past the end of the flash "
                              "(first at line 1); dropped\nMot File Data Range Error !\nNo "
                              "data record of good.mot lies in the flash (0x00000 to 0x1FFFF): "
                              "is it linked for this board?\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "tmp.bin"));
}

TEST_F(ConvertCommand, AFileOfAnotherFormatIsNamedWithTheCommandThatConvertsIt) {
    namespace fs = std::filesystem;
    const auto path = [&](const char* name) { return (folder / name).string(); };
    const auto load = [&](const std::string& file) {
        return convert(shellQuoted(file) + " --work-dir " + shellQuoted(folder.path().string()));
    };
    const std::string notS19 = "Mot File Error (not S19 format) !\n";
    // The same program as Intel HEX, as S3 records and as a flat binary: each
    // is named, and the command offered turns it into a file that loads.
    writeText(path("prog.hex"), ":0400200001020304D2\n:00000001FF\n");
    writeText(path("prog3.mot"), "S00600004844521B\nS3090000002001020304CC\nS70500000000FA\n");
    writeText(path("prog.bin"), std::string("\x00\x00\x01\x02\x03\x04", 6));
    const struct {
        std::string file, looks, command, converted;
    } convertible[] = {
        {path("prog.hex"), "an Intel HEX file", "objcopy -I ihex -O srec", path("prog.mot")},
        {path("prog3.mot"), "S3 records (32-bit addresses)", "objcopy -I srec -O srec",
         path("prog3-converted.mot")},
        {path("prog.bin"), "a binary file", "objcopy -I binary -O srec", path("prog.mot")},
    };
    for (const auto& input : convertible) {
        auto result = load(input.file);
        EXPECT_EQ(result.exitCode, 1);
        const std::string command = input.command + " " + input.file + " " + input.converted;
        EXPECT_EQ(result.err,
                  notS19 + fs::path(input.file).filename().string() + " looks like " + input.looks +
                      ", not S-records with S1 or S2 data records.\nConvert it: " + command + "\n");
        ASSERT_EQ(runCommand(command, folder.path()).exitCode, 0) << command;
        EXPECT_EQ(load(input.converted).exitCode, 0) << command;
        fs::remove(input.converted);
    }
    // Objects of a toolchain: named, with its objcopy.
    writeText(path("prog.elf"), std::string("\x7f"
                                            "ELF\x01\x02\x01",
                                            7));
    writeText(path("prog.o"), std::string("\x83\x00\x00\x03", 4));
    auto result = load(path("prog.elf"));
    EXPECT_EQ(result.err, notS19 +
                              "prog.elf looks like an ELF object file, not S-records with S1 or "
                              "S2 data records.\nConvert it: h8300-elf-objcopy -O srec " +
                              path("prog.elf") + " " + path("prog.mot") + "\n");
    result = load(path("prog.o"));
    EXPECT_EQ(result.err, notS19 +
                              "prog.o looks like an H8/300 COFF object file, not S-records with "
                              "S1 or S2 data records.\nConvert it: h8300-hms-objcopy -O srec " +
                              path("prog.o") + " " + path("prog.mot") + "\n");
    writeText(path("empty.mot"), "");
    EXPECT_EQ(load(path("empty.mot")).err, notS19 + "empty.mot is empty.\n");
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

TEST_F(ConvertCommand, RefusesInputsThatAreNotFilesAndNeverWritesOverTheProgram) {
    const std::string workDir = " --work-dir " + shellQuoted(folder.path().string());
    // A device that never ends and a pipe that no one writes end at once.
    auto result = convert("/dev/zero" + workDir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Cannot open /dev/zero: not a regular file.\nFile Open fail\n");
    const auto fifo = folder / "fifo.mot";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    result = convert(shellQuoted(fifo.string()) + workDir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "Cannot open " + fifo.string() + ": not a regular file.\nFile Open fail\n");

    // -o naming the program, and a program that is the work folder's tmp.bin.
    const auto program = readBytes(good);
    result = convert(shellQuoted(good) + " -o " + shellQuoted(good));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, good + " is the program file itself; the image is not written over it\n"
                                 "BIN File Write Error !\n");
    const auto tmpBin = folder / "tmp.bin";
    std::filesystem::copy_file(good, tmpBin);
    result = convert("tmp.bin");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(readBytes(good), program);
    EXPECT_EQ(readBytes(tmpBin), program);
}

TEST_F(ConvertCommand, WarnsOfDamagedRecordsAndBytesPastTheFlashAndStrictRefuses) {
    const std::string workDir = " --work-dir " + shellQuoted(folder.path().string());
    // A wrong checksum on line 2, a letter that is not hex on line 3, and an
    // S2 record at the flash's last address with 16 data bytes on line 4.
    writeText(good, dataRecord(0x20, {1}) + "\nS1040030AA00\nS1040040QA00\n" +
                        dataRecord(0x1FFFF, std::vector<std::uint8_t>(16, 0x5A)) + "\n");
    auto result = convert(shellQuoted(good) + workDir);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, reminder);
    EXPECT_EQ(result.err,
              "Warning: " + good +
                  ": 2 records with a wrong checksum (first at line 2), 1 record with characters "
                  "that are not hex digits (first at line 3); loaded as written\nWarning: " +
                  good +
                  ": 1 record runs past the end of the flash at 0x1FFFF (first at line 4); the "
                  "bytes past it are dropped\n");
    const auto image = readBytes(folder / "tmp.bin");
    ASSERT_EQ(image.size(), 0x20000u);
    EXPECT_EQ(image[0x1FFFF], 0x5A);
    EXPECT_EQ(image[0x30], 0xAA);

    std::filesystem::remove(folder / "tmp.bin");
    result = convert(shellQuoted(good) + workDir + " --strict");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              good +
                  ": 2 records with a wrong checksum (first at line 2), 1 record with characters "
                  "that are not hex digits (first at line 3); refused\nRead File Error !\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "tmp.bin"));
}

TEST_F(ConvertCommand, ProgrammingCommandsWarnOfDamagedRecordsAndRefuseThemWhenStrict) {
    writeText(good, dataRecord(0x20, {1}) + "\nS1040030AA00\n");
    // A port that cannot be opened: the load comes first, and nothing waits.
    const std::string rest = " --port " + shellQuoted((folder / "no-such-port").string()) +
                             " --pass-us 0 --work-dir " + shellQuoted(folder.path().string());
    const std::string damage = good + ": 1 record with a wrong checksum (first at line 2)";
    for (const std::string command : {"flash", "write", "boot"}) {
        const auto result = runCommand(std::string(VELMORA_CLI) + " " + command + " " +
                                           shellQuoted(good) + rest + " --strict",
                                       folder.path());
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.err.rfind(damage + "; refused\nRead File Error !\n", 0), 0u)
            << command << ": " << result.err;
        EXPECT_FALSE(std::filesystem::exists(folder / "tmp.bin")) << command;
    }
    const auto result =
        runCommand(std::string(VELMORA_CLI) + " write " + shellQuoted(good) + rest, folder.path());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err.rfind("Warning: " + damage + "; loaded as written\n", 0), 0u)
        << result.err;
    EXPECT_TRUE(std::filesystem::exists(folder / "tmp.bin"));
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
