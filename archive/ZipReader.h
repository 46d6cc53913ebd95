#pragma once

// The publication archive reader: opens a ZIP archive from a stream, keeps its
// central directory in memory, looks entries up by name and decodes them.

#include "base/Classes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Folivant::Archive {

// The archive as a whole cannot be read (no end record, a damaged central
// directory, a disk other than 0). Raised by SetStream.
class EZipError : public Exception {
public:
    using Exception::Exception;
};

enum class TArchiveType { atZip };

// What the last ExtractToStream did. The caller of the system never sees it
// (failures inside an entry are absorbed); it tells tests and tools why an
// entry gave no or partial bytes.
enum class TExtractStatus {
    esOk,
    esNotFound,    // no entry of that name
    esVersion,     // version needed to extract is 6.4 or later
    esLocalHeader, // the local header is missing or damaged
    esPassword,    // the encryption check byte does not match
    esMethod,      // no decoder for the compression method
    esCorrupt,     // the compressed data is damaged or longer than declared
    esTruncated,   // the entry's data runs past the end of the archive
    esCrc,         // decoded completely, but the CRC-32 differs (bytes kept)
    esOutOfMemory,
    esFailed, // the output stream or something else failed
};

struct TZipEntry {
    String Name;
    std::uint16_t VersionMadeBy = 0;
    std::uint16_t VersionNeeded = 0;
    std::uint16_t Flags = 0;
    std::uint16_t Method = 0;
    std::uint16_t ModTime = 0;
    std::uint16_t ModDate = 0;
    std::uint32_t Crc32 = 0;
    std::uint64_t CompressedSize = 0;
    std::uint64_t UncompressedSize = 0;
    std::uint32_t DiskNumberStart = 0;
    std::uint64_t LocalHeaderOffset = 0;
};

class TZipReader {
public:
    TZipReader();
    ~TZipReader();
    TZipReader(const TZipReader&) = delete;
    TZipReader& operator=(const TZipReader&) = delete;

    // The password applied to every encrypted entry, as raw bytes.
    std::string Password;
    TArchiveType ArchiveType = TArchiveType::atZip;
    bool ForceType = true;

    // Opens the archive held in stream (not owned; it must outlive the
    // reader). Raises EZipError when the archive is unreadable.
    void SetStream(TStream* stream);
    TStream* Stream() const { return FStream; }

    // Index of the entry named name in central-directory order, or -1.
    int FindFile(const String& name) const;
    // Decodes the entry named name into stream at its position. Never raises
    // for failures inside the entry; see the implementation for the rules.
    void ExtractToStream(const String& name, TStream& stream);

    TExtractStatus LastStatus() const { return FLastStatus; }

    int Count() const { return static_cast<int>(FEntries.size()); }
    const TZipEntry& Entry(int index) const { return FEntries.at(static_cast<std::size_t>(index)); }

private:
    TExtractStatus Extract(const TZipEntry& entry, TStream& stream);

    TStream* FStream = nullptr;
    TExtractStatus FLastStatus = TExtractStatus::esNotFound;
    std::vector<TZipEntry> FEntries;
    // Implementation state (lookup table, mapped data) lives behind this.
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

// The fixed password every publication archive is encrypted with; the packer
// uses the same one.
inline constexpr const char* ArchivePassword = "Fv7Qp2Lm9Xc4Rt8Zw1Hs6Jd3Nb5Vk0Ya=Ge=";

} // namespace Folivant::Archive
