#pragma once

// Executable resources: a table of typed, named byte blocks appended to an
// executable after its image. The runtime reads its own (the publication
// archive, the style files, the icon) from a read-only memory map of its own
// file; the packer writes copies of the runtime with a new table.
//
// Layout, all integers little-endian:
//   [image][resource data ...][directory][u64 directory offset]["FVRSRC01"]
//   directory: u32 count, then per entry u16 type length + type (ASCII),
//   u16 name length + name (ASCII), u16 language, u64 offset, u64 size.

#include "base/Classes.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Folivant::Platform {

// A file could not be opened or mapped, or a table could not be written.
class EResourceError : public Exception {
public:
    using Exception::Exception;
};

// A whole file mapped read-only into memory for the object's lifetime.
class TMappedFile {
public:
    // Raises EResourceError when the file cannot be opened or mapped.
    explicit TMappedFile(const std::filesystem::path& path);
    ~TMappedFile();
    TMappedFile(const TMappedFile&) = delete;
    TMappedFile& operator=(const TMappedFile&) = delete;

    const std::uint8_t* Data() const { return FData; }
    std::uint64_t Size() const { return FSize; }

private:
    const std::uint8_t* FData = nullptr;
    std::uint64_t FSize = 0;
};

struct TResourceInfo {
    std::string Type;
    std::string Name;
    std::uint16_t Language = 0;
    std::uint64_t Offset = 0;
    std::uint64_t Size = 0;
};

inline constexpr char ResourceMagic[] = "FVRSRC01";
inline constexpr std::uint64_t ResourceTrailerSize = 16;

class TExeResources {
public:
    // Maps the file and reads its table. A file without the trailer, or
    // whose directory does not fit, has no resources. Raises EResourceError
    // when the file cannot be opened.
    explicit TExeResources(const std::filesystem::path& file);
    // The running program's own file.
    static std::filesystem::path OwnExecutable();

    // True when the file ends with a readable resource table.
    bool HasTable() const { return FHasTable; }
    // True when the file ends with the trailer magic (readable or not).
    bool HasTrailer() const { return FHasTrailer; }
    const std::vector<TResourceInfo>& Resources() const { return FResources; }
    // The first resource of that type and name (ASCII letters compare
    // without case), or nothing.
    const TResourceInfo* Find(std::string_view type, std::string_view name) const;
    // The resource's bytes inside the mapping, or nothing when its offset and
    // size do not fit inside the file.
    std::optional<std::span<const std::uint8_t>> Data(const TResourceInfo& resource) const;
    // The bytes before the resource data: the executable image itself.
    std::uint64_t ImageSize() const { return FImageSize; }
    const TMappedFile& File() const { return FFile; }

private:
    TMappedFile FFile;
    bool FHasTable = false;
    bool FHasTrailer = false;
    std::vector<TResourceInfo> FResources;
    std::uint64_t FImageSize = 0;
};

bool SameResourceName(std::string_view a, std::string_view b);

// A resource to put into a written executable: its bytes in memory, or the
// contents of a file.
struct TNewResource {
    std::string Type;
    std::string Name;
    std::uint16_t Language = 1033;
    std::string Bytes;
    std::optional<std::filesystem::path> File;
};

// Writes a copy of source to output with a new resource table: source's
// image without its old table, every old resource that added does not
// replace (same type and name), then added. The output appears at once
// (temporary file in the same folder, renamed over output) and is
// executable. Raises EResourceError on any failure; output is then left as
// it was.
void WriteExeResources(const std::filesystem::path& source, const std::filesystem::path& output,
                       const std::vector<TNewResource>& added);

} // namespace Folivant::Platform
