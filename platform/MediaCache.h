#pragma once

// The media endpoint's decoded entries. Entries are decoded on a thread of
// the cache's own, one after another in the order they were first asked
// for, into memory only, and read while they decode: a reader waits only
// for the bytes it wants.
//
// Each element source is a lease (a name the page's script draws). An entry
// is held while a lease or a reader uses it, and a few seconds longer, so
// that setting the same source again decodes nothing; every lease on the
// same URL shares the entry. Only audio and video entries are served (by
// the type of the entry's name); any other entry reads as missing.
//
// Ownership: readers point into the cache, so every reader must be gone
// before the cache is destroyed. Stop wakes every waiting reader (their
// waits answer "stopped") and ends the decoding at its next write.

#include "base/Classes.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Folivant::Platform {

// An entry the source found: its name in the archive and the size it
// decodes to. Size -1: no such entry.
struct TMediaEntryInfo {
    String Name;
    std::int64_t Size = -1;
};

// The archive as the cache reads it. Both functions run on the decoding
// thread, one call at a time.
struct TMediaEntrySource {
    // The entry that url (a full fvp: URL) names.
    std::function<TMediaEntryInfo(const String& url)> Find;
    // Writes the bytes of that entry into out, in order. Stops early when a
    // write raises (the cache stops or nobody wants the entry any more).
    std::function<void(const String& url, TStream& out)> Extract;
};

class TMediaCache {
public:
    using TClock = std::chrono::steady_clock;

    // Grace: how long an entry nobody uses is kept; LeaseIdle: after how
    // long without a request a lease counts as forgotten (a page closed
    // without releasing it).
    explicit TMediaCache(TMediaEntrySource source, TClock::duration grace = std::chrono::seconds(5),
                         TClock::duration leaseIdle = std::chrono::minutes(30));
    ~TMediaCache();
    TMediaCache(const TMediaCache&) = delete;
    TMediaCache& operator=(const TMediaCache&) = delete;

    struct TEntry;

    enum class TFound { fnFound, fnMissing, fnStopped };

    // One request's use of an entry; the entry stays while it exists.
    class TReader {
    public:
        TReader(TReader&& other) noexcept;
        TReader& operator=(TReader&&) = delete;
        ~TReader();

        // Waits until the entry is looked up.
        TFound WaitFound();
        // The entry's type, and its size: the declared one while it decodes,
        // the decoded one when done. Only after fnFound.
        const char* Type() const;
        std::int64_t Size() const;
        // Waits until the byte at `at` is decoded or decoding has ended, and
        // gives how many bytes from the start can be read: more than at, or
        // at most at when the entry ended before it or the cache stopped.
        std::int64_t WaitDecoded(std::int64_t at);
        // Decoded bytes from at up to the end of their chunk, at most count;
        // only below what WaitDecoded gave. They never change.
        const std::uint8_t* Span(std::int64_t at, std::int64_t count, std::size_t& length) const;

    private:
        friend class TMediaCache;
        TReader(TMediaCache* cache, std::shared_ptr<TEntry> entry, std::string lease);
        TMediaCache* FCache;
        std::shared_ptr<TEntry> FEntry;
        std::string FLease;
    };

    // The entry behind lease for url (an fvp: URL, UTF-8), taken and queued
    // for decoding on the lease's first request; a lease that named another
    // URL lets go of that one.
    TReader Open(const std::string& lease, const std::string& url);
    // Lets go of a lease (unknown ones are ignored).
    void Release(const std::string& lease);
    // Frees entries and leases nobody uses any more.
    void Sweep();
    // Ends all waits and the decoding; later waits answer at once.
    void Stop();

    std::size_t HeldEntries() const;
    std::uint64_t Decodings() const;

private:
    struct TLease {
        std::shared_ptr<TEntry> Entry;
        TClock::time_point LastUse;
    };

    void SweepLocked();
    void ReleaseLeaseLocked(TEntry& entry);
    void EndRequest(TEntry& entry, const std::string& lease);
    void DecodeLoop();
    void Decode(const std::shared_ptr<TEntry>& entry);

    TMediaEntrySource FSource;
    const TClock::duration FGrace;
    const TClock::duration FLeaseIdle;

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FStopped = false;
    std::map<std::string, std::shared_ptr<TEntry>> FEntries;
    std::map<std::string, TLease> FLeases;
    std::deque<std::shared_ptr<TEntry>> FQueue;
    std::uint64_t FDecodings = 0;
    // Started with the first entry, under FLock and only while not stopped,
    // so Stop joins every decoder there ever was.
    std::thread FDecoder;
};

} // namespace Folivant::Platform
