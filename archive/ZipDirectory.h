#pragma once

// The archive's bytes and its central directory: where the end record
// stands, what the Zip64 records add, and the entries in directory order.

#include "base/Classes.h"
#include "archive/ZipReader.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Folivant::Archive {

// The archive's bytes: the memory of a memory stream, read in place, or any
// other stream read through Seek and Read into a scratch buffer.
class TArchiveBytes {
public:
    void Attach(TStream* stream);
    std::uint64_t Size() const { return FSize; }
    bool Mapped() const { return FMapped; }
    bool Contains(std::uint64_t offset, std::uint64_t size) const {
        return offset <= FSize && size <= FSize - offset;
    }

    // Copies size bytes at offset into out; false when they lie outside the
    // data or can't be read.
    bool ReadInto(std::uint64_t offset, std::size_t size, std::uint8_t* out);

    // Points at size bytes at offset, or gives nullptr when they lie outside
    // the data. A pointer into the scratch buffer lasts until the next call.
    const std::uint8_t* Get(std::uint64_t offset, std::size_t size,
                            std::vector<std::uint8_t>& scratch);

private:
    TStream* FStream = nullptr;
    const std::uint8_t* FMemory = nullptr;
    std::uint64_t FSize = 0;
    bool FMapped = false;
};

// Every entry of the central directory, in its order; none for empty data.
// Raises EZipError when the archive as a whole cannot be read.
std::vector<TZipEntry> ReadCentralDirectory(TArchiveBytes& bytes,
                                            std::vector<std::uint8_t>& scratch);

} // namespace Folivant::Archive
