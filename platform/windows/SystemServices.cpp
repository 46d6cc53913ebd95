// The shared units' system services on Windows: the module's file name,
// the system's random generator, the user's locale (GetLocaleInfoEx,
// CharUpperBuffW, GetStringTypeW) and an appending file handle.
#include "platform/SystemServices.h"

#include "platform/SpecialFolders.h"

#include <windows.h>

#include <bcrypt.h>

#include <cwchar>
#include <string>

namespace Folivant::Platform {

String ProcessFileName() {
    return ExecutablePath();
}

String ProcessCommandLine() {
    const wchar_t* line = GetCommandLineW();
    return line != nullptr ? String(line, line + wcslen(line)) : String();
}

bool SystemRandom(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ULONG chunk = static_cast<ULONG>(size > 0x40000000u ? 0x40000000u : size);
        if (BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            return false;
        bytes += chunk;
        size -= chunk;
    }
    return true;
}

String LocaleDecimalSeparator() {
    wchar_t separator[8] = {};
    const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    if (n <= 1)
        return String();
    return String(separator, separator + n - 1);
}

char16_t LocaleUpperCase(char16_t unit) {
    wchar_t text[1] = {static_cast<wchar_t>(unit)};
    CharUpperBuffW(text, 1);
    return static_cast<char16_t>(text[0]);
}

bool IsUnicodeLetter(char32_t c) {
    wchar_t text[2];
    int length = 1;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    if (c >= 0x10000) {
        text[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        text[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        length = 2;
    } else {
        text[0] = static_cast<wchar_t>(c);
    }
    WORD types[2] = {};
    return GetStringTypeW(CT_CTYPE1, text, length, types) && (types[0] & C1_ALPHA) != 0;
}

void AppendLine(const char* path, std::string_view line) {
    // FILE_APPEND_DATA alone: every write goes to the end, so lines of
    // several processes stay whole.
    const HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace Folivant::Platform
