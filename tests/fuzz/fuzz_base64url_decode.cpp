// Fuzz target: the strict base64url decoder. Every accepted text is the one
// canonical encoding of its bytes, and the capacity is never exceeded.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "release/envelope.h"
#include "tests/release/signing_support.h"

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
        std::string encoded = release_test::base64url(out, (size_t)n);
        check(encoded.size() == length && memcmp(encoded.data(), text, length) == 0);
    } else {
        check(n == -1);
    }
    free(out);
    return 0;
}
