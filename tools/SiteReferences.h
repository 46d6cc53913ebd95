#pragma once

// The references a page or style sheet makes to other files, and the URL
// each one becomes in the engine: what the site check resolves against the
// publication's entries.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Folivant::Tools {

struct TReference {
    std::string Text; // as written, entities and CSS escapes decoded
    int Line = 1;
    bool Navigation = false; // a link the reader follows (a, area)
};

struct TPageReferences {
    std::vector<TReference> References;
    std::optional<std::string> Base; // the first <base href>
    bool HasScripts = false;         // <script>, on... attributes or javascript: links
    std::string NotChecked;          // why the text was not read, when it was not
};

// Elements nested deeper than this make a page unchecked: the HTML parser's
// time grows with the square of the depth, and no browser builds such trees.
inline constexpr int MaximumNesting = 5000;

// Every URL-valued attribute of an HTML page (UTF-8), srcset candidates,
// meta refresh targets, and the url() and @import references of its <style>
// elements and style attributes. Parsed as HTML5 is parsed, so any bytes
// give a result, except pages nested deeper than MaximumNesting.
TPageReferences HtmlReferences(std::string_view html);
// The url() and @import references of a style sheet whose first line has
// the number firstLine.
TPageReferences CssReferences(std::string_view css, int firstLine);

// A page's text in UTF-8, decoded as the engine decodes a page served
// without a charset: by its byte-order mark, else by the charset its <meta>
// declares in the head, else as Windows-1252. declaredNone tells whether the
// last rule chose it.
std::string HtmlText(std::string_view bytes, bool& declaredNone);

// The URL the engine shows a page of the archive under: "fvp://" and the
// entry name, percent-encoded as the engine encodes a path.
std::string PageUrl(const std::string& entryName);

// The absolute fvp URL that reference, written in a document at base,
// becomes, as the engine resolves it (the first path segment after "fvp://"
// is the host, which no ".." and no "/..." leaves). Empty for other schemes,
// for a reference to the document itself, and when base is empty and the
// reference relative.
std::string ResolveReference(const std::string& base, const std::string& reference);

} // namespace Folivant::Tools
