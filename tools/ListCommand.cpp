// list PUB: one line per entry in central-directory order.

#include "tools/PackTool.h"

#include <string>

namespace Folivant::Tools {

int ListCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {}, 1, "folivant-pack list PUB");
    TPublication publication(a.Positional[0]);
    Archive::TZipReader& zip = publication.Zip();
    std::string out;
    for (int i = 0; i < zip.Count(); ++i) {
        const Archive::TZipEntry& e = zip.Entry(i);
        out += std::to_string(i) + "\t" + Utf8(e.Name) + "\t" + std::to_string(e.Method) + "\t" +
               std::to_string(e.CompressedSize) + "\t" + std::to_string(e.UncompressedSize) + "\n";
        if (out.size() > 65536) {
            WriteStdout(out);
            out.clear();
        }
    }
    WriteStdout(out);
    return 0;
}

} // namespace Folivant::Tools
