#pragma once

// Entry names of the archive: how the stored bytes of a name become text,
// and the lookup of entries by name with ASCII letters folded.

#include "base/Classes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Folivant::Archive {

struct TZipEntry;

// The name of a central-directory record. UTF-8 when flag bit 11 says so or
// the bytes have UTF-8's shape; otherwise the Unicode path extra field, then
// the UTF-16 name extra field; otherwise the OEM or ANSI code page, chosen
// by the creating system and by which page makes the bytes letters.
String DecodeEntryName(const std::uint8_t* name, std::size_t nameLength, const std::uint8_t* extra,
                       std::size_t extraLength, std::uint16_t flags, std::uint16_t versionMadeBy);

// Open-addressed table of entry indexes keyed by the name with its ASCII
// letters folded to upper case; other characters compare exactly.
class TNameIndex {
public:
    void Clear();
    // Indexes entries; a later entry with the same folded name replaces the
    // earlier one, so lookups see the later copy.
    void Build(const std::vector<TZipEntry>& entries);
    // Index into entries (the ones given to Build) of the entry named name,
    // or -1.
    int Find(const std::vector<TZipEntry>& entries, const String& name) const;

private:
    // 0 is an empty slot; otherwise the name's hash in the high half and
    // index + 1 in the low half, so a probe touches one cache line.
    std::vector<std::uint64_t> FSlots;
    std::size_t FMask = 0;
};

} // namespace Folivant::Archive
