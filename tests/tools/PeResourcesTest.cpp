// The PE resource reader and writer on small executables made here: adding,
// replacing and keeping resources in PE32 and PE32+ files, the checksum,
// and damaged files. Built also as a Windows program (tests/windows).

#include "tools/PeResources.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

using namespace Folivant::Tools;

namespace {

using TBytes = std::vector<std::uint8_t>;

void Put16(TBytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(TBytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t Get16(const TBytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8);
}

std::uint32_t Get32(const TBytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

constexpr std::size_t Coff = 0x44;
constexpr std::size_t Optional = Coff + 20;

std::size_t Directories(bool is64) {
    return Optional + (is64 ? 112 : 96);
}

std::size_t SectionTable(bool is64) {
    return Optional + (is64 ? 240 : 224);
}

// An executable with one code section and no resources, as a linker makes
// it: headers in the first 0x200 bytes, sections aligned to 0x1000.
TBytes MakeExecutable(bool is64) {
    TBytes b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    std::memcpy(b.data() + 0x40, "PE\0\0", 4);
    Put16(b, Coff, is64 ? 0x8664 : 0x14C);
    Put16(b, Coff + 2, 1);
    Put16(b, Coff + 16, is64 ? 240 : 224);
    Put16(b, Optional, is64 ? 0x20B : 0x10B);
    Put32(b, Optional + 32, 0x1000);
    Put32(b, Optional + 36, 0x200);
    Put32(b, Optional + 56, 0x2000);
    Put32(b, Optional + 60, 0x200);
    Put32(b, Optional + (is64 ? 108 : 92), 16);
    const std::size_t text = SectionTable(is64);
    std::memcpy(b.data() + text, ".text", 5);
    Put32(b, text + 8, 0x180);
    Put32(b, text + 12, 0x1000);
    Put32(b, text + 16, 0x200);
    Put32(b, text + 20, 0x200);
    for (std::size_t i = 0x200; i < 0x380; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7);
    return b;
}

std::span<const std::uint8_t> Span(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Text(std::span<const std::uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

std::string Resource(const TBytes& file, const char* type, const char* name) {
    const TPeImage image(file);
    const TPeResource* r = image.Find(PeTypeName(type), PeResourceName(name));
    return r == nullptr ? "<missing>" : Text(image.Data(*r));
}

TPeNewResource New(const char* type, const char* name, const std::string& bytes,
                   std::uint16_t language = 1033) {
    return {PeTypeName(type), PeResourceName(name), language, Span(bytes)};
}

class PeResources : public ::testing::TestWithParam<bool> {};

// A new resource section is appended after the code; adding again rewrites
// that last section in place, replaces FOLDATA in every language and keeps
// the rest. Headers follow: sections, image size, checksum.
TEST_P(PeResources, AddReplaceAndKeep) {
    const bool is64 = GetParam();
    const TBytes original = MakeExecutable(is64);
    const std::string archive(5000, 'A'), style = "VCL_STYLE 1.0 data", icon = "icon";
    const TBytes first =
        AddPeResources(original, {New("RCDATA", "FOLDATA", archive),
                                  New("VclStyle", "Amakrits", style), New("ICON", "#1", icon, 0)});
    const TPeImage one(first);
    EXPECT_EQ(one.Is64(), is64);
    ASSERT_EQ(one.Resources().size(), 3u);
    // Named types come before numbered ones.
    EXPECT_EQ(PeTypeText(one.Resources()[0].Type), "VCLSTYLE");
    EXPECT_EQ(PeTypeText(one.Resources()[1].Type), "ICON");
    EXPECT_EQ(Resource(first, "RCDATA", "FOLDATA"), archive);
    EXPECT_EQ(Resource(first, "vclstyle", "amakrits"), style);
    EXPECT_EQ(Resource(first, "RT_ICON", "#1"), icon);
    ASSERT_EQ(one.Sections().size(), 2u);
    EXPECT_EQ(one.Sections()[1].VirtualAddress, 0x2000u);
    EXPECT_EQ(one.Sections()[1].RawOffset, 0x400u);
    EXPECT_EQ(Get32(first, Optional + 56),
              0x2000u + ((one.Sections()[1].VirtualSize + 0xFFF) & ~0xFFFu));
    EXPECT_EQ(std::memcmp(first.data() + 0x200, original.data() + 0x200, 0x200), 0);
    EXPECT_EQ(one.StoredCheckSum(), PeCheckSum(first, Optional + 64));

    const std::string replacement = "new archive";
    const TBytes second = AddPeResources(first, {New("RCDATA", "FOLDATA", replacement, 0)});
    const TPeImage two(second);
    ASSERT_EQ(two.Resources().size(), 3u);
    EXPECT_EQ(Resource(second, "RCDATA", "FOLDATA"), replacement);
    EXPECT_EQ(two.Find(PeTypeName("RCDATA"), PeResourceName("FOLDATA"))->Language, 0);
    EXPECT_EQ(Resource(second, "VCLSTYLE", "AMAKRITS"), style);
    EXPECT_EQ(Resource(second, "ICON", "#1"), icon);
    ASSERT_EQ(two.Sections().size(), 2u);
    EXPECT_LT(second.size(), first.size());
    EXPECT_EQ(two.Sections()[1].RawOffset + two.Sections()[1].RawSize, second.size());
    EXPECT_EQ(two.StoredCheckSum(), PeCheckSum(second, Optional + 64));
}

// Bytes after the sections: a symbol table stays and its pointer follows
// it; a signature, which the change breaks, is dropped.
TEST_P(PeResources, KeepsSymbolTableAndDropsSignature) {
    const bool is64 = GetParam();
    TBytes file = MakeExecutable(is64);
    const std::string symbols = "SYMBOLS", signature(24, 'S');
    file.insert(file.end(), symbols.begin(), symbols.end());
    file.insert(file.end(), signature.begin(), signature.end());
    Put32(file, Coff + 8, 0x400);
    Put32(file, Directories(is64) + 8 * 4, 0x400 + static_cast<std::uint32_t>(symbols.size()));
    Put32(file, Directories(is64) + 8 * 4 + 4, static_cast<std::uint32_t>(signature.size()));

    const TBytes out = AddPeResources(file, {New("RCDATA", "FOLDATA", "x")});
    const std::uint32_t moved = Get32(out, Coff + 8);
    EXPECT_EQ(Text(std::span(out).subspan(moved)), symbols);
    EXPECT_EQ(Get32(out, Directories(is64) + 8 * 4), 0u);
    EXPECT_EQ(Get32(out, Directories(is64) + 8 * 4 + 4), 0u);
}

INSTANTIATE_TEST_SUITE_P(Pe32AndPe32Plus, PeResources, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PE32Plus" : "PE32"; });

TEST(PeResourceNames, ReadAsTheResourceCompilersSpellThem) {
    const struct {
        const char* Type;
        int Id;
        const char* Text;
    } good[] = {
        {"RCDATA", 10, ""},          {"rt_group_icon", 14, ""}, {"#24", 24, ""},
        {"VclStyle", 0, "VCLSTYLE"}, {"RT_", 0, "RT_"},
    };
    for (const auto& c : good) {
        const TPeName n = PeTypeName(c.Type);
        EXPECT_EQ(n.Id, c.Id) << c.Type;
        EXPECT_EQ(PeNameText(n), c.Id != 0 ? "#" + std::to_string(c.Id) : c.Text) << c.Type;
    }
    for (const char* bad : {"", "#", "#0", "#65536", "#1x", "caf\xC3\xA9", "a\nb"})
        EXPECT_THROW(PeResourceName(bad), EPeError) << bad;
}

TEST(PeCheckSum, SumsWordsWithCarriesSkipsTheFieldAndAddsTheLength) {
    const struct {
        TBytes File;
        std::size_t Field;
        std::uint32_t Sum;
    } cases[] = {
        {{0x01, 0x02, 0x03, 0x04}, 100, 0x0604 + 4},
        {{0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4},
        {{0xFF}, 100, 0x00FF + 1},
        {{0x01, 0x00, 0x77, 0x77, 0x77, 0x77, 0x02, 0x00}, 2, 0x0003 + 8},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PeCheckSum(c.File, c.Field), c.Sum);
}

// Every damage gives EPeError from the reader and the writer, never a crash
// or a file.
TEST(PeResourcesDamaged, ClearErrors) {
    const TBytes good = AddPeResources(MakeExecutable(true), {New("RCDATA", "FOLDATA", "zip")});
    // The tree as written: root @0, type @24, name @48, language entry @64,
    // data entry @72, the name "FOLDATA" @88.
    const std::size_t r = 0x400;
    const struct {
        const char* What;
        void (*Damage)(TBytes&, std::size_t);
    } cases[] = {
        {"too short for a DOS header", [](TBytes& b, std::size_t) { b.resize(0x30); }},
        {"file header cut off", [](TBytes& b, std::size_t) { b.resize(0x50); }},
        {"PE header past the end", [](TBytes& b, std::size_t) { Put32(b, 0x3C, 0xFFFFFFF0); }},
        {"section table past the end", [](TBytes& b, std::size_t) { Put16(b, Coff + 2, 0xFFFF); }},
        {"optional header too short", [](TBytes& b, std::size_t) { Put16(b, Coff + 16, 8); }},
        {"too many directories", [](TBytes& b, std::size_t) { Put32(b, Optional + 108, 1000); }},
        {"section bytes past the end",
         [](TBytes& b, std::size_t) { Put32(b, SectionTable(true) + 40 + 16, 0x10000000); }},
        {"tree outside the sections",
         [](TBytes& b, std::size_t) { Put32(b, Directories(true) + 16, 0x7000000); }},
        {"directory loops", [](TBytes& b, std::size_t r) { Put32(b, r + 20, 0x80000000); }},
        {"entry count lies", [](TBytes& b, std::size_t r) { Put16(b, r + 14, 0xFFFF); }},
        {"data at the type level", [](TBytes& b, std::size_t r) { Put32(b, r + 20, 72); }},
        {"language level nests further",
         [](TBytes& b, std::size_t r) { Put32(b, r + 68, 0x80000000 | 24); }},
        {"data size lies", [](TBytes& b, std::size_t r) { Put32(b, r + 76, 0x7FFFFFFF); }},
        {"data address outside", [](TBytes& b, std::size_t r) { Put32(b, r + 72, 0x900000); }},
        {"empty data in a section without file bytes",
         [](TBytes& b, std::size_t r) {
             Put32(b, SectionTable(true) + 16, 0);
             Put32(b, SectionTable(true) + 20, 0x7FFFFFFF);
             Put32(b, r + 72, 0x1000);
             Put32(b, r + 76, 0);
         }},
        {"name length lies", [](TBytes& b, std::size_t r) { Put16(b, r + 88, 0xFFFF); }},
        {"name offset outside",
         [](TBytes& b, std::size_t r) { Put32(b, r + 40, 0x80000000 | 0xFFFFFF); }},
    };
    ASSERT_EQ(Resource(good, "RCDATA", "FOLDATA"), "zip");
    for (const auto& c : cases) {
        TBytes bad = good;
        c.Damage(bad, r);
        try {
            const TPeImage image(bad);
            ADD_FAILURE() << c.What << ": read without error";
        } catch (const EPeError& e) {
            EXPECT_STRNE(e.what(), "") << c.What;
        }
        EXPECT_THROW(AddPeResources(bad, {New("RCDATA", "FOLDATA", "zip")}), EPeError) << c.What;
    }
    // Headers with data right after the section table leave no room for
    // another section header.
    TBytes crowded = MakeExecutable(false);
    crowded[SectionTable(false) + 40] = 1;
    EXPECT_THROW(AddPeResources(crowded, {New("RCDATA", "FOLDATA", "zip")}), EPeError);
}

} // namespace

// ICO files: every image is kept byte for byte with its directory values,
// and a directory that lies about sizes or offsets is refused.
TEST(IcoFiles, ParsedAndCheckedAgainstTheFile) {
    // Two images: 4 bytes at 38, 3 bytes at 42.
    TBytes ico(45, 0);
    Put16(ico, 2, 1);
    Put16(ico, 4, 2);
    const auto entry = [&](std::size_t i, std::uint8_t size, std::uint32_t bytes,
                           std::uint32_t offset) {
        ico[6 + 16 * i] = size;
        ico[7 + 16 * i] = size;
        Put16(ico, 12 + 16 * i, 32);
        Put32(ico, 14 + 16 * i, bytes);
        Put32(ico, 18 + 16 * i, offset);
    };
    entry(0, 0, 4, 38);
    entry(1, 16, 3, 42);
    std::memcpy(&ico[38], "\x89PNGBMP", 7);
    const std::vector<TIcoImage> images = ParseIco(ico);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(std::string(images[0].Bytes.begin(), images[0].Bytes.end()), "\x89PNG");
    EXPECT_EQ(std::string(images[1].Bytes.begin(), images[1].Bytes.end()), "BMP");
    const TBytes group = IcoIconGroup(images, 7);
    // Header, then 14-byte entries: size, bit count, byte count, number.
    ASSERT_EQ(group.size(), 6u + 28);
    EXPECT_EQ(Get16(group, 4), 2u);
    EXPECT_EQ(group[6 + 14], 16);
    EXPECT_EQ(Get16(group, 6 + 14 + 6), 32u);
    EXPECT_EQ(Get32(group, 6 + 8), 4u);
    EXPECT_EQ(Get16(group, 6 + 12), 7u);
    EXPECT_EQ(Get16(group, 6 + 14 + 12), 8u);

    const struct {
        const char* What;
        void (*Damage)(TBytes&);
    } cases[] = {
        {"not an ICO file", [](TBytes& b) { b[2] = 2; }},
        {"no image", [](TBytes& b) { Put16(b, 4, 0); }},
        {"directory past the end", [](TBytes& b) { Put16(b, 4, 3); }},
        {"image past the end", [](TBytes& b) { Put32(b, 14 + 16, 4); }},
        {"size wraps the offset", [](TBytes& b) { Put32(b, 14, 0xFFFFFFFF); }},
        {"image inside the directory", [](TBytes& b) { Put32(b, 18, 20); }},
        {"empty image", [](TBytes& b) { Put32(b, 14, 0); }},
    };
    for (const auto& c : cases) {
        TBytes bad = ico;
        c.Damage(bad);
        EXPECT_THROW(ParseIco(bad), EPeError) << c.What;
    }
}

TEST(VersionInfo, VersionNumbersAndAlignedStringTable) {
    const struct {
        const char* Text;
        std::array<std::uint16_t, 4> Version;
        bool Valid;
    } versions[] = {
        {"1.2.3.4", {1, 2, 3, 4}, true},
        {"7", {7, 0, 0, 0}, true},
        {"65535.0.1", {65535, 0, 1, 0}, true},
        {"65536", {}, false},
        {"1.2.3.4.5", {}, false},
        {"1..2", {}, false},
        {"", {}, false},
        {"1.2.", {}, false},
        {"v1", {}, false},
        {"1.-2", {}, false},
    };
    for (const auto& v : versions) {
        if (v.Valid)
            EXPECT_EQ(ParseFileVersion(v.Text), v.Version) << v.Text;
        else
            EXPECT_THROW(ParseFileVersion(v.Text), EPeError) << v.Text;
    }

    const TBytes info =
        VersionInfo({1, 2, 3, 4}, {{u"CompanyName", u"C"}, {u"ProductName", u"Tt"}});
    const auto key = [](std::u16string_view k) {
        std::string s;
        for (char16_t c : k) {
            s.push_back(static_cast<char>(c));
            s.push_back(0);
        }
        return s + std::string("\0\0", 2);
    };
    const std::string text(info.begin(), info.end());
    // Root: length of everything, 52 bytes of value, binary; the key, then
    // the fixed information at 40 (6 + 32 key bytes, aligned).
    EXPECT_EQ(Get16(info, 0), info.size());
    EXPECT_EQ(Get16(info, 2), 52u);
    EXPECT_EQ(Get16(info, 4), 0u);
    EXPECT_EQ(text.substr(6, 32), key(u"VS_VERSION_INFO"));
    EXPECT_EQ(Get32(info, 40), 0xFEEF04BDu);
    EXPECT_EQ(Get32(info, 48), 0x00010002u);
    EXPECT_EQ(Get32(info, 52), 0x00030004u);
    // Every child starts 32-bit aligned, and each string's node holds its
    // key, the aligned value and a length that ends at the value's end.
    for (const auto& [name, value] :
         {std::pair<std::u16string, std::u16string>{u"CompanyName", u"C"},
          {u"ProductName", u"Tt"},
          {u"StringFileInfo", u""},
          {u"040904B0", u""},
          {u"VarFileInfo", u""},
          {u"Translation", u""}}) {
        const std::size_t at = text.find(key(name));
        ASSERT_NE(at, std::string::npos);
        const std::size_t node = at - 6;
        EXPECT_EQ(node % 4, 0u) << std::string(name.begin(), name.end());
        if (value.empty())
            continue;
        EXPECT_EQ(Get16(info, node + 2), value.size() + 1);
        EXPECT_EQ(Get16(info, node + 4), 1u);
        const std::size_t start = (at + key(name).size() + 3) / 4 * 4;
        EXPECT_EQ(text.substr(start, key(value).size()), key(value));
        EXPECT_EQ(Get16(info, node), start + key(value).size() - node);
    }
    const std::size_t translation = text.find(key(u"Translation"));
    EXPECT_EQ(Get32(info, (translation + key(u"Translation").size() + 3) / 4 * 4), 0x04B00409u);
}
