// Fuzz target: the strict base64url decoder. Every accepted text is the one
// canonical encoding of its bytes, and the capacity is never exceeded.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <sodium.h>

#include "release/envelope.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    // The first byte chooses the capacity: exact, one short, or ample.
    const char *text = (const char *)data + 1;
    size_t length = size - 1;
    size_t full = length / 4 * 3 + (length % 4 > 1 ? length % 4 - 1 : 0);
    size_t capacity = data[0] % 3 == 0 ? full : (data[0] % 3 == 1 ? (full > 0 ? full - 1 : 0)
                                                                  : full + 7);
    uint8_t *out = (uint8_t *)malloc(capacity + 1);
    int64_t n = base64url_decode(text, length, out, capacity);
    if (n >= 0) {
        check((size_t)n == full && (size_t)n <= capacity);
        size_t encoded_size = sodium_base64_ENCODED_LEN((size_t)n, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
        char *encoded = (char *)malloc(encoded_size);
        sodium_bin2base64(encoded, encoded_size, out, (size_t)n,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING);
        check(strlen(encoded) == length && memcmp(encoded, text, length) == 0);
        free(encoded);
    } else {
        check(n == -1);
    }
    free(out);
    return 0;
}
