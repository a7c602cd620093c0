// The digests of the SCRAM login (RFC 5802, RFC 7677): SHA-256, HMAC-SHA-256
// and PBKDF2 with HMAC-SHA-256, and random bytes fit for a login nonce.
// posix/ takes them from OpenSSL's libcrypto, win32/ from Windows CNG
// (bcrypt), so QEL32.dll needs no DLL beside the system's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::plat {

constexpr int32_t kSha256Bytes = 32;

// Each returns false when the system's provider fails; out is then
// undefined. Null data pointers with a zero length count as empty.

// SHA-256 (FIPS 180-4) of length bytes of data.
bool sha256(const void* data, size_t length, uint8_t out[kSha256Bytes]);

// HMAC-SHA-256 (RFC 2104, RFC 4231) of data under key.
bool hmacSha256(const void* key, size_t keyLength, const void* data, size_t length, uint8_t out[kSha256Bytes]);

// PBKDF2 (RFC 8018) with HMAC-SHA-256: outLength bytes derived from the
// password and salt in iterations rounds (at least 1).
bool pbkdf2Sha256(const void* password, size_t passwordLength, const void* salt, size_t saltLength,
                  uint32_t iterations, uint8_t* out, size_t outLength);

// count bytes from the system's cryptographic random source.
bool secureRandom(uint8_t* out, size_t count);

}  // namespace qel::plat
