#pragma once

// Traditional PKWARE encryption: three 32-bit keys driven by the plain text,
// a 12-byte encryption header in front of every entry's data. Shared by the
// reader and the writer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Folivant::Archive {

namespace Detail {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

inline constexpr std::array<std::uint32_t, 256> CrcTable = MakeCrcTable();

} // namespace Detail

constexpr std::size_t ZipCryptoHeaderSize = 12;

class TZipCrypto {
public:
    explicit TZipCrypto(std::string_view password) {
        for (const char c : password)
            Update(static_cast<std::uint8_t>(c));
    }

    // Decrypts size bytes from in to out (which may be the same memory).
    void Decrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
        // Local copies keep the keys in registers through the loop.
        std::uint32_t k0 = FKey0, k1 = FKey1, k2 = FKey2;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint32_t t = (k2 | 2) & 0xFFFF;
            const auto c = static_cast<std::uint8_t>(in[i] ^ ((t * (t ^ 1)) >> 8));
            out[i] = c;
            k0 = Detail::CrcTable[(k0 ^ c) & 0xFF] ^ (k0 >> 8);
            k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
            k2 = Detail::CrcTable[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
        }
        FKey0 = k0;
        FKey1 = k1;
        FKey2 = k2;
    }

    void Encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t c = in[i];
            out[i] = static_cast<std::uint8_t>(c ^ StreamByte());
            Update(c);
        }
    }

private:
    std::uint8_t StreamByte() const {
        const std::uint32_t t = (FKey2 | 2) & 0xFFFF;
        return static_cast<std::uint8_t>((t * (t ^ 1)) >> 8);
    }
    void Update(std::uint8_t c) {
        FKey0 = Detail::CrcTable[(FKey0 ^ c) & 0xFF] ^ (FKey0 >> 8);
        FKey1 = (FKey1 + (FKey0 & 0xFF)) * 134775813u + 1;
        FKey2 = Detail::CrcTable[(FKey2 ^ (FKey1 >> 24)) & 0xFF] ^ (FKey2 >> 8);
    }

    std::uint32_t FKey0 = 0x12345678;
    std::uint32_t FKey1 = 0x23456789;
    std::uint32_t FKey2 = 0x34567890;
};

} // namespace Folivant::Archive
