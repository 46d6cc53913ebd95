#include "archive/ZipReader.h"

#include "archive/ZipFormat.h"

#include "archive/Text.h"
#include "archive/ZipCrypto.h"

#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <mutex>
#include <optional>
#include <thread>

namespace Folivant::Archive {

namespace {

using namespace ZipFormat;

constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
// Raw deflate cannot expand beyond 1032:1; a declared size above that bound
// is a lie and is not allocated up front.
constexpr std::uint64_t kDeflateMaxRatio = 1032;
constexpr std::size_t kOutChunk = 64 * 1024;
// Encrypted entries at least this large are decrypted on the worker thread
// while they are inflated; below it the hand-over costs more than it saves.
constexpr std::size_t kPipelineMinimum = 16 * 1024;

inline std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Get64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

[[noreturn]] void Unreadable(const char16_t* why) {
    throw EZipError(String(u"Invalid ZIP archive: ") + why);
}

// The archive's bytes: the memory of a memory stream, read in place, or any
// other stream read through Seek and Read into a scratch buffer.
class TSource {
public:
    void Attach(TStream* stream) {
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
    std::uint64_t Size() const { return FSize; }
    bool Mapped() const { return FMapped; }
    bool Contains(std::uint64_t offset, std::uint64_t size) const {
        return offset <= FSize && size <= FSize - offset;
    }

    // Copies size bytes at offset into out; false when they lie outside the
    // data or can't be read.
    bool ReadInto(std::uint64_t offset, std::size_t size, std::uint8_t* out) {
        if (!Contains(offset, size))
            return false;
        if (FMapped) {
            std::memcpy(out, FMemory + offset, size);
            return true;
        }
        return FStream->Seek(static_cast<std::int64_t>(offset), TSeekOrigin::soBeginning) ==
                   static_cast<std::int64_t>(offset) &&
               FStream->Read(out, static_cast<std::int64_t>(size)) ==
                   static_cast<std::int64_t>(size);
    }

    // Points at size bytes at offset, or gives nullptr when they lie outside
    // the data. A pointer into the scratch buffer lasts until the next call.
    const std::uint8_t* Get(std::uint64_t offset, std::size_t size,
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

private:
    TStream* FStream = nullptr;
    const std::uint8_t* FMemory = nullptr;
    std::uint64_t FSize = 0;
    bool FMapped = false;
};

// The loose UTF-8 shape that makes a name UTF-8: lead bytes C2..F4, each
// followed by as many continuation bytes as it announces.
bool LooksLikeUtf8(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t follow;
        if (b >= 0xC2 && b <= 0xDF)
            follow = 1;
        else if (b >= 0xE0 && b <= 0xEF)
            follow = 2;
        else if (b >= 0xF0 && b <= 0xF4)
            follow = 3;
        else
            return false;
        if (n - i - 1 < follow)
            return false;
        for (std::size_t k = 1; k <= follow; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += follow + 1;
    }
    return true;
}

// Bytes 0x80..0xFF that are letters or digits in a code page.
struct TAlnumTable {
    bool IsAlnum[128] = {};
};

const TAlnumTable& AlnumTable(unsigned codePage) {
    // Nodes of a map stay put, so the tables of both code pages can be held
    // at once.
    thread_local std::map<unsigned, TAlnumTable> cache;
    const auto found = cache.find(codePage);
    if (found != cache.end())
        return found->second;
    TAlnumTable table;
    for (int b = 0x80; b < 0x100; ++b) {
        const char c = static_cast<char>(b);
        const String u = DecodeCodePage(std::string_view(&c, 1), codePage);
        table.IsAlnum[b - 0x80] = u.size() == 1 && IsLetterOrDigit(u[0]);
    }
    return cache.emplace(codePage, table).first->second;
}

bool LooksLikeOem(const std::uint8_t* p, std::size_t n) {
    const unsigned oem = OemCodePage();
    static constexpr unsigned kOemPages[] = {437, 720, 737, 775, 850, 852, 855, 857, 862, 866};
    if (std::find(std::begin(kOemPages), std::end(kOemPages), oem) == std::end(kOemPages))
        return false;
    const TAlnumTable& oemTable = AlnumTable(oem);
    const TAlnumTable& ansiTable = AlnumTable(AnsiCodePage());
    bool differs = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] < 0x80)
            continue;
        if (!oemTable.IsAlnum[p[i] - 0x80])
            return false;
        if (!ansiTable.IsAlnum[p[i] - 0x80])
            differs = true;
    }
    return differs;
}

String DecodeName(const std::uint8_t* name, std::size_t nameLength, const std::uint8_t* extra,
                  std::size_t extraLength, std::uint16_t flags, std::uint16_t versionMadeBy) {
    const std::string_view raw(reinterpret_cast<const char*>(name), nameLength);
    bool ascii = true;
    for (std::size_t i = 0; i < nameLength; ++i)
        if (name[i] >= 0x80) {
            ascii = false;
            break;
        }
    if ((flags & 0x0800) != 0 || (!ascii && LooksLikeUtf8(name, nameLength)))
        return Utf8ToString(raw);

    // The Unicode path extra field, then the UTF-16 name extra field,
    // wherever each stands among the extra fields.
    const auto findField = [&](std::uint16_t wanted, const auto& accept) -> std::optional<String> {
        for (std::size_t i = 0; i + 4 <= extraLength;) {
            const std::uint16_t id = Get16(extra + i);
            const std::size_t size = Get16(extra + i + 2);
            if (size > extraLength - i - 4)
                break;
            if (id == wanted)
                if (auto decoded = accept(extra + i + 4, size))
                    return decoded;
            i += 4 + size;
        }
        return std::nullopt;
    };
    const auto unicodePath = [&](const std::uint8_t* data,
                                 std::size_t size) -> std::optional<String> {
        if (size > 6 && data[0] == 1 &&
            Get32(data + 1) ==
                static_cast<std::uint32_t>(crc32(0, name, static_cast<uInt>(nameLength))))
            return Utf8ToString(
                std::string_view(reinterpret_cast<const char*>(data + 5), size - 5));
        return std::nullopt;
    };
    const auto utf16Name = [](const std::uint8_t* data, std::size_t size) -> std::optional<String> {
        if (size > 10 && std::memcmp(data, "NUCX", 4) == 0) {
            const std::uint64_t count = Get32(data + 4);
            if (size == 8 + 2 * count)
                return Utf16LEToString(data + 8, static_cast<std::size_t>(2 * count));
        }
        return std::nullopt;
    };
    if (auto decoded = findField(0x7075, unicodePath))
        return *decoded;
    if (auto decoded = findField(0x554E, utf16Name))
        return *decoded;

    if (ascii)
        return String(raw.begin(), raw.end());
    if ((versionMadeBy >> 8) == 0 || AnsiCodePage() == OemCodePage())
        return OemToString(raw);
    if (LooksLikeOem(name, nameLength))
        return OemToString(raw);
    return AnsiToString(raw);
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

inline std::uint64_t FoldUnit(char16_t c) {
    return static_cast<std::uint64_t>(c) - (static_cast<unsigned>(c - u'a') < 26u ? 32u : 0u);
}

// Hash of a name with its ASCII letters folded to upper case, taking four
// code units per multiplication.
std::uint64_t FoldedHash(const char16_t* s, std::size_t n) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const std::uint64_t word = FoldUnit(s[i]) | (FoldUnit(s[i + 1]) << 16) |
                                   (FoldUnit(s[i + 2]) << 32) | (FoldUnit(s[i + 3]) << 48);
        h = (h ^ word) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    for (; i < n; ++i)
        h = (h ^ FoldUnit(s[i])) * 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 29);
}

bool FoldedEqual(const String& a, const char16_t* b, std::size_t n) {
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char16_t x = a[i], y = b[i];
        if (x == y)
            continue;
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

// Receives an entry's decoded bytes and writes them at the caller's stream
// position, never more than the declared uncompressed size. When the stream
// is a memory stream being appended to, decoders write straight into its
// memory; otherwise through a chunk buffer and Write.
class TOutput {
public:
    TOutput(TStream& stream, std::uint64_t declared, bool direct)
        : FStream(stream), FLimit(declared) {
        auto* memory = dynamic_cast<TMemoryStream*>(&stream);
        if (direct && memory != nullptr && memory->Position() == memory->Size() &&
            declared <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / 4)) {
            try {
                memory->Reserve(memory->Size() + static_cast<std::int64_t>(declared));
                FMemory = memory;
                FStart = memory->Size();
            } catch (const EOutOfMemory&) {
                // Written in chunks instead; the stream grows as bytes arrive.
            }
        }
    }
    ~TOutput() { Settle(); }
    TOutput(const TOutput&) = delete;
    TOutput& operator=(const TOutput&) = delete;

    std::uint64_t Room() const { return FLimit - FWritten; }
    bool Direct() const { return FMemory != nullptr; }
    // A writable region of size bytes (at most Room()) for the next output.
    std::uint8_t* Window(std::size_t& size) {
        if (FMemory != nullptr) {
            size = static_cast<std::size_t>(std::min<std::uint64_t>(Room(), 1u << 30));
            return FMemory->Data() + FStart + static_cast<std::int64_t>(FWritten);
        }
        if (!FChunk)
            FChunk = std::make_unique_for_overwrite<std::uint8_t[]>(kOutChunk);
        size = static_cast<std::size_t>(std::min<std::uint64_t>(Room(), kOutChunk));
        return FChunk.get();
    }
    // The first size bytes of the last window hold output.
    void Commit(std::size_t size) {
        if (size == 0)
            return;
        if (FMemory == nullptr) {
            FStream.WriteBuffer(FChunk.get(), static_cast<std::int64_t>(size));
            FCrc = libdeflate_crc32(FCrc, FChunk.get(), size);
        }
        FWritten += size;
    }
    // Copies bytes to the output; false when some did not fit under the
    // declared size.
    bool Put(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            std::size_t room;
            std::uint8_t* window = Window(room);
            if (room == 0)
                return false;
            const std::size_t n = std::min(room, size);
            std::memcpy(window, data, n);
            Commit(n);
            data += n;
            size -= n;
        }
        return true;
    }
    std::uint32_t Crc() {
        Settle();
        return FCrc;
    }

private:
    // Makes the stream's size and position cover what was written, and
    // folds directly written bytes into the CRC-32.
    void Settle() {
        if (FMemory == nullptr || FSettled == FWritten)
            return;
        const std::uint8_t* p = FMemory->Data() + FStart + static_cast<std::int64_t>(FSettled);
        FCrc = libdeflate_crc32(FCrc, p, static_cast<std::size_t>(FWritten - FSettled));
        FSettled = FWritten;
        const std::int64_t end = FStart + static_cast<std::int64_t>(FWritten);
        FMemory->SetSize(end);
        FMemory->SetPosition(end);
    }

    TStream& FStream;
    TMemoryStream* FMemory = nullptr;
    std::int64_t FStart = 0;
    std::uint64_t FLimit;
    std::uint64_t FWritten = 0;
    std::uint64_t FSettled = 0;
    std::uint32_t FCrc = 0;
    std::unique_ptr<std::uint8_t[]> FChunk;
};

// The compressed bytes of an entry. While another thread still decrypts
// them, Ready counts the bytes available so far and More waits for them.
class TInput {
public:
    TInput(const std::uint8_t* data, std::size_t size,
           const std::atomic<std::size_t>* ready = nullptr)
        : FData(data), FSize(size), FReady(ready) {}

    // The next stretch of input, empty only when all of it has been handed out.
    std::size_t More(const std::uint8_t*& data, std::size_t limit) {
        std::size_t ready = FSize;
        if (FReady != nullptr) {
            ready = FReady->load(std::memory_order_acquire);
            while (ready <= FConsumed && ready < FSize) {
                FReady->wait(ready, std::memory_order_acquire);
                ready = FReady->load(std::memory_order_acquire);
            }
        }
        data = FData + FConsumed;
        const std::size_t n = std::min(ready - FConsumed, limit);
        FConsumed += n;
        return n;
    }
    bool Exhausted() const { return FConsumed >= FSize; }

private:
    const std::uint8_t* FData;
    std::size_t FSize;
    const std::atomic<std::size_t>* FReady;
    std::size_t FConsumed = 0;
};

// Streams raw deflate data through zlib until the final block; damaged data
// still yields the bytes decoded before the damage. Every deflated entry
// goes through zlib: libdeflate's one-shot decoder, though faster, accepts
// codes that zlib refuses (length symbols 286 and 287, for one) and would
// then give other bytes. Output beyond the declared size is not written and
// makes the entry corrupt.
TExtractStatus InflateWithZlib(TInput& input, TOutput& output) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        throw std::bad_alloc();
    struct TEnd {
        z_stream* Z;
        ~TEnd() { inflateEnd(Z); }
    } end{&z};
    std::uint8_t probe[1];
    for (;;) {
        if (z.avail_in == 0) {
            const std::uint8_t* data = nullptr;
            z.avail_in = static_cast<uInt>(input.More(data, 1u << 30));
            z.next_in = const_cast<Bytef*>(data);
        }
        std::size_t room = 0;
        const bool full = output.Room() == 0;
        std::uint8_t* window = full ? probe : output.Window(room);
        if (full)
            room = sizeof(probe);
        z.next_out = window;
        z.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = room - z.avail_out;
        if (full && produced > 0)
            return TExtractStatus::esCorrupt; // longer than declared
        if (!full)
            output.Commit(produced);
        if (rc == Z_STREAM_END)
            return TExtractStatus::esOk;
        if (rc == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            return TExtractStatus::esCorrupt;
        if (z.avail_in == 0 && input.Exhausted() && produced == 0)
            return TExtractStatus::esCorrupt; // the data ends before the final block
    }
}

// Deflate output goes straight into a memory stream's memory when the
// declared size is one the data can really expand to.
TExtractStatus InflateDeflate(TInput& input, std::size_t size, std::uint64_t declared,
                              TStream& stream, std::uint32_t& crc) {
    const bool direct = declared <= static_cast<std::uint64_t>(size) * kDeflateMaxRatio + 1024;
    TOutput output(stream, declared, direct);
    const TExtractStatus status = InflateWithZlib(input, output);
    crc = output.Crc();
    return status;
}

TExtractStatus InflateBzip2(const std::uint8_t* in, std::size_t size, TOutput& output) {
    bz_stream bz{};
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        throw std::bad_alloc();
    struct TEnd {
        bz_stream* B;
        ~TEnd() { BZ2_bzDecompressEnd(B); }
    } end{&bz};
    bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
    std::size_t left = size;
    std::uint8_t probe[1];
    for (;;) {
        if (bz.avail_in == 0 && left > 0) {
            const auto n = static_cast<unsigned>(std::min<std::size_t>(left, 1u << 30));
            bz.avail_in = n;
            left -= n;
        }
        std::size_t room = 0;
        const bool full = output.Room() == 0;
        std::uint8_t* window = full ? probe : output.Window(room);
        if (full)
            room = sizeof(probe);
        bz.next_out = reinterpret_cast<char*>(window);
        bz.avail_out = static_cast<unsigned>(room);
        const int rc = BZ2_bzDecompress(&bz);
        const std::size_t produced = room - bz.avail_out;
        if (full && produced > 0)
            return TExtractStatus::esCorrupt;
        if (!full)
            output.Commit(produced);
        if (rc == BZ_STREAM_END)
            return TExtractStatus::esOk;
        if (rc == BZ_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != BZ_OK)
            return TExtractStatus::esCorrupt;
        if (produced == 0 && bz.avail_in == 0 && left == 0)
            return TExtractStatus::esCorrupt;
    }
}

// ZIP's LZMA: a 2-byte encoder version, a 2-byte properties size, the
// 5 properties bytes, then the LZMA stream; flag bit 1 says whether the
// stream closes with an end marker.
TExtractStatus InflateLzma(const std::uint8_t* in, std::size_t size, std::uint16_t flags,
                           std::uint64_t declared, TOutput& output) {
    if (size < 4)
        return TExtractStatus::esCorrupt;
    const std::size_t propsSize = Get16(in + 2);
    if (propsSize != 5 || size < 4 + propsSize)
        return TExtractStatus::esCorrupt;
    const std::uint8_t* props = in + 4;
    unsigned d = props[0];
    if (d >= 9 * 5 * 5)
        return TExtractStatus::esCorrupt;
    lzma_options_lzma options{};
    options.lc = d % 9;
    d /= 9;
    options.lp = d % 5;
    options.pb = d / 5;
    // A valid stream never reaches further back than the bytes it has
    // produced, so the dictionary need not exceed the declared size, nor
    // what the data can expand to (LZMA stays below about 7,100:1).
    const std::uint64_t reach = static_cast<std::uint64_t>(size) * 8192 + 65536;
    const std::uint64_t dictionary = std::min<std::uint64_t>({Get32(props + 1), declared, reach});
    options.dict_size =
        static_cast<std::uint32_t>(std::max<std::uint64_t>(dictionary, LZMA_DICT_SIZE_MIN));
    options.ext_flags = (flags & 2) != 0 ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_set_ext_size(options, declared);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    const lzma_ret init = lzma_raw_decoder(&strm, filters);
    if (init == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (init != LZMA_OK)
        return TExtractStatus::esCorrupt;
    struct TEnd {
        lzma_stream* S;
        ~TEnd() { lzma_end(S); }
    } end{&strm};
    strm.next_in = in + 4 + propsSize;
    strm.avail_in = size - 4 - propsSize;
    for (;;) {
        // The decoder knows the declared size and stops there itself.
        std::size_t room = 0;
        std::uint8_t probe[1];
        const bool full = output.Room() == 0;
        std::uint8_t* window = full ? probe : output.Window(room);
        if (full)
            room = sizeof(probe);
        strm.next_out = window;
        strm.avail_out = room;
        const lzma_ret rc = lzma_code(&strm, LZMA_FINISH);
        const std::size_t produced = room - strm.avail_out;
        if (full && produced > 0)
            return TExtractStatus::esCorrupt;
        if (!full)
            output.Commit(produced);
        if (rc == LZMA_STREAM_END)
            return TExtractStatus::esOk;
        if (rc == LZMA_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != LZMA_OK)
            return TExtractStatus::esCorrupt;
        if (produced == 0 && strm.avail_in == 0)
            return TExtractStatus::esCorrupt;
    }
}

// Decrypts large entries on a thread of its own while the caller's thread
// inflates what is already decrypted; the extraction stays synchronous.
class TDecryptWorker {
public:
    TDecryptWorker() = default;
    ~TDecryptWorker() {
        {
            std::lock_guard lock(FMutex);
            FQuit = true;
        }
        FWake.notify_all();
        if (FThread.joinable())
            FThread.join();
    }
    TDecryptWorker(const TDecryptWorker&) = delete;
    TDecryptWorker& operator=(const TDecryptWorker&) = delete;

    const std::atomic<std::size_t>& Ready() const { return FReady; }

    // Starts the thread; raises when the system has none to give.
    void Launch() {
        FThread = std::thread([this] { Run(); });
    }

    void Start(const TZipCrypto& crypto, const std::uint8_t* in, std::uint8_t* out,
               std::size_t size) {
        std::unique_lock lock(FMutex);
        FCrypto = crypto;
        FIn = in;
        FOut = out;
        FSize = size;
        FReady.store(0, std::memory_order_relaxed);
        FCancel.store(false, std::memory_order_relaxed);
        FBusy = true;
        lock.unlock();
        FWake.notify_all();
    }
    // Stops the job early (when decoding gave up) and waits until the
    // thread no longer touches the buffers.
    void Finish(bool cancel) {
        if (cancel)
            FCancel.store(true, std::memory_order_relaxed);
        std::unique_lock lock(FMutex);
        FIdle.wait(lock, [this] { return !FBusy; });
    }

private:
    void Run() {
        std::unique_lock lock(FMutex);
        for (;;) {
            FWake.wait(lock, [this] { return FQuit || FBusy; });
            if (FQuit)
                return;
            lock.unlock();
            // Small first steps let inflation start almost at once; later
            // steps grow so that hand-overs stay rare.
            std::size_t step = 8 * 1024;
            for (std::size_t done = 0; done < FSize && !FCancel.load(std::memory_order_relaxed);) {
                const std::size_t n = std::min(step, FSize - done);
                FCrypto->Decrypt(FIn + done, FOut + done, n);
                done += n;
                FReady.store(done, std::memory_order_release);
                FReady.notify_all();
                step = std::min<std::size_t>(step * 2, 128 * 1024);
            }
            // Whoever waits for more input must see the end even when cancelled.
            FReady.store(FSize, std::memory_order_release);
            FReady.notify_all();
            lock.lock();
            FBusy = false;
            FIdle.notify_all();
        }
    }

    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FWake, FIdle;
    bool FQuit = false, FBusy = false;
    std::optional<TZipCrypto> FCrypto;
    const std::uint8_t* FIn = nullptr;
    std::uint8_t* FOut = nullptr;
    std::size_t FSize = 0;
    std::atomic<std::size_t> FReady{0};
    std::atomic<bool> FCancel{false};
};

} // namespace

struct TZipReader::TImpl {
    TSource Source;
    // Open-addressed table of entry indexes keyed by the folded name; 0 is
    // an empty slot, otherwise index + 1.
    // Each slot holds the name's hash in its high half and the index in its
    // low half, so a probe touches one cache line.
    std::vector<std::uint64_t> Slots;
    std::size_t Mask = 0;
    std::vector<std::uint8_t> Scratch;
    // Decrypted or copied entry data, reused between calls.
    std::unique_ptr<std::uint8_t[]> Plain;
    std::size_t PlainCapacity = 0;
    std::unique_ptr<TDecryptWorker> Worker;
    bool NoWorker = false; // no thread could be started: decrypt in line

    TDecryptWorker* GetWorker() {
        if (!Worker && !NoWorker) {
            try {
                auto worker = std::make_unique<TDecryptWorker>();
                worker->Launch();
                Worker = std::move(worker);
            } catch (...) {
                NoWorker = true;
            }
        }
        return Worker.get();
    }

    std::uint8_t* PlainBuffer(std::size_t size) {
        if (size > PlainCapacity) {
            Plain.reset();
            PlainCapacity = 0;
            Plain = std::make_unique_for_overwrite<std::uint8_t[]>(std::max<std::size_t>(size, 1));
            PlainCapacity = size;
        }
        return Plain.get();
    }
    // A buffer grown for one large entry is not kept for the whole run.
    void TrimBuffer() {
        if (PlainCapacity > (16u << 20)) {
            Plain.reset();
            PlainCapacity = 0;
        }
    }

    void BuildTable(const std::vector<TZipEntry>& entries) {
        std::size_t capacity = 16;
        while (capacity < entries.size() * 2)
            capacity <<= 1;
        Slots.assign(capacity, 0);
        Mask = capacity - 1;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const String& name = entries[i].Name;
            const std::uint64_t h = FoldedHash(name.data(), name.size());
            const std::uint64_t tag = h & 0xFFFFFFFF00000000ull;
            for (std::size_t slot = h & Mask;; slot = (slot + 1) & Mask) {
                const std::uint64_t s = Slots[slot];
                if (s == 0) {
                    Slots[slot] = tag | (i + 1);
                    break;
                }
                // A later entry with the same folded name replaces the
                // earlier one, so lookups see the later copy.
                if ((s >> 32) == (h >> 32) &&
                    FoldedEqual(entries[(s & 0xFFFFFFFFu) - 1].Name, name.data(), name.size())) {
                    Slots[slot] = tag | (i + 1);
                    break;
                }
            }
        }
    }
};

TZipReader::TZipReader() : FImpl(std::make_unique<TImpl>()) {}

TZipReader::~TZipReader() = default;

void TZipReader::SetStream(TStream* stream) {
    FStream = nullptr;
    FEntries.clear();
    FImpl->Slots.clear();
    FImpl->Mask = 0;
    if (stream == nullptr)
        return;
    // An archive that turns out unreadable leaves no entries behind.
    struct TDiscard {
        TZipReader& R;
        bool Keep = false;
        ~TDiscard() {
            if (!Keep)
                R.FEntries.clear();
        }
    } discard{*this};
    TSource& src = FImpl->Source;
    src.Attach(stream);
    std::vector<std::uint8_t>& scratch = FImpl->Scratch;
    const std::uint64_t size = src.Size();
    if (size == 0) {
        FStream = stream;
        FImpl->BuildTable(FEntries);
        discard.Keep = true;
        return;
    }

    // The end record: the last 22 bytes when the archive has no comment,
    // otherwise searched backwards in growing windows.
    std::uint64_t endPos = 0;
    bool found = false;
    if (size >= kEndSize) {
        const std::uint8_t* p = src.Get(size - kEndSize, kEndSize, scratch);
        if (p != nullptr && Get32(p) == kEndSig && Get16(p + 20) == 0) {
            endPos = size - kEndSize;
            found = true;
        }
    }
    std::vector<std::uint8_t> window;
    std::uint64_t windowEnd = size;
    std::uint64_t windowSize = 512;
    while (!found && windowEnd >= 4) {
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
            if (rec != nullptr && Get16(rec + 20) <= size - pos - kEndSize) {
                endPos = pos;
                found = true;
                break;
            }
        }
        if (start == 0)
            break;
        windowEnd = start + kEndSize;
        windowSize = std::min<std::uint64_t>(windowSize * 2, 65536);
    }
    if (!found)
        Unreadable(u"no end of central directory record");

    const std::uint8_t* end = src.Get(endPos, kEndSize, scratch);
    if (end == nullptr)
        Unreadable(u"end record can't be read");
    std::uint64_t disk = Get16(end + 4);
    std::uint64_t cdDisk = Get16(end + 6);
    std::uint64_t entriesOnDisk = Get16(end + 8);
    std::uint64_t total = Get16(end + 10);
    std::uint64_t cdSize = Get32(end + 12);
    std::uint64_t cdOffset = Get32(end + 16);
    const bool maxDisk = disk == 0xFFFF, maxCdDisk = cdDisk == 0xFFFF,
               maxOnDisk = entriesOnDisk == 0xFFFF, maxTotal = total == 0xFFFF,
               maxSize = cdSize == 0xFFFFFFFFu, maxOffset = cdOffset == 0xFFFFFFFFu;
    if (maxDisk || maxCdDisk || maxOnDisk || maxTotal || maxSize || maxOffset) {
        // The Zip64 locator lies just before the end record; it is searched
        // backwards byte by byte. A locator whose Zip64 record is missing is
        // passed over; with none found, the end record's values stand.
        const std::uint64_t last = endPos >= kZip64LocatorSize ? endPos - kZip64LocatorSize : 0;
        std::vector<std::uint8_t> block;
        bool located = endPos < kZip64LocatorSize;
        for (std::uint64_t blockEnd = last + 4; !located && blockEnd >= 4;) {
            const std::uint64_t blockStart = blockEnd > 65536 ? blockEnd - 65536 : 0;
            const auto n = static_cast<std::size_t>(blockEnd - blockStart);
            const std::uint8_t* b = src.Get(blockStart, n, block);
            if (b == nullptr)
                break;
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
                    disk = Get32(rec + 16);
                if (maxCdDisk)
                    cdDisk = Get32(rec + 20);
                if (maxOnDisk)
                    entriesOnDisk = Get64(rec + 24);
                if (maxTotal)
                    total = Get64(rec + 32);
                if (maxSize)
                    cdSize = Get64(rec + 40);
                if (maxOffset)
                    cdOffset = Get64(rec + 48);
                located = true;
                break;
            }
            if (blockStart == 0)
                break;
            blockEnd = blockStart + 3;
        }
    }
    if (disk != 0)
        Unreadable(u"archive spans several disks");

    // Every record takes at least 46 bytes, so a count the data cannot hold
    // does not reserve memory for it.
    FEntries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(total, size / kCentralSize)));
    std::uint64_t pos = cdOffset;
    for (std::uint64_t i = 0; i < total; ++i) {
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
        e.Name = DecodeName(v, nameLength, extra, extraLength, e.Flags, e.VersionMadeBy);
        const bool z64u = e.UncompressedSize == 0xFFFFFFFFu, z64c = e.CompressedSize == 0xFFFFFFFFu,
                   z64o = e.LocalHeaderOffset == 0xFFFFFFFFu, z64d = e.DiskNumberStart == 0xFFFF;
        if (z64u || z64c || z64o || z64d)
            ApplyZip64Extra(e, extra, extraLength, z64u, z64c, z64o, z64d);
        FEntries.push_back(std::move(e));
        pos += kCentralSize + variable;
    }
    FImpl->BuildTable(FEntries);
    FStream = stream;
    discard.Keep = true;
}

int TZipReader::FindFile(const String& name) const {
    if (FImpl->Slots.empty())
        return -1;
    const std::uint64_t h = FoldedHash(name.data(), name.size());
    for (std::size_t slot = h & FImpl->Mask;; slot = (slot + 1) & FImpl->Mask) {
        const std::uint64_t s = FImpl->Slots[slot];
        if (s == 0)
            return -1;
        const std::size_t index = (s & 0xFFFFFFFFu) - 1;
        if ((s >> 32) == (h >> 32) && FoldedEqual(FEntries[index].Name, name.data(), name.size()))
            return static_cast<int>(index);
    }
}

void TZipReader::ExtractToStream(const String& name, TStream& stream) {
    FLastStatus = TExtractStatus::esNotFound;
    const int index = FindFile(name);
    if (index < 0 || FStream == nullptr)
        return;
    try {
        FLastStatus = Extract(FEntries[static_cast<std::size_t>(index)], stream);
    } catch (const std::bad_alloc&) {
        FLastStatus = TExtractStatus::esOutOfMemory;
    } catch (const EOutOfMemory&) {
        FLastStatus = TExtractStatus::esOutOfMemory;
    } catch (...) {
        // A failing output stream or any other failure inside the entry is
        // absorbed like damaged data: what was written stays.
        FLastStatus = TExtractStatus::esFailed;
    }
    FImpl->TrimBuffer();
}

TExtractStatus TZipReader::Extract(const TZipEntry& e, TStream& stream) {
    if ((e.VersionNeeded & 0xFF) >= 64)
        return TExtractStatus::esVersion;
    TSource& src = FImpl->Source;
    // The stream's memory may have moved since the archive was opened.
    src.Attach(FStream);
    const std::uint8_t* local = src.Get(e.LocalHeaderOffset, kLocalSize, FImpl->Scratch);
    if (local == nullptr || Get32(local) != kLocalSig)
        return TExtractStatus::esLocalHeader;
    const std::uint16_t localFlags = Get16(local + 6);
    const std::uint16_t localTime = Get16(local + 10);
    const std::uint64_t dataStart =
        e.LocalHeaderOffset + kLocalSize + Get16(local + 26) + Get16(local + 28);
    if (dataStart > src.Size())
        return TExtractStatus::esLocalHeader;
    const std::uint32_t check =
        (localFlags & 8) != 0 ? static_cast<std::uint32_t>(localTime) << 16 : e.Crc32;

    // Reading is limited to the compressed size; data that the archive
    // does not hold counts as truncated and ends decoding early.
    std::uint64_t available = std::min<std::uint64_t>(e.CompressedSize, src.Size() - dataStart);
    const bool truncated = available < e.CompressedSize;
    const bool encrypted = (e.Flags & 1) != 0;
    if (available > std::numeric_limits<std::size_t>::max() / 2)
        throw std::bad_alloc();
    const unsigned method = e.Method & 0x7F;
    const std::uint8_t* data = nullptr;
    std::uint8_t* copy = nullptr; // the private, writable copy when there is one
    // Reading through a stream, or extracting into the stream the archive
    // is read from, takes a private copy of the entry's bytes.
    if (!src.Mapped() || &stream == FStream) {
        copy = FImpl->PlainBuffer(static_cast<std::size_t>(available));
        if (!src.ReadInto(dataStart, static_cast<std::size_t>(available), copy))
            return TExtractStatus::esTruncated;
        data = copy;
    } else {
        data = src.Get(dataStart, static_cast<std::size_t>(available), FImpl->Scratch);
        if (data == nullptr)
            return TExtractStatus::esTruncated;
    }

    std::optional<TZipCrypto> crypto;
    if (encrypted) {
        if (available < ZipCryptoHeaderSize)
            return TExtractStatus::esPassword;
        crypto.emplace(Password);
        std::uint8_t header[ZipCryptoHeaderSize];
        crypto->Decrypt(data, header, sizeof(header));
        if (header[ZipCryptoHeaderSize - 1] != static_cast<std::uint8_t>(check >> 24))
            return TExtractStatus::esPassword;
        data += ZipCryptoHeaderSize;
        available -= ZipCryptoHeaderSize;
        if (copy != nullptr)
            copy += ZipCryptoHeaderSize;
    }
    if (e.UncompressedSize == 0)
        return TExtractStatus::esOk;
    // Shrink, reduce, implode, deflate64, WavPack and PPMd have no decoder:
    // such entries are unreadable. The packer writes only methods 0 and 8.
    if (method != 0 && method != 8 && method != 12 && method != 14)
        return TExtractStatus::esMethod;

    if (method == 0) {
        // Stored: exactly the uncompressed size, decrypted straight into
        // the destination when it is a memory stream being appended to.
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(available, e.UncompressedSize));
        TOutput output(stream, n, true);
        for (std::size_t done = 0; done < n;) {
            std::size_t room;
            std::uint8_t* window = output.Window(room);
            const std::size_t k = std::min(n - done, room);
            if (crypto)
                crypto->Decrypt(data + done, window, k);
            else
                std::memcpy(window, data + done, k);
            output.Commit(k);
            done += k;
        }
        if (n < e.UncompressedSize)
            return TExtractStatus::esTruncated;
        return output.Crc() == e.Crc32 ? TExtractStatus::esOk : TExtractStatus::esCrc;
    }

    const auto size = static_cast<std::size_t>(available);
    std::uint32_t crc = 0;
    TExtractStatus status;
    TDecryptWorker* pipeline =
        method == 8 && crypto && size >= kPipelineMinimum ? FImpl->GetWorker() : nullptr;
    if (pipeline != nullptr) {
        // Encrypted entries: the worker decrypts ahead while zlib inflates
        // behind it, so the two costs overlap.
        std::uint8_t* plain = copy != nullptr ? copy : FImpl->PlainBuffer(size);
        TDecryptWorker& worker = *pipeline;
        worker.Start(*crypto, data, plain, size);
        struct TJoin {
            TDecryptWorker& W;
            ~TJoin() { W.Finish(true); }
        } join{worker};
        TInput input(plain, size, &worker.Ready());
        status = InflateDeflate(input, size, e.UncompressedSize, stream, crc);
    } else {
        if (crypto) {
            if (copy == nullptr)
                copy = FImpl->PlainBuffer(size);
            crypto->Decrypt(data, copy, size);
            data = copy;
        }
        if (method == 8) {
            TInput input(data, size);
            status = InflateDeflate(input, size, e.UncompressedSize, stream, crc);
        } else {
            TOutput output(stream, e.UncompressedSize, false);
            status = method == 12 ? InflateBzip2(data, size, output)
                                  : InflateLzma(data, size, e.Flags, e.UncompressedSize, output);
            crc = output.Crc();
        }
    }
    if (status == TExtractStatus::esOk && truncated)
        status = TExtractStatus::esTruncated;
    if (status == TExtractStatus::esOk && crc != e.Crc32)
        status = TExtractStatus::esCrc;
    return status;
}

} // namespace Folivant::Archive
