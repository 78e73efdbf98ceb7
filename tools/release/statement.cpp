// The freshness statement of a latest.txt: made by publish and refresh,
// read by check and refresh.
#include "tools/release/statement.h"

#include <stdio.h>
#include <string.h>

#include "common/memory.h"
#include "common/text.h"
#include "release/freshness_keys.inc"
#include "release/freshness.h"
#include "tools/release/command.h"

namespace {

const TrustedKey test_keys[] = {FRESHNESS_KEYS_TEST};
const TrustedKey production_keys[] = {FRESHNESS_KEYS_PRODUCTION};

}  // namespace

char *statement_lines(Signer *signer, const uint8_t manifest_sha256[32], int64_t issued,
                      int64_t expires, const char *eol, size_t *length) {
    char hex[65];
    hex_encode(manifest_sha256, 32, hex);
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

char *statement_append(Signer *fresh, const uint8_t manifest_sha256[32], const char *release,
                       size_t release_length, const char *eol, int64_t issued, int64_t expires,
                       const TrustedKey *release_key, const char *min_version,
                       StatementCheck *check, size_t *length) {
    memset(check, 0, sizeof *check);
    size_t lines_length = 0;
    char *lines = statement_lines(fresh, manifest_sha256, issued, expires, eol, &lines_length);
    if (lines == nullptr) return nullptr;
    char *whole = (char *)heap_alloc(release_length + lines_length + 1);
    if (whole == nullptr) {
        heap_free(lines);
        format_narrow(tool_error_text, sizeof tool_error_text, "out of memory");
        return nullptr;
    }
    memcpy(whole, release, release_length);
    memcpy(whole + release_length, lines, lines_length + 1);
    heap_free(lines);
    *length = release_length + lines_length;
    TrustedKey fresh_key = keyfile_trusted_key(&fresh->key);
    check->statement = statement_read(whole, *length, manifest_sha256, &fresh_key, 1, issued,
                                      &check->info, check->statement_detail,
                                      sizeof check->statement_detail);
    ReleaseInfo info;
    check->release = release_verify_with_keys(whole, *length, min_version, release_key, 1, &info,
                                              check->release_detail,
                                              sizeof check->release_detail);
    release_free(&info);
    return whole;
}

StatementStatus statement_read(const char *text, size_t length,
                               const uint8_t manifest_sha256[32], const TrustedKey *keys,
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
    // The setup's own check, with the keys given.
    ReleaseInfo release;
    memset(&release, 0, sizeof release);
    VerifyStatus status = freshness_verify_with_keys(text, length, manifest_sha256, keys, count,
                                                     now, &release, detail, cap);
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

int statement_days_option(const char *command, const char *value, int *days) {
    *days = STATEMENT_DEFAULT_DAYS;
    if (value != nullptr && statement_parse_days(value, days) != 0) {
        return tool_usage_error(command,
                                "--fresh-days %s is not a whole number of days from 1 to %d",
                                value, (int)STATEMENT_MAX_DAYS);
    }
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
