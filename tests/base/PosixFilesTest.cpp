#include "base/PosixFiles.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

using namespace Folivant;
using Folivant::Testing::TempDir;

namespace {

std::size_t FilesIn(const std::filesystem::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

} // namespace

// A replacement takes the target's place whole with the mode asked for, and
// one that fails or is never committed leaves no temporary file and keeps
// the failure's errno for the caller.
TEST(PosixFiles, ReplaceFileReplacesWholeOrLeavesNothingBehind) {
    TempDir dir;
    const auto target = dir / "file";
    Folivant::Testing::WriteFileBytes(target, "old contents, longer than the new");
    ASSERT_TRUE(ReplaceFile(target, "new", 0640, true));
    EXPECT_EQ(Folivant::Testing::ReadFileBytes(target), "new");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(FilesIn(dir.Path()), 1u);

    // A folder in the target's place cannot be renamed over.
    std::filesystem::create_directory(dir / "folder");
    errno = 0;
    EXPECT_FALSE(ReplaceFile(dir / "folder", "x"));
    EXPECT_EQ(errno, EISDIR);
    {
        TReplacement abandoned((dir / "file.XXXXXX").string());
        ASSERT_TRUE(abandoned.Valid());
        ASSERT_TRUE(abandoned.Write("partial"));
    }
    EXPECT_EQ(FilesIn(dir.Path()), 2u);
    EXPECT_EQ(Folivant::Testing::ReadFileBytes(target), "new");

    errno = 0;
    EXPECT_FALSE(ReplaceFile(dir / "missing" / "file", "x"));
    EXPECT_EQ(errno, ENOENT);
}

TEST(PosixFiles, ReadWholeFileStopsPastTheLimit) {
    TempDir dir;
    const std::string big(200000, 'x');
    Folivant::Testing::WriteFileBytes(dir / "big", big);
    const struct {
        std::size_t Limit;
        std::size_t AtLeast, AtMost;
    } cases[] = {
        {std::string::npos, big.size(), big.size()},
        {big.size(), big.size(), big.size()},
        {1000, 1001, big.size() - 1},
    };
    for (const auto& c : cases) {
        std::string text = "stale";
        ASSERT_TRUE(ReadWholeFile(dir / "big", text, c.Limit)) << c.Limit;
        EXPECT_GE(text.size(), c.AtLeast) << c.Limit;
        EXPECT_LE(text.size(), c.AtMost) << c.Limit;
        EXPECT_EQ(text.find_first_not_of('x'), std::string::npos);
    }
    std::string text;
    EXPECT_FALSE(ReadWholeFile(dir / "missing", text));
}
