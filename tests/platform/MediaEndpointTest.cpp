#include "platform/MediaEndpoint.h"

#include "base/Text.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace Folivant;
using namespace Folivant::Platform;

namespace {

using TClock = std::chrono::steady_clock;

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends text and gives everything that comes back until the endpoint closes
// (or 20 s pass).
std::string Exchange(std::uint16_t port, const std::string& text) {
    const int fd = Connect(port);
    if (fd < 0)
        return "no connection";
    std::string answer;
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
        const auto end = TClock::now() + std::chrono::seconds(20);
        char buffer[65536];
        for (pollfd p{fd, POLLIN, 0}; TClock::now() < end && ::poll(&p, 1, 100) >= 0;) {
            if (p.revents == 0)
                continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

std::string Body(const std::string& answer) {
    const auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string Path(const TMediaEndpoint& endpoint) {
    const std::string& prefix = endpoint.Prefix();
    return prefix.substr(prefix.find('/', 7));
}

// A request on a thread of its own.
class TAsyncRequest {
public:
    TAsyncRequest(const TMediaEndpoint& endpoint, const std::string& target,
                  const std::string& headers = "", const std::string& method = "GET")
        : FThread([this, port = endpoint.Port(),
                   text = method + " " + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(endpoint.Port()) +
                          "\r\n" + headers + "Connection: close\r\n\r\n"] {
              FAnswer = Exchange(port, text);
              FDone = true;
          }) {}
    ~TAsyncRequest() {
        if (FThread.joinable())
            FThread.join();
    }
    bool Done() const { return FDone; }
    const std::string& Answer() {
        if (FThread.joinable())
            FThread.join();
        return FAnswer;
    }

private:
    std::string FAnswer;
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

template <typename F> bool WaitUntil(F done, std::chrono::milliseconds limit) {
    const auto end = TClock::now() + limit;
    while (!done()) {
        if (TClock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    std::mt19937 random(seed);
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

// An entry source whose decoding the test paces: each entry gives its first
// bytes at once and the rest only when the test opens its gate.
class TPacedSource {
public:
    struct TEntry {
        std::string Bytes;     // what decoding delivers
        std::int64_t Declared; // the size the directory claims
        std::size_t Early;     // delivered before the gate
        bool Open = false;
    };

    explicit TPacedSource(std::map<std::string, TEntry> entries) : FEntries(std::move(entries)) {}

    TMediaEntrySource Source() {
        TMediaEntrySource source;
        source.Find = [this](const String& url) -> TMediaEntryInfo {
            const auto it = FEntries.find(StringToUtf8(url));
            if (it == FEntries.end())
                return {};
            return {url.substr(6), it->second.Declared};
        };
        source.Extract = [this](const String& url, TStream& out) {
            TEntry& e = FEntries.at(StringToUtf8(url));
            {
                std::lock_guard guard(FLock);
                FExtractions += 1;
            }
            out.Write(e.Bytes.data(), static_cast<std::int64_t>(e.Early));
            // Until the gate opens a byte trickles in now and then, as from a
            // slow decoder; a stopping endpoint ends it at such a write.
            std::size_t at = e.Early;
            for (;;) {
                {
                    std::lock_guard guard(FLock);
                    if (e.Open)
                        break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (at + 1 < e.Bytes.size()) {
                    out.Write(e.Bytes.data() + at, 1);
                    at += 1;
                }
            }
            out.Write(e.Bytes.data() + at, static_cast<std::int64_t>(e.Bytes.size() - at));
        };
        return source;
    }

    void OpenGate(const std::string& url) {
        std::lock_guard guard(FLock);
        FEntries.at(url).Open = true;
    }
    int Extractions() const {
        std::lock_guard guard(FLock);
        return FExtractions;
    }

private:
    std::map<std::string, TEntry> FEntries;
    mutable std::mutex FLock;
    int FExtractions = 0;
};

TEST(MediaEndpoint, RequestsAreAnsweredAsSoonAsTheirBytesAreDecoded) {
    const std::string slow = RandomBytes(300000, 3);
    const std::string cut = RandomBytes(150000, 4);
    TPacedSource paced({{"fvp://site/slow.wav", {slow, 300000, 100000}},
                        {"fvp://site/cut.wav", {cut, 200000, 150000}}});
    auto endpoint = std::make_unique<TMediaEndpoint>(paced.Source());
    const std::string path = Path(*endpoint);
    const std::string slowUrl = path + "m/P1/fvp%3A%2F%2Fsite%2Fslow.wav";

    // Bytes already decoded are served while the rest is not.
    std::string a = TAsyncRequest(*endpoint, slowUrl, "Range: bytes=1000-1999\r\n").Answer();
    EXPECT_EQ(a.rfind("HTTP/1.1 206 ", 0), 0u) << a.substr(0, 200);
    EXPECT_NE(a.find("Content-Range: bytes 1000-1999/300000\r\n"), std::string::npos);
    EXPECT_NE(a.find("Content-Type: audio/wav\r\n"), std::string::npos);
    EXPECT_EQ(Body(a), slow.substr(1000, 1000));
    a = TAsyncRequest(*endpoint, slowUrl, "", "HEAD").Answer();
    EXPECT_NE(a.find("Content-Length: 300000\r\n"), std::string::npos) << a;

    // A range past the decoded bytes waits, without holding up others.
    TAsyncRequest late(*endpoint, slowUrl, "Range: bytes=250000-250099\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(late.Done());
    a = TAsyncRequest(*endpoint, path + "m/P2/fvp%3A%2F%2Fsite%2Fslow.wav", "Range: bytes=0-9\r\n")
            .Answer();
    EXPECT_EQ(Body(a), slow.substr(0, 10));
    EXPECT_FALSE(late.Done());
    paced.OpenGate("fvp://site/slow.wav");
    a = late.Answer();
    EXPECT_EQ(a.rfind("HTTP/1.1 206 ", 0), 0u) << a.substr(0, 200);
    EXPECT_NE(a.find("Content-Range: bytes 250000-250099/300000\r\n"), std::string::npos);
    EXPECT_EQ(Body(a), slow.substr(250000, 100));
    EXPECT_EQ(Body(TAsyncRequest(*endpoint, slowUrl).Answer()), slow);
    EXPECT_EQ(paced.Extractions(), 1);

    // An entry that decodes short of its declared size: the answer given
    // meanwhile ends with the last decoded byte, later ones tell the true
    // size.
    const std::string cutUrl = path + "m/P3/fvp%3A%2F%2Fsite%2Fcut.wav";
    TAsyncRequest whole(*endpoint, cutUrl);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(whole.Done());
    paced.OpenGate("fvp://site/cut.wav");
    a = whole.Answer();
    EXPECT_NE(a.find("Content-Length: 200000\r\n"), std::string::npos) << a.substr(0, 200);
    EXPECT_EQ(Body(a), cut);
    a = TAsyncRequest(*endpoint, cutUrl).Answer();
    EXPECT_NE(a.find("Content-Length: 150000\r\n"), std::string::npos) << a.substr(0, 200);
    EXPECT_EQ(Body(a), cut);
    a = TAsyncRequest(*endpoint, cutUrl, "Range: bytes=160000-\r\n").Answer();
    EXPECT_EQ(a.rfind("HTTP/1.1 416 ", 0), 0u) << a.substr(0, 200);

    // Stopping the endpoint ends a request that waits for bytes and the
    // decoding that would deliver them.
    TPacedSource stuck({{"fvp://site/stuck.wav", {RandomBytes(100000, 5), 100000, 10}}});
    endpoint = std::make_unique<TMediaEndpoint>(stuck.Source());
    TAsyncRequest waiting(*endpoint, Path(*endpoint) + "m/S1/fvp%3A%2F%2Fsite%2Fstuck.wav",
                          "Range: bytes=90000-\r\n");
    EXPECT_TRUE(WaitUntil([&] { return stuck.Extractions() == 1; }, std::chrono::seconds(5)));
    const auto stopAt = TClock::now();
    endpoint.reset();
    EXPECT_LT(TClock::now() - stopAt, std::chrono::seconds(3));
    EXPECT_TRUE(WaitUntil([&] { return waiting.Done(); }, std::chrono::seconds(3)));
    EXPECT_EQ(Body(waiting.Answer()), "");
}

// Idle and slow connections hold the endpoint only within its limits:
// those past the cap are closed at once, the others when their head is not
// complete by the deadline, however slowly it trickles; then requests are
// served again.
TEST(MediaEndpoint, AFloodOfIdleAndSlowConnectionsIsBounded) {
    const std::string clip = RandomBytes(5000, 6);
    TPacedSource source({{"fvp://site/clip.webm", {clip, 5000, 5000, true}}});
    TMediaEndpointLimits limits;
    limits.Ports = 2;
    limits.MaxConnections = 16;
    limits.HeadDeadline = std::chrono::milliseconds(3000);
    TMediaEndpoint endpoint(source.Source(), limits);
    const std::uint16_t second = static_cast<std::uint16_t>(
        std::stoi(endpoint.Prefixes()[1].substr(endpoint.Prefixes()[1].rfind(':') + 1)));

    const auto start = TClock::now();
    std::vector<int> idle, slow;
    for (int i = 0; i < 250; ++i) {
        idle.push_back(Connect(i % 2 == 0 ? endpoint.Port() : second));
        slow.push_back(Connect(i % 2 == 0 ? second : endpoint.Port()));
    }
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        // One byte of a request head a connection, every 100 ms.
        const std::string head = "GET " + Path(endpoint) + "m/X/fvp%3A%2F%2Fsite%2Fclip.webm";
        for (std::size_t at = 0; !stop; at = (at + 1) % head.size()) {
            for (int fd : slow)
                if (fd >= 0)
                    ::send(fd, head.data() + at, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::vector<int> all = idle;
    all.insert(all.end(), slow.begin(), slow.end());
    std::vector<bool> closed(all.size(), false);
    auto countClosed = [&] {
        std::size_t n = 0;
        char buffer[256];
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (!closed[i] && all[i] >= 0) {
                const ssize_t got = ::recv(all[i], buffer, sizeof buffer, MSG_DONTWAIT);
                closed[i] = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            }
            n += closed[i] || all[i] < 0 ? 1 : 0;
        }
        return n;
    };
    // Past the cap: closed at once, long before the deadline.
    EXPECT_TRUE(WaitUntil([&] { return countClosed() >= all.size() - limits.MaxConnections; },
                          std::chrono::seconds(10)));
    EXPECT_LT(TClock::now() - start, limits.HeadDeadline);
    EXPECT_EQ(endpoint.OpenConnections(), limits.MaxConnections);
    EXPECT_GE(endpoint.RefusedConnections(), all.size() - limits.MaxConnections);
    // Within the cap: closed by the deadline, the slow ones too.
    EXPECT_TRUE(WaitUntil([&] { return countClosed() == all.size(); }, std::chrono::seconds(10)));
    EXPECT_GE(TClock::now() - start, limits.HeadDeadline);
    EXPECT_TRUE(
        WaitUntil([&] { return endpoint.OpenConnections() == 0; }, std::chrono::seconds(5)));
    stop = true;
    trickle.join();
    for (int fd : all)
        if (fd >= 0)
            ::close(fd);

    const std::string a =
        TAsyncRequest(endpoint, Path(endpoint) + "m/L1/fvp%3A%2F%2Fsite%2Fclip.webm",
                      "Range: bytes=100-199\r\n")
            .Answer();
    EXPECT_EQ(a.rfind("HTTP/1.1 206 ", 0), 0u) << a.substr(0, 200);
    EXPECT_EQ(Body(a), clip.substr(100, 100));
}

} // namespace
