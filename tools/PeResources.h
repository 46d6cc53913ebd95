#pragma once

// Resources of Windows executables (PE32 and PE32+), read and written
// without the Windows API, so that the packer makes Windows publications on
// any system. The resource section is a three-level tree (type, name,
// language) of directories whose leaves point at data anywhere in the
// image. Writing rebuilds the whole tree with the added resources: either in
// place of the executable's last section when that section holds the tree,
// or as a new last section; the headers (section table, image size, resource
// directory entry, checksum) follow.
//
// This unit depends on the standard library only, so that it builds and is
// tested as a Windows program too.

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Folivant::Tools {

// A file that is not a PE executable, or whose headers or resource tree do
// not fit inside it. The message says what is wrong (UTF-8).
class EPeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A resource type or name: a number, or a string of UTF-16 code units.
struct TPeName {
    std::uint16_t Id = 0;
    std::u16string Text; // used when not empty

    bool IsId() const { return Text.empty(); }
    bool operator==(const TPeName&) const = default;
};

// Reads a type as the resource compilers spell it: a standard type name
// ("RCDATA", "ICON", "GROUP_ICON", "VERSION", ...; "RT_" may lead), "#N"
// for a number, or any other ASCII text as a named type. Raises EPeError
// for empty text, "#" without a number in 1..65535, or non-ASCII text.
TPeName PeTypeName(std::string_view type);
// Reads a resource name: "#N" for a number, other ASCII text as a string.
// String names are kept in upper case, as the resource compilers store them
// and as the loader looks them up.
TPeName PeResourceName(std::string_view name);
// The name as PeTypeName/PeResourceName read it back ("RCDATA", "#1",
// "FOLDATA").
std::string PeTypeText(const TPeName& type);
std::string PeNameText(const TPeName& name);

struct TPeResource {
    TPeName Type;
    TPeName Name;
    std::uint16_t Language = 0;
    std::uint32_t CodePage = 0;
    std::uint64_t Offset = 0; // of the data in the file
    std::uint32_t Size = 0;
};

// True when the bytes start like a PE executable: "MZ" and, where the DOS
// header points, "PE\0\0".
bool LooksLikePe(std::span<const std::uint8_t> file);

// A PE executable's headers and resource tree, read from bytes the caller
// keeps alive.
class TPeImage {
public:
    // Raises EPeError when the headers or the section table do not fit in
    // the file, when a directory of the resource tree lies outside its
    // section, loops or nests deeper than three levels, or when a resource's
    // data does not lie inside a section's bytes in the file.
    explicit TPeImage(std::span<const std::uint8_t> file);

    bool Is64() const { return FIs64; }
    const std::vector<TPeResource>& Resources() const { return FResources; }
    // The first resource of that type and name in any language, or nothing.
    const TPeResource* Find(const TPeName& type, const TPeName& name) const;
    std::span<const std::uint8_t> Data(const TPeResource& resource) const;
    std::uint32_t StoredCheckSum() const;

    struct TSection {
        char Name[8];
        std::uint32_t VirtualSize;
        std::uint32_t VirtualAddress;
        std::uint32_t RawSize;
        std::uint32_t RawOffset;
        std::uint32_t Characteristics;
    };

    // The layout the writer needs.
    std::size_t OptionalHeaderOffset() const { return FOptional; }
    std::size_t SectionTableOffset() const { return FSectionTable; }
    const std::vector<TSection>& Sections() const { return FSections; }
    std::uint32_t SectionAlignment() const { return FSectionAlignment; }
    std::uint32_t FileAlignment() const { return FFileAlignment; }
    std::uint32_t HeadersSize() const { return FHeadersSize; }
    std::size_t DirectoryOffset(unsigned index) const; // 0 when absent
    // Where the section bytes end in the file; what follows is the overlay.
    std::uint64_t SectionsEnd() const { return FSectionsEnd; }

private:
    void ReadResources();

    std::span<const std::uint8_t> FFile;
    bool FIs64 = false;
    std::size_t FOptional = 0;
    std::size_t FSectionTable = 0;
    std::size_t FDirectories = 0;
    std::uint32_t FDirectoryCount = 0;
    std::uint32_t FSectionAlignment = 0;
    std::uint32_t FFileAlignment = 0;
    std::uint32_t FHeadersSize = 0;
    std::uint64_t FSectionsEnd = 0;
    std::vector<TSection> FSections;
    std::vector<TPeResource> FResources;
};

// A resource to put into an executable.
struct TPeNewResource {
    TPeName Type;
    TPeName Name;
    std::uint16_t Language = 1033;
    std::span<const std::uint8_t> Bytes;
};

// Returns a copy of file with the added resources in its resource tree.
// Every resource of the file whose type and name an added one carries (in
// any language) is replaced; every other resource is kept. An Authenticode
// signature is dropped, as it no longer matches; other bytes after the
// sections (a symbol table) are kept and moved. Raises EPeError when file
// is damaged (see TPeImage) or has no room for another section header.
std::vector<std::uint8_t> AddPeResources(std::span<const std::uint8_t> file,
                                         const std::vector<TPeNewResource>& added);

// The GROUP_ICON directory that makes one PNG image, stored as the ICON
// resource numbered id, an icon group (Windows reads PNG-compressed icon
// images). Raises EPeError when png is not a PNG image.
std::vector<std::uint8_t> PngIconGroup(std::span<const std::uint8_t> png, std::uint16_t id);
// One image of an ICO file, as its directory describes it; Bytes (a PNG or
// a BMP without its file header) points into the file's bytes.
struct TIcoImage {
    std::uint8_t Width = 0; // 0 means 256
    std::uint8_t Height = 0;
    std::uint8_t Colors = 0;
    std::uint16_t Planes = 0;
    std::uint16_t BitCount = 0;
    std::span<const std::uint8_t> Bytes;
};
// True when the bytes start like an ICO file (reserved 0, type 1).
bool LooksLikeIco(std::span<const std::uint8_t> file);
// The images of an ICO file, kept as they are. Raises EPeError when the
// header or directory does not fit, there is no image, or an image's bytes
// lie outside the file.
std::vector<TIcoImage> ParseIco(std::span<const std::uint8_t> file);
// The GROUP_ICON directory for images stored as the ICON resources numbered
// firstId, firstId + 1, ...
std::vector<std::uint8_t> IcoIconGroup(const std::vector<TIcoImage>& images, std::uint16_t firstId);

// Reads "A", "A.B", "A.B.C" or "A.B.C.D" (each 0..65535) into four numbers,
// the missing ones 0. Raises EPeError for anything else.
std::array<std::uint16_t, 4> ParseFileVersion(std::string_view text);
// A VERSION resource (VS_VERSIONINFO): the fixed file information with
// version as file and product version, and one string table for US English,
// Unicode (040904B0) with the strings given (name, value); children are
// 32-bit aligned as the loader expects.
std::vector<std::uint8_t>
VersionInfo(const std::array<std::uint16_t, 4>& version,
            const std::vector<std::pair<std::u16string, std::u16string>>& strings);

// A number no ICON resource of the image uses yet.
std::uint16_t FreeIconNumber(const TPeImage& image);

// The PE checksum of file: the 16-bit one's-complement-style sum of its
// little-endian words with the four bytes at checksumOffset read as zero,
// plus the file's length.
std::uint32_t PeCheckSum(std::span<const std::uint8_t> file, std::size_t checksumOffset);

} // namespace Folivant::Tools
