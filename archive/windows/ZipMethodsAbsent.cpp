// Debian has no bzip2 or LZMA library built for Windows, so the Windows
// build has no decoder for those two methods: their entries read as entries
// of an unsupported method (nothing is extracted), as on any system that
// lacks a method.
#include "archive/ZipDecoders.h"

namespace Folivant::Archive {

TExtractStatus InflateBzip2(const std::uint8_t*, std::size_t, TEntryOutput&) {
    return TExtractStatus::esMethod;
}

TExtractStatus InflateLzma(const std::uint8_t*, std::size_t, std::uint16_t, std::uint64_t,
                           TEntryOutput&) {
    return TExtractStatus::esMethod;
}

} // namespace Folivant::Archive
