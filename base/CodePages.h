#pragma once

// The system's code page and character services behind the text unit:
// decoding a Windows code page, the Unicode simple upper case and the
// letter-or-digit class of a UTF-16 unit. Each platform has its own file
// (platform/posix: iconv and the C library's C.UTF-8 locale; platform/windows:
// MultiByteToWideChar, CharUpperBuffW, IsCharAlphaNumericW).

#include "base/Classes.h"

#include <string_view>

namespace Folivant::CodePages {

// The ANSI and OEM code pages when the environment names none.
unsigned SystemAnsi();
unsigned SystemOem();
// Decodes bytes in codePage into out. False, with out untouched, when the
// system does not know the code page. Bytes the code page leaves undefined
// become U+FFFD, except the five Windows-1252 leaves undefined, which stand
// for the C1 control characters of the same value, as on Windows.
bool Decode(std::string_view bytes, unsigned codePage, String& out);
// The upper case of a unit outside ASCII and the surrogates.
char16_t UpperCase(char16_t unit);
// True when a unit outside ASCII and the surrogates is a letter or digit.
bool IsLetterOrDigit(char16_t unit);

} // namespace Folivant::CodePages
