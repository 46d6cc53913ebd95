#include "shared/StrUtils.h"

#include "base/Text.h"
#include "platform/SystemServices.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace Folivant::Shared {

namespace {

void AppendHex(String& out, unsigned value, int minDigits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", minDigits, value);
    for (const char* p = buffer; *p != 0; ++p)
        out.push_back(static_cast<char16_t>(*p));
}

// The process-wide pseudo-random generator: a 32-bit linear congruential
// generator whose draws scale the state into the requested range, so that
// a draw from 0 to n-1 is (state * n) >> 32.
std::uint32_t RandSeed = 0;

std::uint32_t Random(std::uint32_t range) {
    RandSeed = RandSeed * 0x08088405u + 1u;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(RandSeed) * range) >> 32);
}

// The seed comes from the high-resolution counter (nanoseconds of the
// monotonic clock).
std::uint32_t PerformanceCounterSeed() {
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ticks));
}

// The decimal separator of the user's locale; "." when the locale gives none.
String DecimalSeparator() {
    String radix = Platform::LocaleDecimalSeparator();
    if (radix.empty())
        return u".";
    return radix;
}

String DecimalString(std::uint64_t value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return String(digits.begin(), digits.end());
}

} // namespace

String TStrUtils::GetGUID() {
    unsigned char bytes[16];
    if (!Platform::SystemRandom(bytes, sizeof bytes)) {
        std::random_device device;
        for (auto& b : bytes)
            b = static_cast<unsigned char>(device());
    }
    // A random (version 4, RFC 4122 variant) GUID, as the platform makes them.
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    String out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out.push_back(u'-');
        AppendHex(out, bytes[i], 2);
    }
    return out;
}

String TStrUtils::UrlEncode(const String& str) {
    String out;
    out.reserve(str.size());
    for (const char16_t c : str) {
        const bool plain = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') ||
                           (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_';
        if (plain) {
            out.push_back(c);
        } else {
            out.push_back(u'%');
            AppendHex(out, c, 2);
        }
    }
    return out;
}

String TStrUtils::UrlDecode(const String& str) {
    String out;
    out.reserve(str.size());
    const std::size_t n = str.size();
    for (std::size_t i = 0; i < n;) {
        const char16_t c = str[i] == u'+' ? u' ' : str[i];
        if (c != u'%') {
            out.push_back(c);
            ++i;
            continue;
        }
        // One digit is enough when the text ends right after it.
        const std::size_t digits = n - i - 1 >= 2 ? 2 : n - i - 1;
        if (digits == 0)
            return String();
        int value = 0;
        for (std::size_t k = 1; k <= digits; ++k) {
            const int d = HexDigitValue(str[i + k]);
            if (d < 0)
                return String();
            value = value * 16 + d;
        }
        out.push_back(static_cast<char16_t>(value));
        i += 1 + digits;
    }
    return out;
}

String TStrUtils::FormatByteSize(std::int64_t bytes) {
    // The value is bytes divided by a power of two, so its hundredths are
    // exact: the whole part is the shifted magnitude and the fraction comes
    // from the bits shifted out (fewer than 30, times 100, fits in 64 bits).
    // They are rounded half away from zero.
    int shift = 0;
    const char16_t* unit = u" bytes";
    if (bytes > 1073741824) {
        shift = 30;
        unit = u" GB";
    } else if (bytes > 1048576) {
        shift = 20;
        unit = u" MB";
    } else if (bytes > 1024) {
        shift = 10;
        unit = u" KB";
    }
    const bool negative = bytes < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
    std::uint64_t whole = magnitude >> shift;
    const std::uint64_t scaledRest = (magnitude & ((std::uint64_t(1) << shift) - 1)) * 100;
    std::uint64_t restHundredths = scaledRest >> shift;
    if (shift > 0 && ((scaledRest >> (shift - 1)) & 1) != 0)
        ++restHundredths;
    whole += restHundredths / 100;
    const unsigned fraction = static_cast<unsigned>(restHundredths % 100);

    String out;
    if (whole != 0 || fraction != 0) {
        if (negative)
            out.push_back(u'-');
        if (whole != 0)
            out += DecimalString(whole);
        if (fraction != 0) {
            out += DecimalSeparator();
            out.push_back(static_cast<char16_t>(u'0' + fraction / 10));
            if (fraction % 10 != 0)
                out.push_back(static_cast<char16_t>(u'0' + fraction % 10));
        }
    }
    out += unit;
    return out;
}

String TStrUtils::RandomString(std::int32_t strLen) {
    static constexpr char16_t Alphabet[] = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    RandSeed = PerformanceCounterSeed();
    String out;
    if (strLen > 0)
        out.reserve(static_cast<std::size_t>(strLen));
    while (static_cast<std::int64_t>(out.size()) < strLen)
        out.push_back(Alphabet[Random(52)]);
    return out;
}

String TStrUtils::RemoveSideSlashes(const String& str) {
    const std::size_t first = str.find_first_not_of(u'/');
    if (first == String::npos)
        return String();
    const std::size_t last = str.find_last_not_of(u'/');
    return str.substr(first, last - first + 1);
}

String TStrUtils::RemoveQueryFromUri(const String& uri) {
    String out = uri.substr(0, uri.find(u'?'));
    return out.substr(0, out.find(u'#'));
}

String TStrUtils::RepeatString(const String& str, std::uint32_t count) {
    String out;
    out.reserve(str.size() * count);
    for (std::uint32_t i = 0; i < count; ++i)
        out += str;
    return out;
}

TArrayStrings TStrUtils::ExplodeStrings(const String& separator, const String& str) {
    TArrayStrings out;
    std::size_t start = 0;
    if (!separator.empty()) {
        for (std::size_t at = str.find(separator); at != String::npos;
             at = str.find(separator, start)) {
            out.push_back(str.substr(start, at - start));
            start = at + separator.size();
        }
    }
    out.push_back(str.substr(start));
    return out;
}

String TStrUtils::ImplodeStrings(const String& separator, const TArrayStrings& aArray) {
    String out;
    for (std::size_t i = 0; i < aArray.size(); ++i) {
        if (i > 0)
            out += separator;
        out += aArray[i];
    }
    return out;
}

} // namespace Folivant::Shared
