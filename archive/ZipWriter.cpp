#include "archive/ZipWriter.h"

#include "archive/ZipFormat.h"

#include "base/Text.h"
#include "archive/ZipCrypto.h"
#include "base/SystemFile.h"

#include <libdeflate.h>
#include <nettle/hmac.h>
#include <zlib.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <random>

namespace Folivant::Archive {

namespace {

using namespace ZipFormat;

constexpr std::size_t kChunk = 256 * 1024;

void Put16(std::string& s, std::uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& s, std::uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}
void Put64(std::string& s, std::uint64_t v) {
    Put32(s, static_cast<std::uint32_t>(v));
    Put32(s, static_cast<std::uint32_t>(v >> 32));
}

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size) {
    return libdeflate_crc32(crc, data, size);
}

// Random bytes for the encryption headers. They only have to differ between
// entries; the check byte is what the reader compares.
void FillRandom(std::uint8_t* out, std::size_t size) {
    static std::mt19937 generator{std::random_device{}()};
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>(generator() >> 24);
}

// A raw deflate compressor fed in chunks.
class TDeflater {
public:
    explicit TDeflater(int level) {
        std::memset(&FZ, 0, sizeof(FZ));
        if (deflateInit2(&FZ, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw EZipWriteError(u"Can't initialise compression");
    }
    ~TDeflater() { deflateEnd(&FZ); }
    TDeflater(const TDeflater&) = delete;
    TDeflater& operator=(const TDeflater&) = delete;

    // Compresses size bytes (finish: the last ones) and hands each piece of
    // output to sink.
    template <typename Sink>
    void Feed(const std::uint8_t* data, std::size_t size, bool finish, Sink&& sink) {
        FZ.next_in = const_cast<Bytef*>(data);
        FZ.avail_in = static_cast<uInt>(size);
        int rc;
        do {
            FZ.next_out = FOut;
            FZ.avail_out = sizeof(FOut);
            rc = deflate(&FZ, finish ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR)
                throw EZipWriteError(u"Compression failed");
            const std::size_t produced = sizeof(FOut) - FZ.avail_out;
            if (produced > 0)
                sink(FOut, produced);
        } while (FZ.avail_out == 0 || (finish && rc != Z_STREAM_END));
    }

private:
    z_stream FZ;
    std::uint8_t FOut[64 * 1024];
};

std::string DeflateAll(std::string_view data, int level) {
    std::string out;
    auto deflater = std::make_unique<TDeflater>(level);
    deflater->Feed(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), true,
                   [&](const std::uint8_t* p, std::size_t n) {
                       out.append(reinterpret_cast<const char*>(p), n);
                   });
    return out;
}

// The encryption header: random bytes, or the given ones when the output is
// reproducible, then the check byte.
std::string EncryptionHeader(std::string_view password, std::uint8_t check, TZipCrypto& crypto,
                             const std::uint8_t* fixed = nullptr) {
    std::uint8_t header[ZipCryptoHeaderSize];
    if (fixed != nullptr)
        std::memcpy(header, fixed, sizeof(header) - 1);
    else
        FillRandom(header, sizeof(header) - 1);
    header[sizeof(header) - 1] = check;
    crypto.Encrypt(header, header, sizeof(header));
    return std::string(reinterpret_cast<const char*>(header), sizeof(header));
}

std::string LocalHeader(std::uint16_t versionNeeded, std::uint16_t flags, std::uint16_t method,
                        std::uint16_t time, std::uint16_t date, std::uint32_t crc,
                        std::uint32_t csize, std::uint32_t usize, std::string_view name,
                        std::string_view extra) {
    std::string h;
    h.reserve(30 + name.size() + extra.size());
    Put32(h, kLocalSig);
    Put16(h, versionNeeded);
    Put16(h, flags);
    Put16(h, method);
    Put16(h, time);
    Put16(h, date);
    Put32(h, crc);
    Put32(h, csize);
    Put32(h, usize);
    Put16(h, static_cast<std::uint32_t>(name.size()));
    Put16(h, static_cast<std::uint32_t>(extra.size()));
    h.append(name);
    h.append(extra);
    return h;
}

struct TCentralFields {
    std::uint16_t VersionMadeBy = 0x0015;
    std::uint16_t VersionNeeded = 21;
    std::uint16_t Flags = 0;
    std::uint16_t Method = 0;
    std::uint16_t Time = 0;
    std::uint16_t Date = 0;
    std::uint32_t Crc = 0;
    std::uint64_t CompressedSize = 0;
    std::uint64_t UncompressedSize = 0;
    std::uint32_t Disk = 0;
    std::uint32_t ExternalAttributes = 0;
    std::uint64_t Offset = 0;
    unsigned Zip64Fields = 0;
    std::string_view Name;
    std::string_view Extra;
    std::string_view Comment;
};

// Appends one central directory record. Values that do not fit their field
// go to the Zip64 extra field even when not asked for.
void AppendCentral(std::string& out, const TCentralFields& f) {
    unsigned z64 = f.Zip64Fields;
    if (f.UncompressedSize >= 0xFFFFFFFFu)
        z64 |= z64UncompressedSize;
    if (f.CompressedSize >= 0xFFFFFFFFu)
        z64 |= z64CompressedSize;
    if (f.Offset >= 0xFFFFFFFFu)
        z64 |= z64LocalHeaderOffset;
    if (f.Disk >= 0xFFFFu)
        z64 |= z64DiskNumberStart;
    std::string extra;
    if (z64 != 0) {
        std::string body;
        if ((z64 & z64UncompressedSize) != 0)
            Put64(body, f.UncompressedSize);
        if ((z64 & z64CompressedSize) != 0)
            Put64(body, f.CompressedSize);
        if ((z64 & z64LocalHeaderOffset) != 0)
            Put64(body, f.Offset);
        if ((z64 & z64DiskNumberStart) != 0)
            Put32(body, f.Disk);
        Put16(extra, 0x0001);
        Put16(extra, static_cast<std::uint32_t>(body.size()));
        extra += body;
    }
    extra.append(f.Extra);
    if (f.Name.size() > 0xFFFF || extra.size() > 0xFFFF || f.Comment.size() > 0xFFFF)
        throw EZipWriteError(u"Entry name, extra field or comment too long");
    Put32(out, kCentralSig);
    Put16(out, f.VersionMadeBy);
    Put16(out, f.VersionNeeded);
    Put16(out, f.Flags);
    Put16(out, f.Method);
    Put16(out, f.Time);
    Put16(out, f.Date);
    Put32(out, f.Crc);
    Put32(out, (z64 & z64CompressedSize) != 0 ? 0xFFFFFFFFu
                                              : static_cast<std::uint32_t>(f.CompressedSize));
    Put32(out, (z64 & z64UncompressedSize) != 0 ? 0xFFFFFFFFu
                                                : static_cast<std::uint32_t>(f.UncompressedSize));
    Put16(out, static_cast<std::uint32_t>(f.Name.size()));
    Put16(out, static_cast<std::uint32_t>(extra.size()));
    Put16(out, static_cast<std::uint32_t>(f.Comment.size()));
    Put16(out, (z64 & z64DiskNumberStart) != 0 ? 0xFFFFu : f.Disk);
    Put16(out, 0); // internal attributes
    Put32(out, f.ExternalAttributes);
    Put32(out,
          (z64 & z64LocalHeaderOffset) != 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(f.Offset));
    out.append(f.Name);
    out += extra;
    out.append(f.Comment);
}

std::string DataDescriptor(std::uint32_t crc, std::uint64_t csize, std::uint64_t usize) {
    std::string d;
    Put32(d, kDescriptorSig);
    Put32(d, crc);
    if (csize >= 0xFFFFFFFFu || usize >= 0xFFFFFFFFu) {
        Put64(d, csize);
        Put64(d, usize);
    } else {
        Put32(d, static_cast<std::uint32_t>(csize));
        Put32(d, static_cast<std::uint32_t>(usize));
    }
    return d;
}

} // namespace

void DosDateTime(const std::filesystem::path& file, std::uint16_t& time, std::uint16_t& date) {
    time = 0;
    date = (1 << 5) | 1; // 1980-01-01
    std::int64_t seconds = 0;
    if (!SystemFile::ModificationTime(file, seconds))
        return;
    DosDateTime(seconds, false, time, date);
}

void DosDateTime(std::int64_t seconds, bool utc, std::uint16_t& time, std::uint16_t& date) {
    time = 0;
    date = (1 << 5) | 1; // 1980-01-01
    std::tm tm{};
    if (!SystemFile::CalendarTime(seconds, utc, tm) || tm.tm_year < 80)
        return;
    if (tm.tm_year > 207) {
        time = (23 << 11) | (59 << 5) | 29;
        date = static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31);
        return;
    }
    time = static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    date =
        static_cast<std::uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

TZipWriter::TZipWriter(TStream& out, std::string password)
    : FOut(out), FPassword(std::move(password)) {}

TZipWriter::~TZipWriter() = default;

void TZipWriter::SetSourceDateEpoch(std::int64_t seconds) {
    FReproducible = true;
    DosDateTime(seconds, true, ModTime, ModDate);
}

void TZipWriter::WriteOut(const void* data, std::size_t size) {
    if (size == 0)
        return;
    if (FOut.Write(data, static_cast<std::int64_t>(size)) != static_cast<std::int64_t>(size))
        throw EZipWriteError(u"Can't write the archive");
    FWritten += size;
}

std::uint64_t TZipWriter::Offset() {
    return FWritten;
}

void TZipWriter::CheckOpen() const {
    if (FFinished)
        throw EZipWriteError(u"The archive is already finished");
}

void TZipWriter::AddFile(const std::string& nameUtf8, const std::filesystem::path& file,
                         bool deflate) {
    CheckOpen();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw EZipWriteError(u"File \"" + Utf8ToString(file.string()) + u"\" can't be read");
    const auto expected = std::filesystem::file_size(file, ec);
    std::uint16_t time = ModTime, date = ModDate;
    if (!FReproducible)
        DosDateTime(file, time, date);
    TFileStream source(file, TFileMode::fmOpenRead);
    const std::uint64_t before = FBytesDone;
    AddStreamed(nameUtf8, &source, deflate, time, date, false);
    if (!ec && FBytesDone - before != expected)
        throw EZipWriteError(u"File \"" + Utf8ToString(file.string()) +
                             u"\" changed or failed while being read");
}

void TZipWriter::AddStream(const std::string& nameUtf8, TStream& source, bool deflate) {
    CheckOpen();
    AddStreamed(nameUtf8, &source, deflate, ModTime, ModDate, false);
}

void TZipWriter::AddBytes(const std::string& nameUtf8, std::string_view bytes, bool deflate) {
    CheckOpen();
    TReadOnlyMemoryStream source(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    AddStreamed(nameUtf8, &source, deflate, ModTime, ModDate, false);
}

void TZipWriter::AddDirectory(const std::string& nameUtf8) {
    CheckOpen();
    std::string name = nameUtf8;
    if (name.empty() || name.back() != '/')
        name.push_back('/');
    AddStreamed(name, nullptr, false, ModTime, ModDate, true);
}

// The header bytes of a reproducible entry: a keyed hash (HMAC-SHA256 with
// the archive password as key) of the name, a zero byte and the content, so
// equal entries get equal headers and entries differing in name or content
// get unrelated ones. The source is read once here and put back where it was.
void TZipWriter::DerivedHeaderBytes(const std::string& name, TStream* source, std::uint8_t* out) {
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, FPassword.size(),
                        reinterpret_cast<const std::uint8_t*>(FPassword.data()));
    hmac_sha256_update(&ctx, name.size() + 1, reinterpret_cast<const std::uint8_t*>(name.c_str()));
    if (source != nullptr) {
        const std::int64_t start = source->Position();
        const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
        for (;;) {
            const std::int64_t n = source->Read(chunk.get(), static_cast<std::int64_t>(kChunk));
            if (n <= 0)
                break;
            hmac_sha256_update(&ctx, static_cast<std::size_t>(n), chunk.get());
        }
        if (source->Seek(start, TSeekOrigin::soBeginning) != start)
            throw EZipWriteError(u"Can't read the entry \"" + Utf8ToString(name) + u"\" twice");
    }
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    hmac_sha256_digest(&ctx, sizeof(digest), digest);
    static_assert(ZipCryptoHeaderSize <= SHA256_DIGEST_SIZE);
    std::memcpy(out, digest, ZipCryptoHeaderSize);
}

void TZipWriter::AddStreamed(const std::string& name, TStream* source, bool deflate,
                             std::uint16_t time, std::uint16_t date, bool directory) {
    if (name.size() > 0xFFFF)
        throw EZipWriteError(u"Entry name too long");
    const std::uint16_t flags = deflate ? 0x000B : 0x0009;
    const std::uint16_t method = deflate ? 8 : 0;
    const std::uint64_t offset = Offset();
    const std::string header = LocalHeader(21, flags, method, time, date, 0, 0, 0, name, {});
    WriteOut(header.data(), header.size());
    const std::uint64_t dataStart = Offset();

    // Bit 3 is set, so the check byte is the high byte of the modification
    // time: the CRC is not known before the data has been written.
    TZipCrypto crypto(FPassword);
    std::uint8_t fixed[ZipCryptoHeaderSize];
    if (FReproducible)
        DerivedHeaderBytes(name, source, fixed);
    const std::string encryption = EncryptionHeader(FPassword, static_cast<std::uint8_t>(time >> 8),
                                                    crypto, FReproducible ? fixed : nullptr);
    WriteOut(encryption.data(), encryption.size());

    std::uint32_t crc = 0;
    std::uint64_t usize = 0;
    auto emit = [&](const std::uint8_t* p, std::size_t n) {
        std::uint8_t buffer[64 * 1024];
        while (n > 0) {
            const std::size_t k = std::min(n, sizeof(buffer));
            crypto.Encrypt(p, buffer, k);
            WriteOut(buffer, k);
            p += k;
            n -= k;
        }
    };
    if (source != nullptr) {
        std::unique_ptr<TDeflater> deflater;
        if (deflate)
            deflater = std::make_unique<TDeflater>(CompressionLevel);
        // A memory stream is read in place; anything else through a chunk.
        auto* memory = dynamic_cast<TCustomMemoryStream*>(source);
        std::unique_ptr<std::uint8_t[]> chunk;
        if (memory == nullptr)
            chunk = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
        for (;;) {
            const std::uint8_t* piece = nullptr;
            std::size_t got = 0;
            if (memory != nullptr) {
                const std::int64_t position = memory->Position();
                const std::int64_t left = memory->Size() - position;
                got = left > 0 ? static_cast<std::size_t>(std::min<std::int64_t>(left, kChunk)) : 0;
                piece = memory->Memory() + position;
                memory->Seek(static_cast<std::int64_t>(got), TSeekOrigin::soCurrent);
            } else {
                const std::int64_t n = source->Read(chunk.get(), static_cast<std::int64_t>(kChunk));
                got = n > 0 ? static_cast<std::size_t>(n) : 0;
                piece = chunk.get();
            }
            const bool last = got == 0;
            crc = Crc32(crc, piece, got);
            usize += got;
            if (deflater)
                deflater->Feed(piece, got, last, emit);
            else
                emit(piece, got);
            FBytesDone += got;
            if (OnProgress && got > 0)
                OnProgress(FBytesDone);
            if (last)
                break;
        }
    }
    const std::uint64_t csize = Offset() - dataStart;
    const std::string descriptor = DataDescriptor(crc, csize, usize);
    WriteOut(descriptor.data(), descriptor.size());

    TCentralFields f;
    f.VersionMadeBy = 0x0015;
    f.VersionNeeded = 21;
    f.Flags = flags;
    f.Method = method;
    f.Time = time;
    f.Date = date;
    f.Crc = crc;
    f.CompressedSize = csize;
    f.UncompressedSize = usize;
    f.ExternalAttributes = directory ? 0x10 : 0x20;
    f.Offset = offset;
    f.Name = name;
    FLayout.Entries.push_back({offset, dataStart, csize, FCentralDirectory.size()});
    AppendCentral(FCentralDirectory, f);
    ++FCount;
    if (OnProgress)
        OnProgress(FBytesDone);
}

void TZipWriter::AddRaw(const TZipRawEntry& e) {
    CheckOpen();
    const std::uint32_t crc = Crc32(0, e.Data.data(), e.Data.size());
    std::string stored =
        e.Compressed ? *e.Compressed : (e.Deflate ? DeflateAll(e.Data, CompressionLevel) : e.Data);
    const std::uint16_t method = e.Method.value_or(e.Deflate ? 8 : 0);
    const std::uint16_t localFlags = e.LocalFlags.value_or(e.Flags);
    const std::uint16_t localTime = e.LocalModTime.value_or(e.ModTime);
    if (e.Encrypt) {
        const std::string& password = e.Password ? *e.Password : FPassword;
        TZipCrypto crypto(password);
        const auto check = e.CheckByte.value_or(
            static_cast<std::uint8_t>((localFlags & 8) != 0 ? localTime >> 8 : crc >> 24));
        std::string header = EncryptionHeader(password, check, crypto);
        crypto.Encrypt(reinterpret_cast<const std::uint8_t*>(stored.data()),
                       reinterpret_cast<std::uint8_t*>(stored.data()), stored.size());
        stored = header + stored;
    }
    const std::uint64_t offset = Offset();
    const bool descriptor = (localFlags & 8) != 0;
    auto clamp = [](std::uint64_t v) {
        return v >= 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
    };
    const std::string header =
        descriptor ? LocalHeader(e.VersionNeeded, localFlags, method, localTime, e.ModDate, 0, 0, 0,
                                 e.Name, e.LocalExtra)
                   : LocalHeader(e.VersionNeeded, localFlags, method, localTime, e.ModDate, crc,
                                 clamp(stored.size()), clamp(e.Data.size()), e.Name, e.LocalExtra);
    WriteOut(header.data(), header.size());
    const std::uint64_t dataStart = Offset();
    WriteOut(stored.data(), stored.size());
    if (descriptor && e.DataDescriptor) {
        const std::string d = DataDescriptor(crc, stored.size(), e.Data.size());
        WriteOut(d.data(), d.size());
    }
    FLayout.Entries.push_back({offset, dataStart, stored.size(), FCentralDirectory.size()});
    if (e.OmitFromDirectory)
        return;
    TCentralFields f;
    f.VersionMadeBy = e.VersionMadeBy;
    f.VersionNeeded = e.VersionNeeded;
    f.Flags = e.Flags;
    f.Method = method;
    f.Time = e.ModTime;
    f.Date = e.ModDate;
    f.Crc = e.Crc32.value_or(crc);
    f.CompressedSize = e.CompressedSize.value_or(stored.size());
    f.UncompressedSize = e.UncompressedSize.value_or(e.Data.size());
    f.Disk = e.DiskNumberStart;
    f.ExternalAttributes = 0x20;
    f.Offset = e.LocalHeaderOffset.value_or(offset);
    f.Zip64Fields = e.Zip64Fields;
    f.Name = e.Name;
    f.Extra = e.CentralExtra;
    f.Comment = e.Comment;
    AppendCentral(FCentralDirectory, f);
    ++FCount;
}

void TZipWriter::Finish() {
    Finish(TZipEndOptions{});
}

void TZipWriter::Finish(const TZipEndOptions& o) {
    CheckOpen();
    if (o.Comment.size() > 0xFFFF)
        throw EZipWriteError(u"Archive comment too long");
    FFinished = true;
    const std::uint64_t cdOffset = Offset();
    WriteOut(FCentralDirectory.data(), FCentralDirectory.size());
    for (auto& entry : FLayout.Entries)
        entry.CentralRecord += cdOffset;
    const std::uint64_t cdSize = FCentralDirectory.size();
    std::string().swap(FCentralDirectory);
    FLayout.CentralDirectory = cdOffset;
    FLayout.CentralDirectorySize = cdSize;

    const auto count = static_cast<std::uint64_t>(FCount);
    const bool zip64 =
        o.ForceZip64 || count >= 0xFFFF || cdOffset >= 0xFFFFFFFFu || cdSize >= 0xFFFFFFFFu;
    if (zip64) {
        const std::uint64_t recordOffset = Offset();
        std::string r;
        Put32(r, kZip64EndSig);
        Put64(r, 44);
        Put16(r, 45);
        Put16(r, 45);
        Put32(r, o.DiskNumber);
        Put32(r, o.CentralDirectoryDisk);
        Put64(r, count);
        Put64(r, count);
        Put64(r, cdSize);
        Put64(r, cdOffset);
        Put32(r, kZip64LocatorSig);
        Put32(r, o.CentralDirectoryDisk);
        Put64(r, recordOffset);
        Put32(r, 1);
        FLayout.Zip64EndRecord = recordOffset;
        FLayout.Zip64Locator = recordOffset + 56;
        WriteOut(r.data(), r.size());
    }
    const bool all = o.ForceZip64;
    std::string end;
    Put32(end, kEndSig);
    Put16(end, o.DiskNumber);
    Put16(end, all ? 0xFFFFu : o.CentralDirectoryDisk);
    const std::uint16_t entries =
        (all || count >= 0xFFFF) ? 0xFFFF : static_cast<std::uint16_t>(count);
    Put16(end, o.EntriesOnDisk.value_or(entries));
    Put16(end, o.TotalEntries.value_or(entries));
    Put32(end, o.CentralDirectorySize.value_or((all || cdSize >= 0xFFFFFFFFu)
                                                   ? 0xFFFFFFFFu
                                                   : static_cast<std::uint32_t>(cdSize)));
    Put32(end, o.CentralDirectoryOffset.value_or((all || cdOffset >= 0xFFFFFFFFu)
                                                     ? 0xFFFFFFFFu
                                                     : static_cast<std::uint32_t>(cdOffset)));
    Put16(end, static_cast<std::uint32_t>(o.Comment.size()));
    end += o.Comment;
    FLayout.EndRecord = Offset();
    WriteOut(end.data(), end.size());
    FLayout.Size = Offset();
}

} // namespace Folivant::Archive
