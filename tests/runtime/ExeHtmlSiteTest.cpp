// The publication object over executables made here, and the start-up
// failures of the real runtime (run without a display, so its messages go
// to standard error).

#include "runtime/ExeHtmlSite.h"

#include "archive/ZipWriter.h"
#include "platform/ExeResources.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <regex>

using namespace Folivant;
using namespace Folivant::Testing;
using Folivant::Runtime::TExeHtmlSite;

namespace {

const std::string FakeImage = std::string("\x7F"
                                          "ELF") +
                              std::string(512, 'R');

std::string MakeArchive(const std::function<void(Archive::TZipWriter&)>& fill) {
    TMemoryStream out;
    Archive::TZipWriter writer(out);
    fill(writer);
    writer.Finish();
    return out.ToString();
}

void WriteExe(const std::filesystem::path& path, const std::optional<std::string>& foldata) {
    WriteFileBytes(path.string() + ".bare", FakeImage);
    std::vector<Platform::TNewResource> resources = {{"ICON", "MAINICON", 1033, "icon", {}}};
    if (foldata)
        resources.push_back({"RCDATA", "FOLDATA", 1033, *foldata, {}});
    Platform::WriteExeResources(path.string() + ".bare", path, resources);
}

// The publication object over the FOLDATA resource of an executable written
// here, the executable mapped for as long as the object reads from it.
struct TPublication {
    explicit TPublication(const std::filesystem::path& exe) : Exe(exe), Site(Foldata(Exe)) {}
    static std::optional<std::span<const std::uint8_t>>
    Foldata(const Platform::TExeResources& exe) {
        const Platform::TResourceInfo* info = exe.Find("RCDATA", "FOLDATA");
        return info != nullptr ? exe.Data(*info) : std::nullopt;
    }
    const Platform::TExeResources Exe;
    const TExeHtmlSite Site;
};

// The runtime's start-up without a display: message boxes print to
// standard error.
ProcessResult RunWithoutDisplay(const std::filesystem::path& exe) {
    return RunProcess({exe.string()}, {"DISPLAY=", "WAYLAND_DISPLAY=", "GDK_BACKEND=x11"}, 60);
}

} // namespace

TEST(ExeHtmlSite, OpensTheArchiveAndLoadsTheSettings) {
    TempDir dir;
    WriteExe(dir / "pub", MakeArchive([](Archive::TZipWriter& w) {
                 w.AddBytes("fv-config", "\xEF\xBB\xBF[Folivant]\r\nAppTitle=Caf\xC3\xA9\r\n"
                                         "AppWindowHeight=$200\r\n");
                 w.AddDirectory("pages/");
                 w.AddBytes("pages/index.html", "<p>hello</p>");
             }));
    const TPublication pub(dir / "pub");
    const TExeHtmlSite& site = pub.Site;
    EXPECT_EQ(site.ZipFile().Count(), 3);
    EXPECT_EQ(site.ZipFile().FindFile(u"Pages/Index.html"), 2);
    TMemoryStream page;
    site.ZipFile().ExtractToStream(u"pages/index.html", page);
    EXPECT_EQ(page.ToString(), "<p>hello</p>");
    EXPECT_EQ(site.IniFile().ReadString(u"Folivant", u"AppTitle", u""), u"Caf\u00E9");
    EXPECT_EQ(site.IniFile().ReadInteger(u"Folivant", u"AppWindowHeight", 600), 512);
    EXPECT_TRUE(site.IniFile().FileName().empty());
}

TEST(ExeHtmlSite, MissingOrUndecodableSettingsLeaveEveryDefault) {
    TempDir dir;
    const std::string archives[] = {
        MakeArchive([](Archive::TZipWriter& w) { w.AddBytes("index.html", "x"); }),
        // Encrypted with another password: the entry decodes to nothing.
        MakeArchive([](Archive::TZipWriter& w) {
            Archive::TZipRawEntry e;
            e.Name = "fv-config";
            e.Data = "[Folivant]\nAppTitle=Hidden\n";
            e.Password = "not the archive password";
            w.AddRaw(e);
        }),
        MakeArchive([](Archive::TZipWriter& w) { w.AddBytes("fv-config", ""); }),
        // A settings entry in a subfolder is not the settings entry.
        MakeArchive([](Archive::TZipWriter& w) {
            w.AddBytes("sub/fv-config", "[Folivant]\nAppTitle=Sub\n");
        }),
    };
    for (const auto& archive : archives) {
        WriteExe(dir / "pub", archive);
        const TPublication pub(dir / "pub");
        const TExeHtmlSite& site = pub.Site;
        EXPECT_EQ(site.IniFile().SectionCount(), 0u);
        EXPECT_EQ(site.IniFile().ReadString(u"Folivant", u"AppTitle", u"default"), u"default");
    }
}

TEST(ExeHtmlSite, MissingResourceAndUnreadableArchiveRaise) {
    TempDir dir;
    WriteExe(dir / "no-foldata", std::nullopt);
    EXPECT_THROW(TPublication(dir / "no-foldata"), Runtime::EResNotFound);
    WriteFileBytes(dir / "no-table", FakeImage);
    EXPECT_THROW(TPublication(dir / "no-table"), Runtime::EResNotFound);
    WriteExe(dir / "garbage", std::string("this is no archive"));
    EXPECT_THROW(TPublication(dir / "garbage"), Archive::EZipError);
}

TEST(ExeHtmlSite, StartupFailuresOfTheRuntime) {
    ASSERT_TRUE(std::filesystem::exists(RuntimeExe())) << RuntimeExe();
    TempDir dir;
    const std::regex report("Runtime error 217 at [0-9A-F]{8}\n");

    // The runtime as built carries no archive.
    const auto missing = RunWithoutDisplay(RuntimeExe());
    EXPECT_EQ(missing.ExitCode, 217);
    EXPECT_TRUE(std::regex_search(missing.Stderr, report)) << missing.Stderr;
    EXPECT_NE(missing.Stderr.find("Error"), std::string::npos);

    const auto embed = [&](const std::string& archive, const std::string& name) {
        WriteFileBytes(dir / (name + ".zip"), archive);
        const auto r =
            RunProcess({PackTool().string(), "embed", (dir / (name + ".zip")).string(), "--runtime",
                        RuntimeExe().string(), "-o", (dir / name).string()});
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        return dir / name;
    };

    const auto empty = RunWithoutDisplay(embed("", "empty"));
    EXPECT_EQ(empty.ExitCode, 0);
    EXPECT_NE(empty.Stderr.find("This is not a valid Windows application"), std::string::npos)
        << empty.Stderr;
    EXPECT_EQ(empty.Stderr.find("Runtime error"), std::string::npos);

    for (const std::string& bad :
         {std::string("not an archive"), // An end record on disk 1.
          std::string("PK\x05\x06\x01\x00", 6) + std::string(16, '\0'), std::string(100, '\0')}) {
        const auto r = RunWithoutDisplay(embed(bad, "bad"));
        EXPECT_EQ(r.ExitCode, 217) << r.Stderr;
        EXPECT_TRUE(std::regex_search(r.Stderr, report)) << r.Stderr;
        EXPECT_EQ(r.Stderr.find("not a valid"), std::string::npos);
    }
}
