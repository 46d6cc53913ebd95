#pragma once

// The scheme the publication's pages are served under, and the start of
// every URL of the publication. The engine compares schemes without regard
// to letter case.

#include <string_view>

namespace Folivant::Shared {

inline constexpr std::u16string_view FvpScheme = u"fvp";
inline constexpr std::u16string_view FvpUrlPrefix = u"fvp://";
inline constexpr std::string_view FvpSchemeUtf8 = "fvp";
inline constexpr std::string_view FvpUrlPrefixUtf8 = "fvp://";

} // namespace Folivant::Shared
