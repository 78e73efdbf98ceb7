// The Ed25519 signature check (RFC 8032, SHA-512) and the SHA-256 of the
// signed manifest. The one place that names the library which performs them.
#pragma once

#include <stddef.h>
#include <stdint.h>

// 0 when signature is a valid Ed25519 signature of message[0..length) under
// public_key, non-zero otherwise (also when the library cannot be started).
// Safe on any thread; the library is initialised once, before the first check.
int release_ed25519_check(const uint8_t signature[64], const uint8_t public_key[32],
                          const uint8_t *message, size_t length);

// SHA-256 (FIPS 180-4) of data[0..length) into digest.
void release_sha256(const uint8_t *data, size_t length, uint8_t digest[32]);
