#include "platform/MediaCache.h"

#include "base/Text.h"
#include "platform/HttpHead.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Folivant::Platform {

namespace {

constexpr std::size_t ChunkSize = 1 << 20;

// Decoded bytes in fixed chunks: growing never moves what is written, so a
// large entry is never copied while it is decoded, and bytes already
// written can be read while later ones are written. The chunk table is
// sized for the declared size up front; bytes beyond it are dropped. Only
// appending writes are taken (the decoder writes in order); after each
// one, Written hears the new size, and what it raises ends the decoding.
class TChunkStream : public TStream {
public:
    std::function<void(std::int64_t size)> Written;

    void Prepare(std::int64_t limit) {
        FLimit = std::max<std::int64_t>(0, limit);
        FChunks.resize(static_cast<std::size_t>((FLimit + ChunkSize - 1) / ChunkSize));
    }

    std::int64_t Read(void*, std::int64_t) override { return 0; }

    std::int64_t Write(const void* buffer, std::int64_t count) override {
        if (FPosition != FSize)
            throw EStreamError(u"Decoded media bytes are written in order only");
        const auto* from = static_cast<const std::uint8_t*>(buffer);
        const std::int64_t take = std::max<std::int64_t>(0, std::min(count, FLimit - FSize));
        for (std::int64_t done = 0; done < take;) {
            const auto index = static_cast<std::size_t>(FSize / ChunkSize);
            const auto offset = static_cast<std::size_t>(FSize % ChunkSize);
            if (!FChunks[index])
                FChunks[index] = std::make_unique_for_overwrite<std::uint8_t[]>(ChunkSize);
            const std::size_t n =
                std::min<std::size_t>(ChunkSize - offset, static_cast<std::size_t>(take - done));
            std::memcpy(FChunks[index].get() + offset, from + done, n);
            done += static_cast<std::int64_t>(n);
            FSize += static_cast<std::int64_t>(n);
        }
        FPosition = FSize;
        if (Written)
            Written(FSize);
        return count;
    }

    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                                  : origin == TSeekOrigin::soCurrent ? FPosition
                                                                     : FSize;
        FPosition = std::max<std::int64_t>(0, base + offset);
        return FPosition;
    }

    std::int64_t Size() override { return FSize; }

    const std::uint8_t* Span(std::int64_t at, std::int64_t count, std::size_t& length) const {
        const auto index = static_cast<std::size_t>(at / ChunkSize);
        const auto offset = static_cast<std::size_t>(at % ChunkSize);
        length = std::min<std::size_t>(ChunkSize - offset, static_cast<std::size_t>(count));
        return FChunks[index].get() + offset;
    }

private:
    std::vector<std::unique_ptr<std::uint8_t[]>> FChunks;
    std::int64_t FLimit = 0;
    std::int64_t FSize = 0;
    std::int64_t FPosition = 0;
};

// esQueued: waiting for the decoding thread, which first looks the entry
// up; esDecoding: found, Size is the declared size and Decoded grows;
// esReady: decoded, Size is what was decoded; esMissing: no such entry, or
// not one of audio or video.
enum class TEntryState { esQueued, esDecoding, esReady, esMissing };

} // namespace

struct TMediaCache::TEntry {
    std::string Url; // the fvp: URL, UTF-8
    // Guarded by the cache's lock.
    TEntryState State = TEntryState::esQueued;
    const char* Type = nullptr;
    int Leases = 0;
    int Requests = 0;
    TClock::time_point IdleSince = TClock::now();
    std::int64_t Size = 0;
    // Bytes of Bytes that may be read; they never change once counted here.
    std::int64_t Decoded = 0;
    // Freed while still queued or decoding: the decoding stops.
    bool Dropped = false;
    // Written by the decoding thread only, read below Decoded.
    TChunkStream Bytes;
};

TMediaCache::TMediaCache(TMediaEntrySource source, TClock::duration grace,
                         TClock::duration leaseIdle)
    : FSource(std::move(source)), FGrace(grace), FLeaseIdle(leaseIdle) {}

TMediaCache::~TMediaCache() {
    Stop();
}

void TMediaCache::Stop() {
    {
        std::lock_guard guard(FLock);
        FStopped = true;
        FChanged.notify_all();
    }
    // No decoder starts once stopped, so FDecoder no longer changes. The
    // decoder stops at its next write.
    if (FDecoder.joinable() && FDecoder.get_id() != std::this_thread::get_id())
        FDecoder.join();
}

TMediaCache::TReader TMediaCache::Open(const std::string& lease, const std::string& url) {
    std::lock_guard guard(FLock);
    SweepLocked();
    std::shared_ptr<TEntry> entry;
    auto found = FLeases.find(lease);
    if (found != FLeases.end() && found->second.Entry->Url == url) {
        entry = found->second.Entry;
    } else {
        if (found != FLeases.end()) {
            ReleaseLeaseLocked(*found->second.Entry);
            FLeases.erase(found);
        }
        std::shared_ptr<TEntry>& slot = FEntries[url];
        if (!slot) {
            slot = std::make_shared<TEntry>();
            slot->Url = url;
            if (!FStopped) {
                FQueue.push_back(slot);
                if (!FDecoder.joinable())
                    FDecoder = std::thread([this] { DecodeLoop(); });
            }
        }
        slot->Leases += 1;
        entry = slot;
        FLeases[lease] = TLease{entry, TClock::now()};
    }
    FLeases[lease].LastUse = TClock::now();
    entry->Requests += 1;
    FChanged.notify_all();
    return TReader(this, std::move(entry), lease);
}

void TMediaCache::Release(const std::string& lease) {
    std::lock_guard guard(FLock);
    auto it = FLeases.find(lease);
    if (it != FLeases.end()) {
        ReleaseLeaseLocked(*it->second.Entry);
        FLeases.erase(it);
    }
    SweepLocked();
}

void TMediaCache::Sweep() {
    std::lock_guard guard(FLock);
    SweepLocked();
}

std::size_t TMediaCache::HeldEntries() const {
    std::lock_guard guard(FLock);
    return FEntries.size();
}

std::uint64_t TMediaCache::Decodings() const {
    std::lock_guard guard(FLock);
    return FDecodings;
}

void TMediaCache::SweepLocked() {
    const auto now = TClock::now();
    for (auto it = FLeases.begin(); it != FLeases.end();) {
        if (now - it->second.LastUse > FLeaseIdle && it->second.Entry->Requests == 0) {
            ReleaseLeaseLocked(*it->second.Entry);
            it = FLeases.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = FEntries.begin(); it != FEntries.end();) {
        TEntry& e = *it->second;
        if (e.Leases == 0 && e.Requests == 0 && now - e.IdleSince > FGrace) {
            e.Dropped = true;
            it = FEntries.erase(it);
        } else {
            ++it;
        }
    }
}

void TMediaCache::ReleaseLeaseLocked(TEntry& entry) {
    entry.Leases -= 1;
    if (entry.Leases == 0 && entry.Requests == 0)
        entry.IdleSince = TClock::now();
}

void TMediaCache::EndRequest(TEntry& entry, const std::string& lease) {
    std::lock_guard guard(FLock);
    entry.Requests -= 1;
    if (entry.Leases == 0 && entry.Requests == 0)
        entry.IdleSince = TClock::now();
    auto it = FLeases.find(lease);
    if (it != FLeases.end())
        it->second.LastUse = TClock::now();
}

void TMediaCache::DecodeLoop() {
    for (;;) {
        std::shared_ptr<TEntry> entry;
        {
            std::unique_lock guard(FLock);
            FChanged.wait(guard, [&] { return FStopped || !FQueue.empty(); });
            if (FStopped)
                return;
            entry = std::move(FQueue.front());
            FQueue.pop_front();
            if (entry->Dropped)
                continue;
        }
        try {
            Decode(entry);
        } catch (...) {
            // Decode settles the entry on every path; nothing else can fail
            // here that a reader could be told about.
        }
    }
}

void TMediaCache::Decode(const std::shared_ptr<TEntry>& entry) {
    const String url = Utf8ToString(entry->Url);
    TMediaEntryInfo info;
    try {
        if (FSource.Find)
            info = FSource.Find(url);
    } catch (...) {
        info = {};
    }
    const char* type = info.Size < 0 ? nullptr : MediaTypeOfName(StringToUtf8(info.Name));
    if (type == nullptr) {
        std::lock_guard guard(FLock);
        entry->State = TEntryState::esMissing;
        FChanged.notify_all();
        return;
    }
    // Prepared before readers may see the entry found.
    entry->Bytes.Prepare(info.Size);
    {
        std::lock_guard guard(FLock);
        entry->Type = type;
        entry->Size = info.Size;
        entry->State = TEntryState::esDecoding;
        FChanged.notify_all();
    }
    TEntry* e = entry.get();
    entry->Bytes.Written = [this, e](std::int64_t written) {
        std::lock_guard guard(FLock);
        e->Decoded = written;
        FChanged.notify_all();
        if (FStopped || e->Dropped)
            throw Exception(u"The media entry is no longer wanted");
    };
    try {
        if (info.Size > 0 && FSource.Extract)
            FSource.Extract(url, entry->Bytes);
    } catch (...) {
        // A failure inside the extraction leaves what was decoded, which is
        // served as the content protocol serves it.
    }
    entry->Bytes.Written = nullptr;
    std::lock_guard guard(FLock);
    FDecodings += 1;
    entry->Decoded = entry->Bytes.Size();
    entry->Size = entry->Decoded;
    entry->State = TEntryState::esReady;
    FChanged.notify_all();
}

TMediaCache::TReader::TReader(TMediaCache* cache, std::shared_ptr<TEntry> entry, std::string lease)
    : FCache(cache), FEntry(std::move(entry)), FLease(std::move(lease)) {}

TMediaCache::TReader::TReader(TReader&& other) noexcept
    : FCache(other.FCache), FEntry(std::move(other.FEntry)), FLease(std::move(other.FLease)) {
    other.FCache = nullptr;
}

TMediaCache::TReader::~TReader() {
    if (FCache != nullptr && FEntry)
        FCache->EndRequest(*FEntry, FLease);
}

TMediaCache::TFound TMediaCache::TReader::WaitFound() {
    std::unique_lock guard(FCache->FLock);
    FCache->FChanged.wait(
        guard, [&] { return FCache->FStopped || FEntry->State != TEntryState::esQueued; });
    if (FCache->FStopped)
        return TFound::fnStopped;
    return FEntry->State == TEntryState::esMissing ? TFound::fnMissing : TFound::fnFound;
}

const char* TMediaCache::TReader::Type() const {
    std::lock_guard guard(FCache->FLock);
    return FEntry->Type;
}

std::int64_t TMediaCache::TReader::Size() const {
    std::lock_guard guard(FCache->FLock);
    return FEntry->Size;
}

std::int64_t TMediaCache::TReader::WaitDecoded(std::int64_t at) {
    std::unique_lock guard(FCache->FLock);
    FCache->FChanged.wait(guard, [&] {
        return FCache->FStopped || FEntry->Decoded > at || FEntry->State != TEntryState::esDecoding;
    });
    return FCache->FStopped ? 0 : FEntry->Decoded;
}

const std::uint8_t* TMediaCache::TReader::Span(std::int64_t at, std::int64_t count,
                                               std::size_t& length) const {
    return FEntry->Bytes.Span(at, count, length);
}

} // namespace Folivant::Platform
