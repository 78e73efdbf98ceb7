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

// One field of a key=value text, as envelope_scan finds it: a view into the
// caller's text; found is 1 when its line was there (even with an empty value).
struct EnvelopeField {
    const char *value;
    uint64_t length;
    int found;
};

// The line grammar of latest.txt shared by every field: splits text into
// key=value lines (LF or CRLF, blank lines skipped), screens each line
// (printable ASCII, a key of a-z then a-z 0-9 _, at most 32 bytes) and records
// the value of each of keys[0..count) in fields[0..count). Other well-formed
// keys are ignored. 1 on success; 0 with the message of envelope_parse
// ("latest.txt repeats a field" for a key found twice) on the first failure.
int envelope_scan(const char *text, size_t length, const char *const *keys,
                  EnvelopeField *fields, size_t count, char *detail, size_t detail_capacity);

// 1 when kid (length bytes) is 1 to 64 bytes of A-Z a-z 0-9 . _ -, else 0.
int envelope_kid_valid(const char *kid, uint64_t length);
// 1 when each of the length bytes of text is in the base64url alphabet.
int envelope_base64url_text(const char *text, uint64_t length);

// Decodes strict base64url into out. Returns the number of bytes written, or
// -1 when the text is not strict base64url or its decoded size exceeds
// capacity (tested before anything is written).
int64_t base64url_decode(const char *text, size_t length, uint8_t *out, size_t capacity);

// The 6-bit value of a base64url character, or -1.
int base64url_value(unsigned char byte);
