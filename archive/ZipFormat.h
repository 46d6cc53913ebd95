#pragma once

// Record signatures of the ZIP container, shared by the reader and the writer.

#include <cstdint>

namespace Folivant::Archive::ZipFormat {

inline constexpr std::uint32_t kLocalSig = 0x04034B50;
inline constexpr std::uint32_t kCentralSig = 0x02014B50;
inline constexpr std::uint32_t kDescriptorSig = 0x08074B50;
inline constexpr std::uint32_t kEndSig = 0x06054B50;
inline constexpr std::uint32_t kZip64EndSig = 0x06064B50;
inline constexpr std::uint32_t kZip64LocatorSig = 0x07064B50;

} // namespace Folivant::Archive::ZipFormat
