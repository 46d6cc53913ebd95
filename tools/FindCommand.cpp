// find PUB NAME: the index the runtime's lookup gives for NAME, or -1.

#include "tools/PackTool.h"

#include "base/Text.h"

namespace Folivant::Tools {

int FindCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {}, 2, "folivant-pack find PUB NAME");
    TPublication publication(a.Positional[0]);
    WriteStdout(std::to_string(publication.Zip().FindFile(Utf8ToString(a.Positional[1]))) + "\n");
    return 0;
}

} // namespace Folivant::Tools
