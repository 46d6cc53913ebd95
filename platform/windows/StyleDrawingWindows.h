#pragma once

// The active style on the windows the runtime draws itself. While a style
// other than the system look is active its palette paints the forms, their
// text boxes and image controls, the message boxes and the save dialog:
// backgrounds and text through the colour messages the controls send their
// parent, push buttons drawn here, list views told their colours, and the
// caption's colours given to the system where it draws captions itself.
// With the system look active every call here leaves the system's drawing
// alone.

#include "platform/ui/Picture.h"
#include "platform/ui/StylePalette.h"

#include <windows.h>

#include <string>

namespace Folivant::Platform {

// The active palette and its brushes; null while the system look is active.
struct TActivePalette {
    TStylePalette Palette;
    HBRUSH Background = nullptr;
    HBRUSH Base = nullptr;
    COLORREF operator[](TStyleColour part) const;
};
const TActivePalette* ActivePalette();

// Makes palette the active one (null: the system look) and has every window
// of the calling thread redraw itself in it at once.
void UsePalette(const TStylePalette* palette);

// Answers a colour message (WM_CTLCOLORDLG, ...STATIC, ...BTN, ...EDIT,
// ...LISTBOX) for a window of the runtime: true with the brush in result
// while a style is active.
bool AnswerColourMessage(UINT message, WPARAM wParam, LRESULT& result);
// Fills window's client area with the background colour (WM_ERASEBKGND);
// false while the system look is active.
bool EraseWithPalette(HWND window, HDC dc);
// Gives a top-level window the active style's caption and frame colours
// where the system draws them (DWM); the system's own colours back with the
// system look. Systems without those colours keep their own.
void ApplyCaptionColours(HWND window);
// Draws a text box's sunken edge as a frame of the active style's border
// and base colours while a style is active.
void StyleTextBoxFrame(HWND edit);
// Makes a dialog of the system (a message box, the save dialog) and the
// controls in it follow the active style; call again once it has made
// more controls. Harmless with the system look.
void StyleSystemDialog(HWND dialog);

// The preview of a style: a small window of that palette with caption as
// its title, drawn over a new 32-bit width x height picture.
TPicture DrawPalettePreview(const TStylePalette& palette, int width, int height,
                            const std::wstring& caption);

} // namespace Folivant::Platform
