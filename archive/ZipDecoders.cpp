#include "archive/ZipDecoders.h"

#include "archive/ZipBytes.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <cstring>

#include <limits>
#include <new>

namespace Folivant::Archive {

namespace {

// Raw deflate cannot expand beyond 1032:1; a declared size above that bound
// is a lie and is not allocated up front.
constexpr std::uint64_t kDeflateMaxRatio = 1032;

// Streams raw deflate data through zlib until the final block; damaged data
// still yields the bytes decoded before the damage. Every deflated entry
// goes through zlib: libdeflate's one-shot decoder, though faster, accepts
// codes that zlib refuses (length symbols 286 and 287, for one) and would
// then give other bytes. Output beyond the declared size is not written and
// makes the entry corrupt.
TExtractStatus InflateWithZlib(TEntryInput& input, TEntryOutput& output) {
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

} // namespace

TEntryOutput::TEntryOutput(TStream& stream, std::uint64_t declared, bool direct)
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

void TEntryOutput::Settle() {
    if (FMemory == nullptr || FSettled == FWritten)
        return;
    const std::uint8_t* p = FMemory->Data() + FStart + static_cast<std::int64_t>(FSettled);
    FCrc = libdeflate_crc32(FCrc, p, static_cast<std::size_t>(FWritten - FSettled));
    FSettled = FWritten;
    const std::int64_t end = FStart + static_cast<std::int64_t>(FWritten);
    FMemory->SetSize(end);
    FMemory->SetPosition(end);
}

std::size_t TEntryInput::More(const std::uint8_t*& data, std::size_t limit) {
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

void CopyStored(const std::uint8_t* in, std::size_t size, TZipCrypto* crypto,
                TEntryOutput& output) {
    for (std::size_t done = 0; done < size;) {
        std::size_t room;
        std::uint8_t* window = output.Window(room);
        const std::size_t k = std::min(size - done, room);
        if (crypto != nullptr)
            crypto->Decrypt(in + done, window, k);
        else
            std::memcpy(window, in + done, k);
        output.Commit(k);
        done += k;
    }
}

// Deflate output goes straight into a memory stream's memory when the
// declared size is one the data can really expand to.
TExtractStatus InflateDeflate(TEntryInput& input, std::size_t size, std::uint64_t declared,
                              TStream& stream, std::uint32_t& crc) {
    const bool direct = declared <= static_cast<std::uint64_t>(size) * kDeflateMaxRatio + 1024;
    TEntryOutput output(stream, declared, direct);
    const TExtractStatus status = InflateWithZlib(input, output);
    crc = output.Crc();
    return status;
}

TExtractStatus InflateBzip2(const std::uint8_t* in, std::size_t size, TEntryOutput& output) {
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
                           std::uint64_t declared, TEntryOutput& output) {
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

} // namespace Folivant::Archive
