#include "shared/LinkActions.h"

#include "base/Text.h"
#include "shared/TemporalFiles.h"

#include "support/LinksSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using Folivant::String;
using Folivant::StringToUtf8;
using Folivant::TCustomMemoryStream;
using Folivant::TMemoryStream;
using Folivant::Utf8ToString;
using Folivant::Archive::TZipReader;
using namespace Folivant::Shared;
using namespace Folivant::Testing;
namespace fs = std::filesystem;

namespace {

std::string A(const String& text) {
    return StringToUtf8(text);
}
String U(const std::string& text) {
    return Utf8ToString(text);
}

// Every call the actions make to the desktop, in order, as one log.
struct Desktop : ISaveDialog, IMessageBox, IShell, ISoundPlayer, ITemporalFileRegistry {
    std::vector<std::string> Log;
    std::string TempFolder;

    // Save dialog: answers Confirm with SaveAs.
    bool Confirm = true;
    std::string SaveAs;
    std::string DefaultExt, Filter;
    void SetDefaultExt(const String& ext) override { DefaultExt = A(ext); }
    void SetFilter(const String& filter) override { Filter = A(filter); }
    // The names the dialog was told to open on, in order.
    std::vector<std::string> OpensOn;
    void SetFileName(const String& fileName) override { OpensOn.push_back(A(fileName)); }
    bool Execute() override {
        Log.push_back("dialog " + DefaultExt + " " + Filter);
        return Confirm;
    }
    String FileName() const override { return U(SaveAs); }

    std::vector<std::string> Messages;
    void ShowMessage(const String& text) override {
        Messages.push_back(A(text));
        Log.push_back("message");
    }

    std::vector<std::string> Opened;
    bool ShellOpen(const String& path, const String& args) override {
        EXPECT_TRUE(args.empty());
        Opened.push_back(A(path));
        Log.push_back("open " + A(path));
        return true;
    }
    String GetTemporalDir() override { return U(TempFolder); }

    // Sound: records the image and the loop flag; answers SoundAnswer or
    // raises when SoundFails.
    bool SoundAnswer = true;
    bool SoundFails = false;
    std::string Played;
    bool PlayedLoop = false;
    bool PlaySoundFromStream(TCustomMemoryStream& stream, bool loop) override {
        if (SoundFails)
            throw Folivant::EStreamError(u"Stream read error");
        EXPECT_EQ(stream.Position(), 0);
        Played.assign(reinterpret_cast<const char*>(stream.Memory()),
                      static_cast<std::size_t>(stream.Size()));
        PlayedLoop = loop;
        Log.push_back("play");
        return SoundAnswer;
    }

    // The registry is the real one, so "deleted at exit" is what it does.
    std::unique_ptr<TTemporalFiles> Registry = std::make_unique<TTemporalFiles>();
    void Add(const String& path) override {
        Registry->Add(path);
        Log.push_back("register " + A(path));
    }
};

class LinkActions : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(Dir / "exe");
        fs::create_directories(Dir / "tmp");
        fs::create_directories(Dir / "saved");
        // Folders end in the system's separator, as the helpers give them.
        Host.TempFolder = (Dir / "tmp" / "").string();
        Settings.RootDirName = u"site";
        Settings.ExeDir = U((Dir / "exe" / "").string());
    }

    // Opens an archive with the given entries and makes the actions.
    TLinkActions& Make(const std::vector<std::pair<std::string, std::string>>& entries) {
        Archive.Clear();
        const std::string bytes = MakeArchive(entries);
        Archive.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        Archive.SetPosition(0);
        Zip.Password = Folivant::Archive::ArchivePassword;
        Zip.SetStream(&Archive);
        Actions = std::make_unique<TLinkActions>(Zip, Settings,
                                                 TLinkServices{Host, Host, Host, Host, Host});
        return *Actions;
    }

    std::vector<fs::path> TempFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(Dir / "tmp"))
            files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    TempDir Dir;
    Desktop Host;
    TLinkActionsSettings Settings;
    TMemoryStream Archive;
    TZipReader Zip;
    std::unique_ptr<TLinkActions> Actions;
};

// Ten ASCII letters followed by ext, as temporary files are named.
bool IsTemporalName(const fs::path& file, const std::string& ext) {
    const std::string name = file.filename().string();
    if (name.size() != 10 + ext.size() || name.substr(10) != ext)
        return false;
    return std::all_of(name.begin(), name.begin() + 10,
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

#ifndef _WIN32
mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0);
    return info.st_mode & 0777;
}
// The permission bits of an extracted file; Windows files have none (their
// access comes from the folder), so there the check is left out.
#define EXPECT_MODE(path, mode) EXPECT_EQ(ModeOf(path), mode_t(mode))
#else
#define EXPECT_MODE(path, mode) static_cast<void>(0)
#endif

} // namespace

TEST(LinkActionsExtension, IsTheTextFromTheLastDotUnlessABackslashOrColonFollows) {
    const std::pair<String, String> cases[] = {
        {u"site/a.b/c", u".b/c"},
        {u"fvp://site/page", u""},
        {u"file.tar.gz", u".gz"},
        {u"fvp://site/files/setup.EXE", u".EXE"},
        {u"a.zip?x=1", u".zip?x=1"},
        {u"docs.old/readme", u".old/readme"},
        {u"dir.d\\file", u""},
        {u"a.b:c", u""},
        {u"noext", u""},
        {u"", u""},
        {u"trailing.", u"."},
        {u"site/.hidden", u".hidden"},
    };
    for (const auto& [name, ext] : cases)
        EXPECT_EQ(A(TLinkActions::ExtensionOf(name)), A(ext)) << A(name);
}

TEST_F(LinkActions, DecidesWhichUrlsAreDownloadsByTheConfiguredKinds) {
    struct Case {
        const char* Url;
        const char16_t* Extract;
        const char16_t* Execute;
        bool Answer;
        int Dialogs; // times the save dialog was shown
        int Runs;    // temporary files handed to the shell
    };
    const Case cases[] = {
        {"file:///C:/a.zip", u"zip mp3 mp4", u"exe", false, 0, 0},
        {"http://site/a.zip", u"zip mp3 mp4", u"exe", false, 0, 0},
        {"fvp://site/files/data.zip", u"zip mp3 mp4", u"exe", true, 1, 0},
        {"FVP://site/files/data.zip", u"zip mp3 mp4", u"exe", true, 1, 0},
        {"fVp://site/files/data.zip", u"zip mp3 mp4", u"exe", true, 1, 0},
        // Kinds compare with letter case: "ZIP" is not "zip".
        {"fvp://site/files/DATA.ZIP", u"zip mp3 mp4", u"exe", false, 0, 0},
        {"fvp://site/files/setup.EXE", u"zip mp3 mp4", u"exe", false, 0, 0},
        {"fvp://site/files/setup.EXE", u"zip", u"EXE", true, 0, 1},
        {"fvp://site/app.exe", u"zip mp3 mp4", u"exe", true, 0, 1},
        {"fvp://site/page", u"", u"exe", false, 0, 0},
        {"fvp://site/page", u"", u"", false, 0, 0},
        // Doubled spaces make an empty kind that every URL without an
        // extension matches.
        {"fvp://site/page", u"zip  mp3", u"exe", true, 1, 0},
        {"fvp://site/page", u" zip", u"", true, 1, 0},
        // The extension reaches over "/": ".b/c" is the kind "b/c".
        {"fvp://site/a.b/c", u"zip", u"exe", false, 0, 0},
        {"fvp://site/a.b/c", u"b/c", u"", true, 1, 0},
        {"fvp://site/archive.tar.gz", u"gz", u"", true, 1, 0},
        {"fvp://site/archive.tar.gz", u"tar.gz", u"", false, 0, 0},
        // Query text stays part of the extension and matches nothing.
        {"fvp://site/a.zip?x=1", u"zip", u"exe", false, 0, 0},
        // Decoded as pages are: the entry "site/my file.zip" is offered.
        {"fvp://site/my%20file.zip", u"zip", u"exe", true, 1, 0},
        {"fvp://site/your%20file.zip", u"zip", u"exe", true, 0, 0},
        // A matching kind whose entry is missing is still a download.
        {"fvp://site/missing.mp3", u"zip mp3 mp4", u"exe", true, 0, 0},
        // Both lists: offered for saving, then run.
        {"fvp://site/app.exe", u"exe", u"exe", true, 1, 1},
        // Listed twice: handled twice.
        {"fvp://site/app.exe", u"", u"exe exe", true, 0, 2},
        {"fvp://site/files/data.zip", u"zip zip", u"", true, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Url) + " extract \"" + A(c.Extract) + "\" execute \"" +
                     A(c.Execute) + "\"");
        Host.Log.clear();
        Host.Opened.clear();
        Host.Confirm = false;
        Settings.ExtractFileExts = c.Extract;
        Settings.ExecuteFileExts = c.Execute;
        auto& actions = Make({{"site/files/data.zip", "PK-data"},
                              {"site/files/setup.EXE", "#!/bin/sh\n"},
                              {"site/app.exe", "#!/bin/sh\nexit 0\n"},
                              {"site/page", "<html>"},
                              {"site/a.b/c", "abc"},
                              {"site/archive.tar.gz", "gz"},
                              {"site/my file.zip", "spaced"}});
        EXPECT_EQ(actions.HandleDownloableFiles(U(c.Url)), c.Answer);
        const auto dialogs = std::count_if(Host.Log.begin(), Host.Log.end(),
                                           [](const auto& l) { return l.rfind("dialog", 0) == 0; });
        EXPECT_EQ(dialogs, c.Dialogs);
        EXPECT_EQ(static_cast<int>(Host.Opened.size()), c.Runs);
    }
    EXPECT_TRUE(Host.Messages.empty());
}

TEST_F(LinkActions, SavesAnEntryWhereTheUserChoosesAndOpensIt) {
    auto& actions = Make({{"site/files/data.zip", "zip bytes"}});
    Host.SaveAs = (Dir / "saved" / "mine.zip").string();
    WriteFileBytes(Host.SaveAs, "an older, longer file that is replaced");

    EXPECT_TRUE(actions.HandleDownloableFiles(u"fvp://site/files/data.zip"));
    EXPECT_EQ(Host.DefaultExt, "zip");
    EXPECT_EQ(Host.Filter, "ZIP|*.zip");
    EXPECT_EQ(ReadFileBytes(Host.SaveAs), "zip bytes");
    EXPECT_EQ(Host.Opened, std::vector<std::string>{Host.SaveAs});
    // A saved file is the user's: not registered, nothing in the temporary folder.
    EXPECT_TRUE(Host.Registry->Files().empty());
    EXPECT_TRUE(TempFiles().empty());

    Host.Opened.clear();
    Host.Confirm = false;
    fs::remove(Host.SaveAs);
    EXPECT_TRUE(actions.HandleDownloableFiles(u"fvp://site/files/data.zip"));
    EXPECT_FALSE(fs::exists(Host.SaveAs));
    EXPECT_TRUE(Host.Opened.empty());
}

TEST_F(LinkActions, DownloadLinksNameTheEntryThePageWouldGetFromTheUrl) {
    // The URLs as the engine hands them over for links to these names.
    const struct {
        const char* Url;
        const char* Saved; // bytes of the entry saved, then run
    } cases[] = {
        {"fvp://site/dl/My%20Report.zip", "spaced"},
        {"fvp://site/dl/r%C3%A9sum%C3%A9.zip", "utf-8"},
        {"fvp://site/dl/r%E9sum%E9.zip", "utf-8"},
        {"fvp://site/dl/a+b.zip", "plus"},
        {"fvp://site/dl/a%2Bb.zip", "plus"},
        {"fvp:///site/dl/c+d.zip", "c d"}, // "+" reads as a space first
        {"FVP://site/dl/My%20Report.zip", "spaced"},
        {"fvp://site/dl/100%25.zip", "percent"},
        {"fvp://site/dl/50%.zip", "literal"}, // stored under the URL text itself
    };
    Settings.ExtractFileExts = u"zip";
    Settings.ExecuteFileExts = u"zip";
    auto& actions = Make({{"site/dl/My Report.zip", "spaced"},
                          {"site/dl/r\xc3\xa9sum\xc3\xa9.zip", "utf-8"},
                          {"site/dl/a+b.zip", "plus"},
                          {"site/dl/c d.zip", "c d"},
                          {"site/dl/c+d.zip", "c+d"},
                          {"site/dl/100%.zip", "percent"},
                          {"site/dl/50%.zip", "literal"}});
    Host.SaveAs = (Dir / "saved" / "out.zip").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Url);
        fs::remove(Host.SaveAs);
        Host.Opened.clear();
        EXPECT_TRUE(actions.HandleDownloableFiles(U(c.Url)));
        EXPECT_EQ(ReadFileBytes(Host.SaveAs), c.Saved);
        ASSERT_EQ(Host.Opened.size(), 2u);
        EXPECT_EQ(ReadFileBytes(Host.Opened[1]), c.Saved);
    }
}

TEST_F(LinkActions, OffersAFileThePageCannotShowUnderItsOwnName) {
    auto& actions = Make({{"site/docs/Report 1.docx", "docx bytes"}, {"site/notes", "plain"}});
    Host.SaveAs = (Dir / "saved" / "mine.docx").string();

    // Resolved as the content protocol resolves it: escapes, query, slashes.
    EXPECT_TRUE(actions.SaveEntryAs(u"fvp://site/docs/Report%201.docx?x=1"));
    EXPECT_EQ(Host.DefaultExt, "docx");
    EXPECT_EQ(Host.Filter, "DOCX|*.docx");
    ASSERT_EQ(Host.OpensOn.size(), 1u);
    // The entry's own name in the folder chosen last.
    EXPECT_EQ(Host.OpensOn[0], (Dir / "saved" / "Report 1.docx").string());
    EXPECT_EQ(ReadFileBytes(Host.SaveAs), "docx bytes");
    EXPECT_TRUE(Host.Opened.empty()) << "a saved file is not opened";
    EXPECT_TRUE(TempFiles().empty());

    // Without an extension there is no filter; cancelling writes nothing and
    // keeps the name chosen last.
    Host.Confirm = false;
    Host.OpensOn.clear();
    fs::remove(Host.SaveAs);
    EXPECT_TRUE(actions.SaveEntryAs(u"FVP://site/notes/"));
    EXPECT_EQ(Host.Filter, "");
    EXPECT_EQ(Host.OpensOn,
              (std::vector<std::string>{(Dir / "saved" / "notes").string(), Host.SaveAs}));
    EXPECT_FALSE(fs::exists(Host.SaveAs));

    // Nothing to save: no dialog.
    Host.Log.clear();
    EXPECT_FALSE(actions.SaveEntryAs(u"fvp://site/missing.docx"));
    EXPECT_FALSE(actions.SaveEntryAs(u"http://site/docs/Report%201.docx"));
    EXPECT_FALSE(actions.SaveEntryAs(u"fvp://%zz"));
    EXPECT_TRUE(Host.Log.empty());
}

TEST_F(LinkActions, RunsExecuteKindsFromPrivateTemporaryFilesDeletedAtExit) {
    Settings.ExtractFileExts = u"exe";
    Settings.ExecuteFileExts = u"exe exe";
    auto& actions = Make({{"site/app.exe", "#!/bin/sh\nexit 0\n"}});
    Host.SaveAs = (Dir / "saved" / "app.exe").string();

    EXPECT_TRUE(actions.HandleDownloableFiles(u"fvp://site/app.exe"));
    const auto files = TempFiles();
    ASSERT_EQ(files.size(), 2u) << "each element runs under its own name";
    for (const auto& file : files) {
        EXPECT_TRUE(IsTemporalName(file, ".exe")) << file;
        EXPECT_EQ(ReadFileBytes(file), "#!/bin/sh\nexit 0\n");
        EXPECT_MODE(file, 0700); // runnable by its owner only
    }
    // Saved first, then run twice, each registered before it is opened.
    ASSERT_EQ(Host.Log.size(), 6u);
    EXPECT_EQ(Host.Log[0], "dialog exe EXE|*.exe");
    EXPECT_EQ(Host.Log[1], "open " + Host.SaveAs);
    EXPECT_EQ(Host.Log[2], "register " + Host.Opened[1]);
    EXPECT_EQ(Host.Log[3], "open " + Host.Opened[1]);
    EXPECT_EQ(Host.Log[5], "open " + Host.Opened[2]);
    EXPECT_NE(Host.Opened[1], Host.Opened[2]);

    Host.Registry.reset(); // the end of the run
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_TRUE(fs::exists(Host.SaveAs));
}

TEST_F(LinkActions, OpenFilePrefersAFileBesideTheExecutable) {
    auto& actions = Make({{"site/manual.pdf", "from the archive"}, {"site/docs/x", "x"}});
    WriteFileBytes(Dir / "exe" / "manual.pdf", "local");
    fs::create_directories(Dir / "exe" / "docs");
    const std::string exe = (Dir / "exe" / "").string();

    EXPECT_TRUE(actions.OpenFile(u"manual.pdf"));
    EXPECT_TRUE(actions.OpenFile(u"/docs/"));
    EXPECT_TRUE(actions.OpenFile(u"\\docs\\"));
    EXPECT_TRUE(actions.OpenFile(u""));
    EXPECT_TRUE(actions.OpenFile(u"//"));
    const std::vector<std::string> expected{exe + "manual.pdf", exe + "docs", exe + "docs", exe,
                                            exe};
    EXPECT_EQ(Host.Opened, expected);
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_TRUE(Host.Messages.empty());
}

TEST_F(LinkActions, OpenFileExtractsAnArchiveEntryToATemporaryFile) {
    auto& actions = Make({{"site/manual.pdf", "%PDF-1.4 archive copy"}});
    EXPECT_TRUE(actions.OpenFile(u"/manual.pdf"));
    const auto files = TempFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(IsTemporalName(files[0], ".pdf")) << files[0];
    EXPECT_EQ(ReadFileBytes(files[0]), "%PDF-1.4 archive copy");
    EXPECT_MODE(files[0], 0600);
    EXPECT_EQ(Host.Opened, std::vector<std::string>{files[0].string()});
    ASSERT_EQ(Host.Registry->Files().size(), 1u);
    EXPECT_EQ(A(Host.Registry->Files()[0]), files[0].string());

    Host.Registry.reset();
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(LinkActions, OpenFileMakesAnExecuteKindRunnable) {
    Settings.ExecuteFileExts = u"exe sh";
    auto& actions = Make({{"site/tools/setup.sh", "#!/bin/sh\n"}, {"site/notes.txt", "text"}});
    EXPECT_TRUE(actions.OpenFile(u"tools/setup.sh"));
    EXPECT_TRUE(actions.OpenFile(u"notes.txt"));
    ASSERT_EQ(Host.Opened.size(), 2u);
    EXPECT_TRUE(IsTemporalName(Host.Opened[0], ".sh"));
    EXPECT_MODE(Host.Opened[0], 0700);
    EXPECT_MODE(Host.Opened[1], 0600);
}

TEST_F(LinkActions, OpenFileReportsAPathFoundNowhereAsPassed) {
    auto& actions = Make({{"site/other.pdf", "x"}});
    EXPECT_FALSE(actions.OpenFile(u"//nowhere/file.txt"));
    // The root folder is put in front: this looks for "site/site/other.pdf".
    EXPECT_FALSE(actions.OpenFile(u"site/other.pdf"));
    const std::vector<std::string> expected{"File \"//nowhere/file.txt\" do not exists.",
                                            "File \"site/other.pdf\" do not exists."};
    EXPECT_EQ(Host.Messages, expected);
    EXPECT_TRUE(Host.Opened.empty());
}

TEST_F(LinkActions, OpenFileLetsAFailureToCreateTheTemporaryFileReachTheCaller) {
    auto& actions = Make({{"site/docs.old/readme", "text"}});
    EXPECT_THROW(actions.OpenFile(u"docs.old/readme"), EFCreateError);
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_TRUE(Host.Registry->Files().empty());
    EXPECT_TRUE(Host.Messages.empty());
    EXPECT_TRUE(Host.Opened.empty());
}

#ifndef _WIN32 // the C++ library of mingw-w64 makes no links
TEST_F(LinkActions, NeverWritesThroughALinkPlantedAtATemporaryName) {
    auto& actions = Make({{"site/manual.pdf", "archive copy"}, {"site/app.exe", "#!/bin/sh\n"}});
    const fs::path victim = Dir / "victim.txt";
    WriteFileBytes(victim, "precious");
    fs::create_symlink(victim, Dir / "tmp" / "Predicted.pdf");
    fs::create_symlink(victim, Dir / "tmp" / "Predicted.exe");
    std::vector<String> names{u"Predicted", u"Fresh", u"Predicted", u"Other"};
    std::size_t next = 0;
    actions.DrawTemporalName = [&] { return names.at(next++); };

    EXPECT_TRUE(actions.OpenFile(u"manual.pdf"));
    EXPECT_TRUE(actions.HandleDownloableFiles(u"fvp://site/app.exe"));

    EXPECT_EQ(ReadFileBytes(victim), "precious");
    EXPECT_TRUE(fs::is_symlink(Dir / "tmp" / "Predicted.pdf"));
    EXPECT_EQ(ReadFileBytes(Dir / "tmp" / "Fresh.pdf"), "archive copy");
    EXPECT_EQ(ReadFileBytes(Dir / "tmp" / "Other.exe"), "#!/bin/sh\n");
    const std::vector<std::string> opened{(Dir / "tmp" / "Fresh.pdf").string(),
                                          (Dir / "tmp" / "Other.exe").string()};
    EXPECT_EQ(Host.Opened, opened);

    Host.Registry.reset();
    EXPECT_FALSE(fs::exists(Dir / "tmp" / "Fresh.pdf"));
    EXPECT_EQ(ReadFileBytes(victim), "precious");
}
#endif

TEST_F(LinkActions, ScriptPathsWithoutARootFolderAreEntryNamesThemselves) {
    // Entry names never begin with "/": an empty root folder must not put
    // one in front, and slashes around the root folder must not double.
    const WavImage wav = MakeWav(100);
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"ding.wav", wav.File}, {"docs/read.txt", "text"}, {"site/x/ding.wav", wav.File}};
    Settings.RootDirName = u"";
    auto& bare = Make(entries);
    EXPECT_TRUE(bare.PlayWavSound(u"ding.wav", false));
    EXPECT_TRUE(bare.OpenFile(u"/docs/read.txt"));
    EXPECT_TRUE(Host.Messages.empty());

    Settings.RootDirName = u"/site/x/";
    auto& slashed = Make(entries);
    EXPECT_TRUE(slashed.PlayWavSound(u"ding.wav", false));
    EXPECT_FALSE(slashed.PlayWavSound(u"x/ding.wav", false));
}

TEST_F(LinkActions, PlaysWavEntriesUnderTheRootFolder) {
    const WavImage wav = MakeWav(100);
    auto& actions = Make({{"site/sounds/ding.wav", wav.File}});

    EXPECT_TRUE(actions.PlayWavSound(u"/sounds/ding.wav", true));
    EXPECT_EQ(Host.Played, wav.File);
    EXPECT_TRUE(Host.PlayedLoop);

    Host.SoundAnswer = false;
    EXPECT_FALSE(actions.PlayWavSound(u"sounds/ding.wav/", false));
    EXPECT_FALSE(Host.PlayedLoop);

    // A missing entry answers false without a word.
    Host.Log.clear();
    EXPECT_FALSE(actions.PlayWavSound(u"sounds/missing.wav", false));
    EXPECT_FALSE(actions.PlayWavSound(u"ding.wav", false));
    EXPECT_TRUE(Host.Log.empty());

    Host.SoundFails = true;
    EXPECT_FALSE(actions.PlayWavSound(u"//sounds/ding.wav", false));
    EXPECT_EQ(Host.Messages, std::vector<std::string>{"File \"//sounds/ding.wav\" can't be read. "
                                                      "Error message: Stream read error."});
}
