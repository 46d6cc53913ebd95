#include "archive/ZipDecoders.h"

#include "archive/ZipBytes.h"
#include "base/WaitValue.h"

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
            WaitValue::WaitWhile(*FReady, ready);
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

} // namespace Folivant::Archive
