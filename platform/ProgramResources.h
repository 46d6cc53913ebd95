#pragma once

// The running program's own resources: the publication archive (RCDATA
// FOLDATA), the style files (VCLSTYLE) and the icon (ICON MAINICON). On Linux
// they come from the resource table appended to the executable
// (ExeResources.h), on Windows from the executable's resource section
// through the system's resource functions.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Folivant::Platform {

// The bytes of the program's resource of that type and name, valid for the
// whole run; nothing when the program has no such resource or its bytes
// cannot be read. Types and names compare without regard to ASCII case. An
// ICON resource is given as an icon file (the ".ico" image the icon was made
// from).
std::optional<std::span<const std::uint8_t>> OwnResource(std::string_view type,
                                                         std::string_view name);

// The names of the program's resources of a type, in the order the
// executable lists them; numbered resources are named "#" and their number.
std::vector<std::string> OwnResourceNames(std::string_view type);

} // namespace Folivant::Platform
