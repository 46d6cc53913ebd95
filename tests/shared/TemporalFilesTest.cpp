#include "shared/TemporalFiles.h"

#include "base/Text.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <thread>

using Folivant::String;
using Folivant::StringToUtf8;
using Folivant::Utf8ToString;
using Folivant::Shared::EFCreateError;
using Folivant::Shared::TExclusiveFileStream;
using Folivant::Shared::TTemporalFiles;
using Folivant::Shared::TTemporalFilesSystem;
using Folivant::Testing::ReadFileBytes;
using Folivant::Testing::TempDir;
using Folivant::Testing::WriteFileBytes;
namespace fs = std::filesystem;

#ifndef _WIN32
extern char** environ;
#endif

namespace {

String U(const fs::path& path) {
    return Utf8ToString(path.string());
}

// The real file system with every call recorded and pauses counted but not
// taken; stuck names the one file whose deletion the system refuses.
struct RecordingSystem {
    std::vector<std::string> Calls;
    int Pauses = 0;
    String Stuck;

    TTemporalFilesSystem Make() {
        TTemporalFilesSystem real = TTemporalFilesSystem::Real();
        TTemporalFilesSystem system;
        system.FileExists = [this, real](const String& path) {
            Calls.push_back("exists " + StringToUtf8(path));
            return real.FileExists(path);
        };
        system.DeleteFile = [this, real](const String& path) {
            Calls.push_back("delete " + StringToUtf8(path));
            if (path != Stuck)
                real.DeleteFile(path);
        };
        system.Sleep = [this](unsigned ms) {
            EXPECT_EQ(ms, TTemporalFiles::RetryPauseMs);
            ++Pauses;
        };
        return system;
    }

    std::vector<std::string> Deletions() const {
        std::vector<std::string> out;
        for (const auto& call : Calls)
            if (call.rfind("delete ", 0) == 0)
                out.push_back(call.substr(7));
        return out;
    }
};

#ifndef _WIN32
mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}
#endif

} // namespace

#ifndef _WIN32 // the C++ library of mingw-w64 makes no links
TEST(TemporalFiles, DeletesPresentFilesInOrderWithOnePauseEach) {
    TempDir dir;
    WriteFileBytes(dir / "c.txt", "c");
    WriteFileBytes(dir / "a.txt", "a");
    WriteFileBytes(dir / "b.txt", "b");
    fs::create_directory(dir / "folder");
    WriteFileBytes(dir / "target.txt", "kept");
    fs::create_symlink(dir / "target.txt", dir / "link.txt");
    fs::create_symlink(dir / "nowhere.txt", dir / "dangling.txt");
    WriteFileBytes(dir / "unregistered.txt", "stays");

    RecordingSystem recorder;
    {
        TTemporalFiles registry(recorder.Make());
        for (const char* name :
             {"c.txt", "missing.txt", "a.txt", "folder", "dangling.txt", "b.txt", "link.txt"})
            registry.Add(U(dir / name));
        EXPECT_TRUE(recorder.Calls.empty()) << "Add touches the file system";
    }
    const std::vector<std::string> expected{(dir / "c.txt").string(), (dir / "a.txt").string(),
                                            (dir / "b.txt").string(), (dir / "link.txt").string()};
    EXPECT_EQ(recorder.Deletions(), expected);
    // A missing file, a folder and a link that leads nowhere cost no pause.
    EXPECT_EQ(recorder.Pauses, 4);
    for (const char* gone : {"a.txt", "b.txt", "c.txt", "link.txt"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / gone))) << gone;
    // Removing a link removes the link, never what it points to.
    EXPECT_EQ(ReadFileBytes(dir / "target.txt"), "kept");
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.txt"));
    EXPECT_TRUE(fs::exists(dir / "unregistered.txt"));
}

#endif

TEST(TemporalFiles, AnEmptyRegistryTouchesNothing) {
    RecordingSystem recorder;
    { TTemporalFiles registry(recorder.Make()); }
    EXPECT_TRUE(recorder.Calls.empty());
    EXPECT_EQ(recorder.Pauses, 0);
}

TEST(TemporalFiles, KeepsOneEntryForPathsThatDifferOnlyInCase) {
    TempDir dir;
    WriteFileBytes(dir / "Report.PDF", "x");
    RecordingSystem recorder;
    {
        TTemporalFiles registry(recorder.Make());
        registry.Add(U(dir / "Report.PDF"));
        registry.Add(U(dir / "report.pdf"));
        registry.Add(U(dir / "REPORT.pdf"));
        registry.Add(U(dir / "Report.PDF"));
        registry.Add(U(dir.Path()) + u"/\u00C4rger.txt");
        registry.Add(U(dir.Path()) + u"/\u00E4rger.TXT");
        registry.Add(U(dir / "Report2.PDF"));
        ASSERT_EQ(registry.Files().size(), 3u);
        // The path is kept as first given.
        EXPECT_EQ(registry.Files()[0], U(dir / "Report.PDF"));
        EXPECT_EQ(registry.Files()[1], U(dir.Path()) + u"/\u00C4rger.txt");
    }
    EXPECT_EQ(recorder.Deletions().size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "Report.PDF"));
}

TEST(TemporalFiles, GivesUpOnAFileThatNeverGoesAndDeletesTheNextOnes) {
    TempDir dir;
    WriteFileBytes(dir / "stuck.exe", "held");
    WriteFileBytes(dir / "after.pdf", "next");
    RecordingSystem recorder;
    recorder.Stuck = U(dir / "stuck.exe");
    {
        TTemporalFiles registry(recorder.Make());
        registry.Add(recorder.Stuck);
        registry.Add(U(dir / "after.pdf"));
    }
    const auto deletions = recorder.Deletions();
    EXPECT_EQ(std::count(deletions.begin(), deletions.end(), (dir / "stuck.exe").string()),
              TTemporalFiles::MaxDeleteTries);
    EXPECT_EQ(recorder.Pauses, TTemporalFiles::MaxDeleteTries + 1);
    EXPECT_TRUE(fs::exists(dir / "stuck.exe"));
    EXPECT_FALSE(fs::exists(dir / "after.pdf"));
}

#ifndef _WIN32
TEST(TemporalFiles, RemovesAFileAnotherProcessHoldsOpen) {
    TempDir dir;
    const fs::path held = dir / "held.pdf";
    WriteFileBytes(held, "document");
    // The child opens the file on descriptor 3 and keeps running.
    std::string script = "exec 3<\"$0\"; echo > \"$0.ready\"; sleep 30";
    std::string path = held.string();
    char sh[] = "/bin/sh", c[] = "-c";
    char* argv[] = {sh, c, script.data(), path.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ), 0);
    for (int i = 0; i < 500 && !fs::exists(path + ".ready"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(path + ".ready"));

    { // Deleted with the real pauses, while the child still holds it.
        TTemporalFiles registry;
        registry.Add(U(held));
    }
    EXPECT_FALSE(fs::exists(held));
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0) << "the holder should still be running";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}
#endif

TEST(TemporalFiles, GlobalRegistryLivesFromInitialisationToFinalisation) {
    using namespace Folivant::Shared;
    TempDir dir;
    WriteFileBytes(dir / "x.pdf", "x");
    ASSERT_EQ(GlobalTemporalFiles, nullptr);
    InitializeTemporalFiles();
    ASSERT_NE(GlobalTemporalFiles, nullptr);
    GlobalTemporalFiles->Add(U(dir / "x.pdf"));
    FinalizeTemporalFiles();
    EXPECT_EQ(GlobalTemporalFiles, nullptr);
    EXPECT_FALSE(fs::exists(dir / "x.pdf"));
    FinalizeTemporalFiles(); // a second finalisation finds nothing to do
}

namespace {

// Draws the given names in turn, then "fresh<n>".
std::function<String()> Names(std::vector<String> names) {
    auto state = std::make_shared<std::pair<std::vector<String>, std::size_t>>(std::move(names), 0);
    return [state] {
        auto& [list, next] = *state;
        if (next < list.size())
            return list[next++];
        return u"fresh" + Utf8ToString(std::to_string(next++));
    };
}

} // namespace

#ifndef _WIN32
// Windows files have no permission bits: their access comes from the folder.
TEST(ExclusiveFileStream, CreatesOwnerOnlyFilesWhateverTheUmask) {
    TempDir dir;
    const mode_t oldMask = ::umask(0);
    for (mode_t mode : {mode_t(0600), mode_t(0700)}) {
        auto file = TExclusiveFileStream::CreateNew(U(dir.Path()) + u"/", u".bin", Names({}), mode);
        file.WriteBuffer("abc", 3);
        file.Close();
        EXPECT_EQ(ModeOf(StringToUtf8(file.FileName())), mode);
        EXPECT_TRUE(file.StillAtPath());
    }
    ::umask(077);
    auto file = TExclusiveFileStream::CreateNew(U(dir.Path()) + u"/", u".exe", Names({}), 0700);
    EXPECT_EQ(ModeOf(StringToUtf8(file.FileName())), mode_t(0700));
    ::umask(oldMask);
}
#endif

#ifndef _WIN32 // the C++ library of mingw-w64 makes no links
TEST(ExclusiveFileStream, NeverWritesThroughAnEntrySomeonePutAtTheName) {
    TempDir dir;
    WriteFileBytes(dir / "victim.txt", "precious");
    fs::create_symlink(dir / "victim.txt", dir / "planted.pdf");
    fs::create_symlink(dir / "created-by-us.txt", dir / "dangling.pdf");
    WriteFileBytes(dir / "taken.pdf", "someone else's");
    fs::create_directory(dir / "folder.pdf");

    auto file = TExclusiveFileStream::CreateNew(
        U(dir.Path()) + u"/", u".pdf", Names({u"planted", u"dangling", u"taken", u"folder"}), 0600);
    file.WriteBuffer("ours", 4);
    file.Close();

    EXPECT_EQ(file.FileName(), U(dir / "fresh4.pdf"));
    EXPECT_EQ(ReadFileBytes(dir / "fresh4.pdf"), "ours");
    EXPECT_EQ(ReadFileBytes(dir / "victim.txt"), "precious");
    EXPECT_TRUE(fs::is_symlink(dir / "planted.pdf"));
    EXPECT_FALSE(fs::exists(dir / "created-by-us.txt"));
    EXPECT_EQ(ReadFileBytes(dir / "taken.pdf"), "someone else's");

    // A file replaced after it was written is no longer ours.
    WriteFileBytes(dir / "other.pdf", "replaced");
    fs::rename(dir / "other.pdf", dir / "fresh4.pdf");
    EXPECT_FALSE(file.StillAtPath());
}
#endif

TEST(ExclusiveFileStream, FailsForAFolderThatDoesNotExistAndWhenEveryNameIsTaken) {
    TempDir dir;
    try {
        TExclusiveFileStream::CreateNew(U(dir.Path()) + u"/", u".old/readme", Names({}), 0600);
        FAIL() << "a suffix naming a missing folder must fail";
    } catch (const EFCreateError& e) {
        EXPECT_NE(e.Message().find(u"Cannot create file \""), String::npos);
        EXPECT_NE(e.Message().find(u".old/readme\""), String::npos);
    }
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    WriteFileBytes(dir / "same.tmp", "");
    int draws = 0;
    EXPECT_THROW(TExclusiveFileStream::CreateNew(
                     U(dir.Path()) + u"/", u".tmp",
                     [&] {
                         ++draws;
                         return String(u"same");
                     },
                     0600),
                 EFCreateError);
    EXPECT_EQ(draws, TExclusiveFileStream::MaxNameTries);
}
