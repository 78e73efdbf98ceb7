// The freshness statement of a latest.txt: made by publish and refresh,
// read by check and refresh.
#include "tools/release/statement.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <sodium.h>

#include "common/memory.h"
#include "common/text.h"
#include "release/envelope.h"
#include "release/freshness_keys.inc"
#include "release/json.h"
#include "tools/release/command.h"

namespace {

const TrustedKey test_keys[] = {FRESHNESS_KEYS_TEST};
const TrustedKey production_keys[] = {FRESHNESS_KEYS_PRODUCTION};

struct Field {
    const char *key;
    const char *value;
    size_t length;
    int count;
};

int kid_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

int all_base64url(const char *text, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (base64url_value((unsigned char)text[i]) < 0) return 0;
    }
    return 1;
}

// The lower-case hex SHA-256 of the decoded payload of an envelope text, or
// -1 when it has none that decodes.
int manifest_digest(const char *text, size_t length, char hex[65]) {
    ReleaseEnvelope envelope;
    if (!envelope_parse(text, length, &envelope, nullptr, 0)) return -1;
    size_t capacity = (size_t)(envelope.payload_length / 4 + 1) * 3;
    uint8_t *decoded = (uint8_t *)heap_alloc(capacity);
    if (decoded == nullptr) return -1;
    int64_t n = base64url_decode(envelope.payload, (size_t)envelope.payload_length, decoded, capacity);
    int result = -1;
    if (n >= 0) {
        uint8_t digest[32];
        crypto_hash_sha256(digest, decoded, (unsigned long long)n);
        hex_encode(digest, sizeof digest, hex);
        result = 0;
    }
    heap_free(decoded);
    return result;
}

int lower_hex64(const char *text) {
    if (strlen(text) != 64) return 0;
    for (int i = 0; i < 64; i++) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    }
    return 1;
}

// Reads the statement's JSON into info: 0, or -1 with the reason in detail.
int read_statement_json(const uint8_t *bytes, size_t n, StatementInfo *info, char *detail,
                        size_t cap) {
    JsonDocument *document = nullptr;
    JsonValue *root = nullptr;
    JsonStatus parsed = json_parse(bytes, n, &document, &root);
    if (parsed != JSON_OK) {
        format_narrow(detail, cap, "the statement is not strict JSON (%s)", json_error_word(parsed));
        return -1;
    }
    int result = -1;
    const JsonValue *v = json_member(root, "v");
    const JsonValue *issued = json_member(root, "issued");
    const JsonValue *expires = json_member(root, "expires");
    if (root->type != JSON_OBJECT) {
        format_narrow(detail, cap, "the statement is not a JSON object");
    } else if (v == nullptr || v->type != JSON_NUMBER || !v->has_integer || v->integer != 1) {
        format_narrow(detail, cap, "the statement's v is not 1");
    } else if (!json_string_equals(json_member(root, "product"), "vornquill-ai")) {
        format_narrow(detail, cap, "the statement's product is not vornquill-ai");
    } else if (!json_string_copy(json_member(root, "manifest_sha256"), info->manifest_sha256,
                                 sizeof info->manifest_sha256) ||
               !lower_hex64(info->manifest_sha256)) {
        info->manifest_sha256[0] = 0;
        format_narrow(detail, cap, "the statement's manifest_sha256 is not 64 lower-case hex digits");
    } else if (issued == nullptr || issued->type != JSON_NUMBER || !issued->has_integer ||
               issued->integer < 0 || expires == nullptr || expires->type != JSON_NUMBER ||
               !expires->has_integer || expires->integer < 0) {
        format_narrow(detail, cap, "the statement's issued or expires is not a non-negative integer");
    } else if (issued->integer >= expires->integer) {
        format_narrow(detail, cap, "the statement's issued (%lld) is not before its expires (%lld)",
                      (long long)issued->integer, (long long)expires->integer);
    } else {
        info->issued = issued->integer;
        info->expires = expires->integer;
        result = 0;
    }
    json_free(document);
    return result;
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
        format_narrow(tool_error_text, sizeof tool_error_text, "the statement does not fit its buffer");
        return nullptr;
    }
    uint8_t signature[64];
    if (signer_sign(signer, (const uint8_t *)statement, (size_t)size, signature) != 0) return nullptr;
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
                                        STATEMENT_KEY_TEXT "=%s%s" STATEMENT_KEY_KID "=%s%s"
                                        STATEMENT_KEY_SIG "=%s%s",
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
    char scratch[8];
    if (detail == nullptr || cap == 0) {
        detail = scratch;
        cap = sizeof scratch;
    }
    Field fields[3] = {{STATEMENT_KEY_TEXT, nullptr, 0, 0},
                       {STATEMENT_KEY_KID, nullptr, 0, 0},
                       {STATEMENT_KEY_SIG, nullptr, 0, 0}};
    size_t start = 0;
    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n') end++;
        size_t n = end - start;
        if (n > 0 && text[start + n - 1] == '\r') n--;
        const char *line = text + start;
        const char *eq = (const char *)memchr(line, '=', n);
        if (eq != nullptr) {
            size_t key_length = (size_t)(eq - line);
            for (Field &field : fields) {
                if (key_length == strlen(field.key) && memcmp(line, field.key, key_length) == 0) {
                    field.count++;
                    field.value = eq + 1;
                    field.length = n - key_length - 1;
                }
            }
        }
        start = end + 1;
    }
    if (fields[0].count == 0 && fields[1].count == 0 && fields[2].count == 0) {
        format_narrow(detail, cap, "latest.txt has no freshness statement (fresh, fresh_kid, fresh_sig)");
        return STATEMENT_MISSING;
    }
    for (const Field &field : fields) {
        if (field.count > 1) {
            format_narrow(detail, cap, "latest.txt repeats its %s line", field.key);
            return STATEMENT_FORMAT;
        }
        if (field.count == 0) {
            format_narrow(detail, cap, "latest.txt lacks its %s line", field.key);
            return STATEMENT_FORMAT;
        }
    }
    const Field &statement = fields[0], &kid = fields[1], &sig = fields[2];
    if (statement.length < 2 || statement.length > STATEMENT_MAX_TEXT ||
        !all_base64url(statement.value, statement.length)) {
        format_narrow(detail, cap, "fresh is not 2 to %d base64url characters", (int)STATEMENT_MAX_TEXT);
        return STATEMENT_FORMAT;
    }
    bool kid_ok = kid.length >= 1 && kid.length <= ENVELOPE_MAX_KID;
    for (size_t i = 0; kid_ok && i < kid.length; i++) kid_ok = kid_char(kid.value[i]);
    if (!kid_ok) {
        format_narrow(detail, cap, "fresh_kid is not a key id (1 to 64 of A-Z a-z 0-9 . _ -)");
        return STATEMENT_FORMAT;
    }
    if (sig.length != ENVELOPE_SIG_LENGTH || !all_base64url(sig.value, sig.length)) {
        format_narrow(detail, cap, "fresh_sig is not %d base64url characters", (int)ENVELOPE_SIG_LENGTH);
        return STATEMENT_FORMAT;
    }
    format_narrow(info->kid, sizeof info->kid, "%.*s", (int)kid.length, kid.value);
    const TrustedKey *key = nullptr;
    for (size_t i = 0; i < count && key == nullptr; i++) {
        if (strcmp(keys[i].key_id, info->kid) == 0) key = &keys[i];
    }
    if (key == nullptr) {
        format_narrow(detail, cap, "the statement is signed with key %s, which is not a trusted freshness key",
                      info->kid);
        return STATEMENT_UNKNOWN_KID;
    }
    uint8_t signature[64];
    uint8_t bytes[STATEMENT_MAX_BYTES + 3];
    if (base64url_decode(sig.value, sig.length, signature, sizeof signature) != 64) {
        format_narrow(detail, cap, "fresh_sig is not 64 bytes of strict base64url");
        return STATEMENT_FORMAT;
    }
    int64_t n = base64url_decode(statement.value, statement.length, bytes, sizeof bytes);
    if (n < 0 || n > STATEMENT_MAX_BYTES) {
        format_narrow(detail, cap, "fresh is not strict base64url of at most %d bytes",
                      (int)STATEMENT_MAX_BYTES);
        return STATEMENT_FORMAT;
    }
    if (crypto_sign_verify_detached(signature, bytes, (unsigned long long)n, key->public_key) != 0) {
        format_narrow(detail, cap, "the statement's Ed25519 signature does not verify (key %s)",
                      info->kid);
        return STATEMENT_BAD_SIGNATURE;
    }
    if (read_statement_json(bytes, (size_t)n, info, detail, cap) != 0) return STATEMENT_SCHEMA;
    char digest[65];
    digest[0] = 0;
    if (manifest_digest(text, length, digest) != 0 || strcmp(digest, info->manifest_sha256) != 0) {
        format_narrow(detail, cap, "the statement is of another manifest (SHA-256 %s, this one's %s)",
                      info->manifest_sha256, digest[0] != 0 ? digest : "unknown");
        return STATEMENT_OTHER_MANIFEST;
    }
    if (now > info->expires) {
        char when[32];
        statement_time_text(info->expires, when, sizeof when);
        format_narrow(detail, cap, "the statement expired at %s (expires %lld, now %lld)", when,
                      (long long)info->expires, (long long)now);
        return STATEMENT_EXPIRED;
    }
    return STATEMENT_OK;
}

const char *statement_status_word(int status) {
    static const char *const words[] = {"ok",     "missing",        "format",  "unknown-kid",
                                        "bad-signature", "schema", "other-manifest", "expired"};
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

void statement_time_text(int64_t seconds, char *text, size_t capacity) {
    time_t t = (time_t)seconds;
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr) {
        format_narrow(text, capacity, "%lld", (long long)seconds);
        return;
    }
    format_narrow(text, capacity, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}
