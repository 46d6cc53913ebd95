#include "archive/ZipReader.h"

#include "base/Text.h"
#include "archive/ZipWriter.h"

#include "support/TestSupport.h"
#include "support/ZipSupport.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <bzlib.h>
#include <lzma.h>
#endif
#include <zlib.h>

#include <random>

using namespace Folivant;
using namespace Folivant::Archive;
using Folivant::Testing::BuildZip;
using Folivant::Testing::TOpenedZip;

namespace {

std::string PseudoText(std::size_t size, unsigned seed) {
    static const char* words[] = {"<p>",    "</p>", "publication ", "archive ",
                                  "entry ", "\n",   "window ",      "42 "};
    std::mt19937 random(seed);
    std::string s;
    while (s.size() < size)
        s += words[random() % 8];
    s.resize(size);
    return s;
}

std::string PseudoRandom(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(size, '\0');
    for (auto& c : s)
        c = static_cast<char>(random());
    return s;
}

std::uint32_t Crc(const std::string& s) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

TZipRawEntry Raw(std::string name, std::string data) {
    TZipRawEntry e;
    e.Name = std::move(name);
    e.Data = std::move(data);
    return e;
}

} // namespace

// What the packer writes comes back byte for byte, whichever way the archive
// is read (in place or through a stream) and whichever stream receives it.
TEST(ZipReader, RoundTripThroughTheWriter) {
    const std::string config = "[Folivant]\r\nIndexPage=index.htm\r\n";
    const std::string page = PseudoText(200 * 1024, 1);
    const std::string big =
        PseudoText(3 * 1024 * 1024, 2) + PseudoRandom(1024 * 1024, 3); // worker thread
    const std::string image = PseudoRandom(70000, 4);
    const std::string bytes = BuildZip([&](TZipWriter& w) {
        w.AddBytes("fv-config", config);
        w.AddBytes("index.htm", page);
        w.AddDirectory("images");
        w.AddBytes("images/photo.jpg", image, false);
        w.AddBytes("files/big.bin", big);
        w.AddBytes("empty.txt", "");
    });
    const std::pair<String, const std::string*> expected[] = {{u"fv-config", &config},
                                                              {u"index.htm", &page},
                                                              {u"images/photo.jpg", &image},
                                                              {u"files/big.bin", &big}};

    Testing::TempDir dir;
    Testing::WriteFileBytes(dir / "site.zip", bytes);
    TReadOnlyMemoryStream memory(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    TFileStream file(dir / "site.zip", TFileMode::fmOpenRead);
    for (TStream* source : {static_cast<TStream*>(&memory), static_cast<TStream*>(&file)}) {
        TZipReader reader;
        reader.Password = ArchivePassword;
        reader.SetStream(source);
        ASSERT_EQ(reader.Count(), 6);
        EXPECT_EQ(reader.Entry(2).Name, u"images/");
        for (const auto& [name, data] : expected) {
            SCOPED_TRACE(StringToUtf8(name));
            TMemoryStream out;
            reader.ExtractToStream(name, out);
            EXPECT_EQ(reader.LastStatus(), TExtractStatus::esOk);
            EXPECT_EQ(out.ToString(), *data);
            EXPECT_EQ(out.Position(), out.Size());

            // Into a stream that already holds bytes: written at its position.
            TMemoryStream appended;
            appended.WriteBuffer("head", 4);
            reader.ExtractToStream(name, appended);
            EXPECT_EQ(appended.ToString(), "head" + *data);

            // Into a file: written through the stream's Write.
            {
                TFileStream target(dir / "out.bin", TFileMode::fmCreate);
                reader.ExtractToStream(name, target);
                EXPECT_EQ(target.Position(), static_cast<std::int64_t>(data->size()));
            }
            EXPECT_EQ(Testing::ReadFileBytes(dir / "out.bin"), *data);
        }
        for (const String name : {u"images/", u"empty.txt", u"missing.htm"}) {
            TMemoryStream out;
            reader.ExtractToStream(name, out);
            EXPECT_EQ(out.Size(), 0);
        }
        EXPECT_EQ(reader.LastStatus(), TExtractStatus::esNotFound);
    }
}

TEST(ZipReader, EmptyStreamHasNoEntries) {
    TMemoryStream empty;
    TZipReader reader;
    reader.SetStream(&empty);
    EXPECT_EQ(reader.Count(), 0);
    EXPECT_EQ(reader.FindFile(u""), -1);
    EXPECT_EQ(reader.FindFile(u"index.htm"), -1);
}

// Lookups compare whole names, folding only the ASCII letters.
TEST(ZipReader, LookupRules) {
    const char* stored[] = {"index.htm", "\xC3\xA9.htm", "images/logo.png", "images/",
                            "Dup.txt",   "DUP.TXT",      "a\\b.txt",        "\xC3\x9F.txt"};
    TOpenedZip zip(BuildZip([&](TZipWriter& w) {
        for (const char* name : stored)
            w.AddBytes(name, name);
    }));
    const struct {
        String Query;
        int Expected;
    } cases[] = {
        {u"index.htm", 0},         {u"Index.HTM", 0},
        {u"INDEX.HTM", 0},         {u"\u00E9.htm", 1},
        {u"\u00C9.htm", -1}, // non-ASCII letters are not folded
        {u"\u00E9.HTM", 1},        {u"images/logo.png", 2},
        {u"images\\logo.png", -1},                  // "\" is not "/"
        {u"/index.htm", -1},                        // no leading-slash logic
        {u"index.htm/", -1},       {u"images", -1}, // directories only with their slash
        {u"images/", 3},           {u"IMAGES/", 3},
        {u"logo.png", -1},                          // no directory-prefix logic
        {u"images/*.png", -1},     {u"dup.txt", 5}, // the later of two names equal after folding
        {u"Dup.txt", 5},           {u"a\\b.txt", 6},
        {u"a/b.txt", -1},          {u"\u00DF.txt", 7},
        {u"SS.txt", -1},           {u"", -1},
        {u"index.ht", -1},         {u"index.htmx", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zip.Reader().FindFile(c.Query), c.Expected) << StringToUtf8(c.Query);
    // Extraction looks the name up the same way.
    EXPECT_EQ(zip.Extract(u"dup.TXT"), "DUP.TXT");
    EXPECT_EQ(zip.Extract(u"INDEX.htm"), "index.htm");
}

TEST(ZipReader, NameDecodingRules) {
    auto extra = [](std::uint16_t id, const std::string& body) {
        std::string s;
        s.push_back(static_cast<char>(id & 0xFF));
        s.push_back(static_cast<char>(id >> 8));
        s.push_back(static_cast<char>(body.size() & 0xFF));
        s.push_back(static_cast<char>(body.size() >> 8));
        return s + body;
    };
    auto le32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    };
    const std::string oemName = "caf\x82"; // "café" in code page 437
    const std::string unicodePath =
        extra(0x7075, std::string("\x01") + le32(Crc(oemName)) + "na\xC3\xAFve");
    const std::string badCrcPath =
        extra(0x7075, std::string("\x01") + le32(Crc(oemName) ^ 1) + "na\xC3\xAFve");
    const std::string badVersionPath =
        extra(0x7075, std::string("\x02") + le32(Crc(oemName)) + "na\xC3\xAFve");
    const std::string nucx = extra(0x554E, std::string("NUCX") + le32(3) +
                                               std::string("\xA9\x03"
                                                           "a\0b\0",
                                                           6));
    const std::string nucxBadSize = extra(0x554E, std::string("NUCX") + le32(4) +
                                                      std::string("\xA9\x03"
                                                                  "a\0b\0",
                                                                  6));
    const struct {
        const char* Why;
        std::string Name;
        std::uint16_t Flags;
        std::uint16_t MadeBy;
        std::string Extra;
        String Expected;
    } cases[] = {
        {"bit 11", "caf\xC3\xA9", 0x0809, 0x0015, "", u"caf\u00E9"},
        {"bit 11, ill-formed", "caf\xE9", 0x0809, 0x0015, "", u"caf\uFFFD"},
        {"well-formed UTF-8 without bit 11", "caf\xC3\xA9", 0x0009, 0x0015, "", u"caf\u00E9"},
        {"UTF-8 shape wins over OEM", "\xE0\x80\x80", 0x0009, 0x0015, "", u"\uFFFD\uFFFD\uFFFD"},
        {"open sequence at the end is not UTF-8", "caf\xC3", 0x0009, 0x0015, "", u"caf\u251C"},
        {"Unicode path extra field", oemName, 0x0009, 0x0015, unicodePath, u"na\u00EFve"},
        {"Unicode path with another CRC", oemName, 0x0009, 0x0015, badCrcPath, u"caf\u00E9"},
        {"Unicode path of another version", oemName, 0x0009, 0x0015, badVersionPath, u"caf\u00E9"},
        {"UTF-16 name extra field", "x", 0x0009, 0x0015, nucx, u"\u03A9ab"},
        {"UTF-16 name of the wrong size", "x", 0x0009, 0x0015, nucxBadSize, u"x"},
        {"Unicode path before a UTF-16 name that comes first", oemName, 0x0009, 0x0015,
         nucx + unicodePath, u"na\u00EFve"},
        {"UTF-16 name when the Unicode path does not fit", oemName, 0x0009, 0x0015,
         badCrcPath + nucx, u"\u03A9ab"},
        {"ASCII after an unrelated extra field", "plain.txt", 0x0009, 0x0315,
         extra(0x5455, "\x01\0\0\0\0"), u"plain.txt"},
        {"MS-DOS host: OEM", oemName, 0x0009, 0x0015, "", u"caf\u00E9"},
        {"MS-DOS host: OEM box drawing", "\xB0", 0x0009, 0x0014, "", u"\u2591"},
        {"Unix host: ANSI", "caf\xE9", 0x0009, 0x0315, "", u"caf\u00E9"},
        {"Unix host: bytes that only OEM makes letters", oemName, 0x0009, 0x0315, "", u"caf\u00E9"},
        {"Unix host: not letters in OEM, so ANSI", "\xB0", 0x0009, 0x0315, "", u"\u00B0"},
    };
    ASSERT_EQ(AnsiCodePage(), 1252u);
    ASSERT_EQ(OemCodePage(), 437u);
    TOpenedZip zip(BuildZip([&](TZipWriter& w) {
        for (const auto& c : cases) {
            TZipRawEntry e = Raw(c.Name, "data");
            e.Flags = c.Flags;
            e.VersionMadeBy = c.MadeBy;
            e.CentralExtra = c.Extra;
            w.AddRaw(e);
        }
    }));
    ASSERT_EQ(zip.Reader().Count(), static_cast<int>(std::size(cases)));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(zip.Reader().Entry(static_cast<int>(i)).Name, cases[i].Expected) << cases[i].Why;
}

// Failures inside an entry never leave ExtractToStream: the stream keeps
// what was written, nothing for a refused entry, all bytes for a wrong CRC.
TEST(ZipReader, EntryFailuresAreAbsorbed) {
    const std::string data = PseudoText(5000, 9);
    ASSERT_NE(Crc(data) >> 24, 0x60u); // distinguishes the two kinds of check byte
    const struct {
        const char* Why;
        std::function<void(TZipRawEntry&)> Make;
        std::string Expected;
        TExtractStatus Status;
    } cases[] = {
        {"as the packer writes it", [](TZipRawEntry&) {}, data, TExtractStatus::esOk},
        {"another password", [](TZipRawEntry& e) { e.Password = "another password"; }, "",
         TExtractStatus::esPassword},
        {"method 99", [](TZipRawEntry& e) { e.Method = 99; }, "", TExtractStatus::esMethod},
        {"method 6 (implode) has no decoder", [](TZipRawEntry& e) { e.Method = 6; }, "",
         TExtractStatus::esMethod},
        {"method high bit is ignored", [](TZipRawEntry& e) { e.Method = 0x88; }, data,
         TExtractStatus::esOk},
        {"wrong CRC keeps the bytes", [](TZipRawEntry& e) { e.Crc32 = 0x12345678; }, data,
         TExtractStatus::esCrc},
        {"uncompressed size 0", [](TZipRawEntry& e) { e.UncompressedSize = 0; }, "",
         TExtractStatus::esOk},
        {"version needed 6.4", [](TZipRawEntry& e) { e.VersionNeeded = 64; }, "",
         TExtractStatus::esVersion},
        {"version needed low byte 64, high byte 3",
         [](TZipRawEntry& e) { e.VersionNeeded = 0x0340; }, "", TExtractStatus::esVersion},
        {"version needed 6.3 with a high byte", [](TZipRawEntry& e) { e.VersionNeeded = 0x013F; },
         data, TExtractStatus::esOk},
        {"local header not where the directory says",
         [](TZipRawEntry& e) { e.LocalHeaderOffset = 1; }, "", TExtractStatus::esLocalHeader},
        {"local header outside the data", [](TZipRawEntry& e) { e.LocalHeaderOffset = 1u << 30; },
         "", TExtractStatus::esLocalHeader},
        {"not encrypted",
         [](TZipRawEntry& e) {
             e.Encrypt = false;
             e.Flags = e.Flags & ~1;
         },
         data, TExtractStatus::esOk},
        {"stored",
         [](TZipRawEntry& e) {
             e.Deflate = false;
             e.Flags = 0x0009;
         },
         data, TExtractStatus::esOk},
        {"stored, declared shorter: exactly the declared bytes",
         [](TZipRawEntry& e) {
             e.Deflate = false;
             e.UncompressedSize = 100;
         },
         data.substr(0, 100), TExtractStatus::esCrc},
        // The check byte follows the local header's bit 3 and time.
        {"local bit 3 set, central clear",
         [](TZipRawEntry& e) {
             e.Flags = 0x0003;
             e.LocalFlags = 0x000B;
         },
         data, TExtractStatus::esOk},
        {"local bit 3 clear, central set",
         [](TZipRawEntry& e) {
             e.Flags = 0x000B;
             e.LocalFlags = 0x0003;
         },
         data, TExtractStatus::esOk},
        {"bit 3 set but check byte from the CRC",
         [&](TZipRawEntry& e) { e.CheckByte = Crc(data) >> 24; }, "", TExtractStatus::esPassword},
        {"bit 3 clear but check byte from the time",
         [](TZipRawEntry& e) {
             e.Flags = e.LocalFlags.emplace(0x0003);
             e.CheckByte = 0x60;
         },
         "", TExtractStatus::esPassword},
        {"check byte from the local time", [](TZipRawEntry& e) { e.LocalModTime = 0x7000; }, data,
         TExtractStatus::esOk},
        {"check byte from the central time",
         [](TZipRawEntry& e) {
             e.LocalModTime = 0x7000;
             e.CheckByte = 0x60;
         },
         "", TExtractStatus::esPassword},
        {"corrupt deflate data keeps the decoded start",
         [&](TZipRawEntry& e) {
             std::string compressed(4096, '\0');
             uLongf size = compressed.size();
             compress2(reinterpret_cast<Bytef*>(compressed.data()), &size,
                       reinterpret_cast<const Bytef*>(data.data()), data.size(), 9);
             // Raw deflate after the zlib header; then drop the final part.
             e.Compressed = compressed.substr(2, size / 2);
         },
         "", TExtractStatus::esCorrupt},
    };
    TOpenedZip zip(BuildZip([&](TZipWriter& w) {
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            TZipRawEntry e = Raw("entry" + std::to_string(i), data);
            cases[i].Make(e);
            w.AddRaw(e);
        }
    }));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string out = zip.Extract(u"entry" + Utf8ToString(std::to_string(i)));
        EXPECT_EQ(zip.Status(), cases[i].Status) << cases[i].Why;
        if (cases[i].Status == TExtractStatus::esCorrupt) {
            // Partial: a true prefix of the data, not nothing.
            EXPECT_GT(out.size(), 0u) << cases[i].Why;
            EXPECT_LT(out.size(), data.size()) << cases[i].Why;
            EXPECT_EQ(out, data.substr(0, out.size())) << cases[i].Why;
        } else {
            EXPECT_EQ(out, cases[i].Expected) << cases[i].Why;
        }
    }
}

// Damage in a large entry, decrypted on the worker thread while inflated,
// still gives the bytes before the damage and leaves the reader usable.
TEST(ZipReader, DamagedLargeEntryGivesItsStart) {
    const std::string data = PseudoText(4 * 1024 * 1024, 5);
    TZipLayout layout;
    std::string bytes = BuildZip(
        [&](TZipWriter& w) {
            // Fixed encryption headers: after the damaged byte the keys
            // decrypt everything else into noise, and noise drawn anew each
            // run could now and then inflate to the full declared size.
            w.SetSourceDateEpoch(0);
            w.AddBytes("big.txt", data);
            w.AddBytes("after.txt", "after");
        },
        &layout);
    ASSERT_GT(layout.Entries[0].DataSize, 256u * 1024);
    bytes[layout.Entries[0].Data + layout.Entries[0].DataSize * 3 / 4] ^= 0x55;
    TOpenedZip zip(bytes);
    const std::string out = zip.Extract(u"big.txt");
    EXPECT_NE(zip.Status(), TExtractStatus::esOk);
    EXPECT_GT(out.size(), data.size() / 2);
    EXPECT_LT(out.size(), data.size());
    const std::size_t intact = data.size() / 2;
    EXPECT_EQ(out.substr(0, intact), data.substr(0, intact));
    EXPECT_EQ(zip.Extract(u"after.txt"), "after");
    EXPECT_EQ(zip.Status(), TExtractStatus::esOk);
}

TEST(ZipReader, Zip64Records) {
    const std::string data = PseudoText(3000, 6);
    TZipEndOptions end;
    end.ForceZip64 = true;
    TMemoryStream out;
    {
        TZipWriter w(out);
        for (const unsigned fields : {unsigned(z64All), unsigned(z64LocalHeaderOffset),
                                      unsigned(z64UncompressedSize | z64LocalHeaderOffset), 0u}) {
            TZipRawEntry e = Raw("z" + std::to_string(fields), data);
            e.Zip64Fields = fields;
            w.AddRaw(e);
        }
        w.Finish(end);
    }
    TOpenedZip zip(out.ToString());
    ASSERT_EQ(zip.Reader().Count(), 4);
    for (int i = 0; i < 4; ++i) {
        const TZipEntry& e = zip.Reader().Entry(i);
        EXPECT_EQ(e.UncompressedSize, data.size());
        EXPECT_LT(e.CompressedSize, data.size());
        EXPECT_EQ(e.DiskNumberStart, 0u);
        EXPECT_EQ(zip.Extract(e.Name), data) << StringToUtf8(e.Name);
    }
    // z15 is 30 + 3 bytes of header, its data and a 16-byte data descriptor.
    EXPECT_EQ(zip.Reader().Entry(1).LocalHeaderOffset,
              zip.Reader().Entry(0).CompressedSize + 30 + 3 + 16);
}

TEST(ZipReader, ManyEntriesUseTheZip64EndRecord) {
    const int count = 70000;
    TZipLayout layout;
    TOpenedZip zip(BuildZip(
        [&](TZipWriter& w) {
            for (int i = 0; i < count; ++i)
                w.AddBytes("f/" + std::to_string(i), std::to_string(i), false);
        },
        &layout));
    EXPECT_TRUE(layout.Zip64EndRecord.has_value());
    ASSERT_EQ(zip.Reader().Count(), count);
    EXPECT_EQ(zip.Reader().FindFile(u"f/69999"), 69999);
    EXPECT_EQ(zip.Extract(u"f/65536"), "65536");
}

TEST(ZipReader, EndRecordComments) {
    for (const std::size_t length :
         {std::size_t(0), std::size_t(1), std::size_t(489), std::size_t(490), std::size_t(1000),
          std::size_t(40000), std::size_t(65535)}) {
        SCOPED_TRACE(length);
        TZipEndOptions end;
        end.Comment = PseudoText(length, 7);
        TMemoryStream out;
        {
            TZipWriter w(out);
            w.AddBytes("index.htm", "page");
            w.Finish(end);
        }
        TOpenedZip zip(out.ToString());
        EXPECT_EQ(zip.Extract(u"index.htm"), "page");
    }
    // A comment holding the signature bytes does not hide the real record.
    for (const std::string& comment :
         {std::string("PK\x05\x06"), std::string("xxPK\x05\x06") + std::string(30, 'y'),
          std::string(600, 'z') + "PK\x05\x06" + std::string(20, '\xFF')}) {
        TZipEndOptions end;
        end.Comment = comment;
        TMemoryStream out;
        {
            TZipWriter w(out);
            w.AddBytes("index.htm", "page");
            w.Finish(end);
        }
        TOpenedZip zip(out.ToString());
        EXPECT_EQ(zip.Extract(u"index.htm"), "page");
    }
    // Bytes after the end record beyond its comment: the record still fits.
    std::string bytes = BuildZip([](TZipWriter& w) { w.AddBytes("index.htm", "page"); });
    bytes += std::string(3000, '\0');
    TOpenedZip trailing(bytes);
    EXPECT_EQ(trailing.Extract(u"index.htm"), "page");
}

TEST(ZipReader, Bzip2AndLzmaEntries) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows build has no bzip2 or LZMA library (Debian has none for "
                    "mingw-w64): those methods read as unsupported there";
#else
    const std::string data = PseudoText(300000, 8);

    std::string bz(data.size() + 10000, '\0');
    unsigned bzSize = static_cast<unsigned>(bz.size());
    ASSERT_EQ(BZ2_bzBuffToBuffCompress(bz.data(), &bzSize, const_cast<char*>(data.data()),
                                       static_cast<unsigned>(data.size()), 9, 0, 0),
              BZ_OK);
    bz.resize(bzSize);

    // ZIP's LZMA header: version, properties size, properties, then the stream.
    auto lzma = [&](bool endMarker) {
        lzma_options_lzma options;
        lzma_lzma_preset(&options, 6);
        options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
        lzma_filter filters[2] = {{endMarker ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA1EXT, &options},
                                  {LZMA_VLI_UNKNOWN, nullptr}};
        std::string props(5, '\0');
        lzma_filter f = filters[0];
        f.id = LZMA_FILTER_LZMA1;
        EXPECT_EQ(lzma_properties_encode(&f, reinterpret_cast<std::uint8_t*>(props.data())),
                  LZMA_OK);
        std::string packed(data.size() + 10000, '\0');
        std::size_t size = 0;
        EXPECT_EQ(lzma_raw_buffer_encode(
                      filters, nullptr, reinterpret_cast<const std::uint8_t*>(data.data()),
                      data.size(), reinterpret_cast<std::uint8_t*>(packed.data()), &size,
                      packed.size()),
                  LZMA_OK);
        packed.resize(size);
        return std::string("\x09\x14\x05\x00", 4) + props + packed;
    };
    const std::string withMarker = lzma(true);
    const std::string withoutMarker = lzma(false);
    // Properties asking for a 4 GB dictionary: only what the data can
    // reach is allocated.
    std::string hugeDictionary = withMarker;
    for (int i = 5; i < 9; ++i)
        hugeDictionary[i] = '\xFF';
    std::string damagedBz = bz;
    damagedBz[damagedBz.size() / 2] ^= 0x40;

    const struct {
        const char* Name;
        std::string Compressed;
        std::uint16_t Method;
        std::uint16_t Flags;
        TExtractStatus Status;
        bool KeepsPrefix = true;
    } cases[] = {
        {"bzip2", bz, 12, 0x0009, TExtractStatus::esOk},
        {"lzma-eos", withMarker, 14, 0x000B, TExtractStatus::esOk},
        {"lzma", withoutMarker, 14, 0x0009, TExtractStatus::esOk},
        {"lzma-huge-dictionary", hugeDictionary, 14, 0x000B, TExtractStatus::esOk},
        // bzip2 checks a block only after decoding it whole.
        {"bzip2-damaged", damagedBz, 12, 0x0009, TExtractStatus::esCorrupt, false},
        {"lzma-truncated", withoutMarker.substr(0, withoutMarker.size() / 2), 14, 0x0009,
         TExtractStatus::esCorrupt},
        {"lzma-bad-header", "\x09\x14\x04\x00" + withoutMarker.substr(4), 14, 0x0009,
         TExtractStatus::esCorrupt},
    };
    TOpenedZip zip(BuildZip([&](TZipWriter& w) {
        for (const auto& c : cases) {
            TZipRawEntry e = Raw(c.Name, data);
            e.Compressed = c.Compressed;
            e.Method = c.Method;
            e.Flags = c.Flags;
            w.AddRaw(e);
        }
    }));
    for (const auto& c : cases) {
        const std::string out = zip.Extract(Utf8ToString(c.Name));
        EXPECT_EQ(zip.Status(), c.Status) << c.Name;
        if (c.Status == TExtractStatus::esOk) {
            EXPECT_EQ(out, data) << c.Name;
        } else if (c.KeepsPrefix) {
            EXPECT_EQ(out, data.substr(0, out.size())) << c.Name;
        }
        EXPECT_LE(out.size(), data.size()) << c.Name;
    }
#endif
}

// Reading the archive from the very memory stream an entry is decoded into
// must neither crash nor read freed memory.
TEST(ZipReader, ExtractIntoTheArchiveStream) {
    const std::string data = PseudoText(600000, 10);
    const std::string bytes = BuildZip([&](TZipWriter& w) { w.AddBytes("a.txt", data); });
    TMemoryStream archive;
    archive.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    TZipReader reader;
    reader.Password = ArchivePassword;
    reader.SetStream(&archive);
    archive.SetPosition(archive.Size());
    reader.ExtractToStream(u"a.txt", archive);
    EXPECT_EQ(reader.LastStatus(), TExtractStatus::esOk);
    EXPECT_EQ(archive.ToString(), bytes + data);
}
