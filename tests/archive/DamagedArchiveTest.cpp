// Damaged and hostile archives: an archive that can't be read raises
// EZipError from SetStream and nothing else; a damaged entry is absorbed by
// ExtractToStream. Nothing reads outside the data or allocates beyond what
// the entries declare (the sanitizer build checks both).

#include "archive/ZipReader.h"

#include "base/Text.h"
#include "archive/ZipWriter.h"

#include "support/ZipSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

using namespace Folivant;
using namespace Folivant::Archive;
using Folivant::Testing::BuildZip;
using Folivant::Testing::Poke16;
using Folivant::Testing::Poke32;
using Folivant::Testing::Poke64;
using Folivant::Testing::TOpenedZip;

namespace {

// Opens bytes and extracts every entry; false when SetStream refused them.
// Any other exception fails the test.
bool OpenAndExtractAll(const std::string& bytes) {
    TReadOnlyMemoryStream stream(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    TZipReader reader;
    reader.Password = ArchivePassword;
    try {
        reader.SetStream(&stream);
    } catch (const EZipError&) {
        return false;
    }
    for (int i = 0; i < reader.Count(); ++i) {
        TMemoryStream out;
        reader.ExtractToStream(reader.Entry(i).Name, out);
        EXPECT_LE(static_cast<std::uint64_t>(out.Size()), reader.Entry(i).UncompressedSize);
    }
    return true;
}

std::string Sample(TZipLayout* layout = nullptr, const TZipEndOptions& end = {}) {
    TMemoryStream out;
    TZipWriter w(out);
    w.AddBytes("fv-config", "[Folivant]\r\nTitle=Sample\r\n");
    w.AddDirectory("images");
    w.AddBytes("index.htm", "<html><body>" + std::string(3000, 'x') + "</body></html>");
    w.AddBytes("images/a.png", "\x89PNG not really", false);
    w.Finish(end);
    if (layout != nullptr)
        *layout = w.Layout();
    return out.ToString();
}

std::string Deflated(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

} // namespace

TEST(DamagedArchive, TruncatedAnywhere) {
    const std::string bytes = Sample();
    EXPECT_TRUE(OpenAndExtractAll(bytes));
    EXPECT_TRUE(OpenAndExtractAll(""));
    // Every cut loses the end record; none may be read as an archive.
    for (std::size_t length = 1; length < bytes.size(); ++length)
        EXPECT_FALSE(OpenAndExtractAll(bytes.substr(0, length))) << length;
}

// Entries whose data the archive does not hold: cut out of the middle of
// the file while the directory stays whole.
TEST(DamagedArchive, EntryDataCutShort) {
    TZipLayout layout;
    const std::string bytes = Sample(&layout);
    const auto& page = layout.Entries[2];
    for (std::uint64_t keep = 0; keep < page.DataSize; keep += 97) {
        std::string damaged = bytes;
        damaged.erase(page.Data + keep, page.DataSize - keep);
        // The directory and the last entry moved: point at them again.
        Poke32(damaged, damaged.size() - 22 + 16,
               static_cast<std::uint32_t>(layout.CentralDirectory - (page.DataSize - keep)));
        const std::uint64_t removed = page.DataSize - keep;
        const auto& image = layout.Entries[3];
        Poke32(damaged, image.CentralRecord - removed + 42,
               static_cast<std::uint32_t>(image.LocalHeader - removed));
        TOpenedZip zip(damaged);
        EXPECT_LE(zip.Extract(u"index.htm").size(), 3026u);
        EXPECT_NE(zip.Status(), TExtractStatus::esOk);
        EXPECT_EQ(zip.Extract(u"images/a.png"), "\x89PNG not really") << keep;
    }
}

TEST(DamagedArchive, WrongSignatures) {
    TZipLayout layout;
    TZipEndOptions zip64;
    zip64.ForceZip64 = true;
    const std::string plain = Sample(&layout);
    TZipLayout layout64;
    const std::string forced = Sample(&layout64, zip64);
    const struct {
        const char* Why;
        const std::string* Bytes;
        std::uint64_t Offset;
        bool Opens;
        TExtractStatus IndexStatus;
    } cases[] = {
        {"end record", &plain, layout.EndRecord, false, {}},
        {"first central record", &plain, layout.Entries[0].CentralRecord, false, {}},
        {"last central record", &plain, layout.Entries[3].CentralRecord, false, {}},
        {"local header of the page", &plain, layout.Entries[2].LocalHeader, true,
         TExtractStatus::esLocalHeader},
        {"local header of another entry", &plain, layout.Entries[0].LocalHeader, true,
         TExtractStatus::esOk},
        // Without its Zip64 record the end record's maximum values stand,
        // and they point outside the data.
        {"Zip64 locator", &forced, *layout64.Zip64Locator, false, {}},
        {"Zip64 end record", &forced, *layout64.Zip64EndRecord, false, {}},
    };
    EXPECT_TRUE(OpenAndExtractAll(forced));
    for (const auto& c : cases) {
        std::string damaged = *c.Bytes;
        damaged[c.Offset] ^= 0x01;
        EXPECT_EQ(OpenAndExtractAll(damaged), c.Opens) << c.Why;
        if (c.Opens) {
            TOpenedZip zip(damaged);
            zip.Extract(u"index.htm");
            EXPECT_EQ(zip.Status(), c.IndexStatus) << c.Why;
        }
    }
}

// A refused archive leaves the reader without entries, even one that held
// another archive before.
TEST(DamagedArchive, RefusedArchiveLeavesNoEntries) {
    TZipLayout layout;
    const std::string good = Sample(&layout);
    std::string bad = good;
    bad[layout.Entries[3].CentralRecord] ^= 0x01; // the last record: three were read before it
    TReadOnlyMemoryStream goodStream(good.data(), static_cast<std::int64_t>(good.size()));
    TReadOnlyMemoryStream badStream(bad.data(), static_cast<std::int64_t>(bad.size()));
    TZipReader reader;
    reader.Password = ArchivePassword;
    reader.SetStream(&goodStream);
    ASSERT_EQ(reader.Count(), 4);
    EXPECT_THROW(reader.SetStream(&badStream), EZipError);
    EXPECT_EQ(reader.Count(), 0);
    EXPECT_EQ(reader.FindFile(u"index.htm"), -1);
    TMemoryStream out;
    reader.ExtractToStream(u"index.htm", out);
    EXPECT_EQ(out.Size(), 0);
}

TEST(DamagedArchive, DiskNumbers) {
    TZipLayout layout;
    std::string bytes = Sample(&layout);
    for (const std::uint16_t disk : {1, 2, 0xFFFE}) {
        std::string damaged = bytes;
        Poke16(damaged, layout.EndRecord + 4, disk);
        EXPECT_FALSE(OpenAndExtractAll(damaged)) << disk;
    }
    // 0xFFFF takes the disk number from the Zip64 record, which must be 0.
    std::string noZip64 = bytes;
    Poke16(noZip64, layout.EndRecord + 4, 0xFFFF);
    EXPECT_FALSE(OpenAndExtractAll(noZip64));
    TZipEndOptions end;
    end.ForceZip64 = true;
    TZipLayout layout64;
    std::string forced = Sample(&layout64, end);
    Poke16(forced, layout64.EndRecord + 4, 0xFFFF);
    EXPECT_TRUE(OpenAndExtractAll(forced));
    Poke32(forced, *layout64.Zip64EndRecord + 16, 3);
    EXPECT_FALSE(OpenAndExtractAll(forced));
    // The writer's own disk number option.
    TZipEndOptions onDisk;
    onDisk.DiskNumber = 1;
    EXPECT_FALSE(OpenAndExtractAll(Sample(nullptr, onDisk)));
}

TEST(DamagedArchive, Zip64FieldsPointingOutside) {
    TZipEndOptions end;
    end.ForceZip64 = true;
    TZipLayout layout;
    const std::string forced = Sample(&layout, end);
    const std::uint64_t record = *layout.Zip64EndRecord;
    const struct {
        const char* Why;
        std::uint64_t Offset;
        std::uint64_t Value;
    } archiveCases[] = {
        {"locator points past the end", *layout.Zip64Locator + 8, 1ull << 40},
        {"locator points before the record", *layout.Zip64Locator + 8, record - 1},
        {"directory offset past the end", record + 48, 1ull << 62},
        {"directory offset at the end record", record + 48, layout.EndRecord},
        {"directory offset wraps", record + 48, ~0ull - 10},
        {"entry count beyond the directory", record + 32, 1ull << 60},
        {"entry count of all ones", record + 32, ~0ull},
    };
    for (const auto& c : archiveCases) {
        std::string damaged = forced;
        Poke64(damaged, c.Offset, c.Value);
        EXPECT_FALSE(OpenAndExtractAll(damaged)) << c.Why;
    }
    // A directory size that lies is not used.
    std::string size = forced;
    Poke64(size, record + 40, 1ull << 62);
    EXPECT_TRUE(OpenAndExtractAll(size));

    // Per-entry Zip64 values that point outside: the entry is absorbed.
    const std::string data = std::string(5000, 'q');
    TZipLayout entryLayout;
    const std::string bytes = BuildZip(
        [&](TZipWriter& w) {
            TZipRawEntry e;
            e.Name = "z";
            e.Data = data;
            e.Zip64Fields = z64All;
            w.AddRaw(e);
        },
        &entryLayout);
    // The extra field follows the 46-byte record and the 1-byte name.
    const std::uint64_t extra = entryLayout.Entries[0].CentralRecord + 46 + 1 + 4;
    const struct {
        const char* Why;
        std::uint64_t Offset;
        std::uint64_t Value;
        TExtractStatus Status;
        bool Full;
    } entryCases[] = {
        {"uncompressed size beyond any memory", extra, 1ull << 62, TExtractStatus::esOk, true},
        {"uncompressed size of all ones", extra, ~0ull, TExtractStatus::esOk, true},
        {"compressed size past the end", extra + 8, 1ull << 62, TExtractStatus::esTruncated, true},
        {"compressed size wraps", extra + 8, ~0ull, TExtractStatus::esTruncated, true},
        {"local header past the end", extra + 16, 1ull << 62, TExtractStatus::esLocalHeader, false},
        {"local header offset 0, the true one", extra + 16, 0, TExtractStatus::esOk, true},
    };
    for (const auto& c : entryCases) {
        std::string damaged = bytes;
        Poke64(damaged, c.Offset, c.Value);
        TOpenedZip zip(damaged);
        const std::string out = zip.Extract(u"z");
        EXPECT_EQ(zip.Status(), c.Status) << c.Why;
        EXPECT_EQ(out, c.Full ? data : "") << c.Why;
    }
    std::string lastByte = bytes;
    Poke64(lastByte, extra + 16, bytes.size() - 1);
    TOpenedZip zip(lastByte);
    EXPECT_EQ(zip.Extract(u"z"), "");
    EXPECT_EQ(zip.Status(), TExtractStatus::esLocalHeader);

    // An extra field too short for the values it should hold.
    std::string shortExtra = bytes;
    Poke16(shortExtra, extra - 2, 4);
    TOpenedZip shortZip(shortExtra);
    EXPECT_EQ(shortZip.Extract(u"z"), "");
    EXPECT_EQ(shortZip.Reader().Entry(0).UncompressedSize, 0xFFFFFFFFu);
}

TEST(DamagedArchive, SizesThatLie) {
    const std::string data = std::string(20000, 'a') + "middle" + std::string(20000, 'b');
    const std::string deflated = Deflated(data);
    const struct {
        const char* Why;
        std::optional<std::uint64_t> Compressed;
        std::optional<std::uint64_t> Uncompressed;
        std::size_t ExpectedSize;
        TExtractStatus Status;
    } cases[] = {
        {"compressed size short", 12 + deflated.size() / 2, {}, 0, TExtractStatus::esCorrupt},
        {"compressed size only the encryption header", 12, {}, 0, TExtractStatus::esCorrupt},
        {"compressed size shorter than the encryption header",
         5,
         {},
         0,
         TExtractStatus::esPassword},
        {"compressed size reaching into the directory",
         12 + deflated.size() + 40,
         {},
         data.size(),
         TExtractStatus::esOk},
        {"compressed size past the end", 1u << 30, {}, data.size(), TExtractStatus::esTruncated},
        {"uncompressed size short", {}, 1000, 1000, TExtractStatus::esCorrupt},
        {"uncompressed size one short",
         {},
         data.size() - 1,
         data.size() - 1,
         TExtractStatus::esCorrupt},
        {"uncompressed size long", {}, data.size() * 3, data.size(), TExtractStatus::esOk},
        {"uncompressed size 4 GB", {}, 0xFFFFFFF0u, data.size(), TExtractStatus::esOk},
    };
    TOpenedZip zip(BuildZip([&](TZipWriter& w) {
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            TZipRawEntry e;
            e.Name = std::to_string(i);
            e.Data = data;
            e.Compressed = deflated;
            e.CompressedSize = cases[i].Compressed;
            e.UncompressedSize = cases[i].Uncompressed;
            w.AddRaw(e);
        }
    }));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string out = zip.Extract(Utf8ToString(std::to_string(i)));
        EXPECT_EQ(zip.Status(), cases[i].Status) << cases[i].Why;
        if (cases[i].Status == TExtractStatus::esCorrupt && cases[i].ExpectedSize == 0)
            EXPECT_LT(out.size(), data.size()) << cases[i].Why;
        else
            EXPECT_EQ(out.size(), cases[i].ExpectedSize) << cases[i].Why;
        EXPECT_EQ(out, data.substr(0, out.size())) << cases[i].Why;
    }
}

// A small entry that inflates far beyond its declared size writes exactly the
// declared size and stops; one that declares a huge size gets only what its
// data really holds, without reserving the declared amount.
TEST(DamagedArchive, DeflateBomb) {
    const std::string zeros(32u << 20, '\0');
    const std::string bomb = Deflated(zeros);
    ASSERT_LT(bomb.size(), 64u << 10);
    const struct {
        std::uint64_t Declared;
        std::size_t Expected;
        TExtractStatus Status;
    } cases[] = {
        {1u << 20, 1u << 20, TExtractStatus::esCorrupt},
        {(32u << 20) - 1, (32u << 20) - 1, TExtractStatus::esCorrupt},
        {32u << 20, 32u << 20, TExtractStatus::esOk},
        {0xFFFFFFF0u, 32u << 20, TExtractStatus::esOk},
    };
    for (const bool encrypted : {true, false}) {
        TOpenedZip zip(BuildZip([&](TZipWriter& w) {
            for (std::size_t i = 0; i < std::size(cases); ++i) {
                TZipRawEntry e;
                e.Name = std::to_string(i);
                e.Data = zeros;
                e.Compressed = bomb;
                e.Encrypt = encrypted;
                e.Flags = encrypted ? 0x000B : 0x000A;
                e.UncompressedSize = cases[i].Declared;
                w.AddRaw(e);
            }
        }));
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            TMemoryStream out;
            zip.Reader().ExtractToStream(Utf8ToString(std::to_string(i)), out);
            EXPECT_EQ(zip.Status(), cases[i].Status) << i;
            EXPECT_EQ(static_cast<std::size_t>(out.Size()), cases[i].Expected) << i;
        }
    }
}

TEST(DamagedArchive, NamesThatAreNotText) {
    const std::string names[] = {
        std::string("\xFF\xFE.htm"), std::string("a\0b", 3), std::string("\xC3"),
        std::string("\xED\xA0\x80"), std::string(""),        std::string(65535, '\x80')};
    TOpenedZip zip(BuildZip([&](TZipWriter& w) {
        for (const auto& name : names) {
            TZipRawEntry e;
            e.Name = name;
            e.Data = "content";
            e.Flags = 0x080B;
            w.AddRaw(e);
        }
    }));
    ASSERT_EQ(zip.Reader().Count(), static_cast<int>(std::size(names)));
    EXPECT_EQ(zip.Reader().Entry(0).Name, u"\uFFFD\uFFFD.htm");
    EXPECT_EQ(zip.Reader().Entry(1).Name, String(u"a\0b", 3));
    for (int i = 0; i < zip.Reader().Count(); ++i) {
        const String& name = zip.Reader().Entry(i).Name;
        EXPECT_EQ(zip.Reader().FindFile(name), i);
        EXPECT_EQ(zip.Extract(name), "content");
    }
}

TEST(DamagedArchive, EntriesOverlappingTheDirectory) {
    TZipLayout layout;
    const std::string bytes = Sample(&layout);
    // Local header offset pointing into the central directory.
    for (const std::uint64_t target : {layout.CentralDirectory, layout.Entries[1].CentralRecord,
                                       layout.EndRecord, layout.Entries[2].CentralRecord + 10}) {
        std::string damaged = bytes;
        Poke32(damaged, layout.Entries[2].CentralRecord + 42, static_cast<std::uint32_t>(target));
        TOpenedZip zip(damaged);
        EXPECT_EQ(zip.Extract(u"index.htm"), "");
        EXPECT_EQ(zip.Status(), TExtractStatus::esLocalHeader);
    }
    // Compressed data running over the directory and the end record.
    std::string over = bytes;
    Poke32(over, layout.Entries[3].CentralRecord + 20,
           static_cast<std::uint32_t>(layout.Size - layout.Entries[3].Data));
    EXPECT_TRUE(OpenAndExtractAll(over));
    // The central directory starting inside entry data.
    std::string inside = bytes;
    Poke32(inside, layout.EndRecord + 16, static_cast<std::uint32_t>(layout.Entries[2].Data + 5));
    EXPECT_FALSE(OpenAndExtractAll(inside));
    // Two records sharing one local header: both read the same data.
    std::string shared = bytes;
    Poke32(shared, layout.Entries[3].CentralRecord + 42,
           static_cast<std::uint32_t>(layout.Entries[2].LocalHeader));
    TOpenedZip zip(shared);
    zip.Extract(u"images/a.png");
    EXPECT_NE(zip.Status(), TExtractStatus::esOk);
}

// Random damage anywhere: SetStream raises only EZipError and extraction
// raises nothing.
TEST(DamagedArchive, RandomDamage) {
    TZipEndOptions end;
    end.ForceZip64 = true;
    for (const std::string& sample : {Sample(), Sample(nullptr, end)}) {
        for (std::size_t i = 0; i < sample.size(); ++i) {
            std::string damaged = sample;
            damaged[i] = static_cast<char>(0xFF);
            OpenAndExtractAll(damaged);
        }
        std::mt19937 random(1234);
        for (int round = 0; round < 1500; ++round) {
            std::string damaged = sample;
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int k = 0; k < flips; ++k)
                damaged[random() % damaged.size()] ^= static_cast<char>(1u << (random() % 8));
            OpenAndExtractAll(damaged);
        }
    }
}
