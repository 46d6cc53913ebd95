#pragma once

// The head of an HTTP/1.x request as the media endpoint reads it, and the
// byte range a request asks for. Pure text rules, shared by the endpoint's
// connections and its tests.

#include <cstdint>
#include <string>
#include <string_view>

namespace Folivant::Platform {

struct THttpRequest {
    std::string Method, Target, Host, Range;
    // HTTP/1.1 keeps the connection unless "Connection: close"; HTTP/1.0
    // closes it unless "Connection: keep-alive".
    bool KeepAlive = true;
};

// Parses a request head: the request line and the header lines, each ended
// by CRLF, without the blank line that ends the head. False for anything
// that is not a plain HTTP/1.0 or HTTP/1.1 request line. Header lines
// without a colon are skipped; of a repeated header the last one counts.
bool ParseHttpHead(std::string_view head, THttpRequest& request);

// What a Range header asks of an entry of size bytes: the whole entry (no
// header, another unit than bytes, several ranges, or a malformed one), one
// part First..Last (inclusive, within the entry), or nothing that can be
// met (416).
enum class TRangeKind { rkWhole, rkPart, rkUnsatisfiable };

struct TByteRange {
    TRangeKind Kind = TRangeKind::rkWhole;
    std::int64_t First = 0;
    std::int64_t Last = -1;
};

TByteRange ParseByteRange(std::string_view header, std::int64_t size);

// Percent-decoding of one path segment; false for a malformed escape.
bool PercentDecodeSegment(std::string_view text, std::string& out);

// The audio or video type of an entry name by its extension (ignoring case),
// or nullptr for every other kind of entry: the endpoint serves nothing else.
const char* MediaTypeOfName(std::string_view name);

} // namespace Folivant::Platform
