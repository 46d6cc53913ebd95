// Arbitrary bytes as a publication archive: open them, look every entry up
// and extract it, once reading the bytes in place and once through a plain
// stream. Only EZipError may leave SetStream; nothing may leave
// ExtractToStream; no entry may give more bytes than it declares; both ways
// of reading must give the same bytes.
//
// With FOLIVANT_FUZZ_WRITE_SEEDS=<folder> the target writes its seed
// archives into the folder and exits.

#include "base/Classes.h"
#include "base/Text.h"
#include "archive/ZipReader.h"
#include "archive/ZipWriter.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

using namespace Folivant;
using namespace Folivant::Archive;

namespace {

// A stream that is not a memory stream, so the reader takes its copying path.
class TPlainStream : public TStream {
public:
    TPlainStream(const std::uint8_t* data, std::size_t size)
        : FData(data), FSize(static_cast<std::int64_t>(size)) {}
    std::int64_t Read(void* buffer, std::int64_t count) override {
        const std::int64_t n = std::max<std::int64_t>(0, std::min(count, FSize - FPosition));
        if (n > 0)
            std::memcpy(buffer, FData + FPosition, static_cast<std::size_t>(n));
        FPosition += n;
        return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                                  : origin == TSeekOrigin::soCurrent ? FPosition
                                                                     : FSize;
        FPosition = std::max<std::int64_t>(0, base + offset);
        return FPosition;
    }

private:
    const std::uint8_t* FData;
    std::int64_t FSize;
    std::int64_t FPosition = 0;
};

void WriteSeeds(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    int number = 0;
    auto save = [&](const std::function<void(TZipWriter&)>& fill, const TZipEndOptions& end = {}) {
        TMemoryStream out;
        TZipWriter writer(out);
        fill(writer);
        writer.Finish(end);
        std::ofstream(folder / ("seed-" + std::to_string(number++) + ".zip"), std::ios::binary)
            .write(reinterpret_cast<const char*>(out.Memory()), out.Size());
    };
    const std::string page = "<html><body><p>Folivant</p><p>Folivant</p></body></html>";
    save([&](TZipWriter& w) {
        w.AddBytes("fv-config", "[Folivant]\r\nIndexPage=index.htm\r\n");
        w.AddDirectory("images");
        w.AddBytes("index.htm", page);
        w.AddBytes("images/a.png", "\x89PNG....", false);
    });
    TZipEndOptions zip64;
    zip64.ForceZip64 = true;
    zip64.Comment = "comment PK\x05\x06";
    save(
        [&](TZipWriter& w) {
            TZipRawEntry e;
            e.Name = "z64";
            e.Data = page;
            e.Zip64Fields = z64All;
            w.AddRaw(e);
        },
        zip64);
    save([&](TZipWriter& w) {
        std::string bz(1024, '\0');
        unsigned bzSize = static_cast<unsigned>(bz.size());
        BZ2_bzBuffToBuffCompress(bz.data(), &bzSize, const_cast<char*>(page.data()),
                                 static_cast<unsigned>(page.size()), 1, 0, 0);
        bz.resize(bzSize);
        TZipRawEntry e;
        e.Name = "b.bz2";
        e.Data = page;
        e.Compressed = bz;
        e.Method = 12;
        w.AddRaw(e);

        lzma_options_lzma options;
        lzma_lzma_preset(&options, 1);
        options.dict_size = 4096;
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        std::string props(5, '\0');
        lzma_properties_encode(filters, reinterpret_cast<std::uint8_t*>(props.data()));
        std::string packed(1024, '\0');
        std::size_t size = 0;
        lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const std::uint8_t*>(page.data()),
                               page.size(), reinterpret_cast<std::uint8_t*>(packed.data()), &size,
                               packed.size());
        packed.resize(size);
        TZipRawEntry l;
        l.Name = "l.lzma";
        l.Data = page;
        l.Compressed = std::string("\x09\x14\x05\x00", 4) + props + packed;
        l.Method = 14;
        l.Flags = 0x000B;
        w.AddRaw(l);
    });
    save([&](TZipWriter& w) {
        TZipRawEntry a;
        a.Name = "caf\x82";
        a.Data = page;
        a.Encrypt = false;
        a.Flags = 0x0000;
        a.VersionMadeBy = 0x0314;
        const std::uint32_t crc =
            static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("caf\x82"), 4));
        a.CentralExtra = std::string("\x75\x70\x0A\x00\x01", 5) +
                         std::string(reinterpret_cast<const char*>(&crc), 4) +
                         "na\xC3\xAF"
                         "ve";
        a.CentralExtra[2] = static_cast<char>(a.CentralExtra.size() - 4);
        w.AddRaw(a);
        TZipRawEntry b;
        b.Name = "x";
        b.Data = page;
        b.CentralExtra = std::string("\x4E\x55\x0E\x00NUCX\x03\x00\x00\x00\xA9\x03"
                                     "a\0b\0",
                                     18);
        b.Crc32 = 1;
        w.AddRaw(b);
        TZipRawEntry c;
        c.Name = "m99";
        c.Data = page;
        c.Method = 99;
        c.Deflate = false;
        w.AddRaw(c);
    });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* folder = std::getenv("FOLIVANT_FUZZ_WRITE_SEEDS");
        folder != nullptr && *folder != 0) {
        WriteSeeds(folder);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TReadOnlyMemoryStream mapped(data, static_cast<std::int64_t>(size));
    TPlainStream plain(data, size);
    TZipReader inPlace, throughStream;
    inPlace.Password = ArchivePassword;
    throughStream.Password = ArchivePassword;
    bool opened = true;
    try {
        inPlace.SetStream(&mapped);
    } catch (const EZipError&) {
        opened = false;
    }
    bool openedToo = true;
    try {
        throughStream.SetStream(&plain);
    } catch (const EZipError&) {
        openedToo = false;
    }
    if (opened != openedToo)
        __builtin_trap();
    if (!opened)
        return 0;
    if (inPlace.Count() != throughStream.Count())
        __builtin_trap();
    for (int i = 0; i < inPlace.Count(); ++i) {
        const TZipEntry& entry = inPlace.Entry(i);
        if (entry.Name != throughStream.Entry(i).Name)
            __builtin_trap();
        // The entry found may be a later one of the same folded name.
        const int found = inPlace.FindFile(entry.Name);
        if (found < i)
            __builtin_trap();
        TMemoryStream a, b;
        inPlace.ExtractToStream(entry.Name, a);
        throughStream.ExtractToStream(entry.Name, b);
        const TZipEntry& extracted = inPlace.Entry(found);
        if (static_cast<std::uint64_t>(a.Size()) > extracted.UncompressedSize)
            __builtin_trap();
        if (a.Size() != b.Size() ||
            (a.Size() > 0 &&
             std::memcmp(a.Memory(), b.Memory(), static_cast<std::size_t>(a.Size())) != 0) ||
            inPlace.LastStatus() != throughStream.LastStatus())
            __builtin_trap();
    }
    return 0;
}
