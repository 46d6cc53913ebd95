#include "platform/MediaEndpoint.h"

#include "base/PosixFiles.h"
#include "base/Text.h"
#include "platform/HttpHead.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

namespace Folivant::Platform {

namespace {

using TClock = std::chrono::steady_clock;

constexpr std::size_t MaxRequestHead = 16 * 1024;
constexpr std::size_t SendSize = 256 * 1024;
// How often the accepting thread frees what nobody uses any more.
constexpr int SweepEveryMs = 1000;

std::string RandomToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Exception(u"No random bytes for the media endpoint");
        got += static_cast<std::size_t>(n);
    }
    std::string token;
    for (unsigned char b : bytes) {
        token.push_back(LowerHexDigits[b >> 4]);
        token.push_back(LowerHexDigits[b & 15]);
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

// Waits until fd is ready for events (or hung up, which the next read or
// write reports); false when the deadline passes first or poll fails.
bool WaitFd(int fd, short events, TClock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        pollfd p{fd, events, 0};
        const int r =
            ::poll(&p, 1, left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

struct TMediaEndpoint::TImpl {
    struct TConnection {
        TFd Fd;
        std::thread Thread;
        bool Done = false;
    };

    const TMediaEndpointLimits Limits;
    TMediaCache Cache;
    const std::string Token = RandomToken();
    // Every listening port's "127.0.0.1:port" and address prefix.
    std::vector<std::string> Hosts, Prefixes;
    std::vector<TFd> Listeners;
    TFd WakeRead, WakeWrite;
    std::thread Acceptor;

    mutable std::mutex Lock;
    bool Stopping = false;
    // Each connection's thread refers to its element; list elements stay
    // where they are, also when finished ones move out to be joined.
    std::list<TConnection> Connections;
    std::size_t Open = 0;
    std::uint64_t Refused = 0;

    TImpl(TMediaEntrySource source, TMediaEndpointLimits limits)
        : Limits(limits), Cache(std::move(source)) {}

    // Ends every connection and joins every thread; the cache's readers are
    // gone before the cache is.
    ~TImpl() {
        {
            std::lock_guard guard(Lock);
            Stopping = true;
        }
        Wake();
        if (Acceptor.joinable())
            Acceptor.join();
        {
            // A shut-down socket wakes its thread's poll, read or write.
            std::lock_guard guard(Lock);
            for (TConnection& c : Connections)
                if (!c.Done)
                    ::shutdown(c.Fd.Get(), SHUT_RDWR);
        }
        Cache.Stop();
        // Only the accepting thread adds connections, and it has ended.
        for (TConnection& c : Connections)
            c.Thread.join();
        Connections.clear();
    }

    [[noreturn]] static void Fail(const char* what) {
        throw Exception(u"The media endpoint cannot listen on the loopback address: " +
                        Utf8ToString(std::string(what) + ": " + std::strerror(errno)));
    }

    void Listen() {
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
            Fail("pipe");
        WakeRead.Reset(wake[0]);
        WakeWrite.Reset(wake[1]);
        for (std::size_t i = 0; i < std::max<std::size_t>(1, Limits.Ports); ++i) {
            TFd& listener = Listeners.emplace_back(
                ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (!listener.Valid())
                Fail("socket");
            const int fd = listener.Get();
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                Fail("bind");
            if (::listen(fd, SOMAXCONN) != 0)
                Fail("listen");
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
                Fail("getsockname");
            Hosts.push_back("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
            Prefixes.push_back("http://" + Hosts.back() + "/" + Token + "/");
        }
        Acceptor = std::thread([this] { AcceptLoop(); });
    }

    void Wake() {
        if (WakeWrite.Valid()) {
            const char byte = 0;
            WriteFull(WakeWrite.Get(), &byte, 1);
        }
    }

    void AcceptLoop() {
        std::vector<pollfd> polled;
        for (const TFd& listener : Listeners)
            polled.push_back({listener.Get(), POLLIN, 0});
        polled.push_back({WakeRead.Get(), POLLIN, 0});
        for (;;) {
            for (pollfd& p : polled)
                p.revents = 0;
            const int ready = ::poll(polled.data(), polled.size(), SweepEveryMs);
            {
                std::lock_guard guard(Lock);
                if (Stopping)
                    return;
            }
            JoinFinished();
            Cache.Sweep();
            if (ready <= 0)
                continue;
            for (std::size_t i = 0; i + 1 < polled.size(); ++i)
                if (polled[i].revents != 0)
                    AcceptAll(polled[i].fd);
        }
    }

    void JoinFinished() {
        std::list<TConnection> finished;
        {
            std::lock_guard guard(Lock);
            for (auto it = Connections.begin(); it != Connections.end();) {
                const auto next = std::next(it);
                if (it->Done)
                    finished.splice(finished.end(), Connections, it);
                it = next;
            }
        }
        for (TConnection& c : finished)
            c.Thread.join();
    }

    // Takes every waiting connection: within the cap each gets a thread,
    // past it each is closed at once, before anything of it is read.
    void AcceptAll(int listener) {
        for (;;) {
            TFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd.Valid()) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    // Out of descriptors: let connections end before trying again.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return;
            }
            std::lock_guard guard(Lock);
            if (Open >= Limits.MaxConnections) {
                Refused += 1;
                continue;
            }
            TConnection& c = Connections.emplace_back();
            c.Fd = std::move(fd);
            try {
                c.Thread = std::thread(
                    [this, &c, fd = c.Fd.Get(), start = TClock::now()] { Run(c, fd, start); });
            } catch (...) {
                Connections.pop_back();
                Refused += 1;
                continue;
            }
            Open += 1;
        }
    }

    void Run(TConnection& connection, int fd, TClock::time_point start) {
        try {
            Serve(fd, start);
        } catch (...) {
            // A failed request ends its connection; the player retries.
        }
        std::lock_guard guard(Lock);
        connection.Fd.Reset();
        connection.Done = true;
        Open -= 1;
    }

    // One connection: requests one after another until either side ends it.
    void Serve(int fd, TClock::time_point start) {
        std::string pending;
        char buffer[4096];
        TClock::time_point headBy = start + Limits.HeadDeadline;
        for (;;) {
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                if (pending.size() > MaxRequestHead || !WaitFd(fd, POLLIN, headBy))
                    return;
                const ssize_t n = ReadRetrying(fd, buffer, sizeof buffer);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    continue;
                if (n <= 0)
                    return;
                pending.append(buffer, static_cast<std::size_t>(n));
            }
            THttpRequest request;
            const bool parsed =
                ParseHttpHead(std::string_view(pending).substr(0, end + 2), request);
            pending.erase(0, end + 4);
            if (!parsed) {
                SendStatus(fd, "400 Bad Request", false);
                return;
            }
            if (!Answer(request, fd))
                return;
            // A kept-alive connection may idle until its next request, whose
            // head then has the short deadline from its first byte.
            if (pending.empty() && !WaitFd(fd, POLLIN, TClock::now() + Limits.IdleTimeout))
                return;
            headBy = TClock::now() + Limits.HeadDeadline;
        }
    }

    bool Send(int fd, const void* data, std::size_t size) {
        const auto* at = static_cast<const char*>(data);
        for (;;) {
            const std::size_t sent = SendFull(fd, at, size);
            at += sent;
            size -= sent;
            if (size == 0)
                return true;
            // The socket does not block: a full buffer waits for room.
            if ((errno != EAGAIN && errno != EWOULDBLOCK) ||
                !WaitFd(fd, POLLOUT, TClock::now() + Limits.IdleTimeout))
                return false;
        }
    }

    bool SendStatus(int fd, const char* status, bool keepAlive, const std::string& extra = {}) {
        const std::string head = std::string("HTTP/1.1 ") + status +
                                 "\r\nContent-Length: 0\r\nCache-Control: no-store\r\n" + extra +
                                 (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
        return Send(fd, head.data(), head.size());
    }

    // Answers one request; false when the connection must close.
    bool Answer(const THttpRequest& request, int fd) {
        const bool headOnly = request.Method == "HEAD";
        const bool keep = request.KeepAlive;
        if ((request.Method != "GET" && !headOnly) ||
            std::find(Hosts.begin(), Hosts.end(), request.Host) == Hosts.end()) {
            SendStatus(fd, "404 Not Found", false);
            return false;
        }
        // "/<token>/m/<lease>/<encoded fvp url>" or "/<token>/r/<lease>".
        const std::string& target = request.Target;
        if (target.size() < Token.size() + 2 || target[0] != '/' ||
            !SameSecret(target.substr(1, Token.size()), Token) || target[Token.size() + 1] != '/') {
            SendStatus(fd, "404 Not Found", false);
            return false;
        }
        const std::string rest = target.substr(Token.size() + 2);
        if (rest.rfind("r/", 0) == 0) {
            Cache.Release(rest.substr(2));
            return SendStatus(fd, "204 No Content", keep) && keep;
        }
        const auto slash = rest.find('/', 2);
        std::string url;
        if (rest.rfind("m/", 0) != 0 || slash == std::string::npos || slash == 2 ||
            !PercentDecodeSegment(std::string_view(rest).substr(slash + 1), url) ||
            !SameTextAscii(std::string_view(url).substr(0, 4), "fvp:")) {
            SendStatus(fd, "404 Not Found", false);
            return false;
        }
        TMediaCache::TReader reader = Cache.Open(rest.substr(2, slash - 2), url);
        switch (reader.WaitFound()) {
        case TMediaCache::TFound::fnStopped:
            return false;
        case TMediaCache::TFound::fnMissing:
            return SendStatus(fd, "404 Not Found", keep) && keep;
        case TMediaCache::TFound::fnFound:
            break;
        }
        return SendEntry(reader, request, headOnly, fd);
    }

    // Sends the requested bytes of an entry, each part as soon as it is
    // decoded. The size in the answer is the declared one while the entry
    // decodes; when the decoded bytes end short of it, the answer ends there
    // and the connection closes, as for any cut-off download.
    bool SendEntry(TMediaCache::TReader& reader, const THttpRequest& request, bool headOnly,
                   int fd) {
        const std::int64_t size = reader.Size();
        const TByteRange range = request.Range.empty()
                                     ? TByteRange{TRangeKind::rkWhole, 0, size - 1}
                                     : ParseByteRange(request.Range, size);
        if (range.Kind == TRangeKind::rkUnsatisfiable)
            return SendStatus(fd, "416 Range Not Satisfiable", request.KeepAlive,
                              "Content-Range: bytes */" + std::to_string(size) + "\r\n") &&
                   request.KeepAlive;
        const bool part = range.Kind == TRangeKind::rkPart;
        const std::int64_t first = part ? range.First : 0;
        const std::int64_t length = size == 0 ? 0 : (part ? range.Last : size - 1) - first + 1;
        std::string head = std::string("HTTP/1.1 ") + (part ? "206 Partial Content" : "200 OK") +
                           "\r\nContent-Type: " + reader.Type() +
                           "\r\nContent-Length: " + std::to_string(length) +
                           "\r\nAccept-Ranges: bytes\r\nCache-Control: no-store\r\n";
        if (part)
            head += "Content-Range: bytes " + std::to_string(first) + "-" +
                    std::to_string(range.Last) + "/" + std::to_string(size) + "\r\n";
        if (!request.KeepAlive)
            head += "Connection: close\r\n";
        head += "\r\n";
        if (!Send(fd, head.data(), head.size()))
            return false;
        if (headOnly)
            return request.KeepAlive;
        const std::int64_t end = first + length;
        for (std::int64_t at = first; at < end;) {
            const std::int64_t decoded = reader.WaitDecoded(at);
            if (decoded <= at)
                return false;
            // Bytes below the decoded count never change, so they are sent
            // straight from the decoded chunks, without the lock.
            while (at < std::min(end, decoded)) {
                std::size_t n = 0;
                const std::uint8_t* bytes = reader.Span(
                    at, std::min({end, decoded, at + static_cast<std::int64_t>(SendSize)}) - at, n);
                if (!Send(fd, bytes, n))
                    return false;
                at += static_cast<std::int64_t>(n);
            }
        }
        return request.KeepAlive;
    }
};

TMediaEndpoint::TMediaEndpoint(TMediaEntrySource source, TMediaEndpointLimits limits)
    : F(std::make_unique<TImpl>(std::move(source), limits)) {
    F->Listen();
}

TMediaEndpoint::~TMediaEndpoint() = default;

const std::vector<std::string>& TMediaEndpoint::Prefixes() const {
    return F->Prefixes;
}

const std::string& TMediaEndpoint::Prefix() const {
    return F->Prefixes.front();
}

std::uint16_t TMediaEndpoint::Port() const {
    const std::string& host = F->Hosts.front();
    return static_cast<std::uint16_t>(std::stoi(host.substr(host.find(':') + 1)));
}

std::size_t TMediaEndpoint::HeldEntries() const {
    return F->Cache.HeldEntries();
}

std::uint64_t TMediaEndpoint::Decodings() const {
    return F->Cache.Decodings();
}

std::size_t TMediaEndpoint::OpenConnections() const {
    std::lock_guard guard(F->Lock);
    return F->Open;
}

std::uint64_t TMediaEndpoint::RefusedConnections() const {
    std::lock_guard guard(F->Lock);
    return F->Refused;
}

} // namespace Folivant::Platform
