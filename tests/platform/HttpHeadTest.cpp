#include "platform/HttpHead.h"

#include <gtest/gtest.h>

#include <string>

using namespace Folivant::Platform;

namespace {

TEST(HttpHead, RequestHeads) {
    struct TCase {
        const char* Head;
        bool Ok;
        const char* Method;
        const char* Target;
        const char* Host;
        const char* Range;
        bool KeepAlive;
    };
    const TCase cases[] = {
        {"GET /a/b HTTP/1.1\r\nHost: 127.0.0.1:8\r\nRange: bytes=1-2\r\n", true, "GET", "/a/b",
         "127.0.0.1:8", "bytes=1-2", true},
        // Names ignore case, values lose surrounding blanks, the last wins.
        {"HEAD /x HTTP/1.1\r\nhOsT:\t a \r\nHOST: b\r\nrange:bytes=-5 \r\n", true, "HEAD", "/x",
         "b", "bytes=-5", true},
        {"GET /x HTTP/1.1\r\nConnection: Close\r\n", true, "GET", "/x", "", "", false},
        {"GET /x HTTP/1.0\r\n", true, "GET", "/x", "", "", false},
        {"GET /x HTTP/1.0\r\nConnection: keep-alive\r\n", true, "GET", "/x", "", "", true},
        // Lines without a colon are skipped; a target may hold spaces.
        {"GET /a b HTTP/1.1\r\nnonsense\r\nHost: h\r\n", true, "GET", "/a b", "h", "", true},
        {"GET /x HTTP/1.1", true, "GET", "/x", "", "", true},
        {"garbage\r\n", false, "", "", "", "", true},
        {"GET /x\r\n", false, "", "", "", "", true},
        {"GET /x HTTP/2.0\r\n", false, "", "", "", "", true},
        {"", false, "", "", "", "", true},
        {" HTTP/1.1\r\n", false, "", "", "", "", true},
    };
    for (const TCase& c : cases) {
        THttpRequest request;
        request.Host = "stale";
        ASSERT_EQ(ParseHttpHead(c.Head, request), c.Ok) << c.Head;
        if (!c.Ok)
            continue;
        EXPECT_EQ(request.Method, c.Method) << c.Head;
        EXPECT_EQ(request.Target, c.Target) << c.Head;
        EXPECT_EQ(request.Host, c.Host) << c.Head;
        EXPECT_EQ(request.Range, c.Range) << c.Head;
        EXPECT_EQ(request.KeepAlive, c.KeepAlive) << c.Head;
    }
}

TEST(HttpHead, ByteRanges) {
    constexpr auto Whole = TRangeKind::rkWhole;
    constexpr auto Part = TRangeKind::rkPart;
    constexpr auto None = TRangeKind::rkUnsatisfiable;
    struct TCase {
        const char* Header;
        std::int64_t Size;
        TRangeKind Kind;
        std::int64_t First, Last;
    };
    const TCase cases[] = {
        {"bytes=10-19", 100, Part, 10, 19},
        {"bytes=90-200", 100, Part, 90, 99},
        {"bytes=5-", 100, Part, 5, 99},
        {"bytes=-5", 100, Part, 95, 99},
        {"bytes=-500", 100, Part, 0, 99},
        {"bytes=99-99", 100, Part, 99, 99},
        {"bytes=100-", 100, None, 0, -1},
        {"bytes=-0", 100, None, 0, -1},
        {"bytes=0-", 0, None, 0, -1},
        {"bytes=-3", 0, None, 0, -1},
        // Anything else is served whole.
        {"bytes=20-10", 100, Whole, 0, 99},
        {"bytes=1-2,4-5", 100, Whole, 0, 99},
        {"items=1-2", 100, Whole, 0, 99},
        {"bytes=a-b", 100, Whole, 0, 99},
        {"bytes=+1-2", 100, Whole, 0, 99},
        {"bytes=", 100, Whole, 0, 99},
        {"bytes=5", 100, Whole, 0, 99},
        {"bytes=1234567890123456789-", 100, Whole, 0, 99},
        {"bytes=999999999999999999-", 100, None, 0, -1},
    };
    for (const TCase& c : cases) {
        const TByteRange r = ParseByteRange(c.Header, c.Size);
        EXPECT_EQ(r.Kind, c.Kind) << c.Header;
        if (r.Kind == c.Kind && c.Kind == Part) {
            EXPECT_EQ(r.First, c.First) << c.Header;
            EXPECT_EQ(r.Last, c.Last) << c.Header;
        }
    }
}

TEST(HttpHead, PercentDecodingAndMediaTypes) {
    std::string out;
    EXPECT_TRUE(PercentDecodeSegment("fvp%3A%2F%2Fa%20b%2a", out));
    EXPECT_EQ(out, "fvp://a b*");
    for (const char* bad : {"%", "%4", "a%G1", "%%41"})
        EXPECT_FALSE(PercentDecodeSegment(bad, out)) << bad;

    const std::pair<const char*, const char*> types[] = {
        {"site/a.mp3", "audio/mpeg"},
        {"site/V.WebM", "video/webm"},
        {"a.b/c.wav", "audio/wav"},
        {"clip.mp4", "video/mp4"},
        // Settings, pages, scripts and everything else are not media.
        {"fv-config", nullptr},
        {"site/index.html", nullptr},
        {"site/app.js", nullptr},
        {"site/a.mp3.html", nullptr},
        {"site.mp3/readme", nullptr},
        {"site/noext", nullptr},
        {"site/.mp3x", nullptr},
    };
    for (const auto& [name, type] : types) {
        const char* got = MediaTypeOfName(name);
        EXPECT_EQ(got == nullptr ? std::string("-") : got, type == nullptr ? "-" : type) << name;
    }
}

} // namespace
