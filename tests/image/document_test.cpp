#include "core/flags.h"
#include "core/sha256.h"
#include "image/image_summary.h"
#include "image/program_document.h"
#include "image_test_support.h"
#include "support/recording_operator.h"
#include "support/srec_text.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace velmora {
namespace {

using testing::dataRecord;
using testing::readBytes;
using testing::RecordingOperator;
using testing::ScratchFolder;
using testing::writeText;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* reminder = "Please check file name(upper-left corner) is correct or not!";

class Document : public ::testing::Test {
protected:
    void SetUp() override {
        dataReady = 0;
        writeText(good, dataRecord(0x10, {1, 2, 3}) + "\r\nS9030000FC\r\n");
        writeText(other, dataRecord(0x100, {4}) + "\n");
    }

    RecordingOperator op;
    ScratchFolder folder;
    Places places{folder.path(), folder.path()};
    std::filesystem::path good = folder / "good.mot";
    std::filesystem::path other = folder / "other.mot";
    std::filesystem::path tmpBin = folder / "tmp.bin";
    // Files a write left behind (the temporary files are hidden).
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
            const auto name = entry.path().filename().string();
            if (name.front() == '.') {
                names.push_back(name);
            }
        }
        return names;
    }
};

TEST_F(Document, TheLoadedHandlerSeesTheNewTitleAndSummaryBeforeTheReminder) {
    writeText(other, dataRecord(0x3F0, std::vector<std::uint8_t>(0x20, 7)) + "\n");
    ProgramDocument document(op, places);
    std::string titleThen;
    std::size_t messagesThen = 99;
    ImageSummary summary;
    document.setLoadedHandler([&] {
        titleThen = document.title();
        messagesThen = op.texts().size();
        summary = summarizeImage(document.image());
    });
    ASSERT_EQ(document.onOpenDocument(other.string()), 1);
    EXPECT_EQ(titleThen, "other.mot");
    EXPECT_EQ(messagesThen, 0u);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{reminder}));
    // Across the first two erase blocks: the image ends at the 64-byte boundary.
    EXPECT_EQ(summary.imageSize, 0x440u);
    EXPECT_TRUE(summary.hasData);
    EXPECT_EQ(hexRange(summary.firstAddress, summary.lastAddress), "0x003F0-0x0040F");
    EXPECT_EQ(blockList(summary.blocksWritten), "blocks 0-1 of 8");
    EXPECT_EQ(blockList({0, 1, 2, 5}), "blocks 0-2, 5 of 8");
    // 9 blocks of 129 bytes, 44 bytes of messages, 12 one-byte answers, 10 bits each.
    EXPECT_DOUBLE_EQ(writeLineSeconds(0x440, 9600), (9 * 129 + 44 + 12) * 10 / 9600.0);
}

TEST_F(Document, SuccessfulLoadWritesTheImageShowsOnlyTheReminderAndSetsDataReady) {
    ProgramDocument document(op, places);
    EXPECT_EQ(document.title(), "Default");
    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{reminder}));
    EXPECT_EQ(dataReady, 1);
    EXPECT_EQ(document.title(), "good.mot");
    EXPECT_EQ(document.path(), good.string());
    Bytes expected(64, 0xFF);
    expected[0x10] = 1, expected[0x11] = 2, expected[0x12] = 3;
    EXPECT_EQ(readBytes(tmpBin), expected);
    const RunRecord& load = document.lastLoad();
    EXPECT_EQ(load.result, RunResult::Loaded);
    EXPECT_EQ(load.stage, RunStage::Finished);
    EXPECT_EQ(load.imageSize, 64);
    EXPECT_EQ(load.imageSha256, sha256Hex(expected.data(), expected.size()));
    EXPECT_EQ(load.messages(), (std::vector<std::string>{reminder}));
    // The same file again rewrites the same bytes and reminds again.
    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{reminder, reminder}));
    EXPECT_EQ(readBytes(tmpBin), expected);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(Document, FailedLoadsLeaveTheLoadedImageReady) {
    ProgramDocument document(op, places);
    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    const Bytes loaded = readBytes(tmpBin);
    op.messages.clear();

    // A failure at every step after the open: reading, sorting, cutting into
    // lines and filling the gaps; the load's record names each.
    std::vector<RunStage> stages;
    const auto fails = [&](const std::string& path) {
        const int result = document.onOpenDocument(path);
        EXPECT_EQ(document.lastLoad().result, RunResult::Failed) << path;
        EXPECT_EQ(document.lastLoad().programFile, path);
        stages.push_back(document.lastLoad().stage);
        return result;
    };
    writeText(folder / "empty.mot", "");
    EXPECT_EQ(fails((folder / "empty.mot").string()), 0);
    writeText(folder / "outside.mot", dataRecord(0x20000, {1}) + "\n");
    EXPECT_EQ(fails((folder / "outside.mot").string()), 0);
    writeText(folder / "no-data.mot", "S1030010EC\n");
    EXPECT_EQ(fails((folder / "no-data.mot").string()), 0);
    writeText(folder / "overlap.mot",
              dataRecord(0x1008, Bytes(16, 1)) + "\n" + dataRecord(0x100C, {2, 2}) + "\n");
    EXPECT_EQ(fails((folder / "overlap.mot").string()), 0);
    const auto missing = (folder / "missing.mot").string();
    EXPECT_EQ(fails(missing), 0);
    EXPECT_EQ(document.lastLoad().cause, missing + " was not found.");
    EXPECT_EQ(fails(folder.path().string()), 0);
    EXPECT_EQ(stages, (std::vector<RunStage>{RunStage::FindingRecords, RunStage::RecordRange,
                                             RunStage::CuttingLines, RunStage::FillingGaps,
                                             RunStage::OpeningFile, RunStage::OpeningFile}));
    EXPECT_EQ(op.texts(), (std::vector<std::string>{
                              "Mot File Error (not S19 format) !", "Mot File Data Range Error !",
                              "Mot File Error (Execute the max range) !", "Mot File Error(2) !",
                              missing + " was not found.", "File Open fail",
                              "Cannot open " + folder.path().string() + ": Is a directory.",
                              "File Open fail"}));
    EXPECT_EQ(dataReady, 1);
    EXPECT_EQ(document.title(), "good.mot");
    EXPECT_EQ(readBytes(tmpBin), loaded);
}

TEST_F(Document, NewDocumentClearsDataReadyAndKeepsTheImageFile) {
    ProgramDocument document(op, places);
    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    EXPECT_EQ(document.onNewDocument(), 1);
    EXPECT_EQ(dataReady, 0);
    EXPECT_EQ(document.title(), "Default");
    EXPECT_EQ(document.path(), "");
    EXPECT_TRUE(std::filesystem::exists(tmpBin));
    // A failed load after it leaves the document empty and not ready.
    EXPECT_EQ(document.onOpenDocument((folder / "missing.mot").string()), 0);
    EXPECT_EQ(dataReady, 0);
    EXPECT_EQ(document.title(), "Default");
}

TEST_F(Document, MakesAWorkFolderThatIsMissing) {
    Places nested = places;
    nested.workDir = folder / "runs" / "first";
    ProgramDocument document(op, nested);
    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    EXPECT_EQ(std::filesystem::file_size(nested.imageFile()), 64u);
}

TEST_F(Document, AFailedWriteLeavesThePreviousImageWhole) {
    ProgramDocument document(op, places);
    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    const Bytes loaded = readBytes(tmpBin);
    op.messages.clear();

    // A full 128 KiB image cut off by a file size limit part-way through.
    std::string big;
    for (std::uint32_t address = 0; address < 0x20000; address += 16) {
        big += dataRecord(address, Bytes(16, 0x5A)) + "\n";
    }
    writeText(folder / "big.mot", big);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int result = document.onOpenDocument((folder / "big.mot").string());
    ::setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{"BIN File Write Error !"}));
    EXPECT_EQ(readBytes(tmpBin), loaded);
    EXPECT_EQ(document.title(), "good.mot");
    EXPECT_EQ(dataReady, 1);

    // A work folder that cannot be made, and a folder where tmp.bin should be.
    Places impossible = places;
    impossible.workDir = other / "sub";
    ProgramDocument elsewhere(op, impossible);
    EXPECT_EQ(elsewhere.onOpenDocument(other.string()), 0);
    std::filesystem::remove(tmpBin);
    std::filesystem::create_directory(tmpBin);
    EXPECT_EQ(document.onOpenDocument(other.string()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(tmpBin));
    EXPECT_EQ(op.texts(),
              (std::vector<std::string>{"BIN File Write Error !", "BIN File Write Error !",
                                        "BIN File Write Error !"}));
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(Document, RefusesWhatIsNotARegularFileAtOnce) {
    ProgramDocument document(op, places);
    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    const Bytes loaded = readBytes(tmpBin);
    op.messages.clear();
    // A pipe that no one writes would wait forever; a device may never end.
    const auto fifo = folder / "fifo.mot";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(document.onOpenDocument(fifo.string()), 0);
    EXPECT_EQ(document.onOpenDocument("/dev/zero"), 0);
    EXPECT_EQ(op.texts(),
              (std::vector<std::string>{
                  "Cannot open " + fifo.string() + ": not a regular file.", "File Open fail",
                  "Cannot open /dev/zero: not a regular file.", "File Open fail"}));
    EXPECT_EQ(readBytes(tmpBin), loaded);
    EXPECT_EQ(document.title(), "good.mot");
}

TEST_F(Document, NeverWritesTheImageOverTheProgram) {
    const Bytes program = readBytes(good);
    ProgramDocument document(op, places);
    // The image named as the program itself, through another name (a hard
    // link), and a program that is the work folder's tmp.bin.
    const auto link = folder / "link.mot";
    std::filesystem::create_hard_link(good, link);
    for (const auto& imageFile : {good, link}) {
        document.setImageFile(imageFile);
        EXPECT_EQ(document.onOpenDocument(good.string()), 0);
    }
    std::filesystem::copy_file(good, tmpBin);
    ProgramDocument inWorkFolder(op, places);
    EXPECT_EQ(inWorkFolder.onOpenDocument(tmpBin.string()), 0);

    EXPECT_EQ(op.texts(), std::vector<std::string>(3, "BIN File Write Error !"));
    ASSERT_EQ(op.notices.size(), 3u);
    EXPECT_EQ(op.notices[0].first,
              good.string() + " is the program file itself; the image is not written over it");
    EXPECT_EQ(op.notices[0].second, Notice::Failure);
    EXPECT_EQ(readBytes(good), program);
    EXPECT_EQ(readBytes(tmpBin), program);
    EXPECT_EQ(dataReady, 0);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(Document, WarnsOfDamagedRecordsAndRefusesThemWhenStrict) {
    const auto damaged = folder / "damaged.mot";
    writeText(damaged, dataRecord(0x10, {1, 2, 3}) + "\nS1060020010203FF\nS1060030010G0300\n" +
                           "S1060040010G0300\n");
    ProgramDocument document(op, places);
    ASSERT_EQ(document.onOpenDocument(damaged.string()), 1);
    const std::string found = damaged.string() +
                              ": 3 records with a wrong checksum (first at line 2), 2 records "
                              "with characters that are not hex digits (first at line 3)";
    ASSERT_EQ(op.notices.size(), 1u);
    EXPECT_EQ(op.notices[0].first, "Warning: " + found + "; loaded as written");
    EXPECT_EQ(op.notices[0].second, Notice::Warning);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{reminder}));
    EXPECT_EQ(readBytes(tmpBin)[0x20], 1);

    ASSERT_EQ(document.onOpenDocument(good.string()), 1);
    const Bytes loaded = readBytes(tmpBin);
    op.messages.clear();
    op.notices.clear();
    document.setStrict(true);
    EXPECT_EQ(document.onOpenDocument(damaged.string()), 0);
    ASSERT_EQ(op.notices.size(), 1u);
    EXPECT_EQ(op.notices[0].first, found + "; refused");
    EXPECT_EQ(op.notices[0].second, Notice::Failure);
    EXPECT_EQ(op.texts(), (std::vector<std::string>{"Read File Error !"}));
    EXPECT_EQ(readBytes(tmpBin), loaded);
    EXPECT_EQ(document.title(), "good.mot");
    // A sound file loads under strict without a word.
    op.messages.clear();
    op.notices.clear();
    EXPECT_EQ(document.onOpenDocument(good.string()), 1);
    EXPECT_TRUE(op.notices.empty());
}

TEST_F(Document, WarnsThatBytesPastTheFlashAreDropped) {
    const auto longTail = folder / "tail.mot";
    // A record that crosses 0x20000 and two that start at or above it.
    writeText(longTail, dataRecord(0x10, {1}) + "\n" + dataRecord(0x1FFF0, Bytes(20, 7)) + "\n" +
                            dataRecord(0x20000, {1}) + "\n" + dataRecord(0x3FFF0, {2}) + "\n");
    ProgramDocument document(op, places);
    ASSERT_EQ(document.onOpenDocument(longTail.string()), 1);
    ASSERT_EQ(op.notices.size(), 2u);
    EXPECT_EQ(op.notices[0].first,
              "Warning: " + longTail.string() +
                  ": 2 records start at or above 0x20000, past the end of the flash (first at "
                  "line 3); dropped");
    EXPECT_EQ(op.notices[1].first,
              "Warning: " + longTail.string() +
                  ": 1 record runs past the end of the flash at 0x1FFFF (first at line 2); the "
                  "bytes past it are dropped");
    EXPECT_EQ(std::filesystem::file_size(tmpBin), 0x20000u);
}

} // namespace
} // namespace velmora
