// embed ARCHIVE [--runtime FILE] -o OUT: the archive's bytes exactly as they
// are, also damaged or empty ones, become the FOLDATA of a runtime copy.

#include "tools/PackTool.h"

#include "base/Text.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Folivant::Tools {

int EmbedCommand(std::span<const std::string> args) {
    static const char* const Usage = "folivant-pack embed ARCHIVE [--runtime FILE] -o OUT";
    const TArguments a = ParseArguments(args, {"runtime", "output"}, 1, Usage);
    const auto output = a.Option("output");
    if (!output)
        throw EPackError(Utf8ToString(std::string("-o OUT is required; usage: ") + Usage));
    const std::filesystem::path archive = a.Positional[0];
    std::error_code ec;
    if (!std::filesystem::is_regular_file(archive, ec) || ::access(archive.c_str(), R_OK) != 0)
        throw EPackError(Utf8ToString(archive.string() + ": not a readable file"));
    EmbedArchive(RuntimeOption(a), archive, *output);
    return 0;
}

} // namespace Folivant::Tools
