// Files the runtime extracts on Windows are created only under names that
// nothing has yet: a file, a folder or a link (dangling or not) at a drawn
// name makes it draw another, and nothing is written through a link. A file
// replaced after it was written is no longer the runtime's. A file another
// program holds open is given up after the bounded retries, and the next
// files still go.
#include "shared/TemporalFiles.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace Folivant {
namespace {

namespace fs = std::filesystem;
using Shared::TExclusiveFileStream;

String U(const fs::path& path) {
    return path.u16string();
}

TEST(WindowsExclusiveFile, NeverWritesThroughAnEntrySomeonePutAtTheName) {
    Testing::TempDir dir;
    Testing::WriteFileBytes(dir / "victim.txt", "precious");
    Testing::WriteFileBytes(dir / "taken.pdf", "someone else's");
    fs::create_directory(dir / "folder.pdf");
    std::vector<String> names{u"taken", u"folder"};
    // Links need a privilege on Windows (and Wine makes none); where one can
    // be made, a link at a drawn name is never written through, dangling or
    // not.
    const auto link = [&](const char* name, const char* target) {
        const fs::path at = dir / name;
        CreateSymbolicLinkW(at.c_str(), (dir / target).c_str(),
                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
        const DWORD attributes = GetFileAttributesW(at.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            names.push_back(String(at.stem().u16string()));
    };
    link("dangling.pdf", "created-by-us.txt");
    link("planted.pdf", "victim.txt");
    const std::size_t links = names.size() - 2;
    names.push_back(u"fresh");
    std::size_t next = 0;

    auto file = TExclusiveFileStream::CreateNew(
        U(dir.Path()) + u"\\", u".pdf", [&] { return names.at(next++); }, 0600);
    file.WriteBuffer("ours", 4);
    file.Close();

    EXPECT_EQ(file.FileName(), U(dir / "fresh.pdf")) << links << " links were made";
    EXPECT_EQ(Testing::ReadFileBytes(dir / "fresh.pdf"), "ours");
    EXPECT_EQ(Testing::ReadFileBytes(dir / "taken.pdf"), "someone else's");
    EXPECT_EQ(Testing::ReadFileBytes(dir / "victim.txt"), "precious");
    EXPECT_FALSE(fs::exists(dir / "created-by-us.txt"));
    EXPECT_TRUE(file.StillAtPath());

    // A file replaced after it was written is no longer ours.
    Testing::WriteFileBytes(dir / "other.pdf", "replaced");
    ASSERT_TRUE(MoveFileExW((dir / "other.pdf").c_str(), (dir / "fresh.pdf").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(file.StillAtPath());
}

TEST(WindowsExclusiveFile, AFileHeldOpenIsGivenUpAndTheNextFilesGo) {
    Testing::TempDir dir;
    Testing::WriteFileBytes(dir / "held.pdf", "held");
    Testing::WriteFileBytes(dir / "after.pdf", "after");
    // Opened without FILE_SHARE_DELETE, as a program that shows the file
    // may hold it: the system refuses to delete it.
    const HANDLE held = CreateFileW((dir / "held.pdf").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    int pauses = 0;
    {
        Shared::TTemporalFilesSystem system = Shared::TTemporalFilesSystem::Real();
        system.Sleep = [&](unsigned) { ++pauses; };
        Shared::TTemporalFiles registry(system);
        registry.Add(U(dir / "held.pdf"));
        registry.Add(U(dir / "after.pdf"));
    }
    CloseHandle(held);
    EXPECT_EQ(pauses, Shared::TTemporalFiles::MaxDeleteTries + 1);
    EXPECT_TRUE(fs::exists(dir / "held.pdf"));
    EXPECT_FALSE(fs::exists(dir / "after.pdf"));
}

} // namespace
} // namespace Folivant
