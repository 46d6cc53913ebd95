// The run folder on Windows: made new in the given folder, kept while its
// run holds the lock file, and swept by a later run once abandoned; a live
// run's folder and foreign folders stay. The shell's special folders.
#include "platform/SpecialFolders.h"
#include "platform/TemporaryFolder.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>

namespace Folivant {
namespace {

namespace fs = std::filesystem;

TEST(WindowsTemporaryFolder, RunFoldersAreMadeKeptAndSwept) {
    EXPECT_EQ(Platform::TemporaryDir().back(), u'\\');
    Testing::TempDir parent;
    const String parentText = parent.Path().u16string() + u"\\";

    const String own = Platform::RunFolder(parentText);
    EXPECT_EQ(Platform::RunFolder(parentText), own);
    const fs::path ownPath(own.substr(0, own.size() - 1));
    ASSERT_TRUE(fs::is_directory(ownPath));
    EXPECT_EQ(ownPath.parent_path(), parent.Path());
    // The run's lock file cannot be deleted while the run lives.
    EXPECT_FALSE(DeleteFileW((ownPath / ".lock").c_str()));

    // An abandoned folder of a process that is gone, with contents.
    const fs::path abandoned = parent / "folivant-run-999999-abcdef";
    Testing::WriteFileBytes(abandoned / "page.htm", "x");
    Testing::WriteFileBytes(abandoned / "sub" / "deep.bin", "y");
    Testing::WriteFileBytes(abandoned / ".lock", "");
    // A folder whose lock is still held by a run (here, this test).
    const fs::path held = parent / "folivant-run-999998-ghijkl";
    Testing::WriteFileBytes(held / ".lock", "");
    HANDLE lock = CreateFileW((held / ".lock").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    // Not run folders by name.
    fs::create_directories(parent / "folivant-run-12-abc");
    fs::create_directories(parent / "other");

    EXPECT_EQ(Platform::RemoveAbandonedRunFolders(parentText), 1);
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(held / ".lock"));
    EXPECT_TRUE(fs::exists(parent / "folivant-run-12-abc"));
    EXPECT_TRUE(fs::exists(parent / "other"));
    EXPECT_TRUE(fs::is_directory(ownPath));

    CloseHandle(lock);
    EXPECT_EQ(Platform::RemoveAbandonedRunFolders(parentText), 1);
    EXPECT_FALSE(fs::exists(held));

    Testing::WriteFileBytes(ownPath / "extracted.pdf", "z");
    Platform::RemoveRunFolder();
    EXPECT_FALSE(fs::exists(ownPath));
}

// The folders the shell reports exist, and the executable's folder is the
// one its path names.
TEST(WindowsSpecialFolders, FoldersExistAndTheExecutableIsFound) {
    const String path = Platform::ExecutablePath();
    const String dir = Platform::ExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), u'\\');
    EXPECT_EQ(path.substr(0, dir.size()), dir);
    EXPECT_TRUE(fs::is_regular_file(fs::path(path)));
    EXPECT_TRUE(fs::path(path).filename() == "folivant_portable_tests.exe");
    for (const String& folder : {Platform::UserAppDataDir(), Platform::UserDocumentsDir()})
        EXPECT_TRUE(!folder.empty() && fs::is_directory(fs::path(folder)))
            << fs::path(folder).string();
}

} // namespace
} // namespace Folivant
