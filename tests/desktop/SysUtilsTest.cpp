#include "desktop/SysUtils.h"

#include "base/Text.h"
#include "platform/ui/Application.h"
#include "platform/ui/Sound.h"

#include "support/LinksSupport.h"
#include "support/MainLoopSupport.h"
#include "support/TestSupport.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using Folivant::String;
using Folivant::StringToUtf8;
using Folivant::TMemoryStream;
using Folivant::Utf8ToString;
using Folivant::Shared::TSysUtils;
using namespace Folivant::Testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string A(const String& text) {
    return StringToUtf8(text);
}
String U(const std::string& text) {
    return Utf8ToString(text);
}

// When the restart test starts this binary again, the new instance (started
// without arguments) records that it ran and ends before any test runs.
const bool RestartProbe = [] {
    const char* mark = std::getenv("FOLIVANT_RESTART_MARK");
    if (mark == nullptr)
        return false;
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    const auto args = std::count(all.begin(), all.end(), '\0');
    if (args != 1)
        return false;
    std::ofstream(mark) << "restarted with " << args << " argument";
    std::_Exit(0);
}();

bool InChild() {
    return std::getenv("FOLIVANT_LINKS_CHILD") != nullptr;
}

// Runs the current test again in a fresh process of this binary with extra
// environment, for what GLib reads once per process (XDG folders, desktop
// entries); the child does the work, the parent checks that it passed.
void RunThisTestInChild(std::vector<std::string> env) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    env.push_back("FOLIVANT_LINKS_CHILD=1");
    const ProcessResult result =
        RunProcess({fs::read_symlink("/proc/self/exe").string(), filter}, env, 120);
    EXPECT_EQ(result.ExitCode, 0) << result.Stdout << result.Stderr;
    EXPECT_NE(result.Stdout.find("[  PASSED  ] 1 test"), std::string::npos) << result.Stdout;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : value;
}

bool WaitForFile(const fs::path& path, const std::string& content) {
    return PumpUntil(
        [&] {
            std::error_code error;
            return fs::exists(path, error) && ReadFileBytes(path) == content;
        },
        20s);
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : FName(name) {
        if (const char* old = std::getenv(name))
            FOld = std::make_unique<std::string>(old);
        if (value == nullptr)
            unsetenv(name);
        else
            setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (FOld)
            setenv(FName.c_str(), FOld->c_str(), 1);
        else
            unsetenv(FName.c_str());
    }

private:
    std::string FName;
    std::unique_ptr<std::string> FOld;
};

} // namespace

TEST(SysUtils, TemporalDirEndsInExactlyOneSlash) {
    TempDir dir;
    const std::string own = dir.Path().string();
    const std::pair<std::string, std::string> cases[] = {
        {own, own + "/"}, {own + "///", own + "/"},  {"/", "/"},
        {"", "/tmp/"},    {"relative/dir", "/tmp/"}, {own + "/missing", "/tmp/"},
    };
    for (const auto& [tmpdir, expected] : cases) {
        ScopedEnv env("TMPDIR", tmpdir.c_str());
        EXPECT_EQ(A(TSysUtils::GetTemporalDir()), expected) << tmpdir;
    }
    ScopedEnv unset("TMPDIR", nullptr);
    EXPECT_EQ(A(TSysUtils::GetTemporalDir()), "/tmp/");
}

TEST(SysUtils, ShellOpenHandsFilesAndFoldersToTheirApplicationsAndStartsPrograms) {
    if (!InChild()) {
        TempDir home;
        const fs::path data = home / "data", config = home / "config";
        const fs::path handler = home / "handler.sh";
        WriteFileBytes(handler,
                       "#!/bin/sh\necho \"$1\" >> \"" + (home / "opened.log").string() + "\"\n");
        fs::permissions(handler, fs::perms::owner_all);
        WriteFileBytes(data / "applications" / "folivant-test-open.desktop",
                       "[Desktop Entry]\nType=Application\nName=Folivant test opener\n"
                       "Exec=" +
                           handler.string() +
                           " %f\nMimeType=text/plain;inode/directory;\nNoDisplay=true\n");
        WriteFileBytes(config / "mimeapps.list",
                       "[Default Applications]\ntext/plain=folivant-test-open.desktop\n"
                       "inode/directory=folivant-test-open.desktop\n");
        RunThisTestInChild({"HOME=" + home.Path().string(), "XDG_DATA_HOME=" + data.string(),
                            "XDG_CONFIG_HOME=" + config.string(),
                            "FOLIVANT_TEST_HOME=" + home.Path().string()});
        return;
    }
    const fs::path home = Env("FOLIVANT_TEST_HOME");
    WriteFileBytes(home / "notes.txt", "plain text\n");
    fs::create_directories(home / "folder");
    const fs::path program = home / "program";
    WriteFileBytes(program,
                   "#!/bin/sh\nprintf '%s|' \"$@\" > \"" + (home / "ran").string() + "\"\n");
    fs::permissions(program, fs::perms::owner_all);

    EXPECT_TRUE(TSysUtils::ShellOpen(U((home / "notes.txt").string()), u""));
    ASSERT_TRUE(WaitForFile(home / "opened.log", (home / "notes.txt").string() + "\n"));
    EXPECT_TRUE(TSysUtils::ShellOpen(U((home / "folder").string()), u""));
    ASSERT_TRUE(WaitForFile(home / "opened.log", (home / "notes.txt").string() + "\n" +
                                                     (home / "folder").string() + "\n"));
    // A program is started directly, with the arguments split as a shell would.
    EXPECT_TRUE(TSysUtils::ShellOpen(U(program.string()), u"one 'two words'"));
    EXPECT_TRUE(WaitForFile(home / "ran", "one|two words|"));

    EXPECT_FALSE(TSysUtils::ShellOpen(U((home / "missing.txt").string()), u""));
    EXPECT_FALSE(TSysUtils::ShellOpen(u"", u""));
    // A program whose arguments cannot be split is not started.
    EXPECT_FALSE(TSysUtils::ShellOpen(U(program.string()), u"'unterminated"));
}

TEST(SysUtils, RefreshSystemIconsRebuildsTheUsersAssociationCaches) {
    if (!InChild()) {
        TempDir home;
        const fs::path data = home / "data";
        WriteFileBytes(data / "applications" / "folivant-viewer.desktop",
                       "[Desktop Entry]\nType=Application\nName=Viewer\nExec=true %f\n"
                       "MimeType=application/x-folivant-test;\n");
        WriteFileBytes(data / "mime" / "packages" / "folivant-test.xml",
                       "<?xml version=\"1.0\"?>\n<mime-info "
                       "xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                       "<mime-type type=\"application/x-folivant-test\"><comment>Test</comment>"
                       "<glob pattern=\"*.fvtest\"/></mime-type>\n</mime-info>\n");
        RunThisTestInChild({"HOME=" + home.Path().string(), "XDG_DATA_HOME=" + data.string(),
                            "FOLIVANT_TEST_HOME=" + home.Path().string()});
        return;
    }
    const fs::path data = fs::path(Env("FOLIVANT_TEST_HOME")) / "data";
    TSysUtils::RefreshSystemIcons();
    ASSERT_TRUE(fs::exists(data / "applications" / "mimeinfo.cache"));
    EXPECT_NE(ReadFileBytes(data / "applications" / "mimeinfo.cache")
                  .find("application/x-folivant-test=folivant-viewer.desktop"),
              std::string::npos);
    ASSERT_TRUE(fs::exists(data / "mime" / "globs2"));
    EXPECT_NE(ReadFileBytes(data / "mime" / "globs2").find("*.fvtest"), std::string::npos);
}

TEST(SysUtils, UserFoldersComeFromTheXdgUserDirectories) {
    if (!InChild()) {
        TempDir home;
        WriteFileBytes(home / "config" / "user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Desk\"\n");
        RunThisTestInChild({"HOME=" + home.Path().string(),
                            "XDG_CONFIG_HOME=" + (home / "config").string(),
                            "XDG_DATA_HOME=" + (home / "appdata").string(),
                            "FOLIVANT_TEST_HOME=" + home.Path().string()});
        return;
    }
    const std::string home = Env("FOLIVANT_TEST_HOME");
    EXPECT_EQ(A(TSysUtils::GetUserDesktopDirPath()), home + "/Desk/");
    EXPECT_EQ(A(TSysUtils::GetUserAppDataDirPath()), home + "/appdata/");
    // A folder that cannot be determined comes back as the separator alone.
    EXPECT_EQ(A(TSysUtils::GetUserDocumentsDirPath()), "/");
}

TEST(SysUtils, RestartApplicationStartsTheExecutableAgainAndEndsTheLoop) {
    if (!InChild()) {
        TempDir dir;
        RunThisTestInChild({"FOLIVANT_RESTART_MARK=" + (dir / "mark").string(),
                            "FOLIVANT_TEST_HOME=" + dir.Path().string()});
        return;
    }
    const fs::path mark = fs::path(Env("FOLIVANT_TEST_HOME")) / "mark";
    g_idle_add(
        [](gpointer) -> gboolean {
            TSysUtils::RestartApplication();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    Folivant::Platform::RunMessageLoop(); // returns once the restart ended it
    EXPECT_TRUE(WaitForFile(mark, "restarted with 1 argument"));
}

TEST(SysUtils, GetSizeOfFileCountsBeyondFourGigabytesAndMatchesWildcards) {
    TempDir dir;
    const fs::path big = dir / "big.bin";
    {
        const int handle = ::open(big.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(handle, 0);
        ASSERT_EQ(::ftruncate(handle, (5LL << 30) + 7), 0); // sparse: no disk space used
        ::close(handle);
    }
    WriteFileBytes(dir / "small.txt", "12345");
    fs::create_directory(dir / "sub");

    const std::pair<std::string, std::int64_t> cases[] = {
        {big.string(), (5LL << 30) + 7},
        {(dir / "small.txt").string(), 5},
        {(dir / "sub").string(), 0},
        {(dir / "missing").string(), -1},
        {(dir / "sm*.txt").string(), 5},
        {(dir / "small.tx?").string(), 5},
        {(dir / "*.bin").string(), (5LL << 30) + 7},
        {(dir / "*.none").string(), -1},
        {(dir / "nofolder" / "*.txt").string(), -1},
        {"", -1},
    };
    for (const auto& [path, size] : cases)
        EXPECT_EQ(TSysUtils::GetSizeOfFile(U(path)), size) << path;
}

TEST(SysUtils, RemoveUTFBoomFromFileCutsOnlyAMarkAtTheStart) {
    TempDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"\xEF\xBB\xBFtext after the mark", "text after the mark"},
        {"\xEF\xBB\xBF", ""},
        {"\xEF\xBB\xBF\xEF\xBB\xBFtwice", "\xEF\xBB\xBFtwice"},
        {"no mark here", "no mark here"},
        {"\xEF\xBB\xBE almost", "\xEF\xBB\xBE almost"},
    };
    for (const auto& [before, after] : cases) {
        const fs::path file = dir / "file.txt";
        WriteFileBytes(file, before);
        // An old time shows whether the file was written at all.
        const auto old = fs::file_time_type::clock::now() - 24h;
        fs::last_write_time(file, old);
        TSysUtils::RemoveUTFBoomFromFile(U(file.string()));
        EXPECT_EQ(ReadFileBytes(file), after);
        EXPECT_EQ(fs::last_write_time(file) == old, before == after) << before;
    }

    WriteFileBytes(dir / "short.txt", "\xEF\xBB");
    try {
        TSysUtils::RemoveUTFBoomFromFile(U((dir / "short.txt").string()));
        ADD_FAILURE() << "a file shorter than the mark must fail";
    } catch (const Folivant::Exception& e) {
        EXPECT_EQ(A(e.Message()), "Stream read error");
    }
    EXPECT_EQ(ReadFileBytes(dir / "short.txt"), "\xEF\xBB");
    try {
        TSysUtils::RemoveUTFBoomFromFile(U((dir / "missing.txt").string()));
        ADD_FAILURE() << "a missing file must fail";
    } catch (const Folivant::Exception& e) {
        EXPECT_EQ(A(e.Message())
                      .rfind("Cannot open file \"" + (dir / "missing.txt").string() + "\". ", 0),
                  0u)
            << A(e.Message());
    }
}

TEST(SysUtils, IsValidFilePathRefusesTakenPathsAndNamesTheFileSystemCannotHold) {
    TempDir dir;
    WriteFileBytes(dir / "taken.txt", "x");
    const std::string base = dir.Path().string() + "/";
    const std::string longest(NAME_MAX, 'n');
    const std::pair<String, bool> cases[] = {
        {U(base + "new.txt"), true},
        {U(base + "new folder/and file.txt"), true},
        {U(base + "taken.txt"), false},
        {U(dir.Path().string()), false},
        {U(base + longest), true},
        {U(base + longest + "n"), false},
        {U(base + longest + "n/file.txt"), false},
        // 128 two-byte letters are 256 bytes: one more than a name may have.
        {U(base) + String(128, u'\u00E9'), false},
        {U(base) + String(127, u'\u00E9'), true},
        {U(base) + String(u"nul\0inside", 10), false},
        {U(base) + u"lone\xD800surrogate", false},
        {u"relative/name.txt", true},
        {u"", false},
    };
    for (const auto& [path, valid] : cases)
        EXPECT_EQ(TSysUtils::IsValidFilePath(path), valid) << A(path);
}

TEST(SysUtils, ParentDirPathIsAbsoluteWithATrailingSlash) {
    TempDir dir;
    fs::create_directories(dir / "a" / "b");
    const std::string base = dir.Path().string();
    const std::string cwd = fs::current_path().string();
    const std::pair<std::string, std::string> cases[] = {
        {base + "/a/b", base + "/a/"},
        {base + "/a/b/", base + "/a/"},
        {base + "/a/./b//", base + "/a/"},
        {base + "/a/b/..", base + "/"},
        {"/", "/"},
        {"x/y", cwd + "/x/"},
    };
    for (const auto& [path, parent] : cases)
        EXPECT_EQ(A(TSysUtils::GetParentDirPath(U(path))), parent) << path;
}

TEST(SysUtils, NamesOfTheMachineAndTheUser) {
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(A(TSysUtils::GetComputerNetName()), host);

    const passwd* user = getpwuid(geteuid());
    ASSERT_NE(user, nullptr);
    const String name = TSysUtils::GetUserFromWindows();
    EXPECT_EQ(A(name), user->pw_name);
    EXPECT_EQ(name.find(u'\0'), String::npos);
}

TEST(SysUtils, TrueFontWidthMeasuresTextInTheFont) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "needs a display";
    const String font = u"DejaVu Sans 12";
    const String larger = u"DejaVu Sans 24";
    const int narrow = TSysUtils::TrueFontWidth(font, u"iiii");
    const int wide = TSysUtils::TrueFontWidth(font, u"WWWW");
    EXPECT_GT(narrow, 0);
    EXPECT_GT(wide, narrow);
    EXPECT_NEAR(TSysUtils::TrueFontWidth(font, u"WWWWWWWW"), 2 * wide, 2);
    EXPECT_GT(TSysUtils::TrueFontWidth(larger, u"WWWW"), wide * 3 / 2);
    EXPECT_EQ(TSysUtils::TrueFontWidth(font, u""), 0);
    EXPECT_GT(TSysUtils::TrueFontWidth(u"", u"text"), 0);
}

TEST(SysUtils, SoundPlaysFromItsOwnCopyOnceTheCallersStreamIsFreed) {
    // A synchronised sink makes the sound take its real time, so most of it
    // is read after the stream is gone.
    ScopedEnv sink("FOLIVANT_AUDIO_SINK", "fakesink sync=true");
    auto& player = Folivant::Platform::TSoundPlayer::Instance();
    const WavImage wav = MakeWav(2400);
    {
        auto stream = std::make_unique<TMemoryStream>();
        stream->WriteBuffer(wav.File.data(), static_cast<std::int64_t>(wav.File.size()));
        // The position is not looked at: the image plays from its start.
        ASSERT_TRUE(TSysUtils::PlaySoundFromStream(*stream, false));
        std::fill(stream->Data(), stream->Data() + stream->Size(), 0x55);
    }
    EXPECT_TRUE(player.Active());
    ASSERT_TRUE(PumpUntil([&] { return player.Ended(); }));
    EXPECT_EQ(player.BytesThrough(), wav.Pcm.size());
    EXPECT_EQ(player.BytesHash(), Fnv1a(wav.Pcm));
}

TEST(SysUtils, ALoopingSoundRepeatsUntilStopCurrentSound) {
    ScopedEnv sink("FOLIVANT_AUDIO_SINK", "fakesink");
    auto& player = Folivant::Platform::TSoundPlayer::Instance();
    const WavImage wav = MakeWav(800);
    TMemoryStream stream;
    stream.WriteBuffer(wav.File.data(), static_cast<std::int64_t>(wav.File.size()));
    ASSERT_TRUE(TSysUtils::PlaySoundFromStream(stream, true));
    ASSERT_TRUE(PumpUntil([&] { return player.LoopCount() >= 2; }));
    EXPECT_TRUE(TSysUtils::StopCurrentSound());
    EXPECT_EQ(player.StateName(), "NULL");
    const auto bytes = player.BytesThrough();
    EXPECT_GE(bytes, 2 * wav.Pcm.size());
    PumpFor(100ms);
    EXPECT_EQ(player.BytesThrough(), bytes);
    EXPECT_FALSE(player.Ended());
    EXPECT_TRUE(TSysUtils::StopCurrentSound()); // nothing playing: nothing happens
}
