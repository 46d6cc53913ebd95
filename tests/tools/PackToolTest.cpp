// Runs the real folivant-pack: packing a site folder, inspecting the
// result, embedding archives as they are, and its failures.

#include "archive/ZipWriter.h"
#include "platform/ExeResources.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

using namespace Folivant::Testing;
using Folivant::Platform::TExeResources;

namespace {

ProcessResult Pack(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {PackTool().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1)
        out.push_back(text.substr(start, at - start));
    if (start < text.size())
        out.push_back(text.substr(start));
    return out;
}

std::string Foldata(const std::filesystem::path& exe) {
    const TExeResources resources(exe);
    const auto* r = resources.Find("RCDATA", "FOLDATA");
    if (r == nullptr)
        return "<missing>";
    const auto data = resources.Data(*r);
    return std::string(reinterpret_cast<const char*>(data->data()), data->size());
}

// A stand-in for the runtime: any file starting like an executable.
const std::string FakeImage = std::string("\x7F"
                                          "ELF") +
                              std::string(2000, 'R');

class PackTool : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFileBytes(Dir / "runtime", FakeImage);
        WriteFileBytes(Dir / "site/index.html", "<html>index</html>");
        WriteFileBytes(Dir / "site/b/page two.html", "second page");
        WriteFileBytes(Dir / "site/a.css", "body{}");
        WriteFileBytes(Dir / "site/img/logo.png", std::string(3000, '\x89'));
        std::filesystem::create_directories(Dir / "site/empty");
        WriteFileBytes(Dir / "cfg", "[Folivant]\nAppTitle=Packed\nAppWindowWidth=0x400\n"
                                    "UseTrayIcon=1\nIndexPage=index.html\n");
    }
    TempDir Dir;
};

} // namespace

TEST_F(PackTool, PackedSiteListsFindsAndExtracts) {
    const auto packed =
        Pack({"pack", (Dir / "site").string(), "--config", (Dir / "cfg").string(), "--runtime",
              (Dir / "runtime").string(), "-o", (Dir / "pub").string()});
    ASSERT_EQ(packed.ExitCode, 0) << packed.Stderr;
    // The runtime's image is kept unchanged in front of the archive.
    EXPECT_EQ(ReadFileBytes(Dir / "pub").substr(0, FakeImage.size()), FakeImage);

    const auto list = Pack({"list", (Dir / "pub").string()});
    ASSERT_EQ(list.ExitCode, 0) << list.Stderr;
    const auto lines = Lines(list.Stdout);
    std::vector<std::string> names;
    for (const auto& line : lines) {
        const auto first = line.find('\t');
        names.push_back(line.substr(first + 1, line.find('\t', first + 1) - first - 1));
    }
    const std::vector<std::string> expected = {"fv-config",       "a.css",     "b/",
                                               "b/page two.html", "empty/",    "img/",
                                               "img/logo.png",    "index.html"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(lines.at(0).substr(0, 2), "0\t");
    EXPECT_NE(lines.at(7).find("\t8\t"), std::string::npos) << "html is deflated: " << lines.at(7);
    EXPECT_NE(lines.at(6).find("\t0\t"), std::string::npos) << "png is stored: " << lines.at(6);
    EXPECT_NE(lines.at(2).find("\t0\t12\t0"), std::string::npos) << lines.at(2);

    const auto find = [&](const std::string& name) {
        return Pack({"find", (Dir / "pub").string(), name}).Stdout;
    };
    EXPECT_EQ(find("INDEX.HTML"), "7\n");
    EXPECT_EQ(find("b/page two.html"), "3\n");
    EXPECT_EQ(find("/index.html"), "-1\n");
    EXPECT_EQ(find("empty"), "-1\n");
    EXPECT_EQ(find("empty/"), "4\n");

    const auto cat = Pack({"cat", (Dir / "pub").string(), "b/page two.html"});
    EXPECT_EQ(cat.ExitCode, 0);
    EXPECT_EQ(cat.Stdout, "second page");
    const auto catMissing = Pack({"cat", (Dir / "pub").string(), "nothing.html"});
    EXPECT_EQ(catMissing.ExitCode, 0);
    EXPECT_EQ(catMissing.Stdout, "");
    EXPECT_EQ(Pack({"cat", (Dir / "pub").string(), "img/logo.png"}).Stdout,
              std::string(3000, '\x89'));

    const auto settings = Pack({"settings", (Dir / "pub").string()});
    ASSERT_EQ(settings.ExitCode, 0) << settings.Stderr;
    EXPECT_EQ(settings.Stdout, "AppTheme=Windows\nAppTitle=Packed\nAppPassword=\nUseTrayIcon=1\n"
                               "RootDirName=\nAppEscapeClose=0\nIndexPage=index.html\n"
                               "ExtractFileExts=zip mp3 mp4\nExecuteFileExts=exe\n"
                               "AppWindowWidth=1024\nAppWindowHeight=600\nHideJsErrors=0\n"
                               "AppWindowStyle=0\nAppBorderStyle=2\nAppWindowOrder=0\n");

    // The archive itself, taken out of the executable, is a bare ZIP that
    // the inspector reads the same way.
    WriteFileBytes(Dir / "bare.zip", Foldata(Dir / "pub"));
    EXPECT_EQ(Pack({"list", (Dir / "bare.zip").string()}).Stdout, list.Stdout);
}

TEST_F(PackTool, RepackingReplacesTheArchiveAndKeepsOtherResources) {
    WriteFileBytes(Dir / "icon.png", "ICONBYTES");
    WriteFileBytes(Dir / "style.css", "window { color: red; }");
    WriteFileBytes(Dir / "res.list", "# resources\n\nICON MAINICON 1033 raw icon.png\n"
                                     "VCLSTYLE AMAKRITS 1033 vclstyle style.css\n");
    const auto res = Pack({"resources", (Dir / "res.list").string(), "--runtime",
                           (Dir / "runtime").string(), "-o", (Dir / "runtime-res").string()});
    ASSERT_EQ(res.ExitCode, 0) << res.Stderr;
    {
        const TExeResources exe(Dir / "runtime-res");
        const auto* style = exe.Find("VCLSTYLE", "amakrits");
        ASSERT_NE(style, nullptr);
        const auto data = exe.Data(*style);
        const std::string bytes(reinterpret_cast<const char*>(data->data()), data->size());
        ASSERT_EQ(bytes.substr(0, 13), "VCL_STYLE 1.0");
        std::string plain(100, '\0');
        uLongf size = plain.size();
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(plain.data()), &size,
                             reinterpret_cast<const Bytef*>(bytes.data() + 13), bytes.size() - 13),
                  Z_OK);
        EXPECT_EQ(plain.substr(0, size), "window { color: red; }");
    }

    for (const char* out : {"pub1", "pub2"}) {
        const std::string runtime = out == std::string("pub1") ? "runtime-res" : "pub1";
        const auto packed = Pack({"pack", (Dir / "site").string(), "--runtime",
                                  (Dir / runtime).string(), "-o", (Dir / out).string()});
        ASSERT_EQ(packed.ExitCode, 0) << packed.Stderr;
    }
    // Packing over a publication replaces its archive and keeps the icon
    // and the style.
    const TExeResources pub(Dir / "pub2");
    EXPECT_EQ(pub.Resources().size(), 3u);
    EXPECT_NE(pub.Find("ICON", "MAINICON"), nullptr);
    EXPECT_NE(pub.Find("VCLSTYLE", "AMAKRITS"), nullptr);
    EXPECT_EQ(pub.ImageSize(), FakeImage.size());
    // Without --config there is no settings entry: every setting defaults.
    EXPECT_EQ(Pack({"find", (Dir / "pub2").string(), "fv-config"}).Stdout, "-1\n");
    EXPECT_NE(Pack({"settings", (Dir / "pub2").string()}).Stdout.find("AppWindowWidth=800\n"),
              std::string::npos);

    const auto badList = [&](const std::string& text) {
        WriteFileBytes(Dir / "bad.list", text);
        return Pack({"resources", (Dir / "bad.list").string(), "--runtime",
                     (Dir / "runtime").string(), "-o", (Dir / "never").string()});
    };
    for (const char* text :
         {"ICON MAINICON 1033 raw\n", "ICON MAINICON english raw icon.png\n",
          "ICON MAINICON 1033 gzip icon.png\n", "ICON MAINICON 1033 raw gone.png\n"}) {
        const auto r = badList(text);
        EXPECT_EQ(r.ExitCode, 2) << text;
        EXPECT_EQ(Lines(r.Stderr).size(), 1u) << r.Stderr;
    }
    EXPECT_FALSE(std::filesystem::exists(Dir / "never"));
}

TEST_F(PackTool, EmbedTakesAnyArchiveAsItIs) {
    // Damaged and empty archives go in byte for byte; the runtime then
    // decides what to make of them.
    const std::string archives[] = {"", "not a zip at all", std::string("PK\x05\x06", 4)};
    for (const auto& archive : archives) {
        WriteFileBytes(Dir / "in.zip", archive);
        const auto r = Pack({"embed", (Dir / "in.zip").string(), "--runtime",
                             (Dir / "runtime").string(), "-o", (Dir / "out").string()});
        ASSERT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_EQ(Foldata(Dir / "out"), archive);
    }
    // An empty archive has no entries; a damaged one can't be inspected.
    WriteFileBytes(Dir / "in.zip", "");
    Pack({"embed", (Dir / "in.zip").string(), "--runtime", (Dir / "runtime").string(), "-o",
          (Dir / "empty-pub").string()});
    const auto empty = Pack({"list", (Dir / "empty-pub").string()});
    EXPECT_EQ(empty.ExitCode, 0);
    EXPECT_EQ(empty.Stdout, "");
    const auto damaged = Pack({"list", (Dir / "out").string()});
    EXPECT_EQ(damaged.ExitCode, 2);
}

TEST_F(PackTool, UnreadableInputsExitWithTwoAndOneLine) {
    WriteFileBytes(Dir / "garbage.zip", "garbage that is no archive");
    WriteFileBytes(Dir / "elf", FakeImage);
    std::filesystem::create_directories(Dir / "folder");
    const std::vector<std::vector<std::string>> cases = {
        {"list", (Dir / "missing").string()},
        {"list", (Dir / "garbage.zip").string()},
        {"list", (Dir / "elf").string()},
        {"list", (Dir / "folder").string()},
        {"find", (Dir / "garbage.zip").string(), "x"},
        {"cat", (Dir / "garbage.zip").string(), "x"},
        {"settings", (Dir / "missing").string()},
        {"pack", (Dir / "no-site").string(), "--runtime", (Dir / "runtime").string(), "-o",
         (Dir / "o").string()},
        {"pack", (Dir / "site").string(), "--runtime", (Dir / "no-runtime").string(), "-o",
         (Dir / "o").string()},
        {"pack", (Dir / "site").string(), "--config", (Dir / "no-cfg").string(), "--runtime",
         (Dir / "runtime").string(), "-o", (Dir / "o").string()},
        {"pack", (Dir / "site").string(), "--runtime", (Dir / "runtime").string()},
        {"embed", (Dir / "missing.zip").string(), "--runtime", (Dir / "runtime").string(), "-o",
         (Dir / "o").string()},
        {"list"},
        {"list", "a", "b"},
        {"list", "--bogus", "a"},
        {"frobnicate"},
    };
    for (const auto& args : cases) {
        const auto r = Pack(args);
        EXPECT_EQ(r.ExitCode, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(Lines(r.Stderr).size(), 1u) << r.Stderr;
        EXPECT_EQ(r.Stdout, "");
    }
    EXPECT_FALSE(std::filesystem::exists(Dir / "o"));

    const auto help = Pack({"--help"});
    EXPECT_EQ(help.ExitCode, 0);
    for (const char* command : {"pack", "embed", "list", "find", "cat", "settings", "resources"})
        EXPECT_NE(help.Stdout.find(std::string("  ") + command + " "), std::string::npos)
            << command;
}

TEST_F(PackTool, ManyFilesShowProgressAndKeepSortedOrder) {
    for (int i = 2499; i >= 0; --i)
        WriteFileBytes(Dir / "big" / ("f" + std::to_string(i) + ".txt"), std::to_string(i));
    const auto packed = Pack({"pack", (Dir / "big").string(), "--runtime",
                              (Dir / "runtime").string(), "-o", (Dir / "bigpub").string()});
    ASSERT_EQ(packed.ExitCode, 0) << packed.Stderr;
    EXPECT_NE(packed.Stderr.find("packing: 100%"), std::string::npos) << packed.Stderr;
    const auto lines = Lines(Pack({"list", (Dir / "bigpub").string()}).Stdout);
    ASSERT_EQ(lines.size(), 2500u);
    EXPECT_EQ(lines.front().substr(0, lines.front().find('\t', 2)), "0\tf0.txt");
    EXPECT_EQ(Pack({"cat", (Dir / "bigpub").string(), "f1234.txt"}).Stdout, "1234");
    // Small sites pack silently when the output is no terminal.
    const auto small = Pack({"pack", (Dir / "site").string(), "--runtime",
                             (Dir / "runtime").string(), "-o", (Dir / "smallpub").string()});
    EXPECT_EQ(small.Stderr, "");
}

TEST_F(PackTool, WarnsAboutAnIndexPageTheRuntimeWouldShowBadly) {
    const auto packWith = [&](const std::string& settings) {
        WriteFileBytes(Dir / "cfg", settings);
        return Pack({"pack", (Dir / "site").string(), "--config", (Dir / "cfg").string(),
                     "--runtime", (Dir / "runtime").string(), "-o", (Dir / "pub").string()});
    };
    // A page at the top of the site: its relative links would miss.
    const auto top = packWith("[Folivant]\nIndexPage=index.html\n");
    EXPECT_EQ(top.ExitCode, 0);
    EXPECT_NE(top.Stderr.find("warning: IndexPage \"index.html\" is at the top"), std::string::npos)
        << top.Stderr;
    EXPECT_EQ(top.Stderr.find("is not in the site"), std::string::npos) << top.Stderr;

    // A page in a folder, in another letter case and with a query: fine.
    const auto inFolder = packWith("[Folivant]\nIndexPage=B/Page Two.html?x=1\n");
    EXPECT_EQ(inFolder.ExitCode, 0);
    EXPECT_EQ(inFolder.Stderr.find("warning"), std::string::npos) << inFolder.Stderr;

    const auto missing = packWith("[Folivant]\nIndexPage=b/none.html\n");
    EXPECT_NE(missing.Stderr.find("IndexPage \"b/none.html\" is not in the site"),
              std::string::npos)
        << missing.Stderr;
    const auto none = packWith("[Other]\nIndexPage=b/page two.html\n");
    EXPECT_NE(none.Stderr.find("no IndexPage"), std::string::npos) << none.Stderr;
}
