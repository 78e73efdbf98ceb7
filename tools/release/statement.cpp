// The freshness statement of a latest.txt: made by publish and refresh,
// read by check and refresh.
#include "tools/release/statement.h"

#include <stdio.h>
#include <string.h>

#include <sodium.h>

#include "common/memory.h"
#include "common/text.h"
#include "release/envelope.h"
#include "release/freshness_keys.inc"
#include "release/freshness.h"
#include "tools/release/command.h"

namespace {

const TrustedKey test_keys[] = {FRESHNESS_KEYS_TEST};
const TrustedKey production_keys[] = {FRESHNESS_KEYS_PRODUCTION};

// The SHA-256 of the decoded payload of an envelope text, or -1 when it has
// none that decodes.
int manifest_digest(const char *text, size_t length, uint8_t digest[32]) {
    ReleaseEnvelope envelope;
    if (!envelope_parse(text, length, &envelope, nullptr, 0)) return -1;
    size_t capacity = (size_t)(envelope.payload_length / 4 + 1) * 3;
    uint8_t *decoded = (uint8_t *)heap_alloc(capacity);
    if (decoded == nullptr) return -1;
    int64_t n =
        base64url_decode(envelope.payload, (size_t)envelope.payload_length, decoded, capacity);
    if (n >= 0) crypto_hash_sha256(digest, decoded, (unsigned long long)n);
    heap_free(decoded);
    return n >= 0 ? 0 : -1;
}

}  // namespace

char *statement_lines(Signer *signer, const uint8_t *manifest, size_t n, int64_t issued,
                      int64_t expires, const char *eol, size_t *length) {
    uint8_t digest[32];
    char hex[65];
    crypto_hash_sha256(digest, manifest, (unsigned long long)n);
    hex_encode(digest, sizeof digest, hex);
    char statement[256];
    int size = format_narrow(statement, sizeof statement,
                             "{\"v\":1,\"product\":\"vornquill-ai\",\"manifest_sha256\":\"%s\","
                             "\"issued\":%lld,\"expires\":%lld}",
                             hex, (long long)issued, (long long)expires);
    if (size < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "the statement does not fit its buffer");
        return nullptr;
    }
    uint8_t signature[64];
    if (signer_sign(signer, (const uint8_t *)statement, (size_t)size, signature) != 0)
        return nullptr;
    if (crypto_sign_verify_detached(signature, (const uint8_t *)statement, (unsigned long long)size,
                                    signer->key.public_key) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "the statement's signature does not verify with the public key of %s",
                      signer->key.kid);
        return nullptr;
    }
    char *text64 = tool_base64url_encode((const uint8_t *)statement, (size_t)size);
    char *sig64 = tool_base64url_encode(signature, sizeof signature);
    char *lines = nullptr;
    if (text64 != nullptr && sig64 != nullptr) {
        size_t capacity = strlen(text64) + strlen(sig64) + strlen(signer->key.kid) + 64;
        lines = (char *)heap_alloc(capacity);
        if (lines != nullptr) {
            int written = format_narrow(lines, capacity,
                                        STATEMENT_KEY_TEXT "=%s%s" STATEMENT_KEY_KID
                                                           "=%s%s" STATEMENT_KEY_SIG "=%s%s",
                                        text64, eol, signer->key.kid, eol, sig64, eol);
            *length = written < 0 ? 0 : (size_t)written;
        }
    }
    heap_free(text64);
    heap_free(sig64);
    if (lines == nullptr) format_narrow(tool_error_text, sizeof tool_error_text, "out of memory");
    return lines;
}

StatementStatus statement_read(const char *text, size_t length, const TrustedKey *keys,
                               size_t count, int64_t now, StatementInfo *info, char *detail,
                               size_t cap) {
    memset(info, 0, sizeof *info);
    if (detail != nullptr && cap > 0) detail[0] = 0;
    // The key id as the lines name it, for messages about a statement that
    // is refused after its key was found (expired, of another manifest).
    FreshEnvelope lines;
    if (fresh_lines_parse(text, length, &lines, nullptr, 0) == VERIFY_OK) {
        format_narrow(info->kid, sizeof info->kid, "%.*s", (int)lines.kid_length, lines.kid);
    }
    uint8_t digest[32];
    if (manifest_digest(text, length, digest) != 0) {
        if (detail != nullptr) format_narrow(detail, cap, "latest.txt has no payload that decodes");
        return STATEMENT_FORMAT;
    }
    hex_encode(digest, sizeof digest, info->manifest_sha256);
    // The setup's own check, with the keys given.
    ReleaseInfo release;
    memset(&release, 0, sizeof release);
    VerifyStatus status =
        freshness_verify_with_keys(text, length, digest, keys, count, now, &release, detail, cap);
    info->issued = release.fresh_issued;
    info->expires = release.fresh_expires;
    switch (status) {
        case VERIFY_OK: return STATEMENT_OK;
        case VERIFY_FRESH_MISSING: return STATEMENT_MISSING;
        case VERIFY_FRESH_UNKNOWN_KID: return STATEMENT_UNKNOWN_KID;
        case VERIFY_FRESH_BAD_SIGNATURE: return STATEMENT_BAD_SIGNATURE;
        case VERIFY_FRESH_JSON:
        case VERIFY_FRESH_SCHEMA: return STATEMENT_SCHEMA;
        case VERIFY_FRESH_MISMATCH: return STATEMENT_OTHER_MANIFEST;
        case VERIFY_STALE: return STATEMENT_EXPIRED;
        default: return STATEMENT_FORMAT;
    }
}

const char *statement_status_word(int status) {
    static const char *const words[] = {
        "ok",     "missing",        "format", "unknown-kid", "bad-signature",
        "schema", "other-manifest", "expired"};
    if (status < 0 || status >= (int)(sizeof words / sizeof words[0])) return "unknown";
    return words[status];
}

const TrustedKey *statement_profile_keys(const char *profile, size_t *count) {
    if (strcmp(profile, "test") == 0) {
        *count = sizeof test_keys / sizeof test_keys[0];
        return test_keys;
    }
    if (strcmp(profile, "production") == 0) {
        *count = sizeof production_keys / sizeof production_keys[0];
        return production_keys;
    }
    *count = 0;
    return nullptr;
}

int statement_parse_days(const char *text, int *days) {
    size_t n = strlen(text);
    if (n == 0 || n > 2) return -1;
    int value = 0;
    for (size_t i = 0; i < n; i++) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > STATEMENT_MAX_DAYS) return -1;
    *days = value;
    return 0;
}

void statement_span_text(int64_t seconds, char *text, size_t capacity) {
    if (seconds < 0) seconds = 0;
    int64_t days = seconds / 86400, hours = seconds % 86400 / 3600, minutes = seconds % 3600 / 60;
    if (days > 0) {
        format_narrow(text, capacity, "%lld d %lld h", (long long)days, (long long)hours);
    } else if (hours > 0) {
        format_narrow(text, capacity, "%lld h %lld min", (long long)hours, (long long)minutes);
    } else {
        format_narrow(text, capacity, "%lld min", (long long)minutes);
    }
}
