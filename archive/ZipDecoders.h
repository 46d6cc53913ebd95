#pragma once

// The decoders of an entry's data: stored bytes go through TEntryOutput
// directly; deflate, bzip2 and LZMA data through their libraries. Each
// reports how decoding ended; bytes decoded before damage stay written.

#include "base/Classes.h"
#include "archive/ZipCrypto.h"
#include "archive/ZipReader.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Folivant::Archive {

// Receives an entry's decoded bytes and writes them at the caller's stream
// position, never more than the declared uncompressed size. When the stream
// is a memory stream being appended to and direct is true, decoders write
// straight into its memory; otherwise through a chunk buffer and Write.
class TEntryOutput {
public:
    static constexpr std::size_t ChunkSize = 64 * 1024;

    TEntryOutput(TStream& stream, std::uint64_t declared, bool direct);
    ~TEntryOutput() { Settle(); }
    TEntryOutput(const TEntryOutput&) = delete;
    TEntryOutput& operator=(const TEntryOutput&) = delete;

    std::uint64_t Room() const { return FLimit - FWritten; }
    // A writable region of size bytes (at most Room()) for the next output.
    std::uint8_t* Window(std::size_t& size) {
        if (FMemory != nullptr) {
            size = static_cast<std::size_t>(std::min<std::uint64_t>(Room(), 1u << 30));
            return FMemory->Data() + FStart + static_cast<std::int64_t>(FWritten);
        }
        if (!FChunk)
            FChunk = std::make_unique_for_overwrite<std::uint8_t[]>(ChunkSize);
        size = static_cast<std::size_t>(std::min<std::uint64_t>(Room(), ChunkSize));
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
    // The CRC-32 of everything written so far.
    std::uint32_t Crc() {
        Settle();
        return FCrc;
    }

private:
    // Makes the stream's size and position cover what was written, and
    // folds directly written bytes into the CRC-32.
    void Settle();

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
// them, ready counts the bytes available so far and More waits for them.
class TEntryInput {
public:
    TEntryInput(const std::uint8_t* data, std::size_t size,
                const std::atomic<std::size_t>* ready = nullptr)
        : FData(data), FSize(size), FReady(ready) {}

    // The next stretch of input, empty only when all of it has been handed out.
    std::size_t More(const std::uint8_t*& data, std::size_t limit);
    bool Exhausted() const { return FConsumed >= FSize; }

private:
    const std::uint8_t* FData;
    std::size_t FSize;
    const std::atomic<std::size_t>* FReady;
    std::size_t FConsumed = 0;
};

// Stored data: size bytes (at most the output's room), decrypted on the
// way when crypto is given.
void CopyStored(const std::uint8_t* in, std::size_t size, TZipCrypto* crypto, TEntryOutput& output);
// Raw deflate of size compressed bytes into stream; crc receives the CRC-32
// of what was written. Output beyond the declared size is not written and
// makes the entry corrupt.
TExtractStatus InflateDeflate(TEntryInput& input, std::size_t size, std::uint64_t declared,
                              TStream& stream, std::uint32_t& crc);
// A bzip2 stream.
TExtractStatus InflateBzip2(const std::uint8_t* in, std::size_t size, TEntryOutput& output);
// ZIP's LZMA; flag bit 1 of flags says whether the stream closes with an end
// marker.
TExtractStatus InflateLzma(const std::uint8_t* in, std::size_t size, std::uint16_t flags,
                           std::uint64_t declared, TEntryOutput& output);

} // namespace Folivant::Archive
