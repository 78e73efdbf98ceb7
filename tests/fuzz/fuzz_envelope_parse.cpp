// Fuzz target: the envelope parser. An accepted envelope's views lie inside
// the text and obey the field rules; a refusal writes a bounded detail.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "release/envelope.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

bool inside(const char *p, uint64_t n, const uint8_t *data, size_t size) {
    return (const uint8_t *)p >= data && (const uint8_t *)p + n <= data + size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first byte chooses the detail buffer's capacity (0 to 63).
    size_t capacity = size > 0 ? data[0] & 63 : 0;
    char detail[64];
    memset(detail, 0x5A, sizeof detail);
    ReleaseEnvelope e;
    const char *text = (const char *)data;
    int ok = envelope_parse(text, size, &e, capacity != 0 ? detail : nullptr, capacity);
    if (!ok) {
        if (capacity != 0) check(memchr(detail, 0, capacity) != nullptr);
        check(detail[capacity] == 0x5A || capacity == 0);
        return 0;
    }
    check(inside(e.kid, e.kid_length, data, size));
    check(inside(e.payload, e.payload_length, data, size));
    check(inside(e.sig, e.sig_length, data, size));
    check(e.kid_length >= 1 && e.kid_length <= ENVELOPE_MAX_KID);
    check(e.payload_length >= 2 && e.payload_length <= ENVELOPE_MAX_PAYLOAD);
    check(e.sig_length == ENVELOPE_SIG_LENGTH);
    for (uint64_t i = 0; i < e.payload_length; i++) {
        check(base64url_value((unsigned char)e.payload[i]) >= 0);
    }
    // Each field is preceded by its key and '='.
    check(e.kid - 4 >= text && memcmp(e.kid - 4, "kid=", 4) == 0);
    check(e.sig - 4 >= text && memcmp(e.sig - 4, "sig=", 4) == 0);
    check(e.payload - 8 >= text && memcmp(e.payload - 8, "payload=", 8) == 0);
    return 0;
}
