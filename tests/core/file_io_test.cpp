#include "core/file_io.h"
#include "image/image_test_support.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::readBytes;
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

} // namespace
} // namespace velmora
