#include "platform/HttpHead.h"

#include "base/Text.h"

#include <algorithm>
#include <array>
#include <utility>

namespace Folivant::Platform {

namespace {

std::string UpperAscii(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return AsciiUpperCase(c); });
    return out;
}

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A decimal of at most 18 digits (so it fits without overflow).
bool Number(std::string_view s, std::int64_t& value) {
    if (s.empty() || s.size() > 18)
        return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

} // namespace

bool ParseHttpHead(std::string_view head, THttpRequest& request) {
    request = THttpRequest{};
    std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const auto sp1 = line.find(' ');
    const auto sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1)
        return false;
    const std::string_view version = line.substr(sp2 + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return false;
    request.Method = line.substr(0, sp1);
    request.Target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    request.KeepAlive = version == "HTTP/1.1";
    while (lineEnd != std::string_view::npos && lineEnd + 2 < head.size()) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string_view header = head.substr(
            start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        const auto colon = header.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = header.substr(0, colon);
        const std::string_view value = Trim(header.substr(colon + 1));
        if (SameTextAscii(name, "host")) {
            request.Host = value;
        } else if (SameTextAscii(name, "range")) {
            request.Range = value;
        } else if (SameTextAscii(name, "connection")) {
            const std::string v = UpperAscii(value);
            request.KeepAlive = v.find("CLOSE") == std::string::npos &&
                                (request.KeepAlive || v.find("KEEP-ALIVE") != std::string::npos);
        }
    }
    return true;
}

TByteRange ParseByteRange(std::string_view header, std::int64_t size) {
    const TByteRange whole{TRangeKind::rkWhole, 0, size - 1};
    const TByteRange unsatisfiable{TRangeKind::rkUnsatisfiable, 0, -1};
    if (header.substr(0, 6) != "bytes=" || header.find(',') != std::string_view::npos)
        return whole;
    const std::string_view spec = header.substr(6);
    const auto dash = spec.find('-');
    if (dash == std::string_view::npos)
        return whole;
    const std::string_view a = spec.substr(0, dash);
    const std::string_view b = spec.substr(dash + 1);
    std::int64_t x = 0, y = 0;
    if (a.empty()) {
        // The last y bytes.
        if (!Number(b, y))
            return whole;
        if (y == 0 || size <= 0)
            return unsatisfiable;
        return {TRangeKind::rkPart, std::max<std::int64_t>(0, size - y), size - 1};
    }
    if (!Number(a, x))
        return whole;
    if (x >= size)
        return unsatisfiable;
    if (b.empty())
        return {TRangeKind::rkPart, x, size - 1};
    if (!Number(b, y) || y < x)
        return whole;
    return {TRangeKind::rkPart, x, std::min(y, size - 1)};
}

bool PercentDecodeSegment(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int hi = HexDigitValue(static_cast<unsigned char>(text[i + 1]));
        const int lo = HexDigitValue(static_cast<unsigned char>(text[i + 2]));
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

const char* MediaTypeOfName(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, const char*>, 24> types = {{
        {"3gp", "video/3gpp"},      {"aac", "audio/aac"},        {"aif", "audio/aiff"},
        {"aiff", "audio/aiff"},     {"avi", "video/x-msvideo"},  {"flac", "audio/flac"},
        {"m4a", "audio/mp4"},       {"m4v", "video/mp4"},        {"mid", "audio/midi"},
        {"midi", "audio/midi"},     {"mka", "audio/x-matroska"}, {"mkv", "video/x-matroska"},
        {"mov", "video/quicktime"}, {"mp3", "audio/mpeg"},       {"mp4", "video/mp4"},
        {"mpeg", "video/mpeg"},     {"mpg", "video/mpeg"},       {"oga", "audio/ogg"},
        {"ogg", "audio/ogg"},       {"ogv", "video/ogg"},        {"opus", "audio/ogg"},
        {"wav", "audio/wav"},       {"weba", "audio/webm"},      {"webm", "video/webm"},
    }};
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos)
        return nullptr;
    const std::string_view extension = name.substr(dot + 1);
    for (const auto& [ext, type] : types)
        if (SameTextAscii(ext, extension))
            return type;
    return nullptr;
}

} // namespace Folivant::Platform
