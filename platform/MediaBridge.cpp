#include "platform/MediaBridge.h"

#include "archive/Text.h"
#include "archive/ZipReader.h"
#include "shared/FvpResolver.h"

#include <gio/gio.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace Folivant::Platform {

namespace {

constexpr const char* ScriptSource =
#include "platform/MediaBridgeScript.js.inc"
    ;

using TClock = std::chrono::steady_clock;

// Marks a user content manager that already carries the script.
constexpr const char* InstalledKey = "folivant-media-bridge";
// An entry nobody uses is kept this long, so that a page that sets the same
// source again (which lets go of the old lease first) decodes nothing.
constexpr auto EntryGrace = std::chrono::seconds(5);
// A lease no request has used for this long is taken as forgotten (a page
// closed without saying so).
constexpr auto LeaseIdle = std::chrono::minutes(30);
constexpr std::size_t MaxRequestHead = 16 * 1024;
constexpr std::size_t ChunkSize = 1 << 20;
constexpr std::size_t SendSize = 256 * 1024;
// How many loopback ports the endpoint listens on (see TState::Hosts).
constexpr std::size_t ListeningPorts = 8;

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

    // The written bytes from at up to the end of their chunk, at most
    // count. Only for bytes the writer has published.
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
// esReady: decoded, Size is what was decoded; esMissing: no such entry.
enum class TEntryState { esQueued, esDecoding, esReady, esMissing };

struct TEntry {
    std::string Url; // the fvp: URL, UTF-8
    // Guarded by the bridge's lock.
    TEntryState State = TEntryState::esQueued;
    int Leases = 0;
    int Requests = 0;
    TClock::time_point IdleSince = TClock::now();
    std::int64_t Size = 0;
    // Bytes of Bytes that may be read; they never change once counted here.
    std::int64_t Decoded = 0;
    // Freed while still queued or decoding: the decoding stops.
    bool Dropped = false;
    // Written by the decoding thread only.
    TChunkStream Bytes;
};

struct TLease {
    std::shared_ptr<TEntry> Entry;
    TClock::time_point LastUse;
};

std::string RandomToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0)
            throw Exception(u"No random bytes for the media endpoint");
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token.push_back(digits[b >> 4]);
        token.push_back(digits[b & 15]);
    }
    return token;
}

// Compares without stopping at the first difference, so that timing tells
// nothing about the token.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent-decoding of one path segment; false for a malformed escape.
bool PercentDecode(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int hi = HexValue(text[i + 1]);
        const int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

const char* MediaType(const std::string& url) {
    static const std::map<std::string, const char*> types = {
        {"aac", "audio/aac"},       {"flac", "audio/flac"},      {"m4a", "audio/mp4"},
        {"m4v", "video/mp4"},       {"mka", "audio/x-matroska"}, {"mkv", "video/x-matroska"},
        {"mov", "video/quicktime"}, {"mp3", "audio/mpeg"},       {"mp4", "video/mp4"},
        {"oga", "audio/ogg"},       {"ogg", "audio/ogg"},        {"ogv", "video/ogg"},
        {"opus", "audio/ogg"},      {"wav", "audio/wav"},        {"weba", "audio/webm"},
        {"webm", "video/webm"}};
    std::string path = url.substr(0, url.find_first_of("?#"));
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return "application/octet-stream";
    const auto it = types.find(Lower(path.substr(dot + 1)));
    return it == types.end() ? "application/octet-stream" : it->second;
}

struct TRequest {
    std::string Method, Target, Host, Range;
    bool KeepAlive = true;
};

// Parses the request head; false for anything that is not a plain request.
bool ParseHead(const std::string& head, TRequest& request) {
    std::size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const auto sp1 = line.find(' ');
    const auto sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1)
        return false;
    request.Method = line.substr(0, sp1);
    request.Target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = line.substr(sp2 + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return false;
    request.KeepAlive = version == "HTTP/1.1";
    while (lineEnd != std::string::npos && lineEnd + 2 < head.size()) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string header =
            head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const auto colon = header.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(header.substr(0, colon));
        std::string value = header.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if (name == "host")
            request.Host = value;
        else if (name == "range")
            request.Range = value;
        else if (name == "connection")
            request.KeepAlive =
                Lower(value).find("close") == std::string::npos &&
                (request.KeepAlive || Lower(value).find("keep-alive") != std::string::npos);
    }
    return true;
}

// One "bytes=a-b", "bytes=a-" or "bytes=-n" range. Answers 0 for no usable
// range (serve everything), 1 for a range, -1 for one that cannot be met.
int ParseRange(const std::string& header, std::int64_t size, std::int64_t& first,
               std::int64_t& last) {
    if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos)
        return 0;
    const std::string spec = header.substr(6);
    const auto dash = spec.find('-');
    if (dash == std::string::npos)
        return 0;
    const std::string a = spec.substr(0, dash);
    const std::string b = spec.substr(dash + 1);
    auto number = [](const std::string& s, std::int64_t& v) {
        if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
            return false;
        v = std::stoll(s);
        return true;
    };
    std::int64_t x = 0, y = 0;
    if (a.empty()) {
        if (!number(b, y))
            return 0;
        if (y == 0 || size == 0)
            return -1;
        first = std::max<std::int64_t>(0, size - y);
        last = size - 1;
        return 1;
    }
    if (!number(a, x))
        return 0;
    if (x >= size)
        return -1;
    first = x;
    last = size - 1;
    if (!b.empty()) {
        if (!number(b, y) || y < x)
            return 0;
        last = std::min(y, size - 1);
    }
    return 1;
}

// Owns a GObject reference.
template <typename T> struct TGObject {
    T* Ptr = nullptr;
    TGObject() = default;
    explicit TGObject(T* p) : Ptr(p) {}
    TGObject(const TGObject&) = delete;
    TGObject& operator=(const TGObject&) = delete;
    ~TGObject() {
        if (Ptr != nullptr)
            g_object_unref(Ptr);
    }
};

std::unique_ptr<TMediaBridge>& GlobalBridge() {
    static std::unique_ptr<TMediaBridge> bridge;
    return bridge;
}

} // namespace

struct TMediaBridge::TState : std::enable_shared_from_this<TMediaBridge::TState> {
    TMediaEntrySource Source;
    GMainContext* Context = nullptr;
    std::string Token;
    std::string Host;
    std::string Prefix;
    std::uint16_t Port = 0;
    // Every listening port's "127.0.0.1:port" and endpoint prefix. The
    // engine opens at most six connections per host and port, and a paused
    // element keeps its download's connection, so elements are spread over
    // several ports; otherwise the seventh element would wait for ever.
    std::vector<std::string> Hosts;
    std::vector<std::string> Prefixes;
    GSocketService* Service = nullptr;
    GCancellable* Cancel = nullptr;
    guint SweepTimer = 0;

    mutable std::mutex Lock;
    std::condition_variable Changed;
    bool Stopped = false;
    int Connections = 0;
    std::map<std::string, std::shared_ptr<TEntry>> Entries;
    std::map<std::string, TLease> Leases;
    std::uint64_t Decodings = 0;

    // Under Lock: frees entries and leases nobody uses any more.
    void SweepLocked() {
        const auto now = TClock::now();
        for (auto it = Leases.begin(); it != Leases.end();) {
            if (now - it->second.LastUse > LeaseIdle && it->second.Entry->Requests == 0) {
                ReleaseLeaseLocked(it->second.Entry);
                it = Leases.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = Entries.begin(); it != Entries.end();) {
            TEntry& e = *it->second;
            if (e.Leases == 0 && e.Requests == 0 && now - e.IdleSince > EntryGrace) {
                e.Dropped = true;
                it = Entries.erase(it);
            } else {
                ++it;
            }
        }
    }

    void ReleaseLeaseLocked(const std::shared_ptr<TEntry>& entry) {
        entry->Leases -= 1;
        if (entry->Leases == 0 && entry->Requests == 0)
            entry->IdleSince = TClock::now();
    }

    // Under Lock: the entry behind lease, taken (and queued for decoding) on
    // the lease's first request.
    std::shared_ptr<TEntry> EntryForLocked(const std::string& lease, const std::string& url) {
        auto found = Leases.find(lease);
        if (found != Leases.end() && found->second.Entry->Url == url) {
            found->second.LastUse = TClock::now();
            return found->second.Entry;
        }
        if (found != Leases.end()) {
            ReleaseLeaseLocked(found->second.Entry);
            Leases.erase(found);
        }
        std::shared_ptr<TEntry>& slot = Entries[url];
        if (!slot) {
            slot = std::make_shared<TEntry>();
            slot->Url = url;
            QueueLocked(slot);
        }
        slot->Leases += 1;
        Leases[lease] = TLease{slot, TClock::now()};
        return slot;
    }

    // The decoding thread, started with the first entry; entries are
    // decoded one after another in the order they were first asked for.
    std::thread Decoder;
    std::deque<std::shared_ptr<TEntry>> Queue;

    void QueueLocked(const std::shared_ptr<TEntry>& entry) {
        Queue.push_back(entry);
        if (!Decoder.joinable())
            Decoder = std::thread([this] { DecodeLoop(); });
        Changed.notify_all();
    }

    void DecodeLoop() {
        for (;;) {
            std::shared_ptr<TEntry> entry;
            {
                std::unique_lock guard(Lock);
                Changed.wait(guard, [&] { return Stopped || !Queue.empty(); });
                if (Stopped)
                    return;
                entry = std::move(Queue.front());
                Queue.pop_front();
                if (entry->Dropped)
                    continue;
            }
            try {
                Decode(entry);
            } catch (...) {
                // Decode settles the entry on every path; nothing else can
                // fail here that a request could be told about.
            }
        }
    }

    // Looks the entry up and decodes it, publishing the bytes as they come.
    void Decode(const std::shared_ptr<TEntry>& entry) {
        const String url = Utf8ToString(entry->Url);
        std::int64_t size = -1;
        try {
            size = Source.Find ? Source.Find(url) : -1;
        } catch (...) {
            size = -1;
        }
        {
            std::lock_guard guard(Lock);
            if (size < 0) {
                entry->State = TEntryState::esMissing;
                Changed.notify_all();
                return;
            }
            entry->Size = size;
            entry->State = TEntryState::esDecoding;
            Changed.notify_all();
        }
        entry->Bytes.Prepare(size);
        TEntry* e = entry.get();
        entry->Bytes.Written = [this, e](std::int64_t written) {
            std::lock_guard guard(Lock);
            e->Decoded = written;
            Changed.notify_all();
            if (Stopped || e->Dropped)
                throw Exception(u"The media entry is no longer wanted");
        };
        try {
            if (size > 0 && Source.Extract)
                Source.Extract(url, entry->Bytes);
        } catch (...) {
            // A failure inside the extraction leaves what was decoded, which
            // is served as the content protocol serves it.
        }
        entry->Bytes.Written = nullptr;
        std::lock_guard guard(Lock);
        Decodings += 1;
        entry->Decoded = entry->Bytes.Size();
        entry->Size = entry->Decoded;
        entry->State = TEntryState::esReady;
        Changed.notify_all();
    }

    bool Send(GOutputStream* out, const void* data, std::size_t size) {
        return g_output_stream_write_all(out, data, size, nullptr, Cancel, nullptr) != FALSE;
    }

    bool SendStatus(GOutputStream* out, const char* status, bool keepAlive,
                    const std::string& extra = {}) {
        const std::string head = std::string("HTTP/1.1 ") + status +
                                 "\r\nContent-Length: 0\r\nCache-Control: no-store\r\n" + extra +
                                 (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
        return Send(out, head.data(), head.size());
    }

    // Answers one request; false when the connection must close.
    bool Answer(const TRequest& request, GOutputStream* out) {

        const bool head = request.Method == "HEAD";
        if ((request.Method != "GET" && !head) ||
            std::find(Hosts.begin(), Hosts.end(), request.Host) == Hosts.end()) {
            SendStatus(out, "404 Not Found", false);
            return false;
        }
        // "/<token>/m/<lease>/<encoded fvp url>" or "/<token>/r/<lease>".
        const std::string& target = request.Target;
        if (target.size() < Token.size() + 2 || target[0] != '/' ||
            !SameSecret(target.substr(1, Token.size()), Token) || target[Token.size() + 1] != '/') {
            SendStatus(out, "404 Not Found", false);
            return false;
        }
        const std::string rest = target.substr(Token.size() + 2);
        if (rest.rfind("r/", 0) == 0) {
            const std::string lease = rest.substr(2);
            std::lock_guard guard(Lock);
            auto it = Leases.find(lease);
            if (it != Leases.end()) {
                ReleaseLeaseLocked(it->second.Entry);
                Leases.erase(it);
            }
            SweepLocked();
            return SendStatus(out, "204 No Content", request.KeepAlive) && request.KeepAlive;
        }
        const auto slash = rest.find('/', 2);
        std::string url;
        if (rest.rfind("m/", 0) != 0 || slash == std::string::npos || slash == 2 ||
            !PercentDecode(rest.substr(slash + 1), url) || Lower(url.substr(0, 4)) != "fvp:") {
            SendStatus(out, "404 Not Found", false);
            return false;
        }
        const std::string lease = rest.substr(2, slash - 2);

        std::shared_ptr<TEntry> entry;
        bool stopped = false;
        TEntryState state = TEntryState::esQueued;
        {
            std::unique_lock guard(Lock);
            SweepLocked();
            entry = EntryForLocked(lease, url);
            entry->Requests += 1;
            Changed.wait(guard, [&] { return Stopped || entry->State != TEntryState::esQueued; });
            stopped = Stopped;
            state = entry->State;
        }
        bool keep = false;
        if (!stopped) {
            if (state == TEntryState::esMissing)
                keep = SendStatus(out, "404 Not Found", request.KeepAlive) && request.KeepAlive;
            else
                keep = SendEntry(*entry, request, head, out);
        }
        std::lock_guard guard(Lock);
        entry->Requests -= 1;
        if (entry->Leases == 0 && entry->Requests == 0)
            entry->IdleSince = TClock::now();
        auto it = Leases.find(lease);
        if (it != Leases.end())
            it->second.LastUse = TClock::now();
        return keep;
    }

    // Sends the requested bytes of entry, each part as soon as it is
    // decoded. The size in the answer is the declared one while the entry
    // decodes; when the decoded bytes end short of it, the answer ends
    // there and the connection closes, as for any cut-off download.
    bool SendEntry(TEntry& entry, const TRequest& request, bool headOnly, GOutputStream* out) {
        const std::int64_t size = [&] {
            std::lock_guard guard(Lock);
            return entry.Size;
        }();
        std::int64_t first = 0, last = size - 1;
        const int range = request.Range.empty() ? 0 : ParseRange(request.Range, size, first, last);
        if (range < 0)
            return SendStatus(out, "416 Range Not Satisfiable", request.KeepAlive,
                              "Content-Range: bytes */" + std::to_string(size) + "\r\n") &&
                   request.KeepAlive;
        if (range == 0) {
            first = 0;
            last = size - 1;
        }
        const std::int64_t length = size == 0 ? 0 : last - first + 1;
        std::string head = std::string("HTTP/1.1 ") +
                           (range > 0 ? "206 Partial Content" : "200 OK") +
                           "\r\nContent-Type: " + MediaType(entry.Url) +
                           "\r\nContent-Length: " + std::to_string(length) +
                           "\r\nAccept-Ranges: bytes\r\nCache-Control: no-store\r\n";
        if (range > 0)
            head += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                    "/" + std::to_string(size) + "\r\n";
        if (!request.KeepAlive)
            head += "Connection: close\r\n";
        head += "\r\n";
        if (!Send(out, head.data(), head.size()))
            return false;
        if (headOnly)
            return request.KeepAlive;
        const std::int64_t end = first + length;
        for (std::int64_t at = first; at < end;) {
            std::int64_t decoded = 0;
            {
                std::unique_lock guard(Lock);
                Changed.wait(guard, [&] {
                    return Stopped || entry.Decoded > at || entry.State == TEntryState::esReady;
                });
                if (Stopped)
                    return false;
                decoded = entry.Decoded;
            }
            if (decoded <= at)
                return false;
            // Bytes below the decoded count never change, so they are sent
            // straight from the decoded chunks, without the lock.
            while (at < std::min(end, decoded)) {
                std::size_t n = 0;
                const std::uint8_t* bytes = entry.Bytes.Span(
                    at, std::min({end, decoded, at + static_cast<std::int64_t>(SendSize)}) - at, n);
                if (!Send(out, bytes, n))
                    return false;
                at += static_cast<std::int64_t>(n);
            }
        }
        return request.KeepAlive;
    }

    // One connection, on a thread of the service's pool.
    void Serve(GSocketConnection* connection) {
        GSocket* socket = g_socket_connection_get_socket(connection);
        // An idle keep-alive connection is closed after a minute; the player
        // opens a new one when it needs more.
        g_socket_set_timeout(socket, 60);
        GInputStream* in = g_io_stream_get_input_stream(G_IO_STREAM(connection));
        GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(connection));
        std::string pending;
        char buffer[4096];
        for (;;) {
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                if (pending.size() > MaxRequestHead)
                    return;
                const gssize n = g_input_stream_read(in, buffer, sizeof buffer, Cancel, nullptr);
                if (n <= 0)
                    return;
                pending.append(buffer, static_cast<std::size_t>(n));
            }
            TRequest request;
            const std::string head = pending.substr(0, end + 2);
            pending.erase(0, end + 4);
            if (!ParseHead(head, request)) {
                SendStatus(out, "400 Bad Request", false);
                return;
            }
            if (!Answer(request, out))
                return;
        }
    }
};

TMediaBridge::TMediaBridge(TMediaEntrySource source) : FState(std::make_shared<TState>()) {
    TState& s = *FState;
    s.Source = std::move(source);
    s.Context = g_main_context_ref_thread_default();
    s.Token = RandomToken();
    s.Cancel = g_cancellable_new();
    // Each connection holds a thread of the pool while it is open.
    s.Service = g_threaded_socket_service_new(static_cast<int>(ListeningPorts) * 8);
    TGObject<GInetAddress> loopback(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
    for (std::size_t i = 0; i < ListeningPorts; ++i) {
        TGObject<GSocketAddress> any(g_inet_socket_address_new(loopback.Ptr, 0));
        GSocketAddress* effective = nullptr;
        GError* error = nullptr;
        if (!g_socket_listener_add_address(G_SOCKET_LISTENER(s.Service), any.Ptr,
                                           G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr,
                                           &effective, &error)) {
            const std::string message = error != nullptr ? error->message : "unknown error";
            g_clear_error(&error);
            g_socket_listener_close(G_SOCKET_LISTENER(s.Service));
            g_object_unref(s.Service);
            g_object_unref(s.Cancel);
            g_main_context_unref(s.Context);
            throw Exception(u"The media endpoint cannot listen on the loopback address: " +
                            Utf8ToString(message));
        }
        const auto port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(effective));
        g_object_unref(effective);
        s.Hosts.push_back("127.0.0.1:" + std::to_string(port));
        s.Prefixes.push_back("http://" + s.Hosts.back() + "/" + s.Token + "/");
        if (i == 0)
            s.Port = port;
    }
    s.Host = s.Hosts.front();
    s.Prefix = s.Prefixes.front();

    // The handler holds the state through its own reference, so that a
    // connection still running while the bridge goes away touches live
    // memory only.
    g_signal_connect_data(
        s.Service, "run",
        G_CALLBACK(+[](GThreadedSocketService*, GSocketConnection* connection, GObject*,
                       gpointer data) -> gboolean {
            try {
                auto state = *static_cast<std::shared_ptr<TState>*>(data);
                {
                    std::lock_guard guard(state->Lock);
                    if (state->Stopped)
                        return TRUE;
                    state->Connections += 1;
                }
                try {
                    state->Serve(connection);
                } catch (...) {
                    // A failed request ends its connection; the player retries.
                }
                g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
                std::lock_guard guard(state->Lock);
                state->Connections -= 1;
                state->Changed.notify_all();
            } catch (...) {
            }
            return TRUE;
        }),
        new std::shared_ptr<TState>(FState),
        [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<TState>*>(data); },
        GConnectFlags(0));
    g_socket_service_start(s.Service);

    GSource* timer = g_timeout_source_new_seconds(2);
    g_source_set_callback(
        timer,
        [](gpointer data) -> gboolean {
            try {
                auto* state = static_cast<TState*>(data);
                std::lock_guard guard(state->Lock);
                state->SweepLocked();
            } catch (...) {
            }
            return G_SOURCE_CONTINUE;
        },
        FState.get(), nullptr);
    s.SweepTimer = g_source_attach(timer, s.Context);
    g_source_unref(timer);
}

TMediaBridge::~TMediaBridge() {
    TState& s = *FState;
    if (GSource* timer = g_main_context_find_source_by_id(s.Context, s.SweepTimer))
        g_source_destroy(timer);
    {
        std::lock_guard guard(s.Lock);
        s.Stopped = true;
        s.Changed.notify_all();
    }
    // The decoder stops at its next write.
    if (s.Decoder.joinable())
        s.Decoder.join();
    s.Source = {};
    g_cancellable_cancel(s.Cancel);
    g_socket_service_stop(s.Service);
    g_socket_listener_close(G_SOCKET_LISTENER(s.Service));
    {
        // Waiting requests wake up and reads and writes are cancelled, so
        // the connections end at once.
        std::unique_lock guard(s.Lock);
        s.Changed.wait_for(guard, std::chrono::seconds(10), [&] { return s.Connections == 0; });
        s.Entries.clear();
        s.Leases.clear();
    }
    g_object_unref(s.Service);
    g_object_unref(s.Cancel);
    g_main_context_unref(s.Context);
}

void TMediaBridge::Install(WebKitUserContentManager* manager) const {
    if (manager == nullptr || g_object_get_data(G_OBJECT(manager), InstalledKey) != nullptr)
        return;
    // No allow list: the script itself leaves every document that is not a
    // publication page, which also covers fvp: addresses written without
    // "//" that URL patterns cannot express.
    std::string prefixes;
    for (const auto& prefix : FState->Prefixes)
        prefixes += (prefixes.empty() ? "\"" : ",\"") + prefix + "\"";
    const std::string source = std::string(ScriptSource) + "([" + prefixes + "]);";
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(manager, script);
    webkit_user_script_unref(script);
    g_object_set_data(G_OBJECT(manager), InstalledKey, GINT_TO_POINTER(1));
}

const std::string& TMediaBridge::Prefix() const {
    return FState->Prefix;
}
std::uint16_t TMediaBridge::Port() const {
    return FState->Port;
}

std::size_t TMediaBridge::HeldEntries() const {
    std::lock_guard guard(FState->Lock);
    return FState->Entries.size();
}

std::uint64_t TMediaBridge::Decodings() const {
    std::lock_guard guard(FState->Lock);
    return FState->Decodings;
}

TMediaBridge& TMediaBridge::Start(TMediaEntrySource source) {
    std::unique_ptr<TMediaBridge>& bridge = GlobalBridge();
    if (!bridge)
        bridge = std::make_unique<TMediaBridge>(std::move(source));
    return *bridge;
}

void TMediaBridge::Stop() {
    GlobalBridge().reset();
}

TMediaBridge* TMediaBridge::Global() {
    return GlobalBridge().get();
}

void TMediaBridge::InstallInto(WebKitUserContentManager* manager) {
    if (TMediaBridge* bridge = Global())
        bridge->Install(manager);
}

TMediaEntrySource TMediaBridge::ArchiveSource(const Archive::TZipReader& zipFile) {
    auto* memory = dynamic_cast<TCustomMemoryStream*>(zipFile.Stream());
    if (memory == nullptr)
        throw Exception(u"The media endpoint reads the archive from memory only");
    // The decoding thread's own reader over the same read-only bytes, with
    // the content protocol's resolution of a URL to an entry name.
    struct TArchive {
        TReadOnlyMemoryStream Stream;
        Archive::TZipReader Zip;
        std::unique_ptr<Shared::TFvpResolver> Resolver;
        std::string Password;
        String Url, Name;

        TArchive(const std::uint8_t* data, std::int64_t size, std::string password)
            : Stream(data, size), Password(std::move(password)) {}

        // The entry name for url, or empty; the last answer is kept, since
        // the endpoint asks for the size and then for the bytes.
        String Resolve(const String& url) {
            if (!Resolver) {
                Zip.Password = Password;
                Zip.SetStream(&Stream);
                Resolver = std::make_unique<Shared::TFvpResolver>(Zip, [](const String&) {});
            }
            if (url != Url || Name.empty()) {
                const auto colon = url.find(u':');
                Name = Resolver->FindEntry(colon == String::npos ? url : url.substr(colon + 1));
                Url = url;
            }
            return Name;
        }
    };
    auto archive = std::make_shared<TArchive>(memory->Memory(), memory->Size(), zipFile.Password);
    TMediaEntrySource source;
    source.Find = [archive](const String& url) -> std::int64_t {
        const String name = archive->Resolve(url);
        const int index = name.empty() ? -1 : archive->Zip.FindFile(name);
        if (index < 0)
            return -1;
        const std::uint64_t size = archive->Zip.Entry(index).UncompressedSize;
        return static_cast<std::int64_t>(
            std::min<std::uint64_t>(size, std::numeric_limits<std::int64_t>::max()));
    };
    source.Extract = [archive](const String& url, TStream& out) {
        const String name = archive->Resolve(url);
        if (!name.empty())
            archive->Zip.ExtractToStream(name, out);
    };
    return source;
}

} // namespace Folivant::Platform
