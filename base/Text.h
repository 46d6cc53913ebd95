#pragma once

// Conversions between the system's UTF-16 text and the byte encodings it meets:
// UTF-8 at the library boundary, and the ANSI and OEM code pages in which
// archives and settings written on Windows store their text.

#include "base/Classes.h"

#include <string>
#include <string_view>

namespace Folivant {

// UTF-8 to UTF-16; ill-formed sequences become U+FFFD.
String Utf8ToString(std::string_view utf8);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string StringToUtf8(std::u16string_view text);
// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsWellFormedUtf8(std::string_view bytes);

String Utf16LEToString(const void* bytes, std::size_t size);
String Utf16BEToString(const void* bytes, std::size_t size);

// The system's ANSI and OEM code pages: Windows-1252 and 437 unless
// FOLIVANT_ANSI_CODEPAGE / FOLIVANT_OEM_CODEPAGE name others.
unsigned AnsiCodePage();
unsigned OemCodePage();

// Decodes bytes in a Windows code page (1252, 437, 850, 65001, ...) through
// the system's conversion. Bytes the code page does not define become U+FFFD.
String DecodeCodePage(std::string_view bytes, unsigned codePage);
inline String AnsiToString(std::string_view bytes) {
    return DecodeCodePage(bytes, AnsiCodePage());
}
inline String OemToString(std::string_view bytes) {
    return DecodeCodePage(bytes, OemCodePage());
}

// Upper-cases each UTF-16 code unit by the Unicode simple mapping, leaving
// units whose upper case lies outside the BMP or that are surrogates alone.
String UpperCaseUnicode(std::u16string_view text);
char16_t UpperCaseUnit(char16_t unit);
// True for a letter or a digit by the Unicode character classes (BMP).
bool IsLetterOrDigit(char16_t unit);

// ASCII case folding: "a" to "z" become "A" to "Z"; every other unit, also a
// letter outside ASCII, stays as it is. Names that Windows compares this way
// (archive entries, resource names) use these.
constexpr char16_t AsciiUpperCase(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}
constexpr char AsciiUpperCase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}
// Equal but for the case of ASCII letters.
bool SameTextAscii(std::u16string_view a, std::u16string_view b);
bool SameTextAscii(std::string_view a, std::string_view b);

// The value of a hexadecimal digit of either case, or -1 for any other unit.
constexpr int HexDigitValue(char32_t c) {
    if (c >= U'0' && c <= U'9')
        return static_cast<int>(c - U'0');
    if (c >= U'A' && c <= U'F')
        return static_cast<int>(c - U'A') + 10;
    if (c >= U'a' && c <= U'f')
        return static_cast<int>(c - U'a') + 10;
    return -1;
}
// The digits of the values 0 to 15.
inline constexpr char LowerHexDigits[] = "0123456789abcdef";
inline constexpr char UpperHexDigits[] = "0123456789ABCDEF";

// Converts a UTF-8 literal or value for concise code: u"" is preferred.
inline String S(std::string_view utf8) {
    return Utf8ToString(utf8);
}

} // namespace Folivant
