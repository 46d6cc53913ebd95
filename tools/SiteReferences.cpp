#include "tools/SiteReferences.h"

#include "base/Text.h"
#include "shared/FvpScheme.h"

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace Folivant::Tools {

namespace {

bool IsAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (LowerAscii(text[i]) != prefix[i])
            return false;
    return true;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Percent-encodes what the engine encodes in a URL's path and host: controls,
// space, the characters " < > ` { } and every byte beyond ASCII.
std::string EncodePath(std::string_view text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>`{}", c) != nullptr) {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

// A reference as the URL parser takes it: leading and trailing controls and
// spaces dropped, tabs and line breaks removed.
std::string CleanReference(std::string_view text) {
    std::size_t from = 0, to = text.size();
    while (from < to && static_cast<unsigned char>(text[from]) <= 0x20)
        ++from;
    while (to > from && static_cast<unsigned char>(text[to - 1]) <= 0x20)
        --to;
    std::string out;
    for (std::size_t i = from; i < to; ++i)
        if (text[i] != '\t' && text[i] != '\n' && text[i] != '\r')
            out += text[i];
    return out;
}

// The scheme of a URL in lower case, or "" for a relative reference.
std::string SchemeOf(std::string_view url) {
    if (url.empty() || !IsAsciiAlpha(url[0]))
        return {};
    for (std::size_t i = 1; i < url.size(); ++i) {
        const char c = url[i];
        if (c == ':') {
            std::string scheme(url.substr(0, i));
            std::transform(scheme.begin(), scheme.end(), scheme.begin(), LowerAscii);
            return scheme;
        }
        if (!IsAsciiAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
            return {};
    }
    return {};
}

struct TUrlParts {
    bool HasAuthority = false;
    std::string Authority;
    std::string Path;
    std::optional<std::string> Query;
};

// Splits what follows the scheme (or a whole relative reference); the
// fragment is dropped.
TUrlParts SplitUrl(std::string_view rest) {
    TUrlParts parts;
    rest = rest.substr(0, rest.find('#'));
    if (rest.starts_with("//")) {
        parts.HasAuthority = true;
        const std::size_t end = std::min(rest.find_first_of("/?", 2), rest.size());
        parts.Authority = rest.substr(2, end - 2);
        rest.remove_prefix(end);
    }
    const std::size_t q = rest.find('?');
    parts.Path = rest.substr(0, q);
    if (q != std::string_view::npos)
        parts.Query = std::string(rest.substr(q + 1));
    return parts;
}

bool IsDotSegment(std::string_view s, bool twoDots) {
    std::string lower(s);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return twoDots ? (lower == ".." || lower == ".%2e" || lower == "%2e." || lower == "%2e%2e")
                   : (lower == "." || lower == "%2e");
}

// "." and ".." segments applied; ".." never climbs above the path's root.
std::string RemoveDotSegments(std::string_view path) {
    const bool absolute = path.starts_with('/');
    if (absolute)
        path.remove_prefix(1);
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view segment = path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        const bool last = slash == std::string_view::npos;
        if (IsDotSegment(segment, true)) {
            if (!out.empty())
                out.pop_back();
            if (last)
                out.emplace_back();
        } else if (IsDotSegment(segment, false)) {
            if (last)
                out.emplace_back();
        } else {
            out.emplace_back(segment);
        }
        if (last)
            break;
        start = slash + 1;
    }
    std::string joined = absolute ? "/" : "";
    for (std::size_t i = 0; i < out.size(); ++i)
        joined += (i > 0 ? "/" : "") + out[i];
    return joined;
}

// The CSS scanner: url(...) and @import "..." with their lines. Comments
// are skipped, escapes decoded.
class TCssScanner {
public:
    TCssScanner(std::string_view css, int firstLine, TPageReferences& out)
        : FCss(css), FLine(firstLine), FOut(out) {}

    void Run() {
        bool import = false;
        std::size_t i = 0;
        while (i < FCss.size()) {
            const char c = FCss[i];
            if (c == '/' && i + 1 < FCss.size() && FCss[i + 1] == '*') {
                const std::size_t end = FCss.find("*/", i + 2);
                i = end == std::string_view::npos ? FCss.size() : end + 2;
            } else if (c == '"' || c == '\'') {
                const std::size_t start = i;
                std::string value;
                i = ReadString(i, value);
                if (import)
                    Add(value, start);
                import = false;
            } else if (c == '\\') {
                i += 2; // an escaped character of an identifier
            } else if (StartsWithNoCase(FCss.substr(i), "url(") &&
                       (i == 0 || !IsNameChar(FCss[i - 1]))) {
                i = ReadUrl(i);
                import = false;
            } else if (StartsWithNoCase(FCss.substr(i), "@import")) {
                import = true;
                i += 7;
            } else {
                if (c == ';' || c == '{' || c == '}')
                    import = false;
                ++i;
            }
        }
    }

private:
    static bool IsNameChar(char c) {
        return IsAsciiAlpha(c) || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               static_cast<unsigned char>(c) >= 0x80;
    }
    static std::uint32_t HexValue(char c) {
        return c <= '9' ? static_cast<std::uint32_t>(c - '0')
                        : static_cast<std::uint32_t>(LowerAscii(c) - 'a' + 10);
    }
    static bool IsHex(char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    int LineAt(std::size_t at) {
        for (; FCounted < at && FCounted < FCss.size(); ++FCounted)
            if (FCss[FCounted] == '\n')
                ++FLine;
        return FLine;
    }

    void Add(const std::string& text, std::size_t at) {
        TReference ref;
        ref.Text = text;
        ref.Line = LineAt(at);
        FOut.References.push_back(std::move(ref));
    }

    // Decodes the escape at i (a backslash) into value; returns the index
    // after it.
    std::size_t ReadEscape(std::size_t i, std::string& value) const {
        ++i;
        if (i >= FCss.size())
            return i;
        if (!IsHex(FCss[i])) {
            value += FCss[i];
            return i + 1;
        }
        std::uint32_t cp = 0;
        std::size_t digits = 0;
        for (; i < FCss.size() && digits < 6 && IsHex(FCss[i]); ++i, ++digits)
            cp = cp * 16 + HexValue(FCss[i]);
        if (i < FCss.size() && (FCss[i] == ' ' || FCss[i] == '\t' || FCss[i] == '\n'))
            ++i;
        AppendUtf8(value, cp);
        return i;
    }

    std::size_t ReadString(std::size_t i, std::string& value) const {
        const char quote = FCss[i++];
        while (i < FCss.size() && FCss[i] != quote) {
            if (FCss[i] == '\n')
                return i; // an unterminated string ends at the line
            if (FCss[i] == '\\') {
                if (i + 1 < FCss.size() && FCss[i + 1] == '\n') {
                    i += 2;
                    continue;
                }
                i = ReadEscape(i, value);
                continue;
            }
            value += FCss[i++];
        }
        return std::min(i + 1, FCss.size());
    }

    std::size_t ReadUrl(std::size_t i) {
        const std::size_t start = i;
        i += 4;
        while (i < FCss.size() && std::strchr(" \t\r\n\f", FCss[i]) != nullptr && FCss[i] != 0)
            ++i;
        std::string value;
        if (i < FCss.size() && (FCss[i] == '"' || FCss[i] == '\'')) {
            i = ReadString(i, value);
        } else {
            while (i < FCss.size() && FCss[i] != ')') {
                if (FCss[i] == '\\')
                    i = ReadEscape(i, value);
                else
                    value += FCss[i++];
            }
            while (!value.empty() && std::strchr(" \t\r\n\f", value.back()) != nullptr)
                value.pop_back();
        }
        const std::size_t close = FCss.find(')', i);
        Add(value, start);
        return close == std::string_view::npos ? FCss.size() : close + 1;
    }

    std::string_view FCss;
    int FLine;
    std::size_t FCounted = 0;
    TPageReferences& FOut;
};

// The URLs of a srcset value: candidates separated by commas, each a URL and
// an optional descriptor.
std::vector<std::string> SrcsetUrls(std::string_view value) {
    std::vector<std::string> urls;
    std::size_t i = 0;
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (i < value.size()) {
        while (i < value.size() && (space(value[i]) || value[i] == ','))
            ++i;
        const std::size_t start = i;
        while (i < value.size() && !space(value[i]))
            ++i;
        std::string url(value.substr(start, i - start));
        bool endsCandidate = false;
        while (!url.empty() && url.back() == ',') {
            url.pop_back();
            endsCandidate = true;
        }
        if (!url.empty())
            urls.push_back(url);
        if (!endsCandidate) {
            while (i < value.size() && value[i] != ',')
                ++i; // the descriptor
        }
    }
    return urls;
}

// The target of a meta refresh's content ("5; url=page.html"), or nothing.
std::optional<std::string> RefreshTarget(std::string_view content) {
    std::size_t i = content.find_first_of(";,");
    if (i == std::string_view::npos)
        return std::nullopt;
    ++i;
    while (i < content.size() && (content[i] == ' ' || content[i] == '\t'))
        ++i;
    if (StartsWithNoCase(content.substr(i), "url")) {
        std::size_t j = i + 3;
        while (j < content.size() && content[j] == ' ')
            ++j;
        if (j < content.size() && content[j] == '=')
            i = j + 1;
    }
    while (i < content.size() && content[i] == ' ')
        ++i;
    std::string target(content.substr(i));
    if (!target.empty() && (target.front() == '"' || target.front() == '\'')) {
        const char quote = target.front();
        target.erase(0, 1);
        target = target.substr(0, target.find(quote));
    }
    return target;
}

std::string TagName(const GumboElement& e) {
    if (e.tag != GUMBO_TAG_UNKNOWN)
        return gumbo_normalized_tagname(e.tag);
    GumboStringPiece piece = e.original_tag;
    gumbo_tag_from_original_text(&piece);
    std::string name(piece.data, piece.length);
    std::transform(name.begin(), name.end(), name.begin(), LowerAscii);
    return name;
}

// Which attributes of which elements hold URLs; "*" is any element.
struct TUrlAttribute {
    const char* Tag;
    const char* Attribute;
    bool Navigation;
};
const TUrlAttribute UrlAttributes[] = {
    {"a", "href", true},           {"area", "href", true},         {"link", "href", false},
    {"script", "src", false},      {"img", "src", false},          {"input", "src", false},
    {"source", "src", false},      {"video", "src", false},        {"video", "poster", false},
    {"audio", "src", false},       {"track", "src", false},        {"iframe", "src", false},
    {"frame", "src", false},       {"embed", "src", false},        {"object", "data", false},
    {"body", "background", false}, {"table", "background", false}, {"td", "background", false},
    {"th", "background", false},   {"image", "href", false},       {"use", "href", false},
};

void CollectElement(const GumboNode& node, TPageReferences& out) {
    const GumboElement& e = node.v.element;
    const std::string tag = TagName(e);
    if (tag == "script")
        out.HasScripts = true;
    const auto attribute = [&](const char* name) -> const GumboAttribute* {
        return gumbo_get_attribute(&e.attributes, name);
    };
    if (tag == "base" && !out.Base) {
        if (const GumboAttribute* href = attribute("href"))
            out.Base = href->value;
    }
    for (unsigned i = 0; i < e.attributes.length; ++i) {
        const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
        const std::string name = a->name;
        const int line = static_cast<int>(a->value_start.line);
        if (name.size() > 2 && StartsWithNoCase(name, "on"))
            out.HasScripts = true;
        if (name == "style") {
            const TPageReferences css = CssReferences(a->value, line);
            out.References.insert(out.References.end(), css.References.begin(),
                                  css.References.end());
        }
        for (const TUrlAttribute& u : UrlAttributes) {
            if (tag != u.Tag || name != u.Attribute)
                continue;
            const std::string value = CleanReference(a->value);
            if (StartsWithNoCase(value, "javascript:"))
                out.HasScripts = true;
            out.References.push_back({a->value, line, u.Navigation});
        }
        if (name == "srcset" && (tag == "img" || tag == "source")) {
            for (const std::string& url : SrcsetUrls(a->value))
                out.References.push_back({url, line, false});
        }
    }
    if (tag == "meta") {
        const GumboAttribute* equiv = attribute("http-equiv");
        const GumboAttribute* content = attribute("content");
        if (equiv != nullptr && content != nullptr && StartsWithNoCase(equiv->value, "refresh")) {
            if (const auto target = RefreshTarget(content->value))
                out.References.push_back(
                    {*target, static_cast<int>(content->value_start.line), true});
        }
    }
    if (tag == "style") {
        for (unsigned i = 0; i < e.children.length; ++i) {
            const auto* child = static_cast<const GumboNode*>(e.children.data[i]);
            if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE) {
                const TPageReferences css = CssReferences(
                    child->v.text.text, static_cast<int>(child->v.text.start_pos.line));
                out.References.insert(out.References.end(), css.References.begin(),
                                      css.References.end());
            }
        }
    }
}

// An upper estimate of how deep the page's elements nest: start tags less
// end tags, leaving out void elements, those closed by their next sibling,
// self-closed ones, comments and the text of scripts and style sheets.
int NestingEstimate(std::string_view html) {
    static const std::vector<std::string_view> Flat = {
        "area", "base",   "br",       "col",      "embed",   "hr",     "img",   "input", "link",
        "meta", "source", "track",    "wbr",      "param",   "keygen", "p",     "li",    "dt",
        "dd",   "option", "optgroup", "tr",       "td",      "th",     "thead", "tbody", "tfoot",
        "rb",   "rt",     "rp",       "colgroup", "caption", "html",   "head",  "body"};
    int depth = 0, deepest = 0;
    std::size_t i = 0;
    while ((i = html.find('<', i)) != std::string_view::npos) {
        ++i;
        if (html.substr(i).starts_with("!--")) {
            const std::size_t end = html.find("-->", i + 3);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        const bool closing = i < html.size() && html[i] == '/';
        if (closing)
            ++i;
        std::string name;
        while (i < html.size() && (IsAsciiAlpha(html[i]) || (html[i] >= '0' && html[i] <= '9') ||
                                   html[i] == '-' || html[i] == ':'))
            name += LowerAscii(html[i++]);
        if (name.empty() || !IsAsciiAlpha(name[0]))
            continue;
        const std::size_t close = html.find('>', i);
        const bool selfClosed =
            close != std::string_view::npos && close > 0 && html[close - 1] == '/';
        if (closing) {
            depth = std::max(0, depth - 1);
        } else if (!selfClosed && std::find(Flat.begin(), Flat.end(), name) == Flat.end()) {
            deepest = std::max(deepest, ++depth);
        }
        if (!closing && (name == "script" || name == "style" || name == "textarea" ||
                         name == "title" || name == "xmp")) {
            // Raw text up to the element's end tag.
            std::size_t end = i;
            for (;;) {
                end = html.find("</", end);
                if (end == std::string_view::npos || StartsWithNoCase(html.substr(end + 2), name))
                    break;
                end += 2;
            }
            i = end == std::string_view::npos ? html.size() : end;
        }
    }
    return deepest;
}

// The charset a <meta> of the head declares, in lower case, or "".
std::string DeclaredCharset(std::string_view bytes) {
    std::string head(bytes.substr(0, 64 * 1024));
    std::transform(head.begin(), head.end(), head.begin(), LowerAscii);
    head = head.substr(0, head.find("<body"));
    for (std::size_t at = 0; (at = head.find("<meta", at)) != std::string::npos; at += 5) {
        const std::string tag = head.substr(at, head.find('>', at) - at);
        std::size_t c = tag.find("charset");
        if (c == std::string::npos)
            continue;
        c += 7;
        while (c < tag.size() && (tag[c] == ' ' || tag[c] == '\t'))
            ++c;
        if (c >= tag.size() || tag[c] != '=')
            continue;
        ++c;
        while (c < tag.size() && (tag[c] == ' ' || tag[c] == '"' || tag[c] == '\''))
            ++c;
        std::string label;
        while (c < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[c])) ||
                                  std::strchr("-_.:", tag[c]) != nullptr))
            label += tag[c++];
        if (!label.empty())
            return label;
    }
    return {};
}

} // namespace

std::string HtmlText(std::string_view bytes, bool& declaredNone) {
    declaredNone = false;
    if (bytes.starts_with("\xEF\xBB\xBF"))
        return std::string(bytes.substr(3));
    if (bytes.starts_with("\xFF\xFE"))
        return StringToUtf8(Utf16LEToString(bytes.data() + 2, bytes.size() - 2));
    if (bytes.starts_with("\xFE\xFF"))
        return StringToUtf8(Utf16BEToString(bytes.data() + 2, bytes.size() - 2));
    const std::string charset = DeclaredCharset(bytes);
    static const char* const Utf8Labels[] = {"utf-8",  "utf8",     "unicode-1-1-utf-8",
                                             "utf-16", "utf-16le", "utf-16be"};
    static const char* const LatinLabels[] = {"iso-8859-1", "latin1",     "windows-1252",
                                              "us-ascii",   "ascii",      "cp1252",
                                              "l1",         "iso_8859-1", "x-cp1252"};
    const auto among = [&](const auto& labels) {
        return std::any_of(std::begin(labels), std::end(labels),
                           [&](const char* l) { return charset == l; });
    };
    const bool utf8 =
        among(Utf8Labels) || (!charset.empty() && !among(LatinLabels) && IsWellFormedUtf8(bytes));
    declaredNone = charset.empty();
    if (utf8)
        return std::string(bytes);
    return StringToUtf8(DecodeCodePage(bytes, 1252));
}

TPageReferences HtmlReferences(std::string_view html) {
    TPageReferences out;
    if (NestingEstimate(html) > MaximumNesting) {
        out.NotChecked = "elements nest deeper than " + std::to_string(MaximumNesting);
        return out;
    }
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0; // parse errors are not reported; the tree is what counts
    std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> parsed(
        gumbo_parse_with_options(&options, html.data(), html.size()),
        [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
    if (!parsed)
        return out;
    std::vector<const GumboNode*> pending = {parsed->root};
    while (!pending.empty()) {
        const GumboNode* node = pending.back();
        pending.pop_back();
        if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE)
            continue;
        CollectElement(*node, out);
        const GumboVector& children = node->v.element.children;
        for (unsigned i = children.length; i-- > 0;)
            pending.push_back(static_cast<const GumboNode*>(children.data[i]));
    }
    return out;
}

TPageReferences CssReferences(std::string_view css, int firstLine) {
    TPageReferences out;
    TCssScanner(css, firstLine, out).Run();
    return out;
}

std::string PageUrl(const std::string& entryName) {
    std::string path;
    for (const char c : EncodePath(entryName)) {
        if (c == '?')
            path += "%3F";
        else if (c == '#')
            path += "%23";
        else
            path += c;
    }
    return std::string(Shared::FvpUrlPrefixUtf8) + path;
}

std::string ResolveReference(const std::string& base, const std::string& reference) {
    const std::string ref = CleanReference(reference);
    if (ref.empty() || ref.front() == '#')
        return {};
    const std::string scheme = SchemeOf(ref);
    if (!scheme.empty() && scheme != Shared::FvpSchemeUtf8)
        return {};
    TUrlParts target;
    if (!scheme.empty()) {
        target = SplitUrl(std::string_view(ref).substr(scheme.size() + 1));
        if (target.HasAuthority)
            target.Path = RemoveDotSegments(target.Path);
    } else {
        if (SchemeOf(base) != Shared::FvpSchemeUtf8)
            return {};
        const TUrlParts b = SplitUrl(std::string_view(base).substr(4));
        const TUrlParts r = SplitUrl(ref);
        target.HasAuthority = b.HasAuthority;
        target.Authority = b.Authority;
        if (r.HasAuthority) {
            target = r;
            target.Path = RemoveDotSegments(r.Path);
        } else if (r.Path.empty()) {
            target.Path = b.Path;
            target.Query = r.Query ? r.Query : b.Query;
        } else if (r.Path.front() == '/') {
            target.Path = RemoveDotSegments(r.Path);
            target.Query = r.Query;
        } else {
            const std::string merged = b.HasAuthority && b.Path.empty()
                                           ? "/" + r.Path
                                           : b.Path.substr(0, b.Path.rfind('/') + 1) + r.Path;
            target.Path = RemoveDotSegments(merged);
            target.Query = r.Query;
        }
    }
    std::string url = "fvp:";
    if (target.HasAuthority)
        url += "//" + EncodePath(target.Authority);
    url += EncodePath(target.Path);
    if (target.Query)
        url += "?" + EncodePath(*target.Query);
    return url;
}

} // namespace Folivant::Tools
