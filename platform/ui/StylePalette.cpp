#include "platform/ui/StylePalette.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace Folivant::Platform {

namespace {

// The part whose colour each part takes when the sheet gives it none.
constexpr std::array<TStyleColour, StyleColourCount> FallbackOf{
    scBackground, scForeground, scBackground, scForeground, scForeground, scBackground,
    scAccent,     scAccentText, scBackground, scForeground, scForeground, scBase,
    scAccent,     scButton,     scForeground, scBackground};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// "#" and 3, 6, 9 or 12 hexadecimal digits, one third for each component.
std::optional<TRgb> HexColour(std::string_view value) {
    if (value.size() < 2 || value.front() != '#')
        return std::nullopt;
    const std::string_view digits = value.substr(1);
    if (digits.size() % 3 != 0 || digits.size() > 12 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
        return std::nullopt;
    const std::size_t width = digits.size() / 3;
    auto component = [&](std::size_t index) {
        const std::string_view part = digits.substr(index * width, width);
        // One digit stands for itself twice; longer ones keep their top byte.
        if (width == 1)
            return static_cast<std::uint8_t>(HexDigit(part[0]) * 17);
        return static_cast<std::uint8_t>(HexDigit(part[0]) * 16 + HexDigit(part[1]));
    };
    return TRgb{component(0), component(1), component(2)};
}

// The sheet without its comments, each replaced by a space as CSS reads it.
std::string WithoutComments(std::string_view sheet) {
    std::string text;
    text.reserve(sheet.size());
    std::size_t at = 0;
    while (at < sheet.size()) {
        const std::size_t open = sheet.find("/*", at);
        text.append(sheet.substr(at, open - at));
        if (open == std::string_view::npos)
            break;
        const std::size_t close = sheet.find("*/", open + 2);
        text += ' ';
        at = close == std::string_view::npos ? sheet.size() : close + 2;
    }
    return text;
}

} // namespace

std::optional<TStylePalette> ReadStylePalette(std::string_view styleSheet) {
    const std::string sheet = WithoutComments(styleSheet);
    const std::string_view text = sheet;
    std::array<std::optional<TRgb>, StyleColourCount> found{};
    // Any other colour the sheet defines, which an fv_ one may refer to.
    std::vector<std::pair<std::string, TRgb>> others;
    constexpr std::string_view Keyword = "@define-color";
    for (std::size_t at = text.find(Keyword); at != std::string_view::npos;
         at = text.find(Keyword, at)) {
        at += Keyword.size();
        if (at >= text.size() || !IsSpace(text[at]))
            continue;
        while (at < text.size() && IsSpace(text[at]))
            ++at;
        const std::size_t nameStart = at;
        while (at < text.size() && IsNameChar(text[at]))
            ++at;
        const std::string_view name = text.substr(nameStart, at - nameStart);
        const std::size_t end = text.find(';', at);
        if (name.empty() || end == std::string_view::npos)
            continue;
        const std::string_view value = Trimmed(text.substr(at, end - at));
        at = end + 1;

        std::optional<TRgb> colour = HexColour(value);
        if (!colour && value.size() > 1 && value.front() == '@') {
            const std::string_view reference = value.substr(1);
            const auto part =
                std::find(StylePaletteNames.begin(), StylePaletteNames.end(), reference);
            if (part != StylePaletteNames.end())
                colour = found[static_cast<std::size_t>(part - StylePaletteNames.begin())];
            for (const auto& [otherName, otherColour] : others)
                if (otherName == reference)
                    colour = otherColour;
        }
        const auto part = std::find(StylePaletteNames.begin(), StylePaletteNames.end(), name);
        if (part != StylePaletteNames.end()) {
            // A value that does not read leaves the part as if undefined.
            found[static_cast<std::size_t>(part - StylePaletteNames.begin())] = colour;
        } else if (colour) {
            others.emplace_back(std::string(name), *colour);
        }
    }
    if (!found[scBackground] || !found[scForeground])
        return std::nullopt;
    TStylePalette palette;
    for (std::size_t part = 0; part < StyleColourCount; ++part) {
        // Each fallback chain ends at fv_bg or fv_fg within a few steps.
        std::size_t source = part;
        while (!found[source])
            source = FallbackOf[source];
        palette.Colours[part] = *found[source];
    }
    return palette;
}

} // namespace Folivant::Platform
