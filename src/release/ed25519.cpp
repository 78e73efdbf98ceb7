// Ed25519 verification through libsodium's crypto_sign_ed25519_verify_detached
// (RFC 8032 Ed25519 with SHA-512).
#include "release/ed25519.h"

#include <atomic>

#include <sodium.h>

namespace {

// 0 not started, 1 started. sodium_init is itself safe to call from several
// threads at once and more than once; the flag only spares later calls.
std::atomic<int> sodium_started{0};

bool sodium_ready() {
    if (sodium_started.load(std::memory_order_acquire) == 1) return true;
    if (sodium_init() < 0) return false;  // 0 first start, 1 already started
    sodium_started.store(1, std::memory_order_release);
    return true;
}

}  // namespace

int release_ed25519_check(const uint8_t signature[64], const uint8_t public_key[32],
                          const uint8_t *message, size_t length) {
    if (!sodium_ready()) return -1;
    static const uint8_t empty = 0;
    if (message == nullptr) message = &empty;
    return crypto_sign_ed25519_verify_detached(signature, message, (unsigned long long)length,
                                               public_key) == 0
               ? 0
               : -1;
}
