#include "archive/ZipDirectory.h"

#include "archive/ZipBytes.h"
#include "archive/ZipFormat.h"
#include "archive/ZipNames.h"

#include <algorithm>
#include <cstring>

namespace Folivant::Archive {

namespace {

using namespace ZipFormat;

constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;

[[noreturn]] void Unreadable(const char16_t* why) {
    throw EZipError(String(u"Invalid ZIP archive: ") + why);
}

// The values of the end record that locate the central directory.
struct TEndRecord {
    std::uint64_t Position = 0;
    std::uint64_t Disk = 0;
    std::uint64_t DirectoryDisk = 0;
    std::uint64_t EntriesOnDisk = 0;
    std::uint64_t Total = 0;
    std::uint64_t DirectorySize = 0;
    std::uint64_t DirectoryOffset = 0;
};

// The end record: the last 22 bytes when the archive has no comment,
// otherwise searched backwards in growing windows.
std::uint64_t FindEndRecord(TArchiveBytes& src, std::vector<std::uint8_t>& scratch) {
    const std::uint64_t size = src.Size();
    if (size >= kEndSize) {
        const std::uint8_t* p = src.Get(size - kEndSize, kEndSize, scratch);
        if (p != nullptr && Get32(p) == kEndSig && Get16(p + 20) == 0)
            return size - kEndSize;
    }
    std::vector<std::uint8_t> window;
    std::uint64_t windowEnd = size;
    std::uint64_t windowSize = 512;
    while (windowEnd >= 4) {
        const std::uint64_t start = windowEnd > windowSize ? windowEnd - windowSize : 0;
        const auto n = static_cast<std::size_t>(windowEnd - start);
        const std::uint8_t* w = src.Get(start, n, window);
        if (w == nullptr)
            break;
        // Later signatures are tried first; one whose record or comment does
        // not fit before the end of the data is passed over, so that a
        // comment holding the signature bytes does not hide the real record.
        for (std::size_t i = n - 4 + 1; i-- > 0;) {
            if (Get32(w + i) != kEndSig)
                continue;
            const std::uint64_t pos = start + i;
            if (size - pos < kEndSize)
                continue;
            const std::uint8_t* rec = src.Get(pos, kEndSize, scratch);
            if (rec != nullptr && Get16(rec + 20) <= size - pos - kEndSize)
                return pos;
        }
        if (start == 0)
            break;
        windowEnd = start + kEndSize;
        windowSize = std::min<std::uint64_t>(windowSize * 2, 65536);
    }
    Unreadable(u"no end of central directory record");
}

TEndRecord ReadEndRecord(TArchiveBytes& src, std::uint64_t position,
                         std::vector<std::uint8_t>& scratch) {
    const std::uint8_t* end = src.Get(position, kEndSize, scratch);
    if (end == nullptr)
        Unreadable(u"end record can't be read");
    TEndRecord r;
    r.Position = position;
    r.Disk = Get16(end + 4);
    r.DirectoryDisk = Get16(end + 6);
    r.EntriesOnDisk = Get16(end + 8);
    r.Total = Get16(end + 10);
    r.DirectorySize = Get32(end + 12);
    r.DirectoryOffset = Get32(end + 16);
    return r;
}

// Values of the end record that hold their maximum come from the Zip64 end
// record. The Zip64 locator lies just before the end record; it is searched
// backwards byte by byte. A locator whose Zip64 record is missing is passed
// over; with none found, the end record's values stand.
void ApplyZip64EndRecord(TArchiveBytes& src, TEndRecord& r, std::vector<std::uint8_t>& scratch) {
    const bool maxDisk = r.Disk == 0xFFFF, maxCdDisk = r.DirectoryDisk == 0xFFFF,
               maxOnDisk = r.EntriesOnDisk == 0xFFFF, maxTotal = r.Total == 0xFFFF,
               maxSize = r.DirectorySize == 0xFFFFFFFFu,
               maxOffset = r.DirectoryOffset == 0xFFFFFFFFu;
    if (!(maxDisk || maxCdDisk || maxOnDisk || maxTotal || maxSize || maxOffset))
        return;
    if (r.Position < kZip64LocatorSize)
        return;
    const std::uint64_t last = r.Position - kZip64LocatorSize;
    std::vector<std::uint8_t> block;
    for (std::uint64_t blockEnd = last + 4; blockEnd >= 4;) {
        const std::uint64_t blockStart = blockEnd > 65536 ? blockEnd - 65536 : 0;
        const auto n = static_cast<std::size_t>(blockEnd - blockStart);
        const std::uint8_t* b = src.Get(blockStart, n, block);
        if (b == nullptr)
            return;
        for (std::size_t i = n - 4 + 1; i-- > 0;) {
            if (Get32(b + i) != kZip64LocatorSig)
                continue;
            const std::uint8_t* loc = src.Get(blockStart + i, kZip64LocatorSize, scratch);
            if (loc == nullptr)
                continue;
            const std::uint64_t recordPos = Get64(loc + 8);
            const std::uint8_t* rec = src.Get(recordPos, kZip64EndSize, scratch);
            if (rec == nullptr || Get32(rec) != kZip64EndSig)
                continue;
            if (maxDisk)
                r.Disk = Get32(rec + 16);
            if (maxCdDisk)
                r.DirectoryDisk = Get32(rec + 20);
            if (maxOnDisk)
                r.EntriesOnDisk = Get64(rec + 24);
            if (maxTotal)
                r.Total = Get64(rec + 32);
            if (maxSize)
                r.DirectorySize = Get64(rec + 40);
            if (maxOffset)
                r.DirectoryOffset = Get64(rec + 48);
            return;
        }
        if (blockStart == 0)
            return;
        blockEnd = blockStart + 3;
    }
}

// Takes the values that hold their maximum from the Zip64 extended
// information extra field, in the field's order. A field too short to hold
// them leaves the rest at their maximum.
void ApplyZip64Extra(TZipEntry& e, const std::uint8_t* extra, std::size_t extraLength, bool usize,
                     bool csize, bool offset, bool disk) {
    for (std::size_t i = 0; i + 4 <= extraLength;) {
        const std::uint16_t id = Get16(extra + i);
        const std::size_t size = Get16(extra + i + 2);
        if (size > extraLength - i - 4)
            return;
        if (id == 0x0001) {
            const std::uint8_t* p = extra + i + 4;
            std::size_t left = size;
            auto take8 = [&](std::uint64_t& v) {
                if (left < 8)
                    return false;
                v = Get64(p);
                p += 8;
                left -= 8;
                return true;
            };
            if (usize && !take8(e.UncompressedSize))
                return;
            if (csize && !take8(e.CompressedSize))
                return;
            if (offset && !take8(e.LocalHeaderOffset))
                return;
            if (disk && left >= 4)
                e.DiskNumberStart = Get32(p);
            return;
        }
        i += 4 + size;
    }
}

// The central-directory record at pos; next receives the position of the
// record after it.
TZipEntry ReadCentralRecord(TArchiveBytes& src, std::uint64_t pos, std::uint64_t& next,
                            std::vector<std::uint8_t>& scratch) {
    const std::uint8_t* r = src.Get(pos, kCentralSize, scratch);
    if (r == nullptr)
        Unreadable(u"central directory lies outside the data");
    if (Get32(r) != kCentralSig)
        Unreadable(u"bad central directory record");
    TZipEntry e;
    e.VersionMadeBy = Get16(r + 4);
    e.VersionNeeded = Get16(r + 6);
    e.Flags = Get16(r + 8);
    e.Method = Get16(r + 10);
    e.ModTime = Get16(r + 12);
    e.ModDate = Get16(r + 14);
    e.Crc32 = Get32(r + 16);
    e.CompressedSize = Get32(r + 20);
    e.UncompressedSize = Get32(r + 24);
    const std::size_t nameLength = Get16(r + 28);
    const std::size_t extraLength = Get16(r + 30);
    const std::size_t commentLength = Get16(r + 32);
    e.DiskNumberStart = Get16(r + 34);
    e.LocalHeaderOffset = Get32(r + 42);
    const std::size_t variable = nameLength + extraLength + commentLength;
    const std::uint8_t* v = src.Get(pos + kCentralSize, nameLength + extraLength, scratch);
    if (v == nullptr || !src.Contains(pos + kCentralSize, variable))
        Unreadable(u"central directory record runs past the data");
    const std::uint8_t* extra = v + nameLength;
    e.Name = DecodeEntryName(v, nameLength, extra, extraLength, e.Flags, e.VersionMadeBy);
    const bool z64u = e.UncompressedSize == 0xFFFFFFFFu, z64c = e.CompressedSize == 0xFFFFFFFFu,
               z64o = e.LocalHeaderOffset == 0xFFFFFFFFu, z64d = e.DiskNumberStart == 0xFFFF;
    if (z64u || z64c || z64o || z64d)
        ApplyZip64Extra(e, extra, extraLength, z64u, z64c, z64o, z64d);
    next = pos + kCentralSize + variable;
    return e;
}

} // namespace

void TArchiveBytes::Attach(TStream* stream) {
    FStream = stream;
    if (auto* memory = dynamic_cast<TCustomMemoryStream*>(stream)) {
        FMemory = memory->Memory();
        FSize = static_cast<std::uint64_t>(std::max<std::int64_t>(memory->Size(), 0));
        FMapped = true;
    } else {
        FMemory = nullptr;
        FMapped = false;
        FSize = stream == nullptr
                    ? 0
                    : static_cast<std::uint64_t>(std::max<std::int64_t>(stream->Size(), 0));
    }
}

bool TArchiveBytes::ReadInto(std::uint64_t offset, std::size_t size, std::uint8_t* out) {
    if (!Contains(offset, size))
        return false;
    if (FMapped) {
        std::memcpy(out, FMemory + offset, size);
        return true;
    }
    return FStream->Seek(static_cast<std::int64_t>(offset), TSeekOrigin::soBeginning) ==
               static_cast<std::int64_t>(offset) &&
           FStream->Read(out, static_cast<std::int64_t>(size)) == static_cast<std::int64_t>(size);
}

const std::uint8_t* TArchiveBytes::Get(std::uint64_t offset, std::size_t size,
                                       std::vector<std::uint8_t>& scratch) {
    if (!Contains(offset, size))
        return nullptr;
    if (FMapped)
        return FMemory + offset;
    if (scratch.size() < size)
        scratch.resize(size);
    if (FStream->Seek(static_cast<std::int64_t>(offset), TSeekOrigin::soBeginning) !=
            static_cast<std::int64_t>(offset) ||
        FStream->Read(scratch.data(), static_cast<std::int64_t>(size)) !=
            static_cast<std::int64_t>(size))
        return nullptr;
    return scratch.data();
}

std::vector<TZipEntry> ReadCentralDirectory(TArchiveBytes& src,
                                            std::vector<std::uint8_t>& scratch) {
    std::vector<TZipEntry> entries;
    if (src.Size() == 0)
        return entries;
    TEndRecord end = ReadEndRecord(src, FindEndRecord(src, scratch), scratch);
    ApplyZip64EndRecord(src, end, scratch);
    if (end.Disk != 0)
        Unreadable(u"archive spans several disks");
    // Every record takes at least 46 bytes, so a count the data cannot hold
    // does not reserve memory for it.
    entries.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(end.Total, src.Size() / kCentralSize)));
    std::uint64_t pos = end.DirectoryOffset;
    for (std::uint64_t i = 0; i < end.Total; ++i)
        entries.push_back(ReadCentralRecord(src, pos, pos, scratch));
    return entries;
}

} // namespace Folivant::Archive
