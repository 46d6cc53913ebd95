#include "archive/Text.h"

#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <iconv.h>
#include <locale.h>
#include <mutex>
#include <string>
#include <vector>

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

std::string IconvName(unsigned codePage) {
    switch (codePage) {
    case 65001:
        return "UTF-8";
    case 1200:
        return "UTF-16LE";
    case 1201:
        return "UTF-16BE";
    case 20127:
        return "ASCII";
    case 28591:
        return "ISO-8859-1";
    case 932:
        return "CP932";
    case 936:
        return "CP936";
    case 949:
        return "CP949";
    case 950:
        return "CP950";
    default:
        return "CP" + std::to_string(codePage);
    }
}

locale_t Utf8Locale() {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return utf8;
}

// Conversion descriptors are opened once per code page and thread: opening
// one costs far more than converting a short name, and an archive may hold
// a hundred thousand of them.
class TIconvCache {
public:
    ~TIconvCache() {
        for (auto& entry : FEntries)
            if (entry.Descriptor != reinterpret_cast<iconv_t>(-1))
                iconv_close(entry.Descriptor);
    }
    iconv_t Get(unsigned codePage) {
        for (auto& entry : FEntries)
            if (entry.CodePage == codePage) {
                if (entry.Descriptor != reinterpret_cast<iconv_t>(-1))
                    iconv(entry.Descriptor, nullptr, nullptr, nullptr, nullptr);
                return entry.Descriptor;
            }
        const iconv_t cd = iconv_open("UTF-16LE", IconvName(codePage).c_str());
        FEntries.push_back({codePage, cd});
        return cd;
    }

private:
    struct TEntry {
        unsigned CodePage;
        iconv_t Descriptor;
    };
    std::vector<TEntry> FEntries;
};

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
    static const unsigned cp = CodePageFromEnv("FOLIVANT_ANSI_CODEPAGE", 1252);
    return cp;
}

unsigned OemCodePage() {
    static const unsigned cp = CodePageFromEnv("FOLIVANT_OEM_CODEPAGE", 437);
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

    thread_local TIconvCache cache;
    iconv_t cd = cache.Get(codePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // Unknown code page: keep ASCII, replace the rest.
        String out;
        for (const char c : bytes)
            out.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c)
                                                               : kReplacement);
        return out;
    }
    String out;
    out.reserve(bytes.size());
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    std::string buffer(bytes.size() * 4 + 8, '\0');
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out += Utf16LEToString(buffer.data(), buffer.size() - outLeft);
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // An undefined or incomplete byte: replace it and go on. The
            // five bytes Windows-1252 leaves undefined stand for the C1
            // control characters of the same value there, as in Windows.
            const auto byte = static_cast<unsigned char>(*in);
            const bool c1 = codePage == 1252 && (byte == 0x81 || byte == 0x8D || byte == 0x8F ||
                                                 byte == 0x90 || byte == 0x9D);
            out.push_back(c1 ? static_cast<char16_t>(byte) : kReplacement);
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

char16_t UpperCaseUnit(char16_t unit) {
    if (unit < 0x80)
        return AsciiUpperCase(unit);
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return unit;
    const locale_t utf8 = Utf8Locale();
    if (utf8 == nullptr)
        return unit;
    const wint_t up = towupper_l(static_cast<wint_t>(unit), utf8);
    return up < 0x10000 ? static_cast<char16_t>(up) : unit;
}

bool IsLetterOrDigit(char16_t unit) {
    if (unit < 0x80)
        return (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') ||
               (unit >= u'a' && unit <= u'z');
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return false;
    const locale_t utf8 = Utf8Locale();
    return utf8 != nullptr && iswalnum_l(static_cast<wint_t>(unit), utf8) != 0;
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
