// The author's side of folivant-pack: the site check (and pack --check),
// reproducible packs, the author's icon, settings text written in UTF-8.

#include "platform/ExeResources.h"
#include "support/RuntimeProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Folivant::Testing;

namespace {

ProcessResult Tool(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {PackTool().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, env);
}

const std::string FakeImage = std::string("\x7F"
                                          "ELF") +
                              std::string(1000, 'R');

class Authoring : public ::testing::Test {
protected:
    void SetUp() override { WriteFileBytes(Dir / "runtime", FakeImage); }
    std::string P(const char* name) const { return (Dir / name).string(); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Dir.Path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    TempDir Dir;
};

TEST_F(Authoring, CheckReportsEachFaultWithFileAndLineAndPackCheckWritesNothing) {
    WriteFileBytes(Dir / "site/pub/index.html",
                   "<!DOCTYPE html>\n"
                   "<link rel=\"stylesheet\" href=\"css/site.css\">\n"
                   "<img src=\"img/logo.png\" alt=\"present\" srcset=\"img/logo.png 2x\">\n"
                   "<img src=\"img/missing.png\">\n"
                   "<a href=\"other.html?lang=en#top\">gone</a>\n"
                   "<a href=\"img/Logo.PNG\">case</a>\n"
                   "<a href=\"files/report.zip\">save</a>\n"
                   "<a href=\"about.html#team\">x</a> <a href=\"http://example.com/x.png\">web</a>"
                   " <a href=\"#top\">top</a> <a href=\"fvp://pub/img/logo.png\">abs</a>\n"
                   "<p style=\"background: url('img/logo.png')\">styled</p>\n"
                   "<style>\n  p { background: url(img/logo.png) }\n</style>\n");
    WriteFileBytes(Dir / "site/pub/about.html",
                   "<img src=\"img/../img/logo.png\"><a href=\"index.html\">i</a>"
                   "<a href=\"img/logo%2Epng\">escaped</a>");
    WriteFileBytes(Dir / "site/pub/css/site.css",
                   "@import \"base.css\";\n"
                   "body { background: url(../img/logo.png); } /* url(gone.png) */\n"
                   "@font-face { font-family: f; src: url(\"../fonts/gone.woff2\") "
                   "format(\"woff2\"); }\n");
    WriteFileBytes(Dir / "site/pub/css/base.css", "p{}");
    WriteFileBytes(Dir / "site/pub/img/logo.png", "png");
    WriteFileBytes(Dir / "site/pub/files/report.zip", "zip");
    WriteFileBytes(Dir / "cfg", "[Folivant]\nIndexPage=pub/index.html\nAppWindowWidth=1024px\n");

    const auto check = Tool({"check", P("site"), "--config", P("cfg")});
    EXPECT_EQ(check.ExitCode, 1) << check.Stderr;
    EXPECT_EQ(check.Stdout,
              P("cfg") +
                  ":3: AppWindowWidth=1024px: warning: not a number; the runtime uses the "
                  "default 800\n"
                  "pub/css/site.css:3: ../fonts/gone.woff2 -> pub/fonts/gone.woff2: error: no "
                  "such entry\n"
                  "pub/index.html:4: img/missing.png -> pub/img/missing.png: error: no such "
                  "entry\n"
                  "pub/index.html:5: other.html?lang=en#top -> pub/other.html: error: no such "
                  "entry\n"
                  "pub/index.html:6: img/Logo.PNG -> pub/img/Logo.PNG: warning: the entry is "
                  "\"pub/img/logo.png\"; letter case differs (works here, fails on a web "
                  "server)\n"
                  "pub/index.html:7: files/report.zip -> pub/files/report.zip: info: offered "
                  "for saving (ExtractFileExts)\n");

    const auto pack = Tool({"pack", P("site"), "--config", P("cfg"), "--runtime", P("runtime"),
                            "--check", "-o", P("out")});
    EXPECT_EQ(pack.ExitCode, 2);
    EXPECT_NE(pack.Stderr.find("nothing was written"), std::string::npos) << pack.Stderr;
    EXPECT_EQ(Files(), (std::vector<std::string>{"cfg", "runtime", "site"}));
}

TEST_F(Authoring, BadPagesAndSettingsGetALineNeverACrash) {
    struct TCase {
        std::string Page;
        std::string Settings;
        int Exit;
        std::string Expected;
    };
    std::string deep;
    for (int i = 0; i < 6000; ++i)
        deep += "<div>";
    const TCase cases[] = {
        {std::string("\x89PNG\r\n\x1A\n\0\0\0", 11), "", 0,
         "x/page.html:1: x/page.html: warning: not a text file"},
        {"<a href=\"100%.html\">", "", 1,
         "x/page.html:1: 100%.html -> (none): error: a malformed %-escape"},
        {std::string(100000, '<') + "<a b='" + std::string(50000, '>') + "<!--", "", 0, ""},
        {deep, "", 0, "x/page.html:1: x/page.html: warning: elements nest deeper than 5000"},
        {"<style>a{b:url(\"x\\\n", "", 1, "x/page.html:1: x -> x/x: error: no such entry"},
        // The engine reads a page without a declared encoding as Windows-1252.
        {"<a href=\"\xC3\xA9t\xC3\xA9.html\">", "", 1,
         "-> x/\xC3\x83\xC2\xA9t\xC3\x83\xC2\xA9.html: error: no such entry (the page is "
         "UTF-8 but declares no encoding"},
        {"<script>location='gone.html'</script>", "", 0,
         "note: 1 page(s) have scripts (the first is x/page.html)"},
        {"", "AppBorderStyle=7\nUseTrayIcon=true\nNoSuchKey=1\n", 0,
         ":3: AppBorderStyle=7: warning: not a border style (0 to 5)"},
        {"", "IndexPage=\n", 1, ":3: IndexPage: error: no IndexPage"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Expected);
        TempDir dir;
        WriteFileBytes(dir / "s/x/page.html", c.Page);
        WriteFileBytes(dir / "cfg", "[Folivant]\nIndexPage=x/page.html\n" + c.Settings);
        const auto check =
            Tool({"check", (dir / "s").string(), "--config", (dir / "cfg").string()});
        EXPECT_EQ(check.ExitCode, c.Exit) << check.Stdout << check.Stderr;
        EXPECT_NE(check.Stdout.find(c.Expected), std::string::npos) << check.Stdout;
    }
}

TEST_F(Authoring, SameEpochGivesTheSameBytesAndTheIconReplacesTheRuntimes) {
    WriteFileBytes(Dir / "site/d/index.html", std::string(5000, 'h'));
    WriteFileBytes(Dir / "site/d/a.png", "png");
    std::filesystem::create_directories(Dir / "site/d/empty");
    WriteFileBytes(Dir / "cfg", "[Folivant]\nIndexPage=d/index.html\n");
    ASSERT_EQ(Shell("convert -size 4x4 xc:#ff0000 " + P("icon.png") + " && echo ok"), "ok\n");
    const std::vector<std::string> epoch = {"SOURCE_DATE_EPOCH=1700000000"};
    const auto pack = [&](const char* out, const std::vector<std::string>& env) {
        const auto r = Tool({"pack", P("site"), "--config", P("cfg"), "--runtime", P("runtime"),
                             "--icon", P("icon.png"), "-o", P(out)},
                            env);
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    };
    pack("first", epoch);
    // Another modification time does not change a reproducible pack.
    std::filesystem::last_write_time(Dir / "site/d/index.html",
                                     std::filesystem::file_time_type::clock::now() -
                                         std::chrono::hours(50));
    pack("second", epoch);
    pack("random", {});
    const std::string first = ReadFileBytes(Dir / "first");
    EXPECT_EQ(first, ReadFileBytes(Dir / "second"));
    EXPECT_NE(first, ReadFileBytes(Dir / "random"));
    EXPECT_EQ(Tool({"cat", P("second"), "D/INDEX.HTML"}).Stdout, std::string(5000, 'h'));
    EXPECT_NE(Tool({"list", P("second")}).Stdout.find("\td/empty/\t"), std::string::npos);

    const Folivant::Platform::TExeResources exe(Dir / "second");
    const auto* icon = exe.Find("ICON", "MAINICON");
    ASSERT_NE(icon, nullptr);
    const auto bytes = exe.Data(*icon);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
              ReadFileBytes(Dir / "icon.png"));

    // Icons that are no PNG: one line, exit code 2, no output.
    WriteFileBytes(Dir / "fake.png", "GIF89a not a png");
    WriteFileBytes(Dir / "cut.png", ReadFileBytes(Dir / "icon.png").substr(0, 40));
    for (const char* bad : {"gone.png", "fake.png", "cut.png"}) {
        const auto r = Tool({"pack", P("site"), "--config", P("cfg"), "--runtime", P("runtime"),
                             "--icon", P(bad), "-o", P("bad-out")});
        EXPECT_EQ(r.ExitCode, 2) << bad;
        EXPECT_EQ(r.Stderr.rfind("folivant-pack pack: " + P(bad) + ": ", 0), 0u) << r.Stderr;
        EXPECT_EQ(std::count(r.Stderr.begin(), r.Stderr.end(), '\n'), 1) << r.Stderr;
        EXPECT_FALSE(std::filesystem::exists(Dir / "bad-out"));
    }
}

TEST_F(Authoring, UTF8SettingsAreMarkedAndMisreadOnesWarned) {
    WriteFileBytes(Dir / "site/d/index.html", "x");
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Written in UTF-8 without a mark: marked, read as written.
        {"[Folivant]\nAppTitle=Caf\xC3\xA9\n", "AppTitle=Caf\xC3\xA9\n"},
        // A mark before UTF-8 read as ANSI: kept as it is, and warned about.
        {"\xEF\xBB\xBF[Folivant]\nAppTitle=Caf\xC3\x83\xC2\xA9\n",
         "AppTitle=Caf\xC3\x83\xC2\xA9\n"},
        // Windows-1252 text is no UTF-8 and stays unmarked.
        {"[Folivant]\nAppTitle=Caf\xE9\n", "AppTitle=Caf\xC3\xA9\n"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        WriteFileBytes(Dir / "cfg", cases[i].first);
        const auto pack = Tool(
            {"pack", P("site"), "--config", P("cfg"), "--runtime", P("runtime"), "-o", P("pub")});
        ASSERT_EQ(pack.ExitCode, 0) << pack.Stderr;
        EXPECT_EQ(pack.Stderr.find("byte-order mark") != std::string::npos, i == 0) << pack.Stderr;
        const auto settings = Tool({"settings", P("pub")});
        EXPECT_NE(settings.Stdout.find(cases[i].second), std::string::npos) << settings.Stdout;
        EXPECT_EQ(settings.Stderr.find("looks like UTF-8 read as ANSI") != std::string::npos,
                  i == 1)
            << settings.Stderr;
    }
}

} // namespace
