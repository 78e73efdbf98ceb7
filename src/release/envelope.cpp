// Splits and screens the signed release envelope; decodes nothing. Also the
// strict base64url decoder applied to its payload and sig.
#include "release/envelope.h"

#include <string.h>

#include "common/text.h"

namespace {

// base64url values; 0xFF for bytes outside the alphabet.
struct Base64Table {
    uint8_t value[256];
};

constexpr Base64Table make_table() {
    Base64Table t = {};
    for (int i = 0; i < 256; i++) t.value[i] = 0xFF;
    for (int i = 0; i < 26; i++) {
        t.value['A' + i] = (uint8_t)i;
        t.value['a' + i] = (uint8_t)(26 + i);
    }
    for (int i = 0; i < 10; i++) t.value['0' + i] = (uint8_t)(52 + i);
    t.value[(unsigned char)'-'] = 62;
    t.value[(unsigned char)'_'] = 63;
    return t;
}

constexpr Base64Table base64 = make_table();

bool all_base64url(const char *p, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) {
        if (base64.value[(unsigned char)p[i]] == 0xFF) return false;
    }
    return true;
}

bool kid_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

bool key_char(char c, bool first) {
    if (c >= 'a' && c <= 'z') return true;
    if (first) return false;
    return (c >= '0' && c <= '9') || c == '_';
}

int fail(char *detail, size_t capacity, const char *message) {
    if (detail != nullptr && capacity != 0) format_narrow(detail, capacity, "%s", message);
    return 0;
}

}  // namespace

int envelope_scan(const char *text, size_t length, const char *const *keys,
                  EnvelopeField *fields, size_t count, char *detail, size_t detail_capacity) {
    for (size_t f = 0; f < count; f++) fields[f] = {nullptr, 0, 0};
    size_t pos = 0;
    while (pos < length) {
        const char *line = text + pos;
        const char *lf = (const char *)memchr(line, '\n', length - pos);
        size_t n = lf != nullptr ? (size_t)(lf - line) : length - pos;
        pos += n + (lf != nullptr ? 1 : 0);
        // One carriage return before the line feed (or at the very end of
        // the text) belongs to the line ending.
        if (n > 0 && line[n - 1] == '\r') n--;
        if (n == 0) continue;

        for (size_t i = 0; i < n; i++) {
            unsigned char c = (unsigned char)line[i];
            if (c < 0x20 || c > 0x7E) {
                return fail(detail, detail_capacity,
                            "latest.txt contains a control or non-ASCII character");
            }
        }
        const char *eq = (const char *)memchr(line, '=', n);
        size_t key_length = eq != nullptr ? (size_t)(eq - line) : 0;
        if (eq == nullptr || key_length == 0 || key_length > ENVELOPE_MAX_KEY) {
            return fail(detail, detail_capacity, "latest.txt has a line that is not key=value");
        }
        for (size_t i = 0; i < key_length; i++) {
            if (!key_char(line[i], i == 0)) {
                return fail(detail, detail_capacity, "latest.txt has an invalid key");
            }
        }
        for (size_t f = 0; f < count; f++) {
            if (strlen(keys[f]) != key_length || memcmp(line, keys[f], key_length) != 0) continue;
            if (fields[f].found) return fail(detail, detail_capacity, "latest.txt repeats a field");
            fields[f].found = 1;
            fields[f].value = eq + 1;
            fields[f].length = n - key_length - 1;
            break;
        }
    }
    return 1;
}

int envelope_kid_valid(const char *kid, uint64_t length) {
    if (length < 1 || length > ENVELOPE_MAX_KID) return 0;
    for (uint64_t i = 0; i < length; i++) {
        if (!kid_char(kid[i])) return 0;
    }
    return 1;
}

int envelope_base64url_text(const char *text, uint64_t length) {
    return all_base64url(text, length) ? 1 : 0;
}

int envelope_parse(const char *text, size_t length, ReleaseEnvelope *envelope,
                   char *detail, size_t detail_capacity) {
    memset(envelope, 0, sizeof *envelope);
    static const char *const keys[] = {"kid", "payload", "sig"};
    EnvelopeField fields[3];
    if (!envelope_scan(text, length, keys, fields, 3, detail, detail_capacity)) return 0;
    bool have_kid = fields[0].found, have_payload = fields[1].found, have_sig = fields[2].found;
    envelope->kid = fields[0].value;
    envelope->kid_length = fields[0].length;
    envelope->payload = fields[1].value;
    envelope->payload_length = fields[1].length;
    envelope->sig = fields[2].value;
    envelope->sig_length = fields[2].length;

    if (!have_kid || !have_payload || !have_sig) {
        return fail(detail, detail_capacity, "latest.txt lacks kid, payload or sig");
    }
    if (!envelope_kid_valid(envelope->kid, envelope->kid_length)) {
        return fail(detail, detail_capacity, "latest.txt has an invalid kid");
    }
    if (envelope->payload_length < ENVELOPE_MIN_PAYLOAD ||
        envelope->payload_length > ENVELOPE_MAX_PAYLOAD ||
        envelope->sig_length != ENVELOPE_SIG_LENGTH) {
        return fail(detail, detail_capacity,
                    "latest.txt has a payload or signature of the wrong length");
    }
    if (!all_base64url(envelope->payload, envelope->payload_length)) {
        return fail(detail, detail_capacity, "the payload is not base64url");
    }
    if (!all_base64url(envelope->sig, envelope->sig_length)) {
        return fail(detail, detail_capacity, "the signature is not base64url");
    }
    return 1;
}

int base64url_value(unsigned char byte) {
    uint8_t v = base64.value[byte];
    return v == 0xFF ? -1 : (int)v;
}

int64_t base64url_decode(const char *text, size_t length, uint8_t *out, size_t capacity) {
    size_t r = length % 4;
    if (r == 1) return -1;
    size_t groups = length / 4;
    size_t size = groups * 3 + (r != 0 ? r - 1 : 0);
    if (size > capacity) return -1;
    if (length != 0 && text == nullptr) return -1;
    const unsigned char *p = (const unsigned char *)text;
    uint8_t *o = out;
    for (size_t g = 0; g < groups; g++, p += 4, o += 3) {
        uint32_t a = base64.value[p[0]], b = base64.value[p[1]];
        uint32_t c = base64.value[p[2]], d = base64.value[p[3]];
        if ((a | b | c | d) & 0x80) return -1;  // 0xFF marks a stranger
        uint32_t bits = (a << 18) | (b << 12) | (c << 6) | d;
        o[0] = (uint8_t)(bits >> 16);
        o[1] = (uint8_t)(bits >> 8);
        o[2] = (uint8_t)bits;
    }
    if (r == 2) {
        uint32_t a = base64.value[p[0]], b = base64.value[p[1]];
        if ((a | b) & 0x80) return -1;
        if (b & 0x0F) return -1;
        o[0] = (uint8_t)((a << 2) | (b >> 4));
    } else if (r == 3) {
        uint32_t a = base64.value[p[0]], b = base64.value[p[1]], c = base64.value[p[2]];
        if ((a | b | c) & 0x80) return -1;
        if (c & 0x03) return -1;
        o[0] = (uint8_t)((a << 2) | (b >> 4));
        o[1] = (uint8_t)((b << 4) | (c >> 2));
    }
    return (int64_t)size;
}
