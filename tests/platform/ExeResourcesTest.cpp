#include "platform/ExeResources.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

using namespace Folivant::Platform;
using Folivant::Testing::ReadFileBytes;
using Folivant::Testing::TempDir;
using Folivant::Testing::WriteFileBytes;

namespace {

std::string Bytes(const TExeResources& exe, std::string_view type, std::string_view name) {
    const TResourceInfo* r = exe.Find(type, name);
    if (r == nullptr)
        return "<missing>";
    const auto data = exe.Data(*r);
    if (!data)
        return "<unreadable>";
    return std::string(reinterpret_cast<const char*>(data->data()), data->size());
}

void PutLE(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A table written by hand, for layouts the writer never produces.
std::string Table(std::uint64_t directoryOffset, std::uint32_t count,
                  const std::vector<TResourceInfo>& entries) {
    std::string out;
    PutLE(out, count, 4);
    for (const auto& r : entries) {
        PutLE(out, r.Type.size(), 2);
        out += r.Type;
        PutLE(out, r.Name.size(), 2);
        out += r.Name;
        PutLE(out, r.Language, 2);
        PutLE(out, r.Offset, 8);
        PutLE(out, r.Size, 8);
    }
    PutLE(out, directoryOffset, 8);
    return out + "FVRSRC01";
}

} // namespace

TEST(ExeResources, WriteThenFindByTypeAndNameWithoutCase) {
    TempDir dir;
    const std::string image = "\x7F"
                              "ELF fake image bytes";
    WriteFileBytes(dir / "bare", image);
    EXPECT_FALSE(TExeResources(dir / "bare").HasTable());
    EXPECT_EQ(TExeResources(dir / "bare").ImageSize(), image.size());

    WriteFileBytes(dir / "icon.png", "PNGDATA");
    WriteExeResources(dir / "bare", dir / "one",
                      {{"RCDATA", "FOLDATA", 1033, "archive bytes", {}},
                       {"ICON", "MAINICON", 1031, "", dir / "icon.png"},
                       {"RCDATA", "EMPTY", 0, "", {}}});
    const TExeResources exe(dir / "one");
    ASSERT_TRUE(exe.HasTable());
    EXPECT_EQ(exe.Resources().size(), 3u);
    EXPECT_EQ(exe.ImageSize(), image.size());
    EXPECT_EQ(ReadFileBytes(dir / "one").substr(0, image.size()), image);
    EXPECT_EQ(Bytes(exe, "rcdata", "FolData"), "archive bytes");
    EXPECT_EQ(Bytes(exe, "ICON", "mainicon"), "PNGDATA");
    EXPECT_EQ(exe.Find("ICON", "MAINICON")->Language, 1031);
    EXPECT_EQ(Bytes(exe, "RCDATA", "EMPTY"), "");
    EXPECT_EQ(Bytes(exe, "RCDATA", "FOLDAT"), "<missing>");
    EXPECT_EQ(Bytes(exe, "ICON", "FOLDATA"), "<missing>");

    struct stat st {};
    ASSERT_EQ(stat((dir / "one").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
}

TEST(ExeResources, RewritingReplacesSameNameAndKeepsTheRest) {
    TempDir dir;
    const std::string image(5000, 'I');
    WriteFileBytes(dir / "bare", image);
    WriteExeResources(dir / "bare", dir / "first",
                      {{"ICON", "MAINICON", 1033, "icon", {}},
                       {"RCDATA", "FOLDATA", 1033, "old archive", {}},
                       {"VCLSTYLE", "AMAKRITS", 1033, "style", {}}});
    // Rewriting in place: the source is also the output.
    WriteExeResources(dir / "first", dir / "first", {{"rcdata", "foldata", 1033, "new", {}}});
    const TExeResources exe(dir / "first");
    ASSERT_EQ(exe.Resources().size(), 3u);
    EXPECT_EQ(Bytes(exe, "RCDATA", "FOLDATA"), "new");
    EXPECT_EQ(Bytes(exe, "ICON", "MAINICON"), "icon");
    EXPECT_EQ(Bytes(exe, "VCLSTYLE", "AMAKRITS"), "style");
    // The old table is gone from the image: no table inside a table, and the
    // file holds nothing but image, data and one directory.
    EXPECT_EQ(exe.ImageSize(), image.size());
    const std::string file = ReadFileBytes(dir / "first");
    EXPECT_EQ(file.find("FVRSRC01"), file.size() - 8);
    EXPECT_EQ(file.find("old archive"), std::string::npos);

    // Repeating the same step gives the same bytes.
    WriteExeResources(dir / "first", dir / "second", {{"rcdata", "foldata", 1033, "new", {}}});
    EXPECT_TRUE(ReadFileBytes(dir / "second") == file);
}

TEST(ExeResources, DamagedTablesAndResourcesOutsideTheFile) {
    TempDir dir;
    const std::string image = "IMAGE";
    // A resource whose data runs past the end of the file is listed but
    // unreadable; the readable one beside it still works.
    {
        const std::string data = "good";
        std::string file = image + data;
        file += Table(file.size(), 2,
                      {{"RCDATA", "GOOD", 0, image.size(), data.size()},
                       {"RCDATA", "FOLDATA", 0, image.size(), 1u << 30}});
        WriteFileBytes(dir / "outside", file);
        const TExeResources exe(dir / "outside");
        ASSERT_TRUE(exe.HasTable());
        EXPECT_EQ(Bytes(exe, "RCDATA", "GOOD"), "good");
        EXPECT_EQ(Bytes(exe, "RCDATA", "FOLDATA"), "<unreadable>");
        const TResourceInfo huge{"RCDATA", "X", 0, ~0ull - 2, 10};
        EXPECT_FALSE(exe.Data(huge).has_value());
        // Such a table cannot be carried over into a new file.
        EXPECT_THROW(WriteExeResources(dir / "outside", dir / "copy", {}), EResourceError);
    }
    // Directories that do not fit: a count larger than the entries, an
    // offset past the trailer, a trailer alone.
    const std::string damaged[] = {
        image + Table(image.size(), 1000, {{"RCDATA", "FOLDATA", 0, 0, 1}}),
        image + Table(1u << 20, 0, {}),
        std::string(8, '\0') + "FVRSRC01",
    };
    for (const auto& file : damaged) {
        WriteFileBytes(dir / "damaged", file);
        const TExeResources exe(dir / "damaged");
        EXPECT_FALSE(exe.HasTable());
        EXPECT_TRUE(exe.Resources().empty());
        EXPECT_EQ(exe.Find("RCDATA", "FOLDATA"), nullptr);
        EXPECT_THROW(WriteExeResources(dir / "damaged", dir / "copy", {}), EResourceError);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "copy"));
    // Too short to hold a trailer: an ordinary file without resources.
    WriteFileBytes(dir / "short", "FVRSRC01");
    EXPECT_FALSE(TExeResources(dir / "short").HasTrailer());
    // An empty file has no resources and an empty image.
    WriteFileBytes(dir / "empty", "");
    EXPECT_FALSE(TExeResources(dir / "empty").HasTable());
    EXPECT_THROW(TExeResources(dir / "missing"), EResourceError);
    EXPECT_THROW(TExeResources(dir.Path()), EResourceError);
}

TEST(ExeResources, FailedWriteLeavesTheOutputAlone) {
    TempDir dir;
    WriteFileBytes(dir / "bare", "IMAGE");
    WriteFileBytes(dir / "out", "previous");
    EXPECT_THROW(WriteExeResources(dir / "bare", dir / "out",
                                   {{"RCDATA", "FOLDATA", 0, "", dir / "no-such-file"}}),
                 EResourceError);
    EXPECT_EQ(ReadFileBytes(dir / "out"), "previous");
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path()))
        ++files;
    EXPECT_EQ(files, 2) << "a temporary file was left behind";
}

TEST(ExeResources, OwnExecutableIsReadable) {
    // The test program carries no table; reading it must still work.
    const TExeResources self(TExeResources::OwnExecutable());
    EXPECT_FALSE(self.HasTable());
    EXPECT_GT(self.ImageSize(), 0u);
}
