#pragma once

// Debian has no nettle built for Windows. The archive writer needs only
// HMAC-SHA256, which Windows provides through its cryptography API (CNG):
// these functions give nettle's incremental interface on top of a BCrypt
// HMAC hash object.

#include <windows.h>

#include <bcrypt.h>

#include <cstddef>
#include <cstdint>
#include <new>

#define SHA256_DIGEST_SIZE 32

struct hmac_sha256_ctx {
    BCRYPT_ALG_HANDLE Algorithm = nullptr;
    BCRYPT_HASH_HANDLE Hash = nullptr;
    hmac_sha256_ctx() = default;
    hmac_sha256_ctx(const hmac_sha256_ctx&) = delete;
    hmac_sha256_ctx& operator=(const hmac_sha256_ctx&) = delete;
    ~hmac_sha256_ctx() {
        if (Hash != nullptr)
            BCryptDestroyHash(Hash);
        if (Algorithm != nullptr)
            BCryptCloseAlgorithmProvider(Algorithm, 0);
    }
};

inline void hmac_sha256_set_key(hmac_sha256_ctx* ctx, std::size_t size, const std::uint8_t* key) {
    if (ctx->Algorithm == nullptr &&
        !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&ctx->Algorithm, BCRYPT_SHA256_ALGORITHM,
                                                    nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        throw std::bad_alloc();
    if (ctx->Hash != nullptr)
        BCryptDestroyHash(ctx->Hash);
    ctx->Hash = nullptr;
    static const std::uint8_t kEmpty = 0;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(ctx->Algorithm, &ctx->Hash, nullptr, 0,
                                         const_cast<PUCHAR>(size != 0 ? key : &kEmpty),
                                         static_cast<ULONG>(size), 0)))
        throw std::bad_alloc();
}

inline void hmac_sha256_update(hmac_sha256_ctx* ctx, std::size_t size, const std::uint8_t* data) {
    while (size > 0) {
        const ULONG n = size > (1u << 30) ? (1u << 30) : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(ctx->Hash, const_cast<PUCHAR>(data), n, 0)))
            throw std::bad_alloc();
        data += n;
        size -= n;
    }
}

inline void hmac_sha256_digest(hmac_sha256_ctx* ctx, std::size_t size, std::uint8_t* digest) {
    if (!BCRYPT_SUCCESS(BCryptFinishHash(ctx->Hash, digest, static_cast<ULONG>(size), 0)))
        throw std::bad_alloc();
}
