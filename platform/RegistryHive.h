#pragma once

// The registry's hive as text: what the hive file holds and how it reads
// back. Keys are listed by their full path below the root, each followed by
// its values; the last line is a CRC-32 of everything before it, so a file
// that was changed or cut short reads as damaged rather than as a smaller
// hive. Key and value names compare without regard to case while keeping
// the case they were created with.

#include "base/Classes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Folivant::Platform {

struct THiveValue {
    String Name;
    std::uint32_t Type = 0;
    TBytes Data;
};

struct THiveKey {
    String Path; // full path below the root, "\" between names; empty for the root
    std::vector<THiveValue> Values;
};

// The whole hive. The root key always exists once read and is written only
// when it holds values.
struct THive {
    std::vector<THiveKey> Keys;
};

// Whether two key or value names are the same name.
bool SameRegistryName(const String& a, const String& b);
THiveKey* FindHiveKey(THive& hive, const String& path);
THiveValue* FindHiveValue(THiveKey& key, const String& name);

// Joins a sub-key path to its base; empty names (leading, trailing or double
// "\") and names over 255 characters are refused.
std::optional<String> JoinKeyPath(const String& base, const String& subKey);

// Reads a hive file's text into hive (which must be empty); false when the
// text is not exactly one hive: a wrong header or checksum, a line of
// another shape, a name that is not well-formed, a key or value twice.
bool ParseHive(std::string_view text, THive& hive);
// The text of hive, which ParseHive reads back as the same hive.
std::string SerializeHive(const THive& hive);

} // namespace Folivant::Platform
