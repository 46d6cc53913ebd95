#pragma once

// Text operations of the content path: turning a requested URL into an
// archive entry name, naming temporary files and splitting the configured
// extension lists. Every rule works on single UTF-16 code units.

#include "base/Classes.h"

#include <cstdint>
#include <vector>

namespace Folivant::Shared {

// A dynamic array of strings, returned by value and owned by the caller.
using TArrayStrings = std::vector<String>;

// Class methods only; never instantiated.
class TStrUtils {
public:
    TStrUtils() = delete;

    // A new random GUID as 36 upper-case hexadecimal digits and hyphens,
    // without braces.
    static String GetGUID();
    // Copies A-Z, a-z, 0-9, "-", "." and "_"; every other code unit becomes
    // "%" and its value in upper-case hexadecimal (at least two digits).
    static String UrlEncode(const String& str);
    // "+" becomes a space and "%XX" the code unit XX; a bad escape makes the
    // whole result empty.
    static String UrlDecode(const String& str);
    // "1.5 KB", "512 bytes", ...: at most two decimals, the locale's decimal
    // separator, strict thresholds.
    static String FormatByteSize(std::int64_t bytes);
    // strLen ASCII letters from the process-wide generator, reseeded on
    // every call.
    static String RandomString(std::int32_t strLen);
    // Removes leading and trailing "/" (never "\").
    static String RemoveSideSlashes(const String& str);
    // The text before the first "?" or "#".
    static String RemoveQueryFromUri(const String& uri);
    static String RepeatString(const String& str, std::uint32_t count);
    // Splits at every occurrence of separator; empty pieces stay, and the
    // result always has at least one element.
    static TArrayStrings ExplodeStrings(const String& separator, const String& str);
    static String ImplodeStrings(const String& separator, const TArrayStrings& aArray);
};

} // namespace Folivant::Shared
