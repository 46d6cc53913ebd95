#include "platform/TemporaryFolder.h"

#include "base/Text.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

using Folivant::Utf8ToString;
using Folivant::Platform::RemoveAbandonedRunFolders;
using Folivant::Testing::TempDir;
using Folivant::Testing::WriteFileBytes;
namespace fs = std::filesystem;

namespace {

// The id of a process that has ended and been reaped.
pid_t EndedPid() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

TEST(TemporaryFolder, OnlyFoldersOfEndedRunsGoAndNothingIsFollowedOutOfThem) {
    TempDir parent, outside;
    WriteFileBytes(outside / "keep.txt", "outside");
    const std::string dead = std::to_string(EndedPid());
    const std::string live = std::to_string(::getpid());
    auto runFolder = [&](const std::string& name, bool withLock) {
        fs::create_directory(parent / name);
        fs::permissions(parent / name, fs::perms::owner_all);
        WriteFileBytes(parent / name / "AbCdEfGhIj.pdf", "decoded");
        if (withLock)
            WriteFileBytes(parent / name / ".lock", "");
    };
    const std::string prefix = "folivant-run-";
    // An ended run, with and without its lock file, whose folder holds a
    // link out of it and a sub-folder.
    runFolder(prefix + dead + "-aaaaaa", true);
    fs::create_symlink(outside / "keep.txt", parent / (prefix + dead + "-aaaaaa") / "link");
    fs::create_directory(parent / (prefix + dead + "-aaaaaa") / "sub");
    runFolder(prefix + dead + "-bbbbbb", false);
    // A live process, whatever its lock says.
    runFolder(prefix + live + "-cccccc", true);
    runFolder(prefix + live + "-dddddd", false);
    // A lock still held, though the process id looks ended (another pid
    // namespace, a reused id).
    runFolder(prefix + dead + "-eeeeee", true);
    const int held = ::open((parent / (prefix + dead + "-eeeeee") / ".lock").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    // A link named like a run folder, and names that are not run folders.
    fs::create_directory_symlink(outside.Path(), parent / (prefix + dead + "-ffffff"));
    runFolder(prefix + dead + "-ggggggg", true);
    runFolder(prefix + "x" + dead + "-hhhhhh", true);
    runFolder("folivant-" + dead + "-iiiiii", true);

    EXPECT_EQ(RemoveAbandonedRunFolders(Utf8ToString(parent.Path().string() + "/")), 2);
    ::close(held);

    EXPECT_FALSE(fs::exists(parent / (prefix + dead + "-aaaaaa")));
    EXPECT_FALSE(fs::exists(parent / (prefix + dead + "-bbbbbb")));
    for (const std::string& kept :
         {prefix + live + "-cccccc", prefix + live + "-dddddd", prefix + dead + "-eeeeee",
          prefix + dead + "-ggggggg", prefix + "x" + dead + "-hhhhhh",
          "folivant-" + dead + "-iiiiii"})
        EXPECT_TRUE(fs::exists(parent / kept / "AbCdEfGhIj.pdf")) << kept;
    EXPECT_TRUE(fs::is_symlink(parent / (prefix + dead + "-ffffff")));
    EXPECT_EQ(Folivant::Testing::ReadFileBytes(outside / "keep.txt"), "outside");
}

} // namespace
