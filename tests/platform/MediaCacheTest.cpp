#include "platform/MediaCache.h"

#include "base/Text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace Folivant;
using namespace Folivant::Platform;

namespace {

// An archive of entries by URL: the name each URL resolves to and its bytes,
// written in small pieces as a decoder writes them.
TMediaEntrySource Entries(std::map<std::string, std::pair<std::string, std::string>> entries) {
    auto shared = std::make_shared<decltype(entries)>(std::move(entries));
    TMediaEntrySource source;
    source.Find = [shared](const String& url) -> TMediaEntryInfo {
        const auto it = shared->find(StringToUtf8(url));
        if (it == shared->end())
            return {};
        return {Utf8ToString(it->second.first),
                static_cast<std::int64_t>(it->second.second.size())};
    };
    source.Extract = [shared](const String& url, TStream& out) {
        const std::string& bytes = shared->at(StringToUtf8(url)).second;
        for (std::size_t at = 0; at < bytes.size(); at += 65536)
            out.Write(bytes.data() + at,
                      static_cast<std::int64_t>(std::min<std::size_t>(65536, bytes.size() - at)));
    };
    return source;
}

template <typename F> bool WaitUntil(F done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(MediaCache, OnlyAudioAndVideoEntriesAreServed) {
    TMediaCache cache(Entries({{"fvp://p/fv-config", {"fv-config", "[Folivant]"}},
                               {"fvp://p/", {"site/index.html", "<p>"}},
                               {"fvp://p/app.js", {"site/app.js", "x()"}},
                               {"fvp://p/song", {"site/song.MP3", "ID3"}},
                               {"fvp://p/clip.webm", {"site/clip.webm", "webm"}}}));
    const std::pair<const char*, const char*> cases[] = {
        {"fvp://p/fv-config", nullptr}, {"fvp://p/", nullptr},
        {"fvp://p/app.js", nullptr},    {"fvp://p/none.mp3", nullptr},
        {"fvp://p/song", "audio/mpeg"}, {"fvp://p/clip.webm", "video/webm"},
    };
    int lease = 0;
    for (const auto& [url, type] : cases) {
        TMediaCache::TReader reader = cache.Open("L" + std::to_string(++lease), url);
        if (type == nullptr) {
            EXPECT_EQ(reader.WaitFound(), TMediaCache::TFound::fnMissing) << url;
        } else {
            ASSERT_EQ(reader.WaitFound(), TMediaCache::TFound::fnFound) << url;
            EXPECT_STREQ(reader.Type(), type) << url;
        }
    }
}

// Several readers read one entry while it decodes; it is decoded once, and
// freed when the last lease and reader are gone.
TEST(MediaCache, ReadersShareOneDecodingWhileItRuns) {
    std::string bytes(3 * 1024 * 1024 + 12345, '\0');
    std::mt19937 random(11);
    for (char& c : bytes)
        c = static_cast<char>(random());
    TMediaCache cache(Entries({{"fvp://p/big.webm", {"p/big.webm", bytes}}}),
                      std::chrono::milliseconds(0));
    std::vector<std::string> read(6);
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < read.size(); ++i)
        readers.emplace_back([&, i] {
            TMediaCache::TReader reader = cache.Open("L" + std::to_string(i), "fvp://p/big.webm");
            if (reader.WaitFound() != TMediaCache::TFound::fnFound)
                return;
            for (std::int64_t at = static_cast<std::int64_t>(i) * 1000;;) {
                const std::int64_t decoded = reader.WaitDecoded(at);
                if (decoded <= at)
                    break;
                std::size_t n = 0;
                const std::uint8_t* span = reader.Span(at, decoded - at, n);
                read[i].append(reinterpret_cast<const char*>(span), n);
                at += static_cast<std::int64_t>(n);
            }
        });
    for (std::thread& t : readers)
        t.join();
    for (std::size_t i = 0; i < read.size(); ++i)
        EXPECT_TRUE(read[i] == bytes.substr(i * 1000)) << "reader " << i;
    EXPECT_EQ(cache.Decodings(), 1u);
    EXPECT_EQ(cache.HeldEntries(), 1u);
    for (std::size_t i = 0; i < read.size(); ++i)
        cache.Release("L" + std::to_string(i));
    EXPECT_TRUE(WaitUntil(
        [&] {
            cache.Sweep();
            return cache.HeldEntries() == 0;
        },
        std::chrono::seconds(5)));
}

} // namespace
