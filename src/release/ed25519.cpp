// Ed25519 verification through libsodium's crypto_sign_ed25519_verify_detached
// (RFC 8032 Ed25519 with SHA-512), and SHA-256 through its crypto_hash_sha256
// (one portable implementation, no start-up either).
//
// The library's general start-up (sodium_init) is not called: it only picks
// the fastest implementations of other primitives by the CPU's features and
// seeds the random generator. The verification path (SHA-512, the group
// arithmetic, the constant-time compare) has a single implementation that
// needs neither, and leaving the start-up out keeps the pickers and every
// implementation they could pick out of the executable.
#include "release/ed25519.h"

#include <sodium.h>

int release_ed25519_check(const uint8_t signature[64], const uint8_t public_key[32],
                          const uint8_t *message, size_t length) {
    static const uint8_t empty = 0;
    if (message == nullptr) message = &empty;
    return crypto_sign_ed25519_verify_detached(signature, message, (unsigned long long)length,
                                               public_key) == 0
               ? 0
               : -1;
}

void release_sha256(const uint8_t *data, size_t length, uint8_t digest[32]) {
    static const uint8_t empty = 0;
    if (data == nullptr) data = &empty;
    crypto_hash_sha256(digest, data, (unsigned long long)length);
}
