#include "core/file_io.h"
#include "image/image_test_support.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>

namespace velmora {
namespace {

using testing::readBytes;
using testing::readText;
using testing::ScratchFolder;
using testing::writeText;

// One file under several names is one file; two files with the same bytes
// are two; a name that leads nowhere is no file at all (and no exception).
TEST(FileIo, SameFileKnowsAFileByItsIdentityNotItsName) {
    ScratchFolder folder;
    writeText(folder / "prog.mot", "S9030000FC\n");
    writeText(folder / "copy.mot", "S9030000FC\n");
    std::filesystem::create_hard_link(folder / "prog.mot", folder / "linked.mot");
    const std::string prog = (folder / "prog.mot").string();

    EXPECT_TRUE(sameFile(prog, prog));
    EXPECT_TRUE(sameFile(prog, (folder.path() / "." / "prog.mot").string()));
    EXPECT_TRUE(sameFile(prog, (folder / "linked.mot").string()));
    EXPECT_FALSE(sameFile(prog, (folder / "copy.mot").string()));
    EXPECT_FALSE(sameFile(prog, (folder / "missing.mot").string()));
    EXPECT_FALSE(sameFile((folder / "missing.mot").string(), (folder / "missing.mot").string()));
}

TEST(FileIo, ReplaceFileNameReplacesAnExistingFileAndSaysWhyItCannot) {
    ScratchFolder folder;
    writeText(folder / "new.part", "new");
    writeText(folder / "tmp.bin", "old bytes");
    ASSERT_EQ(replaceFileName((folder / "new.part").string(), (folder / "tmp.bin").string()), 0);
    EXPECT_EQ(readBytes(folder / "tmp.bin"), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
    EXPECT_FALSE(std::filesystem::exists(folder / "new.part"));

    errno = 0;
    EXPECT_EQ(replaceFileName((folder / "gone.part").string(), (folder / "tmp.bin").string()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(readBytes(folder / "tmp.bin"), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
}

TEST(FileIo, APublishedFileReplacesTheOldOneOnlyWhenWholeAndOnTheDisk) {
    ScratchFolder dir;
    // A small file system, full: the new file cannot be written.
    std::filesystem::path small = dir / "small";
    std::filesystem::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    std::ofstream(small / "report.json") << "the earlier report";
    {
        std::ofstream filler(small / "filler", std::ios::binary);
        std::string block(4096, 'x');
        for (int i = 0; i < 16 && filler; ++i) {
            filler.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    PublishedFile file;
    ASSERT_TRUE(file.open((small / "report.json").string())) << file.error();
    file.write(std::string(20000, 'y'));
    EXPECT_FALSE(file.commit());
    EXPECT_NE(file.error().find("cannot write " + (small / "report.json").string() +
                                ": No space left on device"),
              std::string::npos)
        << file.error();
    EXPECT_EQ(readText(small / "report.json"), "the earlier report");
    // No hidden piece is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(small)) {
        ++entries;
    }
    EXPECT_EQ(entries, 2);

    // With room again the file is replaced, whole.
    std::filesystem::remove(small / "filler");
    ASSERT_TRUE(file.open((small / "report.json").string()));
    EXPECT_TRUE(file.write("new") && file.commit()) << file.error();
    EXPECT_EQ(readText(small / "report.json"), "new");
    ::umount(small.c_str());

    // A place that cannot take a file is found out at open, with the reason.
    EXPECT_FALSE(file.open((dir / "absent" / "report.json").string()));
    EXPECT_NE(file.error().find("No such file or directory"), std::string::npos) << file.error();
    EXPECT_FALSE(file.open(dir.path().string()));
    EXPECT_NE(file.error().find("Is a directory"), std::string::npos) << file.error();
}

} // namespace
} // namespace velmora
