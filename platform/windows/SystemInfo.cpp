#include "platform/ui/SystemInfo.h"

// The names come from the system; a width is measured with the font on a
// device context of the whole screen.

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace Folivant::Platform {

namespace {

String FromWide(const wchar_t* text, std::size_t length) {
    return String(reinterpret_cast<const char16_t*>(text), length);
}

// Reads a font description "Family [Bold] [Italic] [Size]", the form the
// interface takes, into a logical font; the message font of the system
// gives what the description leaves out.
LOGFONTW FontOf(const String& font, HDC screen) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    LOGFONTW result{};
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        result = metrics.lfMessageFont;
    if (font.empty())
        return result;
    std::vector<std::wstring> words;
    std::wstring word;
    for (const char16_t c : font + u" ") {
        if (c == u' ') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += static_cast<wchar_t>(c);
        }
    }
    if (!words.empty()) {
        wchar_t* end = nullptr;
        const double points = std::wcstod(words.back().c_str(), &end);
        if (end != words.back().c_str() && *end == 0 && points > 0 && points < 1000) {
            result.lfHeight = -MulDiv(static_cast<int>(points * 10 + 0.5),
                                      GetDeviceCaps(screen, LOGPIXELSY), 720);
            words.pop_back();
        }
    }
    while (!words.empty()) {
        if (_wcsicmp(words.back().c_str(), L"Bold") == 0)
            result.lfWeight = FW_BOLD;
        else if (_wcsicmp(words.back().c_str(), L"Italic") == 0 ||
                 _wcsicmp(words.back().c_str(), L"Oblique") == 0)
            result.lfItalic = TRUE;
        else
            break;
        words.pop_back();
    }
    if (!words.empty()) {
        std::wstring family;
        for (const std::wstring& part : words)
            family += (family.empty() ? L"" : L" ") + part;
        family.resize(std::min<std::size_t>(family.size(), LF_FACESIZE - 1));
        std::wcscpy(result.lfFaceName, family.c_str());
    }
    return result;
}

} // namespace

String ComputerName() {
    DWORD size = 0;
    GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
    std::vector<wchar_t> name(size + 1);
    if (size == 0 || !GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size))
        return String();
    return FromWide(name.data(), size);
}

String UserName() {
    DWORD size = 0;
    GetUserNameW(nullptr, &size);
    std::vector<wchar_t> name(size + 1);
    if (size == 0 || !GetUserNameW(name.data(), &size))
        return String();
    // The size counts the terminating null.
    return FromWide(name.data(), std::wcslen(name.data()));
}

int TextWidth(const String& font, const String& text) {
    HDC screen = GetDC(nullptr);
    if (screen == nullptr)
        return 0;
    const LOGFONTW logical = FontOf(font, screen);
    HFONT handle = CreateFontIndirectW(&logical);
    HGDIOBJ previous = handle != nullptr ? SelectObject(screen, handle) : nullptr;
    SIZE extent{};
    const BOOL measured =
        GetTextExtentPoint32W(screen, reinterpret_cast<const wchar_t*>(text.c_str()),
                              static_cast<int>(text.size()), &extent);
    if (previous != nullptr)
        SelectObject(screen, previous);
    if (handle != nullptr)
        DeleteObject(handle);
    ReleaseDC(nullptr, screen);
    return measured ? extent.cx : 0;
}

} // namespace Folivant::Platform
