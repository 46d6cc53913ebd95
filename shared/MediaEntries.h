#pragma once

// The publication's media entries as the media endpoint reads them: a URL
// resolves to an entry exactly as the content protocol resolves it.

#include "archive/ZipReader.h"
#include "platform/MediaCache.h"

namespace Folivant::Shared {

// An entry source over the publication archive. It reads through a reader
// of its own over the same archive memory (opened on first use, on the
// endpoint's decoding thread), so zipFile stays the GUI thread's alone.
// zipFile must read from a memory stream that outlives the source; raises
// Exception otherwise.
Platform::TMediaEntrySource MediaEntrySource(const Archive::TZipReader& zipFile);

} // namespace Folivant::Shared
