#include "platform/windows/StyleDrawingWindows.h"

// The palette's brushes live while their palette is active. Controls ask
// their parent for the colours to draw with (the colour messages); the
// runtime's forms answer them here, and the system's dialogs answer them
// through a subclass that this file gives them. Push buttons draw
// themselves in the system's colours whatever their parent answers, so a
// subclass paints them over: the face, a border, the text and the focus,
// lit while the mouse is over the button or it is pressed. The button's
// own procedure paints some state changes at once, outside WM_PAINT; the
// subclass has them painted again after it.

#include "base/Classes.h"
#include "platform/windows/PictureWindows.h"

#include <commctrl.h>
#include <dwmapi.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace Folivant::Platform {

namespace {

// DWM's caption and frame colours (Windows 11), named here as older
// headers lack them.
constexpr DWORD DwmBorderColour = 34;
constexpr DWORD DwmCaptionColour = 35;
constexpr DWORD DwmCaptionTextColour = 36;
constexpr COLORREF DwmDefaultColour = 0xFFFFFFFF;

constexpr UINT_PTR ButtonSubclass = 0x46560001;
constexpr UINT_PTR DialogSubclass = 0x46560002;
constexpr UINT_PTR TextBoxSubclass = 0x46560003;
// Marks a system dialog that StyleSystemDialog styled, so that a change of
// style reaches it too.
const wchar_t* const StyledProperty = L"FolivantStyled";
// The button subclass's data: the mouse is over the button.
constexpr DWORD_PTR ButtonHot = 1;

COLORREF ColourRef(const TRgb& colour) {
    return RGB(colour.R, colour.G, colour.B);
}

struct TOwnedPalette : TActivePalette {
    explicit TOwnedPalette(const TStylePalette& palette) {
        Palette = palette;
        Background = CreateSolidBrush(ColourRef(palette[scBackground]));
        Base = CreateSolidBrush(ColourRef(palette[scBase]));
    }
    ~TOwnedPalette() {
        if (Background != nullptr)
            DeleteObject(Background);
        if (Base != nullptr)
            DeleteObject(Base);
    }
    TOwnedPalette(const TOwnedPalette&) = delete;
    TOwnedPalette& operator=(const TOwnedPalette&) = delete;
};

std::unique_ptr<TOwnedPalette> Active;

void Fill(HDC dc, const RECT& rect, COLORREF colour) {
    SetBkColor(dc, colour);
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
}

// A one-pixel frame of colour around rect's inside edge.
void Frame(HDC dc, const RECT& rect, COLORREF colour) {
    Fill(dc, {rect.left, rect.top, rect.right, rect.top + 1}, colour);
    Fill(dc, {rect.left, rect.bottom - 1, rect.right, rect.bottom}, colour);
    Fill(dc, {rect.left, rect.top, rect.left + 1, rect.bottom}, colour);
    Fill(dc, {rect.right - 1, rect.top, rect.right, rect.bottom}, colour);
}

RECT Inset(RECT rect, int by) {
    InflateRect(&rect, -by, -by);
    return rect;
}

void Text(HDC dc, RECT rect, const std::wstring& text, COLORREF colour, HFONT font, UINT format) {
    const HGDIOBJ previous = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect,
              format | DT_SINGLELINE | DT_VCENTER);
    SelectObject(dc, previous);
}

// A push button's face: the border (the accent's for the default button),
// the face lit when the mouse is over it or it is pressed, the text.
void DrawButtonFace(HDC dc, const RECT& rect, const TStylePalette& palette,
                    const std::wstring& text, HFONT font, bool lit, bool isDefault, bool enabled) {
    Frame(dc, rect, ColourRef(palette[isDefault ? scAccent : scBorder]));
    Fill(dc, Inset(rect, 1), ColourRef(palette[lit ? scHover : scButton]));
    Text(dc, Inset(rect, 2), text, ColourRef(palette[enabled ? scButtonText : scDisabledText]),
         font, DT_CENTER);
}

std::wstring WindowTextOf(HWND window) {
    std::vector<wchar_t> text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1);
    const int length = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    return std::wstring(text.data(), static_cast<std::size_t>(std::max(length, 0)));
}

void PaintButton(HWND button, HDC dc, const TActivePalette& palette, bool hot) {
    RECT client{};
    GetClientRect(button, &client);
    const LRESULT state = SendMessageW(button, BM_GETSTATE, 0, 0);
    const LONG_PTR style = GetWindowLongPtrW(button, GWL_STYLE);
    auto font = reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0));
    if (font == nullptr)
        font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    DrawButtonFace(dc, client, palette.Palette, WindowTextOf(button), font,
                   hot || (state & BST_PUSHED) != 0, (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON,
                   IsWindowEnabled(button) != FALSE);
    const LRESULT ui = SendMessageW(button, WM_QUERYUISTATE, 0, 0);
    if (GetFocus() == button && (ui & UISF_HIDEFOCUS) == 0) {
        const RECT focus = Inset(client, 3);
        SetTextColor(dc, ColourRef(palette.Palette[scButtonText]));
        SetBkColor(dc, ColourRef(palette.Palette[hot ? scHover : scButton]));
        DrawFocusRect(dc, &focus);
    }
}

LRESULT CALLBACK ButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                            DWORD_PTR data) {
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(button, ButtonProc, id);
        return DefSubclassProc(button, message, wParam, lParam);
    }
    const TActivePalette* palette = ActivePalette();
    if (palette == nullptr)
        return DefSubclassProc(button, message, wParam, lParam);
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        const HDC dc = BeginPaint(button, &paint);
        PaintButton(button, dc, *palette, (data & ButtonHot) != 0);
        EndPaint(button, &paint);
        return 0;
    }
    case WM_PRINTCLIENT:
        PaintButton(button, reinterpret_cast<HDC>(wParam), *palette, (data & ButtonHot) != 0);
        return 0;
    case WM_MOUSEMOVE:
        if ((data & ButtonHot) == 0) {
            TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, button, 0};
            TrackMouseEvent(&track);
            SetWindowSubclass(button, ButtonProc, id, data | ButtonHot);
            InvalidateRect(button, nullptr, FALSE);
        }
        break;
    case WM_MOUSELEAVE:
        SetWindowSubclass(button, ButtonProc, id, data & ~ButtonHot);
        InvalidateRect(button, nullptr, FALSE);
        break;
    default:
        break;
    }
    const LRESULT result = DefSubclassProc(button, message, wParam, lParam);
    switch (message) {
    case BM_SETSTATE:
    case BM_SETSTYLE:
    case BM_SETCHECK:
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_ENABLE:
    case WM_SETTEXT:
    case WM_UPDATEUISTATE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CAPTURECHANGED:
        InvalidateRect(button, nullptr, FALSE);
        break;
    default:
        break;
    }
    return result;
}

LRESULT CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                            DWORD_PTR) {
    if (message == WM_NCDESTROY) {
        RemovePropW(dialog, StyledProperty);
        RemoveWindowSubclass(dialog, DialogProc, id);
        return DefSubclassProc(dialog, message, wParam, lParam);
    }
    LRESULT result = 0;
    if (AnswerColourMessage(message, wParam, result))
        return result;
    return DefSubclassProc(dialog, message, wParam, lParam);
}

LRESULT CALLBACK TextBoxProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                             DWORD_PTR) {
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(edit, TextBoxProc, id);
        return DefSubclassProc(edit, message, wParam, lParam);
    }
    const TActivePalette* palette = ActivePalette();
    if (message == WM_NCPAINT && palette != nullptr &&
        (GetWindowLongPtrW(edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0) {
        // The client edge is two pixels wide: the border, then the base.
        RECT frame{};
        GetWindowRect(edit, &frame);
        OffsetRect(&frame, -frame.left, -frame.top);
        const HDC dc = GetWindowDC(edit);
        Frame(dc, frame, (*palette)[scBorder]);
        Frame(dc, Inset(frame, 1), (*palette)[scBase]);
        ReleaseDC(edit, dc);
        return 0;
    }
    return DefSubclassProc(edit, message, wParam, lParam);
}

bool ClassIs(HWND window, const wchar_t* name) {
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    return lstrcmpiW(className, name) == 0;
}

BOOL CALLBACK StyleControl(HWND control, LPARAM) {
    const TActivePalette* palette = ActivePalette();
    if (ClassIs(control, L"#32770")) {
        SetWindowSubclass(control, DialogProc, DialogSubclass, 0);
    } else if (ClassIs(control, WC_BUTTONW)) {
        const LONG_PTR type = GetWindowLongPtrW(control, GWL_STYLE) & BS_TYPEMASK;
        if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)
            SetWindowSubclass(control, ButtonProc, ButtonSubclass, 0);
    } else if (ClassIs(control, WC_LISTVIEWW)) {
        const COLORREF base = palette != nullptr ? (*palette)[scBase] : GetSysColor(COLOR_WINDOW);
        const COLORREF text =
            palette != nullptr ? (*palette)[scText] : GetSysColor(COLOR_WINDOWTEXT);
        SendMessageW(control, LVM_SETBKCOLOR, 0, static_cast<LPARAM>(base));
        SendMessageW(control, LVM_SETTEXTBKCOLOR, 0, static_cast<LPARAM>(base));
        SendMessageW(control, LVM_SETTEXTCOLOR, 0, static_cast<LPARAM>(text));
    } else if (ClassIs(control, WC_TREEVIEWW)) {
        // -1 gives a tree view the system's colours back.
        SendMessageW(control, TVM_SETBKCOLOR, 0,
                     palette != nullptr ? static_cast<LPARAM>((*palette)[scBase]) : -1);
        SendMessageW(control, TVM_SETTEXTCOLOR, 0,
                     palette != nullptr ? static_cast<LPARAM>((*palette)[scText]) : -1);
    }
    return TRUE;
}

void Redraw(HWND window) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

BOOL CALLBACK Restyle(HWND window, LPARAM) {
    if (GetPropW(window, StyledProperty) != nullptr)
        StyleSystemDialog(window);
    ApplyCaptionColours(window);
    if (IsWindowVisible(window))
        Redraw(window);
    return TRUE;
}

HFONT PreviewFont(int weight) {
    return CreateFontW(-12, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

} // namespace

COLORREF TActivePalette::operator[](TStyleColour part) const {
    return ColourRef(Palette[part]);
}

const TActivePalette* ActivePalette() {
    return Active.get();
}

void UsePalette(const TStylePalette* palette) {
    std::unique_ptr<TOwnedPalette> previous = std::move(Active);
    if (palette != nullptr)
        Active = std::make_unique<TOwnedPalette>(*palette);
    // The windows have redrawn with the new brushes before the old go.
    EnumThreadWindows(GetCurrentThreadId(), Restyle, 0);
}

bool AnswerColourMessage(UINT message, WPARAM wParam, LRESULT& result) {
    const TActivePalette* palette = ActivePalette();
    if (palette == nullptr)
        return false;
    const auto dc = reinterpret_cast<HDC>(wParam);
    switch (message) {
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        SetTextColor(dc, (*palette)[scText]);
        SetBkColor(dc, (*palette)[scBase]);
        result = reinterpret_cast<LRESULT>(palette->Base);
        return true;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORMSGBOX:
        SetTextColor(dc, (*palette)[scForeground]);
        SetBkColor(dc, (*palette)[scBackground]);
        result = reinterpret_cast<LRESULT>(palette->Background);
        return true;
    default:
        return false;
    }
}

bool EraseWithPalette(HWND window, HDC dc) {
    const TActivePalette* palette = ActivePalette();
    if (palette == nullptr)
        return false;
    RECT client{};
    GetClientRect(window, &client);
    FillRect(dc, &client, palette->Background);
    return true;
}

void ApplyCaptionColours(HWND window) {
    const TActivePalette* palette = ActivePalette();
    const COLORREF caption = palette != nullptr ? (*palette)[scCaption] : DwmDefaultColour;
    const COLORREF text = palette != nullptr ? (*palette)[scCaptionText] : DwmDefaultColour;
    const COLORREF border = palette != nullptr ? (*palette)[scBorder] : DwmDefaultColour;
    // Systems before Windows 11 refuse these; their frames keep the
    // system's colours.
    DwmSetWindowAttribute(window, DwmCaptionColour, &caption, sizeof caption);
    DwmSetWindowAttribute(window, DwmCaptionTextColour, &text, sizeof text);
    DwmSetWindowAttribute(window, DwmBorderColour, &border, sizeof border);
}

void StyleTextBoxFrame(HWND edit) {
    SetWindowSubclass(edit, TextBoxProc, TextBoxSubclass, 0);
}

void StyleSystemDialog(HWND dialog) {
    if (ActivePalette() == nullptr && GetPropW(dialog, StyledProperty) == nullptr)
        return;
    SetPropW(dialog, StyledProperty, reinterpret_cast<HANDLE>(1));
    SetWindowSubclass(dialog, DialogProc, DialogSubclass, 0);
    EnumChildWindows(dialog, StyleControl, 0);
    ApplyCaptionColours(dialog);
    Redraw(dialog);
}

TPicture DrawPalettePreview(const TStylePalette& palette, int width, int height,
                            const std::wstring& caption) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    auto picture = std::make_shared<TPicture::TImpl>();
    picture->Bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HDC dc = CreateCompatibleDC(nullptr);
    if (picture->Bitmap == nullptr || bits == nullptr || dc == nullptr) {
        if (dc != nullptr)
            DeleteDC(dc);
        throw EOutOfMemory(u"Out of memory");
    }
    picture->Width = width;
    picture->Height = height;
    const HGDIOBJ previousBitmap = SelectObject(dc, picture->Bitmap);
    const HFONT font = PreviewFont(FW_NORMAL);
    const HFONT bold = PreviewFont(FW_BOLD);
    auto colour = [&](TStyleColour part) { return ColourRef(palette[part]); };

    // The frame, the caption bar with the title and a close glyph, the body.
    const RECT whole{0, 0, width, height};
    Frame(dc, whole, colour(scBorder));
    const int captionHeight = std::min(24, std::max(1, height / 5));
    const RECT captionBar{1, 1, width - 1, 1 + captionHeight};
    Fill(dc, captionBar, colour(scCaption));
    Text(dc,
         {captionBar.left + 6, captionBar.top, captionBar.right - captionHeight, captionBar.bottom},
         caption, colour(scCaptionText), bold, DT_LEFT | DT_END_ELLIPSIS | DT_NOPREFIX);
    Text(dc,
         {captionBar.right - captionHeight, captionBar.top, captionBar.right, captionBar.bottom},
         L"\u00d7", colour(scCaptionText), bold, DT_CENTER);
    const RECT body{1, captionBar.bottom, width - 1, height - 1};
    Fill(dc, body, colour(scBackground));

    // A label and a text box, two buttons (one under the mouse), a list
    // with a selected row, a scroll bar.
    const int left = body.left + 8, right = body.right - 8;
    int top = body.top + 8;
    Text(dc, {left, top, left + 48, top + 20}, L"Label", colour(scForeground), font, DT_LEFT);
    const RECT edit{left + 50, top, right, top + 20};
    Frame(dc, edit, colour(scBorder));
    Fill(dc, Inset(edit, 1), colour(scBase));
    Text(dc, {edit.left + 4, edit.top, edit.right, edit.bottom}, L"Edit", colour(scText), font,
         DT_LEFT);
    top += 28;
    DrawButtonFace(dc, {left, top, left + 70, top + 24}, palette, L"Button", font, false, false,
                   true);
    DrawButtonFace(dc, {left + 78, top, left + 148, top + 24}, palette, L"Hover", font, true, false,
                   true);
    top += 32;
    const RECT list{left, top, right, top + 42};
    Frame(dc, list, colour(scBorder));
    Fill(dc, Inset(list, 1), colour(scBase));
    const RECT selected{list.left + 1, list.top + 1, list.right - 1, list.top + 21};
    Fill(dc, selected, colour(scAccent));
    Text(dc, {selected.left + 4, selected.top, selected.right, selected.bottom}, L"Selected",
         colour(scAccentText), font, DT_LEFT);
    Text(dc, {selected.left + 4, selected.bottom, selected.right, list.bottom - 1}, L"Item",
         colour(scText), font, DT_LEFT);
    top += 50;
    const RECT trough{left, top, right, top + 12};
    Fill(dc, trough, colour(scTrough));
    const int span = std::max(0, static_cast<int>(trough.right - trough.left));
    Fill(dc, {trough.left + span / 5, top + 2, trough.left + span / 2, top + 10}, colour(scSlider));

    GdiFlush();
    SelectObject(dc, previousBitmap);
    DeleteObject(font);
    DeleteObject(bold);
    DeleteDC(dc);
    // GDI leaves alpha alone: every pixel is opaque.
    auto* pixels = static_cast<std::uint32_t*>(bits);
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    for (std::size_t i = 0; i < count; ++i)
        pixels[i] |= 0xFF000000u;
    return TPicture(std::move(picture));
}

} // namespace Folivant::Platform
