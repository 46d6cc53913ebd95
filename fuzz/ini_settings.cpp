// Feeds arbitrary bytes to the settings reader the way the publication
// object does (bytes to lines, lines to sections) and reads every key of the
// publication settings, plus a few lookups that exercise the integer forms.

#include "shared/IniFiles.h"
#include "shared/PublicationSettings.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Folivant::Shared;
    Folivant::TReadOnlyMemoryStream stream(data, static_cast<std::int64_t>(size));
    TMemIniFile ini;
    ini.SetStrings(StreamToLines(stream));
    const TPublicationSettings settings = ReadPublicationSettings(ini);
    (void)settings;
    const auto described = DescribePublicationSettings(ini);
    if (described.size() != PublicationSettingKeys.size())
        __builtin_trap();
    for (std::size_t i = 0; i < ini.SectionCount(); ++i) {
        for (const Folivant::String& line : ini.SectionLines(i)) {
            const auto equals = line.find(u'=');
            if (equals == Folivant::String::npos)
                continue;
            const Folivant::String name = line.substr(0, equals);
            // The value stored for a name is found again by that name, unless
            // a later line or section of the same folded name hides it.
            (void)ini.ReadInteger(ini.SectionName(i), name, 0);
            (void)ini.ReadBool(ini.SectionName(i), name, true);
        }
    }
    return 0;
}
