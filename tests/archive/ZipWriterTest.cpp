#include "archive/ZipWriter.h"

#include "base/Text.h"
#include "archive/ZipCrypto.h"
#include "archive/ZipReader.h"

#include "support/TestSupport.h"
#include "support/ZipSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

using namespace Folivant;
using namespace Folivant::Archive;
using Folivant::Testing::TOpenedZip;

namespace {

std::uint16_t Get16(const std::string& s, std::uint64_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s.at(at)) |
                                      (static_cast<std::uint8_t>(s.at(at + 1)) << 8));
}
std::uint32_t Get32(const std::string& s, std::uint64_t at) {
    return Get16(s, at) | (static_cast<std::uint32_t>(Get16(s, at + 2)) << 16);
}

} // namespace

// The format the runtime relies on, read back field by field rather than
// through the reader.
TEST(ZipWriter, WritesThePackersFormat) {
    const std::string page = "<html>" + std::string(5000, 'p') + "</html>";
    TZipLayout layout;
    const std::string bytes = Testing::BuildZip(
        [&](TZipWriter& w) {
            w.ModTime = 0x7A31;
            w.AddBytes("index.htm", page);
            w.AddBytes("logo.png", "png bytes", false);
            w.AddDirectory("images");
            w.AddDirectory("scripts/");
        },
        &layout);
    const struct {
        std::uint16_t Flags;
        std::uint16_t Method;
        std::string Name;
        std::uint32_t Size;
        std::uint32_t Attributes;
    } expected[] = {{0x000B, 8, "index.htm", static_cast<std::uint32_t>(page.size()), 0x20},
                    {0x0009, 0, "logo.png", 9, 0x20},
                    {0x0009, 0, "images/", 0, 0x10},
                    {0x0009, 0, "scripts/", 0, 0x10}};
    ASSERT_EQ(layout.Entries.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(expected[i].Name);
        const auto& at = layout.Entries[i];
        // Local header: version 2.1, flags, method, no CRC or sizes, no extra field.
        EXPECT_EQ(Get32(bytes, at.LocalHeader), 0x04034B50u);
        EXPECT_EQ(Get16(bytes, at.LocalHeader + 4), 21);
        EXPECT_EQ(Get16(bytes, at.LocalHeader + 6), expected[i].Flags);
        EXPECT_EQ(Get16(bytes, at.LocalHeader + 8), expected[i].Method);
        EXPECT_EQ(Get16(bytes, at.LocalHeader + 10), 0x7A31);
        EXPECT_EQ(Get32(bytes, at.LocalHeader + 14), 0u);
        EXPECT_EQ(Get32(bytes, at.LocalHeader + 18), 0u);
        EXPECT_EQ(Get16(bytes, at.LocalHeader + 28), 0);
        EXPECT_EQ(bytes.substr(at.LocalHeader + 30, expected[i].Name.size()), expected[i].Name);
        // Encrypted: the header's last byte is the time's high byte.
        TZipCrypto crypto(ArchivePassword);
        std::uint8_t header[12];
        crypto.Decrypt(reinterpret_cast<const std::uint8_t*>(bytes.data() + at.Data), header, 12);
        EXPECT_EQ(header[11], 0x7A);
        // Data descriptor with its signature right after the data.
        const std::uint64_t d = at.Data + at.DataSize;
        const std::uint32_t crc = Get32(bytes, d + 4);
        EXPECT_EQ(Get32(bytes, d), 0x08074B50u);
        EXPECT_EQ(Get32(bytes, d + 8), at.DataSize);
        EXPECT_EQ(Get32(bytes, d + 12), expected[i].Size);
        EXPECT_EQ(i + 1 < 4 ? layout.Entries[i + 1].LocalHeader : layout.CentralDirectory, d + 16);
        // Central record: made by 0x0015, needed 21, same CRC and sizes, no
        // extra field or comment.
        const std::uint64_t c = at.CentralRecord;
        EXPECT_EQ(Get32(bytes, c), 0x02014B50u);
        EXPECT_EQ(Get16(bytes, c + 4), 0x0015);
        EXPECT_EQ(Get16(bytes, c + 6), 21);
        EXPECT_EQ(Get16(bytes, c + 8), expected[i].Flags);
        EXPECT_EQ(Get32(bytes, c + 16), crc);
        EXPECT_EQ(Get32(bytes, c + 20), at.DataSize);
        EXPECT_EQ(Get32(bytes, c + 24), expected[i].Size);
        EXPECT_EQ(Get16(bytes, c + 30), 0);
        EXPECT_EQ(Get16(bytes, c + 32), 0);
        EXPECT_EQ(Get32(bytes, c + 38), expected[i].Attributes);
        EXPECT_EQ(Get32(bytes, c + 42), at.LocalHeader);
    }
    EXPECT_EQ(Get32(bytes, 4 * 0 + layout.Entries[0].CentralRecord + 16),
              static_cast<std::uint32_t>(
                  crc32(0, reinterpret_cast<const Bytef*>(page.data()), page.size())));
    // End record: 4 entries, no comment, nothing after it.
    EXPECT_EQ(Get32(bytes, layout.EndRecord), 0x06054B50u);
    EXPECT_EQ(Get16(bytes, layout.EndRecord + 10), 4);
    EXPECT_EQ(Get32(bytes, layout.EndRecord + 12), layout.CentralDirectorySize);
    EXPECT_EQ(Get32(bytes, layout.EndRecord + 16), layout.CentralDirectory);
    EXPECT_EQ(Get16(bytes, layout.EndRecord + 20), 0);
    EXPECT_EQ(layout.EndRecord + 22, bytes.size());
    EXPECT_FALSE(layout.Zip64EndRecord.has_value());
}

// A file is packed in chunks, with progress, and comes back whole; its
// modification time becomes the entry's.
TEST(ZipWriter, StreamsLargeFiles) {
    Testing::TempDir dir;
    std::string content;
    std::mt19937 random(3);
    while (content.size() < (24u << 20))
        content += "line " + std::to_string(random() % 1000000) + " of the site\n";
    Testing::WriteFileBytes(dir / "big.txt", content);
    std::uint16_t time, date;
    DosDateTime(dir / "big.txt", time, date);

    std::vector<std::uint64_t> progress;
    {
        TFileStream out(dir / "site.zip", TFileMode::fmCreate);
        TZipWriter w(out);
        w.OnProgress = [&](std::uint64_t done) { progress.push_back(done); };
        w.AddFile("big.txt", dir / "big.txt");
        w.AddFile("stored.txt", dir / "big.txt", false);
        w.Finish();
    }
    ASSERT_GT(progress.size(), 20u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 2 * content.size());

    TOpenedZip zip(Testing::ReadFileBytes(dir / "site.zip"));
    EXPECT_EQ(zip.Reader().Entry(0).ModTime, time);
    EXPECT_EQ(zip.Reader().Entry(0).ModDate, date);
    EXPECT_EQ(zip.Reader().Entry(1).Method, 0);
    EXPECT_TRUE(zip.Extract(u"big.txt") == content);
    EXPECT_TRUE(zip.Extract(u"stored.txt") == content);
    EXPECT_EQ(zip.Status(), TExtractStatus::esOk);
}

TEST(ZipWriter, RefusesWhatItCannotWrite) {
    Testing::TempDir dir;
    TMemoryStream out;
    TZipWriter w(out);
    EXPECT_THROW(w.AddFile("missing", dir / "missing.txt"), EZipWriteError);
    EXPECT_THROW(w.AddFile("folder", dir.Path()), EZipWriteError);
    EXPECT_THROW(w.AddBytes(std::string(70000, 'n'), "x"), EZipWriteError);
    TZipEndOptions end;
    end.Comment = std::string(65536, 'c');
    EXPECT_THROW(w.Finish(end), EZipWriteError);
    w.Finish();
    EXPECT_THROW(w.AddBytes("late", "x"), EZipWriteError);
    EXPECT_THROW(w.Finish(), EZipWriteError);

    // A stream that takes no bytes.
    char memory[4];
    TReadOnlyMemoryStream readOnly(memory, 4);
    TZipWriter failing(readOnly);
    EXPECT_ANY_THROW(failing.AddBytes("a", "b"));
}

// Offsets count from where the archive starts in the stream, so an archive
// can follow other data (as it follows the program in a publication).
TEST(ZipWriter, OffsetsCountFromTheArchiveStart) {
    TMemoryStream out;
    out.WriteBuffer("PROGRAM BYTES", 13);
    {
        TZipWriter w(out);
        w.AddBytes("fv-config", "[Folivant]");
        w.Finish();
    }
    const std::string all = out.ToString();
    TReadOnlyMemoryStream archive(all.data() + 13, static_cast<std::int64_t>(all.size() - 13));
    TZipReader reader;
    reader.Password = ArchivePassword;
    reader.SetStream(&archive);
    TMemoryStream config;
    reader.ExtractToStream(u"fv-config", config);
    EXPECT_EQ(config.ToString(), "[Folivant]");
}
