#pragma once

// The publication object: the archive carried in the executable's own
// RCDATA resource FOLDATA, opened once at start-up, and the settings read
// from its entry "fv-config". The rest of the program reaches the archive
// and the settings only through GlobalExeHtmlSite.

#include "base/Classes.h"
#include "archive/ZipReader.h"
#include "shared/IniFiles.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace Folivant::Runtime {

// The executable carries no FOLDATA resource (or its bytes cannot be read).
class EResNotFound : public Exception {
public:
    using Exception::Exception;
};

class TExeHtmlSite {
public:
    // Opens the program's own FOLDATA resource as the archive and loads the
    // settings.
    TExeHtmlSite();
    // Opens the given bytes of a FOLDATA resource (nothing: the executable
    // has none) in place, without a copy; they must stay valid for the
    // object's lifetime. An empty resource ends the process through
    // HaltInvalidApplication; a missing one raises EResNotFound, an
    // unreadable archive EZipError.
    explicit TExeHtmlSite(std::optional<std::span<const std::uint8_t>> foldata);
    // Frees the settings object, then the archive reader, then the stream
    // over the resource they were read from.
    ~TExeHtmlSite();
    TExeHtmlSite(const TExeHtmlSite&) = delete;
    TExeHtmlSite& operator=(const TExeHtmlSite&) = delete;

    Archive::TZipReader& ZipFile() const { return *FZipFile; }
    const Shared::TMemIniFile& IniFile() const { return *FIniFile; }

private:
    // Declared in the order they are needed: the stream over the resource
    // must outlive the reader that reads from it.
    std::unique_ptr<TReadOnlyMemoryStream> FResourceStream;
    std::unique_ptr<Archive::TZipReader> FZipFile;
    std::unique_ptr<Shared::TMemIniFile> FIniFile;
};

// The one publication object, created by unit initialisation.
extern TExeHtmlSite* GlobalExeHtmlSite;
void InitializeExeHtmlSite();
void FinalizeExeHtmlSite();

// Shows "This is not a valid Windows application" and ends the process
// with exit code 0 (after finalising the units initialised so far).
[[noreturn]] void HaltInvalidApplication();

} // namespace Folivant::Runtime
