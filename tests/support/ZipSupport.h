#pragma once

// Helpers for tests that need archives: build one in memory with the
// archive writer, open it, and extract an entry into a string.

#include "base/Classes.h"
#include "archive/ZipReader.h"
#include "archive/ZipWriter.h"

#include <functional>
#include <memory>
#include <string>

namespace Folivant::Testing {

// The bytes of an archive that fill writes and finishes. When layout is
// given it receives where the parts of the archive lie.
std::string BuildZip(const std::function<void(Archive::TZipWriter&)>& fill,
                     Archive::TZipLayout* layout = nullptr);

// An archive held in memory together with the reader opened on it.
class TOpenedZip {
public:
    explicit TOpenedZip(std::string bytes, std::string password = Archive::ArchivePassword);
    Archive::TZipReader& Reader() { return FReader; }
    // The entry's bytes as ExtractToStream writes them.
    std::string Extract(const String& name);
    Archive::TExtractStatus Status() const { return FReader.LastStatus(); }

private:
    std::string FBytes;
    std::unique_ptr<TReadOnlyMemoryStream> FStream;
    Archive::TZipReader FReader;
};

// Puts a 16- or 32-bit little-endian value into bytes at offset.
void Poke16(std::string& bytes, std::uint64_t offset, std::uint16_t value);
void Poke32(std::string& bytes, std::uint64_t offset, std::uint32_t value);
void Poke64(std::string& bytes, std::uint64_t offset, std::uint64_t value);

} // namespace Folivant::Testing
