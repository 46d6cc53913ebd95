#include "base/CodePages.h"

#include <windows.h>

namespace Folivant::CodePages {

unsigned SystemAnsi() {
    return GetACP();
}

unsigned SystemOem() {
    return GetOEMCP();
}

bool Decode(std::string_view bytes, unsigned codePage, String& out) {
    if (!IsValidCodePage(codePage))
        return false;
    const UINT cp = codePage == GetACP() ? CP_ACP : codePage == GetOEMCP() ? CP_OEMCP : codePage;
    out.clear();
    if (bytes.empty())
        return true;
    // One UTF-16 unit per byte is always enough for the code pages Windows
    // converts; the units are written straight into out. Windows-1252's five
    // undefined bytes become the C1 controls of the same value.
    const int size = static_cast<int>(bytes.size());
    out.resize(bytes.size());
    const int n = MultiByteToWideChar(cp, 0, bytes.data(), size,
                                      reinterpret_cast<wchar_t*>(out.data()), size);
    if (n <= 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    // The single-byte tables map the bytes they leave undefined to private
    // use characters (1253's 0xAA to U+F8F9, for one): those read as U+FFFD.
    CPINFO info{};
    if (GetCPInfo(cp, &info) && info.MaxCharSize == 1)
        for (auto& unit : out)
            if (unit >= 0xE000 && unit <= 0xF8FF)
                unit = u'\uFFFD';
    return true;
}

char16_t UpperCase(char16_t unit) {
    wchar_t c = static_cast<wchar_t>(unit);
    CharUpperBuffW(&c, 1);
    return static_cast<char16_t>(c);
}

bool IsLetterOrDigit(char16_t unit) {
    return IsCharAlphaNumericW(static_cast<wchar_t>(unit)) != FALSE;
}

} // namespace Folivant::CodePages
