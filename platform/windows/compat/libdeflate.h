#pragma once

// Debian has no libdeflate built for Windows. The archive code uses only its
// CRC-32 (and inflates through zlib everywhere), so on Windows that one
// function is zlib's crc32, which computes the same checksum.

#include <zlib.h>

#include <cstddef>
#include <cstdint>

inline std::uint32_t libdeflate_crc32(std::uint32_t crc, const void* buffer, std::size_t len) {
    return static_cast<std::uint32_t>(
        crc32_z(crc, static_cast<const Bytef*>(buffer), static_cast<z_size_t>(len)));
}
