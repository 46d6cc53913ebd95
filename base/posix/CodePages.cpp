#include "base/CodePages.h"

#include "base/Text.h"

#include <cerrno>
#include <cwctype>
#include <iconv.h>
#include <locale.h>
#include <string>
#include <vector>

namespace Folivant::CodePages {

namespace {

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

unsigned SystemAnsi() {
    return 1252;
}

unsigned SystemOem() {
    return 437;
}

bool Decode(std::string_view bytes, unsigned codePage, String& out) {
    thread_local TIconvCache cache;
    iconv_t cd = cache.Get(codePage);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out.clear();
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
            // An undefined or incomplete byte: replace it and go on.
            const auto byte = static_cast<unsigned char>(*in);
            const bool c1 = codePage == 1252 && (byte == 0x81 || byte == 0x8D || byte == 0x8F ||
                                                 byte == 0x90 || byte == 0x9D);
            out.push_back(c1 ? static_cast<char16_t>(byte) : u'\uFFFD');
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return true;
}

char16_t UpperCase(char16_t unit) {
    const locale_t utf8 = Utf8Locale();
    if (utf8 == nullptr)
        return unit;
    const wint_t up = towupper_l(static_cast<wint_t>(unit), utf8);
    return up < 0x10000 ? static_cast<char16_t>(up) : unit;
}

bool IsLetterOrDigit(char16_t unit) {
    const locale_t utf8 = Utf8Locale();
    return utf8 != nullptr && iswalnum_l(static_cast<wint_t>(unit), utf8) != 0;
}

} // namespace Folivant::CodePages
