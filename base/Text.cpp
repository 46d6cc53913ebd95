#include "base/Text.h"

#include "base/CodePages.h"

#include <cstdlib>
#include <string>

namespace Folivant {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(String& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 if ill-formed.
std::size_t DecodeUtf8At(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

unsigned CodePageFromEnv(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == 0)
        return fallback;
    char* end = nullptr;
    const unsigned long cp = std::strtoul(v, &end, 10);
    return (end != nullptr && *end == 0 && cp > 0 && cp < 65536) ? static_cast<unsigned>(cp)
                                                                 : fallback;
}

} // namespace

bool IsWellFormedUtf8(std::string_view bytes) {
    char32_t cp;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = DecodeUtf8At(bytes, i, cp);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

String Utf8ToString(std::string_view utf8) {
    String out;
    out.reserve(utf8.size());
    char32_t cp;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t n = DecodeUtf8At(utf8, i, cp);
        if (n == 0) {
            out.push_back(kReplacement);
            ++i;
        } else {
            AppendCodePoint(out, cp);
            i += n;
        }
    }
    return out;
}

std::string StringToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

String Utf16LEToString(const void* bytes, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    String out(size / 2, u'\0');
    for (std::size_t i = 0; i < size / 2; ++i)
        out[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    return out;
}

String Utf16BEToString(const void* bytes, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    String out(size / 2, u'\0');
    for (std::size_t i = 0; i < size / 2; ++i)
        out[i] = static_cast<char16_t>((p[2 * i] << 8) | p[2 * i + 1]);
    return out;
}

unsigned AnsiCodePage() {
    static const unsigned cp = CodePageFromEnv("FOLIVANT_ANSI_CODEPAGE", CodePages::SystemAnsi());
    return cp;
}

unsigned OemCodePage() {
    static const unsigned cp = CodePageFromEnv("FOLIVANT_OEM_CODEPAGE", CodePages::SystemOem());
    return cp;
}

String DecodeCodePage(std::string_view bytes, unsigned codePage) {
    if (codePage == 65001)
        return Utf8ToString(bytes);
    bool ascii = true;
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return String(bytes.begin(), bytes.end());

    String out;
    if (CodePages::Decode(bytes, codePage, out))
        return out;
    // Unknown code page: keep ASCII, replace the rest.
    for (const char c : bytes)
        out.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c)
                                                           : kReplacement);
    return out;
}

char16_t UpperCaseUnit(char16_t unit) {
    if (unit < 0x80)
        return AsciiUpperCase(unit);
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return unit;
    return CodePages::UpperCase(unit);
}

bool IsLetterOrDigit(char16_t unit) {
    if (unit < 0x80)
        return (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') ||
               (unit >= u'a' && unit <= u'z');
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return false;
    return CodePages::IsLetterOrDigit(unit);
}

namespace {

template <typename C>
bool SameTextAsciiOf(std::basic_string_view<C> a, std::basic_string_view<C> b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && AsciiUpperCase(a[i]) != AsciiUpperCase(b[i]))
            return false;
    return true;
}

} // namespace

bool SameTextAscii(std::u16string_view a, std::u16string_view b) {
    return SameTextAsciiOf(a, b);
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    return SameTextAsciiOf(a, b);
}

String UpperCaseUnicode(std::u16string_view text) {
    String out(text);
    for (auto& c : out)
        c = UpperCaseUnit(c);
    return out;
}

} // namespace Folivant
