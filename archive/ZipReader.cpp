#include "archive/ZipReader.h"

#include "archive/ZipBytes.h"
#include "archive/ZipCrypto.h"
#include "archive/ZipDecoders.h"
#include "archive/ZipDecryptWorker.h"
#include "archive/ZipDirectory.h"
#include "archive/ZipFormat.h"
#include "archive/ZipNames.h"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>

namespace Folivant::Archive {

namespace {

constexpr std::size_t kLocalSize = 30;
// Encrypted entries at least this large are decrypted on the worker thread
// while they are inflated; below it the hand-over costs more than it saves.
constexpr std::size_t kPipelineMinimum = 16 * 1024;

} // namespace

struct TZipReader::TImpl {
    TArchiveBytes Source;
    TNameIndex Names;
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
};

TZipReader::TZipReader() : FImpl(std::make_unique<TImpl>()) {}

TZipReader::~TZipReader() = default;

void TZipReader::SetStream(TStream* stream) {
    FStream = nullptr;
    FEntries.clear();
    FImpl->Names.Clear();
    if (stream == nullptr)
        return;
    FImpl->Source.Attach(stream);
    // The entries are taken over only once the whole directory has been read,
    // so an archive that turns out unreadable leaves none behind.
    std::vector<TZipEntry> entries = ReadCentralDirectory(FImpl->Source, FImpl->Scratch);
    FImpl->Names.Build(entries);
    FEntries = std::move(entries);
    FStream = stream;
}

int TZipReader::FindFile(const String& name) const {
    return FImpl->Names.Find(FEntries, name);
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
    TArchiveBytes& src = FImpl->Source;
    // The stream's memory may have moved since the archive was opened.
    src.Attach(FStream);
    const std::uint8_t* local = src.Get(e.LocalHeaderOffset, kLocalSize, FImpl->Scratch);
    if (local == nullptr || Get32(local) != ZipFormat::kLocalSig)
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
        TEntryOutput output(stream, n, true);
        CopyStored(data, n, crypto ? &*crypto : nullptr, output);
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
        TEntryInput input(plain, size, &worker.Ready());
        status = InflateDeflate(input, size, e.UncompressedSize, stream, crc);
    } else {
        if (crypto) {
            if (copy == nullptr)
                copy = FImpl->PlainBuffer(size);
            crypto->Decrypt(data, copy, size);
            data = copy;
        }
        if (method == 8) {
            TEntryInput input(data, size);
            status = InflateDeflate(input, size, e.UncompressedSize, stream, crc);
        } else {
            TEntryOutput output(stream, e.UncompressedSize, false);
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
