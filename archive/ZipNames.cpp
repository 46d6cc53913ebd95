#include "archive/ZipNames.h"

#include "base/Text.h"
#include "archive/ZipBytes.h"
#include "archive/ZipReader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

namespace Folivant::Archive {

namespace {

// The loose UTF-8 shape that makes a name UTF-8: lead bytes C2..F4, each
// followed by as many continuation bytes as it announces.
bool LooksLikeUtf8(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t follow;
        if (b >= 0xC2 && b <= 0xDF)
            follow = 1;
        else if (b >= 0xE0 && b <= 0xEF)
            follow = 2;
        else if (b >= 0xF0 && b <= 0xF4)
            follow = 3;
        else
            return false;
        if (n - i - 1 < follow)
            return false;
        for (std::size_t k = 1; k <= follow; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += follow + 1;
    }
    return true;
}

// Bytes 0x80..0xFF that are letters or digits in a code page.
struct TAlnumTable {
    bool IsAlnum[128] = {};
};

const TAlnumTable& AlnumTable(unsigned codePage) {
    // Nodes of a map stay put, so the tables of both code pages can be held
    // at once.
    thread_local std::map<unsigned, TAlnumTable> cache;
    const auto found = cache.find(codePage);
    if (found != cache.end())
        return found->second;
    TAlnumTable table;
    for (int b = 0x80; b < 0x100; ++b) {
        const char c = static_cast<char>(b);
        const String u = DecodeCodePage(std::string_view(&c, 1), codePage);
        table.IsAlnum[b - 0x80] = u.size() == 1 && IsLetterOrDigit(u[0]);
    }
    return cache.emplace(codePage, table).first->second;
}

bool LooksLikeOem(const std::uint8_t* p, std::size_t n) {
    const unsigned oem = OemCodePage();
    static constexpr unsigned kOemPages[] = {437, 720, 737, 775, 850, 852, 855, 857, 862, 866};
    if (std::find(std::begin(kOemPages), std::end(kOemPages), oem) == std::end(kOemPages))
        return false;
    const TAlnumTable& oemTable = AlnumTable(oem);
    const TAlnumTable& ansiTable = AlnumTable(AnsiCodePage());
    bool differs = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] < 0x80)
            continue;
        if (!oemTable.IsAlnum[p[i] - 0x80])
            return false;
        if (!ansiTable.IsAlnum[p[i] - 0x80])
            differs = true;
    }
    return differs;
}

} // namespace

String DecodeEntryName(const std::uint8_t* name, std::size_t nameLength, const std::uint8_t* extra,
                       std::size_t extraLength, std::uint16_t flags, std::uint16_t versionMadeBy) {
    const std::string_view raw(reinterpret_cast<const char*>(name), nameLength);
    bool ascii = true;
    for (std::size_t i = 0; i < nameLength; ++i)
        if (name[i] >= 0x80) {
            ascii = false;
            break;
        }
    if ((flags & 0x0800) != 0 || (!ascii && LooksLikeUtf8(name, nameLength)))
        return Utf8ToString(raw);

    // The Unicode path extra field, then the UTF-16 name extra field,
    // wherever each stands among the extra fields.
    const auto findField = [&](std::uint16_t wanted, const auto& accept) -> std::optional<String> {
        for (std::size_t i = 0; i + 4 <= extraLength;) {
            const std::uint16_t id = Get16(extra + i);
            const std::size_t size = Get16(extra + i + 2);
            if (size > extraLength - i - 4)
                break;
            if (id == wanted)
                if (auto decoded = accept(extra + i + 4, size))
                    return decoded;
            i += 4 + size;
        }
        return std::nullopt;
    };
    const auto unicodePath = [&](const std::uint8_t* data,
                                 std::size_t size) -> std::optional<String> {
        if (size > 6 && data[0] == 1 &&
            Get32(data + 1) ==
                static_cast<std::uint32_t>(crc32(0, name, static_cast<uInt>(nameLength))))
            return Utf8ToString(
                std::string_view(reinterpret_cast<const char*>(data + 5), size - 5));
        return std::nullopt;
    };
    const auto utf16Name = [](const std::uint8_t* data, std::size_t size) -> std::optional<String> {
        if (size > 10 && std::memcmp(data, "NUCX", 4) == 0) {
            const std::uint64_t count = Get32(data + 4);
            if (size == 8 + 2 * count)
                return Utf16LEToString(data + 8, static_cast<std::size_t>(2 * count));
        }
        return std::nullopt;
    };
    if (auto decoded = findField(0x7075, unicodePath))
        return *decoded;
    if (auto decoded = findField(0x554E, utf16Name))
        return *decoded;

    if (ascii)
        return String(raw.begin(), raw.end());
    if ((versionMadeBy >> 8) == 0 || AnsiCodePage() == OemCodePage())
        return OemToString(raw);
    if (LooksLikeOem(name, nameLength))
        return OemToString(raw);
    return AnsiToString(raw);
}

namespace {

inline std::uint64_t FoldUnit(char16_t c) {
    return AsciiUpperCase(c);
}

// Hash of a name with its ASCII letters folded to upper case, taking four
// code units per multiplication.
std::uint64_t FoldedHash(const char16_t* s, std::size_t n) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const std::uint64_t word = FoldUnit(s[i]) | (FoldUnit(s[i + 1]) << 16) |
                                   (FoldUnit(s[i + 2]) << 32) | (FoldUnit(s[i + 3]) << 48);
        h = (h ^ word) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    for (; i < n; ++i)
        h = (h ^ FoldUnit(s[i])) * 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 29);
}

bool FoldedEqual(const String& a, const char16_t* b, std::size_t n) {
    return SameTextAscii(a, std::u16string_view(b, n));
}

} // namespace

void TNameIndex::Clear() {
    FSlots.clear();
    FMask = 0;
}

void TNameIndex::Build(const std::vector<TZipEntry>& entries) {
    std::size_t capacity = 16;
    while (capacity < entries.size() * 2)
        capacity <<= 1;
    FSlots.assign(capacity, 0);
    FMask = capacity - 1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const String& name = entries[i].Name;
        const std::uint64_t h = FoldedHash(name.data(), name.size());
        const std::uint64_t tag = h & 0xFFFFFFFF00000000ull;
        for (std::size_t slot = h & FMask;; slot = (slot + 1) & FMask) {
            const std::uint64_t s = FSlots[slot];
            if (s == 0) {
                FSlots[slot] = tag | (i + 1);
                break;
            }
            // A later entry with the same folded name replaces the earlier
            // one, so lookups see the later copy.
            if ((s >> 32) == (h >> 32) &&
                FoldedEqual(entries[(s & 0xFFFFFFFFu) - 1].Name, name.data(), name.size())) {
                FSlots[slot] = tag | (i + 1);
                break;
            }
        }
    }
}

int TNameIndex::Find(const std::vector<TZipEntry>& entries, const String& name) const {
    if (FSlots.empty())
        return -1;
    const std::uint64_t h = FoldedHash(name.data(), name.size());
    for (std::size_t slot = h & FMask;; slot = (slot + 1) & FMask) {
        const std::uint64_t s = FSlots[slot];
        if (s == 0)
            return -1;
        const std::size_t index = (s & 0xFFFFFFFFu) - 1;
        if ((s >> 32) == (h >> 32) && FoldedEqual(entries[index].Name, name.data(), name.size()))
            return static_cast<int>(index);
    }
}

} // namespace Folivant::Archive
