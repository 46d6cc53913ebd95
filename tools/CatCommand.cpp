// cat PUB NAME: exactly the bytes the runtime's extraction writes for NAME;
// nothing for a missing or undecodable entry.

#include "tools/PackTool.h"

#include "base/Text.h"

namespace Folivant::Tools {

int CatCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {}, 2, "folivant-pack cat PUB NAME");
    TPublication publication(a.Positional[0]);
    TMemoryStream data;
    publication.Zip().ExtractToStream(Utf8ToString(a.Positional[1]), data);
    WriteStdout(std::string_view(reinterpret_cast<const char*>(data.Memory()),
                                 static_cast<std::size_t>(data.Size())));
    return 0;
}

} // namespace Folivant::Tools
