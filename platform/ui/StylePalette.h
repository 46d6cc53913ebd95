#pragma once

// The palette of a style: the colours its style sheet defines for the parts
// of a window with "@define-color fv_bg #2b2220;" and the like. A platform
// that does not run the style sheet itself paints its windows with these.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Folivant::Platform {

struct TRgb {
    std::uint8_t R = 0;
    std::uint8_t G = 0;
    std::uint8_t B = 0;
    bool operator==(const TRgb&) const = default;
};

// The parts, in the order of StylePaletteNames.
enum TStyleColour : std::size_t {
    scBackground,   // fv_bg: windows and dialogs
    scForeground,   // fv_fg: their text
    scBase,         // fv_base: text boxes and lists
    scText,         // fv_text: their text
    scAccent,       // fv_accent: selection
    scAccentText,   // fv_accent_fg
    scCaption,      // fv_caption: the caption bar
    scCaptionText,  // fv_caption_fg
    scButton,       // fv_button
    scButtonText,   // fv_button_fg
    scBorder,       // fv_border
    scTrough,       // fv_trough: scroll bar troughs
    scSlider,       // fv_slider: scroll bar thumbs
    scHover,        // fv_hover: a button under the mouse or pressed
    scDisabledText, // fv_disabled_fg
    scSidebar,      // fv_sidebar
    StyleColourCount
};

inline constexpr std::array<std::string_view, StyleColourCount> StylePaletteNames{
    "fv_bg",      "fv_fg",         "fv_base",        "fv_text",      "fv_accent", "fv_accent_fg",
    "fv_caption", "fv_caption_fg", "fv_button",      "fv_button_fg", "fv_border", "fv_trough",
    "fv_slider",  "fv_hover",      "fv_disabled_fg", "fv_sidebar"};

struct TStylePalette {
    std::array<TRgb, StyleColourCount> Colours{};
    const TRgb& operator[](TStyleColour part) const { return Colours[part]; }
    bool operator==(const TStylePalette&) const = default;
};

// Reads the palette from a style sheet. A colour is "#rgb", "#rrggbb",
// "#rrrgggbbb" or "#rrrrggggbbbb" (the first 8 bits of each component
// count), or "@name" of a colour defined before it; a later definition of
// a name replaces an earlier one, and definitions inside comments do not
// count. A part the sheet leaves out, or gives a colour that does not
// read, takes the colour of the part it is drawn like (a text box's text
// that of the window's text, a pressed button that of a button, ...).
// Nothing when the sheet defines no readable fv_bg or fv_fg: it has no
// palette to paint with.
std::optional<TStylePalette> ReadStylePalette(std::string_view styleSheet);

} // namespace Folivant::Platform
