#include "tools/PeResources.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>

namespace Folivant::Tools {

namespace {

constexpr std::uint16_t PE32Magic = 0x10B;
constexpr std::uint16_t PE32PlusMagic = 0x20B;
constexpr std::size_t CoffHeaderSize = 20;
constexpr std::size_t SectionHeaderSize = 40;
constexpr unsigned ResourceDirectory = 2;
constexpr unsigned SecurityDirectory = 4;
constexpr std::uint32_t SubdirectoryFlag = 0x80000000u;
constexpr std::uint32_t InitializedReadableData = 0x40000040u; // CNT_INITIALIZED_DATA | MEM_READ
constexpr std::size_t DirectoryHeaderSize = 16;
constexpr std::size_t DirectoryEntrySize = 8;
constexpr std::size_t DataEntrySize = 16;

struct TStandardType {
    const char* Name;
    std::uint16_t Id;
};

constexpr TStandardType StandardTypes[] = {
    {"CURSOR", 1},      {"BITMAP", 2},     {"ICON", 3},          {"MENU", 4},
    {"DIALOG", 5},      {"STRING", 6},     {"FONTDIR", 7},       {"FONT", 8},
    {"ACCELERATOR", 9}, {"RCDATA", 10},    {"MESSAGETABLE", 11}, {"GROUP_CURSOR", 12},
    {"GROUP_ICON", 14}, {"VERSION", 16},   {"DLGINCLUDE", 17},   {"PLUGPLAY", 19},
    {"VXD", 20},        {"ANICURSOR", 21}, {"ANIICON", 22},      {"HTML", 23},
    {"MANIFEST", 24},
};

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t AlignUp(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool IsPowerOfTwo(std::uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Named entries come first, ordered by their code units, then numbered ones
// in ascending order: the loader searches each directory by halves.
bool NameLess(const TPeName& a, const TPeName& b) {
    if (a.IsId() != b.IsId())
        return !a.IsId();
    if (a.IsId())
        return a.Id < b.Id;
    return a.Text < b.Text;
}

struct TNameOrder {
    bool operator()(const TPeName& a, const TPeName& b) const { return NameLess(a, b); }
};

} // namespace

TPeName PeResourceName(std::string_view name) {
    if (name.empty())
        throw EPeError("a resource name is empty");
    TPeName out;
    if (name[0] == '#') {
        std::uint32_t id = 0;
        bool digits = name.size() > 1 && name.size() <= 6;
        for (std::size_t i = 1; digits && i < name.size(); ++i) {
            digits = name[i] >= '0' && name[i] <= '9';
            id = id * 10 + static_cast<std::uint32_t>(name[i] - '0');
        }
        if (!digits || id == 0 || id > 0xFFFF)
            throw EPeError("bad resource number " + std::string(name));
        out.Id = static_cast<std::uint16_t>(id);
        return out;
    }
    if (name.size() > 0xFFFF)
        throw EPeError("a resource name is too long");
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            throw EPeError("a resource name is not printable ASCII: " + std::string(name));
        out.Text.push_back(static_cast<char16_t>(AsciiUpper(c)));
    }
    return out;
}

TPeName PeTypeName(std::string_view type) {
    std::string upper;
    for (const char c : type)
        upper.push_back(AsciiUpper(c));
    std::string_view bare = upper;
    if (bare.size() > 3 && bare.substr(0, 3) == "RT_")
        bare.remove_prefix(3);
    for (const auto& standard : StandardTypes)
        if (bare == standard.Name)
            return TPeName{standard.Id, {}};
    return PeResourceName(type);
}

std::string PeNameText(const TPeName& name) {
    if (name.IsId())
        return "#" + std::to_string(name.Id);
    std::string out;
    for (const char16_t c : name.Text)
        out.push_back(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?');
    return out;
}

std::string PeTypeText(const TPeName& type) {
    if (type.IsId())
        for (const auto& standard : StandardTypes)
            if (standard.Id == type.Id)
                return standard.Name;
    return PeNameText(type);
}

bool LooksLikePe(std::span<const std::uint8_t> file) {
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z')
        return false;
    const std::uint64_t pe = Get32(file, 0x3C);
    return pe + 4 <= file.size() && std::memcmp(file.data() + pe, "PE\0\0", 4) == 0;
}

TPeImage::TPeImage(std::span<const std::uint8_t> file) : FFile(file) {
    if (!LooksLikePe(file))
        throw EPeError("not a PE executable (no MZ header with a PE signature)");
    const std::uint64_t coff = Get32(file, 0x3C) + 4ull;
    if (coff + CoffHeaderSize > file.size())
        throw EPeError("the PE file header is cut off");
    const unsigned sectionCount = Get16(file, coff + 2);
    const unsigned optionalSize = Get16(file, coff + 16);
    FOptional = coff + CoffHeaderSize;
    if (FOptional + optionalSize > file.size() || optionalSize < 2)
        throw EPeError("the PE optional header is cut off");
    const std::uint16_t magic = Get16(file, FOptional);
    if (magic != PE32Magic && magic != PE32PlusMagic)
        throw EPeError("unknown PE optional header kind");
    FIs64 = magic == PE32PlusMagic;
    const std::size_t countField = FIs64 ? 108 : 92;
    FDirectories = FIs64 ? 112 : 96;
    if (optionalSize < FDirectories)
        throw EPeError("the PE optional header is too short");
    FDirectoryCount = Get32(file, FOptional + countField);
    if (FDirectoryCount > 16 || FDirectories + 8ull * FDirectoryCount > optionalSize)
        throw EPeError("the PE data directories do not fit in the optional header");
    FDirectories += FOptional;
    FSectionAlignment = Get32(file, FOptional + 32);
    FFileAlignment = Get32(file, FOptional + 36);
    FHeadersSize = Get32(file, FOptional + 60);

    FSectionTable = FOptional + optionalSize;
    if (sectionCount == 0)
        throw EPeError("the PE file has no sections");
    if (FSectionTable + SectionHeaderSize * sectionCount > file.size())
        throw EPeError("the PE section table runs past the end of the file");
    FSectionsEnd = std::max<std::uint64_t>(FSectionTable + SectionHeaderSize * sectionCount,
                                           std::min<std::uint64_t>(FHeadersSize, file.size()));
    for (unsigned i = 0; i < sectionCount; ++i) {
        const std::size_t at = FSectionTable + SectionHeaderSize * i;
        TSection s{};
        std::memcpy(s.Name, file.data() + at, 8);
        s.VirtualSize = Get32(file, at + 8);
        s.VirtualAddress = Get32(file, at + 12);
        s.RawSize = Get32(file, at + 16);
        s.RawOffset = Get32(file, at + 20);
        s.Characteristics = Get32(file, at + 36);
        if (s.RawSize != 0) {
            if (static_cast<std::uint64_t>(s.RawOffset) + s.RawSize > file.size())
                throw EPeError("a PE section's bytes run past the end of the file");
            FSectionsEnd = std::max<std::uint64_t>(FSectionsEnd, s.RawOffset + s.RawSize);
        }
        FSections.push_back(s);
    }
    ReadResources();
}

std::size_t TPeImage::DirectoryOffset(unsigned index) const {
    return index < FDirectoryCount ? FDirectories + 8 * index : 0;
}

std::uint32_t TPeImage::StoredCheckSum() const {
    return Get32(FFile, FOptional + 64);
}

const TPeResource* TPeImage::Find(const TPeName& type, const TPeName& name) const {
    for (const auto& r : FResources)
        if (r.Type == type && r.Name == name)
            return &r;
    return nullptr;
}

std::span<const std::uint8_t> TPeImage::Data(const TPeResource& resource) const {
    return FFile.subspan(resource.Offset, resource.Size);
}

void TPeImage::ReadResources() {
    const std::size_t entry = DirectoryOffset(ResourceDirectory);
    if (entry == 0)
        return;
    const std::uint32_t rva = Get32(FFile, entry);
    if (rva == 0 || Get32(FFile, entry + 4) == 0)
        return;

    // The file offset of size bytes at an address, when they lie inside one
    // section's bytes in the file.
    const auto fileOffset = [this](std::uint32_t address,
                                   std::uint32_t size) -> std::optional<std::uint64_t> {
        // Only the part of a section's bytes that its virtual size covers is
        // in the image.
        for (const auto& s : FSections) {
            // A section without bytes in the file (zero-filled data) holds
            // nothing that can be read back, not even an empty resource.
            if (s.RawSize == 0 || address < s.VirtualAddress)
                continue;
            const std::uint64_t into = address - s.VirtualAddress;
            const std::uint32_t mapped =
                s.VirtualSize != 0 ? std::min(s.VirtualSize, s.RawSize) : s.RawSize;
            if (into + size <= mapped)
                return s.RawOffset + into;
        }
        return std::nullopt;
    };
    std::optional<std::uint64_t> base = fileOffset(rva, DirectoryHeaderSize);
    if (!base)
        throw EPeError("the resource directory lies outside the sections' bytes");
    // Offsets inside the tree count from its root and may reach to the end
    // of the section that holds it.
    std::span<const std::uint8_t> tree;
    for (const auto& s : FSections)
        if (*base >= s.RawOffset && *base < static_cast<std::uint64_t>(s.RawOffset) + s.RawSize)
            tree = FFile.subspan(*base, s.RawOffset + s.RawSize - *base);

    std::set<std::uint32_t> visited;
    std::size_t entries = 0;
    const std::size_t entryLimit = tree.size() / DirectoryEntrySize;
    const auto readName = [&](std::uint32_t field) {
        TPeName name;
        if ((field & SubdirectoryFlag) == 0) {
            if (field > 0xFFFF)
                throw EPeError("a resource number is out of range");
            name.Id = static_cast<std::uint16_t>(field);
            return name;
        }
        const std::uint64_t at = field & ~SubdirectoryFlag;
        if (at + 2 > tree.size())
            throw EPeError("a resource name lies outside the resource section");
        const std::uint16_t length = Get16(tree, at);
        if (length == 0 || at + 2 + 2ull * length > tree.size())
            throw EPeError("a resource name lies outside the resource section");
        for (std::uint16_t i = 0; i < length; ++i)
            name.Text.push_back(static_cast<char16_t>(Get16(tree, at + 2 + 2ull * i)));
        return name;
    };
    // Walks one directory; level 0 holds types, 1 names, 2 languages.
    const auto walk = [&](auto& self, std::uint32_t at, int level, const TPeName& type,
                          const TPeName& name) -> void {
        if (!visited.insert(at).second)
            throw EPeError("the resource directory loops");
        if (std::uint64_t{at} + DirectoryHeaderSize > tree.size())
            throw EPeError("a resource directory lies outside the resource section");
        const std::size_t count =
            Get16(tree, at + 12) + static_cast<std::size_t>(Get16(tree, at + 14));
        entries += count;
        if (entries > entryLimit ||
            std::uint64_t{at} + DirectoryHeaderSize + DirectoryEntrySize * count > tree.size())
            throw EPeError("a resource directory claims more entries than its section holds");
        std::set<TPeName, TNameOrder> keys;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t e = at + DirectoryHeaderSize + DirectoryEntrySize * i;
            const TPeName key = readName(Get32(tree, e));
            if (!keys.insert(key).second)
                throw EPeError("a resource directory lists " + PeNameText(key) + " twice");
            const std::uint32_t target = Get32(tree, e + 4);
            if (level < 2) {
                if ((target & SubdirectoryFlag) == 0)
                    throw EPeError("a resource tree has data above the language level");
                self(self, target & ~SubdirectoryFlag, level + 1, level == 0 ? key : type,
                     level == 1 ? key : name);
                continue;
            }
            if ((target & SubdirectoryFlag) != 0)
                throw EPeError("a resource tree nests deeper than three levels");
            if (!key.IsId())
                throw EPeError("a resource language is a name, not a number");
            if (std::uint64_t{target} + DataEntrySize > tree.size())
                throw EPeError("a resource data entry lies outside the resource section");
            TPeResource r;
            r.Type = type;
            r.Name = name;
            r.Language = key.Id;
            r.Size = Get32(tree, target + 4);
            r.CodePage = Get32(tree, target + 8);
            const auto offset = fileOffset(Get32(tree, target), r.Size);
            if (!offset)
                throw EPeError("the data of resource " + PeTypeText(type) + " " + PeNameText(name) +
                               " lies outside the sections' bytes");
            r.Offset = *offset;
            FResources.push_back(std::move(r));
        }
    };
    walk(walk, 0, 0, TPeName{}, TPeName{});
}

std::uint32_t PeCheckSum(std::span<const std::uint8_t> file, std::size_t checksumOffset) {
    const auto byte = [&](std::size_t i) -> std::uint32_t {
        if (i >= file.size() || (i >= checksumOffset && i < checksumOffset + 4))
            return 0;
        return file[i];
    };
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 2) {
        sum += byte(i) | (byte(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

std::vector<std::uint8_t> PngIconGroup(std::span<const std::uint8_t> png, std::uint16_t id) {
    static const std::uint8_t Signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 24 || std::memcmp(png.data(), Signature, 8) != 0 ||
        std::memcmp(png.data() + 12, "IHDR", 4) != 0)
        throw EPeError("the icon is not a PNG image");
    const auto bigEndian = [&](std::size_t at) {
        return (static_cast<std::uint32_t>(png[at]) << 24) | (png[at + 1] << 16) |
               (png[at + 2] << 8) | png[at + 3];
    };
    const std::uint32_t width = bigEndian(16), height = bigEndian(20);
    // One entry: sizes of 256 and more are written as 0.
    std::vector<std::uint8_t> group(6 + 14, 0);
    Put16(group, 2, 1); // icons, not cursors
    Put16(group, 4, 1);
    group[6] = static_cast<std::uint8_t>(width >= 256 ? 0 : width);
    group[7] = static_cast<std::uint8_t>(height >= 256 ? 0 : height);
    Put16(group, 10, 1);
    Put16(group, 12, 32);
    Put32(group, 14, static_cast<std::uint32_t>(png.size()));
    Put16(group, 18, id);
    return group;
}

bool LooksLikeIco(std::span<const std::uint8_t> file) {
    return file.size() >= 6 && file[0] == 0 && file[1] == 0 && file[2] == 1 && file[3] == 0;
}

std::vector<TIcoImage> ParseIco(std::span<const std::uint8_t> file) {
    const auto get16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(file[at] | (file[at + 1] << 8));
    };
    const auto get32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(file[at] | (file[at + 1] << 8) | (file[at + 2] << 16) |
                                          (static_cast<std::uint32_t>(file[at + 3]) << 24));
    };
    if (!LooksLikeIco(file))
        throw EPeError("not an ICO file");
    const std::size_t count = get16(4);
    if (count == 0)
        throw EPeError("the ICO file holds no image");
    if (file.size() < 6 + 16 * count)
        throw EPeError("the ICO file ends inside its directory");
    std::vector<TIcoImage> images;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = 6 + 16 * i;
        const std::uint32_t size = get32(entry + 8), offset = get32(entry + 12);
        if (size == 0 || offset < 6 + 16 * count || offset > file.size() ||
            size > file.size() - offset)
            throw EPeError("the ICO file's image " + std::to_string(i + 1) +
                           " lies outside the file");
        images.push_back({file[entry], file[entry + 1], file[entry + 2], get16(entry + 4),
                          get16(entry + 6), file.subspan(offset, size)});
    }
    return images;
}

std::vector<std::uint8_t> IcoIconGroup(const std::vector<TIcoImage>& images,
                                       std::uint16_t firstId) {
    std::vector<std::uint8_t> group(6 + 14 * images.size(), 0);
    Put16(group, 2, 1);
    Put16(group, 4, static_cast<std::uint32_t>(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::size_t at = 6 + 14 * i;
        group[at] = images[i].Width;
        group[at + 1] = images[i].Height;
        group[at + 2] = images[i].Colors;
        Put16(group, at + 4, images[i].Planes);
        Put16(group, at + 6, images[i].BitCount);
        Put32(group, at + 8, static_cast<std::uint32_t>(images[i].Bytes.size()));
        Put16(group, at + 12, static_cast<std::uint32_t>(firstId + i));
    }
    return group;
}

std::array<std::uint16_t, 4> ParseFileVersion(std::string_view text) {
    std::array<std::uint16_t, 4> version{};
    std::size_t part = 0;
    std::size_t at = 0;
    const auto fail = [&] {
        throw EPeError("the version \"" + std::string(text) +
                       "\" is not one to four numbers 0..65535 separated by dots");
    };
    for (;;) {
        if (part == 4)
            fail();
        std::uint32_t value = 0;
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
            if (value > 0xFFFF)
                fail();
            ++at;
        }
        if (at == start)
            fail();
        version[part++] = static_cast<std::uint16_t>(value);
        if (at == text.size())
            return version;
        if (text[at] != '.')
            fail();
        ++at;
    }
}

namespace {

// One node of a version resource: wLength, wValueLength, wType, the key
// (UTF-16, ending in 0), padding to 32 bits, the value, padding, children.
// Every node starts 32-bit aligned; wLength leaves out the padding after
// the last child.
void PutVersionNode(std::vector<std::uint8_t>& out, std::u16string_view key,
                    std::span<const std::uint8_t> value, std::uint16_t valueLength, bool text,
                    const std::function<void(std::vector<std::uint8_t>&)>& children) {
    while (out.size() % 4 != 0)
        out.push_back(0);
    const std::size_t start = out.size();
    out.resize(start + 6);
    Put16(out, start + 2, valueLength);
    Put16(out, start + 4, text ? 1 : 0);
    for (char16_t c : key) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    while (out.size() % 4 != 0)
        out.push_back(0);
    out.insert(out.end(), value.begin(), value.end());
    if (children)
        children(out);
    if (out.size() - start > 0xFFFF)
        throw EPeError("the version information is too long");
    Put16(out, start, static_cast<std::uint32_t>(out.size() - start));
}

} // namespace

std::vector<std::uint8_t>
VersionInfo(const std::array<std::uint16_t, 4>& version,
            const std::vector<std::pair<std::u16string, std::u16string>>& strings) {
    std::vector<std::uint8_t> fixed(52, 0);
    Put32(fixed, 0, 0xFEEF04BD);
    Put32(fixed, 4, 0x00010000);
    const std::uint32_t high = (std::uint32_t(version[0]) << 16) | version[1];
    const std::uint32_t low = (std::uint32_t(version[2]) << 16) | version[3];
    Put32(fixed, 8, high);
    Put32(fixed, 12, low);
    Put32(fixed, 16, high);
    Put32(fixed, 20, low);
    Put32(fixed, 24, 0x3F);       // every flag is meaningful
    Put32(fixed, 32, 0x00040004); // VOS_NT_WINDOWS32
    Put32(fixed, 36, 1);          // VFT_APP
    std::vector<std::uint8_t> out;
    PutVersionNode(out, u"VS_VERSION_INFO", fixed, 52, false, [&](std::vector<std::uint8_t>& o) {
        PutVersionNode(o, u"StringFileInfo", {}, 0, true, [&](std::vector<std::uint8_t>& o2) {
            PutVersionNode(o2, u"040904B0", {}, 0, true, [&](std::vector<std::uint8_t>& o3) {
                for (const auto& [name, value] : strings) {
                    std::vector<std::uint8_t> bytes;
                    for (char16_t c : value) {
                        bytes.push_back(static_cast<std::uint8_t>(c));
                        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
                    }
                    bytes.push_back(0);
                    bytes.push_back(0);
                    PutVersionNode(o3, name, bytes, static_cast<std::uint16_t>(value.size() + 1),
                                   true, {});
                }
            });
        });
        PutVersionNode(o, u"VarFileInfo", {}, 0, true, [&](std::vector<std::uint8_t>& o2) {
            const std::uint8_t translation[] = {0x09, 0x04, 0xB0, 0x04};
            PutVersionNode(o2, u"Translation", translation, 4, false, {});
        });
    });
    return out;
}

std::uint16_t FreeIconNumber(const TPeImage& image) {
    std::uint32_t highest = 0;
    for (const auto& r : image.Resources())
        if (r.Type == TPeName{3, {}} && r.Name.IsId())
            highest = std::max<std::uint32_t>(highest, r.Name.Id);
    if (highest >= 0xFFFF)
        throw EPeError("no free icon number");
    return static_cast<std::uint16_t>(highest + 1);
}

namespace {

struct TLeaf {
    std::uint32_t CodePage = 0;
    std::span<const std::uint8_t> Bytes;
};
using TLanguages = std::map<std::uint16_t, TLeaf>;
using TNames = std::map<TPeName, TLanguages, TNameOrder>;
using TTypes = std::map<TPeName, TNames, TNameOrder>;

bool IsNamed(const TPeName& name) {
    return !name.IsId();
}

bool IsNamed(std::uint16_t) {
    return false;
}

// Lays the tree out as the resource compilers do: every directory first,
// then the data entries, the name strings and, 8-byte aligned, the data.
// Data entries hold addresses, so the section's address is needed.
std::vector<std::uint8_t> BuildResourceSection(const TTypes& types, std::uint32_t address) {
    std::size_t directories = DirectoryHeaderSize + DirectoryEntrySize * types.size();
    std::size_t leaves = 0;
    std::size_t strings = 0;
    std::uint64_t data = 0;
    const auto addString = [&](const TPeName& n) {
        if (!n.IsId())
            strings += 2 + 2 * n.Text.size();
    };
    for (const auto& [type, names] : types) {
        addString(type);
        directories += DirectoryHeaderSize + DirectoryEntrySize * names.size();
        for (const auto& [name, languages] : names) {
            addString(name);
            directories += DirectoryHeaderSize + DirectoryEntrySize * languages.size();
            leaves += languages.size();
            for (const auto& [language, leaf] : languages)
                data += AlignUp(leaf.Bytes.size(), 8);
        }
    }
    const std::size_t leafStart = directories;
    const std::size_t stringStart = leafStart + DataEntrySize * leaves;
    const std::size_t dataStart = AlignUp(stringStart + strings, 8);
    if (address + dataStart + data > 0xFFFFFFFFull)
        throw EPeError("the resources do not fit in a PE image");
    std::vector<std::uint8_t> out(dataStart + data);

    std::size_t nextDirectory = 0;
    std::size_t nextLeaf = leafStart;
    std::size_t nextString = stringStart;
    std::size_t nextData = dataStart;
    const auto nameField = [&](const TPeName& n) -> std::uint32_t {
        if (n.IsId())
            return n.Id;
        const std::size_t at = nextString;
        Put16(out, at, static_cast<std::uint32_t>(n.Text.size()));
        for (std::size_t i = 0; i < n.Text.size(); ++i)
            Put16(out, at + 2 + 2 * i, n.Text[i]);
        nextString += 2 + 2 * n.Text.size();
        return SubdirectoryFlag | static_cast<std::uint32_t>(at);
    };
    // Writes a directory's header and returns where its entries start.
    const auto openDirectory = [&](const auto& children) {
        const std::size_t at = nextDirectory;
        std::size_t named = 0;
        for (const auto& child : children)
            named += IsNamed(child.first) ? 1 : 0;
        Put16(out, at + 12, static_cast<std::uint32_t>(named));
        Put16(out, at + 14, static_cast<std::uint32_t>(children.size() - named));
        nextDirectory += DirectoryHeaderSize + DirectoryEntrySize * children.size();
        return at + DirectoryHeaderSize;
    };
    // Breadth by level keeps each level's directories together.
    std::size_t typeEntry = openDirectory(types);
    std::vector<std::pair<std::size_t, const TNames*>> nameDirectories;
    for (const auto& [type, names] : types) {
        Put32(out, typeEntry, nameField(type));
        Put32(out, typeEntry + 4, SubdirectoryFlag | static_cast<std::uint32_t>(nextDirectory));
        nameDirectories.emplace_back(openDirectory(names), &names);
        typeEntry += DirectoryEntrySize;
    }
    for (auto& [nameEntry, names] : nameDirectories) {
        for (const auto& [name, languages] : *names) {
            Put32(out, nameEntry, nameField(name));
            Put32(out, nameEntry + 4, SubdirectoryFlag | static_cast<std::uint32_t>(nextDirectory));
            std::size_t languageEntry = openDirectory(languages);
            for (const auto& [language, leaf] : languages) {
                Put32(out, languageEntry, language);
                Put32(out, languageEntry + 4, static_cast<std::uint32_t>(nextLeaf));
                Put32(out, nextLeaf, static_cast<std::uint32_t>(address + nextData));
                Put32(out, nextLeaf + 4, static_cast<std::uint32_t>(leaf.Bytes.size()));
                Put32(out, nextLeaf + 8, leaf.CodePage);
                if (!leaf.Bytes.empty())
                    std::memcpy(out.data() + nextData, leaf.Bytes.data(), leaf.Bytes.size());
                nextData += AlignUp(leaf.Bytes.size(), 8);
                nextLeaf += DataEntrySize;
                languageEntry += DirectoryEntrySize;
            }
            nameEntry += DirectoryEntrySize;
        }
    }
    return out;
}

} // namespace

std::vector<std::uint8_t> AddPeResources(std::span<const std::uint8_t> file,
                                         const std::vector<TPeNewResource>& added) {
    const TPeImage image(file);
    const auto& sections = image.Sections();
    const std::uint32_t sectionAlignment = image.SectionAlignment();
    const std::uint32_t fileAlignment = image.FileAlignment();
    if (!IsPowerOfTwo(sectionAlignment) || !IsPowerOfTwo(fileAlignment) ||
        fileAlignment > sectionAlignment)
        throw EPeError("the PE file has invalid section or file alignment");
    const std::size_t tableEnd = image.SectionTableOffset() + SectionHeaderSize * sections.size();
    if (image.HeadersSize() < tableEnd || image.HeadersSize() > file.size())
        throw EPeError("the PE headers' size is wrong");
    // Sections follow the headers and each other in the image.
    std::uint64_t imageEnd = AlignUp(image.HeadersSize(), sectionAlignment);
    for (const auto& s : sections) {
        if (s.VirtualAddress < imageEnd)
            throw EPeError("the PE sections overlap or are out of address order");
        if (s.RawSize != 0 && s.RawOffset < image.HeadersSize())
            throw EPeError("a PE section's bytes overlap the headers");
        imageEnd = static_cast<std::uint64_t>(s.VirtualAddress) +
                   (s.VirtualSize != 0 ? s.VirtualSize : s.RawSize);
    }
    const std::size_t resourceEntry = image.DirectoryOffset(ResourceDirectory);
    if (resourceEntry == 0)
        throw EPeError("the PE file has no resource directory entry");

    TTypes types;
    for (const auto& r : image.Resources()) {
        const bool replaced = std::any_of(added.begin(), added.end(), [&](const auto& a) {
            return a.Type == r.Type && a.Name == r.Name;
        });
        if (!replaced)
            types[r.Type][r.Name][r.Language] = TLeaf{r.CodePage, image.Data(r)};
    }
    for (const auto& a : added)
        types[a.Type][a.Name][a.Language] = TLeaf{0, a.Bytes};

    // The tree replaces the last section when that section holds it and its
    // bytes come after every other section's; otherwise it becomes a new last
    // section, which needs a free section header before the first bytes.
    const auto& last = sections.back();
    const std::uint32_t oldAddress = Get32(file, resourceEntry);
    const bool reuse =
        oldAddress == last.VirtualAddress && last.RawSize != 0 &&
        last.RawOffset + static_cast<std::uint64_t>(last.RawSize) == image.SectionsEnd() &&
        std::all_of(sections.begin(), sections.end() - 1, [&](const auto& s) {
            return s.RawSize == 0 ||
                   s.RawOffset + static_cast<std::uint64_t>(s.RawSize) <= last.RawOffset;
        });
    if (!reuse) {
        std::uint64_t firstBytes = image.HeadersSize();
        for (const auto& s : sections)
            if (s.RawSize != 0)
                firstBytes = std::min<std::uint64_t>(firstBytes, s.RawOffset);
        bool free = tableEnd + SectionHeaderSize <= firstBytes;
        for (std::size_t i = tableEnd; free && i < tableEnd + SectionHeaderSize; ++i)
            free = file[i] == 0;
        if (!free)
            throw EPeError("the PE headers have no room for another section");
    }
    const std::uint64_t address = reuse ? last.VirtualAddress : AlignUp(imageEnd, sectionAlignment);
    if (address > 0xFFFFFFFFull)
        throw EPeError("the resources do not fit in a PE image");
    const std::vector<std::uint8_t> section =
        BuildResourceSection(types, static_cast<std::uint32_t>(address));
    const std::uint64_t rawOffset =
        reuse ? last.RawOffset : AlignUp(image.SectionsEnd(), fileAlignment);
    const std::uint64_t rawSize = AlignUp(section.size(), fileAlignment);
    const std::uint64_t sectionsEnd = rawOffset + rawSize;
    const std::uint64_t imageSize = AlignUp(address + section.size(), sectionAlignment);
    if (sectionsEnd > 0xFFFFFFFFull || imageSize > 0xFFFFFFFFull)
        throw EPeError("the resources do not fit in a PE image");

    // What follows the sections stays, except a signature, which no longer
    // matches the changed file.
    std::uint64_t overlayEnd = file.size();
    std::uint64_t afterSignature = file.size();
    const std::size_t securityEntry = image.DirectoryOffset(SecurityDirectory);
    if (securityEntry != 0 && Get32(file, securityEntry + 4) != 0) {
        const std::uint64_t at = Get32(file, securityEntry);
        const std::uint64_t size = Get32(file, securityEntry + 4);
        if (at < image.SectionsEnd() || at + size > file.size())
            throw EPeError("the PE signature lies outside the bytes after the sections");
        overlayEnd = at;
        afterSignature = at + size;
    }

    std::vector<std::uint8_t> out(
        file.begin(),
        file.begin() + static_cast<std::ptrdiff_t>(reuse ? rawOffset : image.SectionsEnd()));
    out.resize(rawOffset, 0);
    out.insert(out.end(), section.begin(), section.end());
    out.resize(sectionsEnd, 0);
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(image.SectionsEnd()),
               file.begin() + static_cast<std::ptrdiff_t>(overlayEnd));
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(afterSignature), file.end());

    const std::size_t header =
        reuse ? tableEnd - SectionHeaderSize : tableEnd; // the resource section's header
    if (!reuse) {
        std::memcpy(out.data() + header, ".rsrc\0\0\0", 8);
        Put32(out, header + 36, InitializedReadableData);
        const std::size_t coff = image.OptionalHeaderOffset() - CoffHeaderSize;
        Put16(out, coff + 2, static_cast<std::uint32_t>(sections.size() + 1));
    }
    Put32(out, header + 8, static_cast<std::uint32_t>(section.size()));
    Put32(out, header + 12, static_cast<std::uint32_t>(address));
    Put32(out, header + 16, static_cast<std::uint32_t>(rawSize));
    Put32(out, header + 20, static_cast<std::uint32_t>(rawOffset));

    const std::size_t optional = image.OptionalHeaderOffset();
    const std::uint64_t oldRawSize = reuse ? last.RawSize : 0;
    Put32(out, optional + 8,
          static_cast<std::uint32_t>(Get32(file, optional + 8) + rawSize - oldRawSize));
    Put32(out, optional + 56, static_cast<std::uint32_t>(imageSize));
    Put32(out, resourceEntry, static_cast<std::uint32_t>(address));
    Put32(out, resourceEntry + 4, static_cast<std::uint32_t>(section.size()));
    if (securityEntry != 0) {
        Put32(out, securityEntry, 0);
        Put32(out, securityEntry + 4, 0);
    }
    // A COFF symbol table after the sections moves with them.
    const std::size_t symbols = optional - CoffHeaderSize + 8;
    const std::uint32_t symbolTable = Get32(file, symbols);
    if (symbolTable != 0 && symbolTable >= image.SectionsEnd()) {
        std::uint64_t moved = symbolTable - image.SectionsEnd() + sectionsEnd;
        if (symbolTable >= afterSignature)
            moved -= afterSignature - overlayEnd;
        Put32(out, symbols, static_cast<std::uint32_t>(moved));
    }
    Put32(out, optional + 64, PeCheckSum(out, optional + 64));
    return out;
}

} // namespace Folivant::Tools
