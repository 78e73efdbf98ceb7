// The release envelope latest.txt: kid, payload and sig as key=value lines.
// envelope_parse splits and screens the text; it decodes nothing. Strict
// base64url (RFC 4648, no padding, canonical only) for payload and sig.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define ENVELOPE_MAX_KEY 32             // bytes of a line's key
#define ENVELOPE_MAX_KID 64             // bytes of kid
#define ENVELOPE_MIN_PAYLOAD 2          // base64url characters of payload
#define ENVELOPE_MAX_PAYLOAD 2000000u   // decodes to at most 1,500,000 bytes
#define ENVELOPE_SIG_LENGTH 86          // 64 bytes of signature

// Views into the caller's text, valid while the text lives.
struct ReleaseEnvelope {
    const char *kid;
    const char *payload;
    const char *sig;
    uint64_t kid_length;
    uint64_t payload_length;
    uint64_t sig_length;
};

// 1 when text (length bytes, not zero-terminated) is a well-formed envelope,
// else 0 with the first failing test's message written into detail (cut to
// detail_capacity and terminated; nothing is written when detail is null or
// the capacity is 0). The envelope is cleared first.
int envelope_parse(const char *text, size_t length, ReleaseEnvelope *envelope,
                   char *detail, size_t detail_capacity);

// Decodes strict base64url into out. Returns the number of bytes written, or
// -1 when the text is not strict base64url or its decoded size exceeds
// capacity (tested before anything is written).
int64_t base64url_decode(const char *text, size_t length, uint8_t *out, size_t capacity);

// The 6-bit value of a base64url character, or -1.
int base64url_value(unsigned char byte);
