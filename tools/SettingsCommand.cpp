// settings PUB: every publication setting as the runtime reads it from the
// archive's "fv-config", one Key=value line each in the order it reads them.

#include "tools/PackTool.h"

#include "shared/IniFiles.h"
#include "shared/PublicationSettings.h"

namespace Folivant::Tools {

int SettingsCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {}, 1, "folivant-pack settings PUB");
    TPublication publication(a.Positional[0]);
    TMemoryStream config;
    publication.Zip().ExtractToStream(u"fv-config", config);
    config.SetPosition(0);
    Shared::TMemIniFile ini;
    ini.SetStrings(Shared::StreamToLines(config));
    std::string out;
    for (const auto& [key, value] : Shared::DescribePublicationSettings(ini))
        out += Utf8(key) + "=" + Utf8(value) + "\n";
    WriteStdout(out);
    return 0;
}

} // namespace Folivant::Tools
