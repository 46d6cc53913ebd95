// settings PUB: every publication setting as the runtime reads it from the
// archive's "fv-config", one Key=value line each in the order it reads them.
// A value that looks like UTF-8 read in the ANSI code page gets a warning on
// standard error.

#include "tools/PackTool.h"

#include "base/Text.h"
#include "shared/IniFiles.h"
#include "shared/PublicationSettings.h"

#include <array>
#include <cstdio>

namespace Folivant::Tools {

namespace {

// The text as UTF-8 when it is what UTF-8 bytes with characters beyond
// ASCII become when read in the ANSI code page ("CafÃ©" for "Café");
// otherwise empty.
std::string Utf8ReadAsAnsi(const String& text) {
    static const std::array<char16_t, 256> Decoded = [] {
        std::array<char16_t, 256> table{};
        for (int b = 0; b < 256; ++b) {
            const String c = AnsiToString(std::string(1, static_cast<char>(b)));
            table[static_cast<std::size_t>(b)] = c.size() == 1 ? c[0] : u'\0';
        }
        return table;
    }();
    std::string bytes;
    bool nonAscii = false;
    for (char16_t c : text) {
        std::size_t b = 0;
        while (b < Decoded.size() && (Decoded[b] != c || c == u'\0'))
            ++b;
        if (b == Decoded.size())
            return {};
        nonAscii = nonAscii || b >= 0x80;
        bytes.push_back(static_cast<char>(b));
    }
    return nonAscii && IsWellFormedUtf8(bytes) ? bytes : std::string();
}

} // namespace

int SettingsCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {}, 1, "folivant-pack settings PUB");
    TPublication publication(a.Positional[0]);
    TMemoryStream config;
    publication.Zip().ExtractToStream(u"fv-config", config);
    config.SetPosition(0);
    Shared::TMemIniFile ini;
    ini.SetStrings(Shared::StreamToLines(config));
    std::string out;
    for (const auto& [key, value] : Shared::DescribePublicationSettings(ini)) {
        out += Utf8(key) + "=" + Utf8(value) + "\n";
        const std::string meant = Utf8ReadAsAnsi(value);
        if (!meant.empty())
            std::fprintf(stderr,
                         "folivant-pack settings: warning: %s=%s looks like UTF-8 read as ANSI "
                         "(meant: %s); the settings file needs a UTF-8 byte-order mark\n",
                         Utf8(key).c_str(), Utf8(value).c_str(), meant.c_str());
    }
    WriteStdout(out);
    return 0;
}

} // namespace Folivant::Tools
