// The freshness statement: its three lines, its key, its signature, its
// schema, the manifest it names and its window, in that order.
#include "release/freshness.h"

#include <string.h>

#include "common/text.h"
#include "release/ed25519.h"
#include "release/envelope.h"
#include "release/json.h"

namespace {

// A non-negative number with an integer value.
bool unix_time(const JsonValue *value, int64_t *out) {
    if (value == nullptr || value->type != JSON_NUMBER || !value->has_integer ||
        value->integer < 0) {
        return false;
    }
    *out = value->integer;
    return true;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(int64_t days, int64_t *year, unsigned *month, unsigned *day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned doe = (unsigned)(days - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = (int64_t)yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

// Unix seconds as a date and a time of day in the format given (year, month,
// day, hours, minutes, seconds); "unknown" for a negative value.
static int time_text(int64_t seconds, const char *format, char *buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return -1;
    if (seconds < 0) return format_narrow(buffer, capacity, "unknown");
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    int64_t year;
    unsigned month, day;
    civil_from_days(days, &year, &month, &day);
    return format_narrow(buffer, capacity, format, (long long)year, month, day,
                         (unsigned)(rest / 3600), (unsigned)(rest / 60 % 60), (unsigned)(rest % 60));
}

int fresh_time_text(int64_t seconds, char *buffer, size_t capacity) {
    return time_text(seconds, "%04lld-%02u-%02uT%02u:%02u:%02uZ", buffer, capacity);
}

int fresh_time_readable(int64_t seconds, char *buffer, size_t capacity) {
    return time_text(seconds, "%04lld-%02u-%02u %02u:%02u:%02u UTC", buffer, capacity);
}

VerifyStatus fresh_lines_parse(const char *text, size_t length, FreshEnvelope *envelope,
                               char *detail, size_t detail_capacity) {
    memset(envelope, 0, sizeof *envelope);
    static const char *const keys[] = {"fresh", "fresh_kid", "fresh_sig"};
    EnvelopeField fields[3];
    if (!envelope_scan(text, length, keys, fields, 3, detail, detail_capacity)) {
        return VERIFY_FRESH_FORMAT;
    }
    if (!fields[0].found && !fields[1].found && !fields[2].found) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_MISSING,
                            "latest.txt has no freshness statement");
    }
    if (!fields[0].found || !fields[1].found || !fields[2].found) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_FORMAT,
                            "latest.txt lacks fresh, fresh_kid or fresh_sig");
    }
    envelope->fresh = fields[0].value;
    envelope->fresh_length = fields[0].length;
    envelope->kid = fields[1].value;
    envelope->kid_length = fields[1].length;
    envelope->sig = fields[2].value;
    envelope->sig_length = fields[2].length;
    if (!envelope_kid_valid(envelope->kid, envelope->kid_length)) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_FORMAT,
                            "latest.txt has an invalid fresh_kid");
    }
    if (envelope->fresh_length < FRESH_MIN_STATEMENT ||
        envelope->fresh_length > FRESH_MAX_STATEMENT ||
        envelope->sig_length != ENVELOPE_SIG_LENGTH) {
        return release_fail(
            detail, detail_capacity, VERIFY_FRESH_FORMAT,
            "latest.txt has a freshness statement or signature of the wrong length");
    }
    if (!envelope_base64url_text(envelope->fresh, envelope->fresh_length)) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_FORMAT,
                            "the freshness statement is not base64url");
    }
    if (!envelope_base64url_text(envelope->sig, envelope->sig_length)) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_FORMAT,
                            "the freshness signature is not base64url");
    }
    return VERIFY_OK;
}

VerifyStatus fresh_statement_read(const uint8_t *bytes, size_t count, FreshStatement *statement,
                                  char *detail, size_t detail_capacity) {
    memset(statement, 0, sizeof *statement);
    JsonDocument *document = nullptr;
    JsonValue *root = nullptr;
    JsonStatus parsed = json_parse(bytes, count, &document, &root);
    if (parsed != JSON_OK) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_JSON,
                            "the freshness statement is not strict JSON (%s)",
                            json_error_word(parsed));
    }
    VerifyStatus status = VERIFY_OK;
    const JsonValue *v = json_member(root, "v");
    if (root->type != JSON_OBJECT || v == nullptr || v->type != JSON_NUMBER || !v->has_integer ||
        v->integer != 1 || !json_string_equals(json_member(root, "product"), "vornquill-ai")) {
        status = release_fail(detail, detail_capacity, VERIFY_FRESH_SCHEMA,
                              "the freshness statement is not a Vornquill AI v1 statement");
    } else if (!json_sha256_hex(json_member(root, "manifest_sha256"), statement->manifest_sha256,
                                statement->manifest_sha256_hex)) {
        status = release_fail(detail, detail_capacity, VERIFY_FRESH_SCHEMA,
                              "the freshness statement has no valid manifest_sha256");
    } else if (!unix_time(json_member(root, "issued"), &statement->issued)) {
        status = release_fail(detail, detail_capacity, VERIFY_FRESH_SCHEMA,
                              "the freshness statement has no valid issued time");
    } else if (!unix_time(json_member(root, "expires"), &statement->expires)) {
        status = release_fail(detail, detail_capacity, VERIFY_FRESH_SCHEMA,
                              "the freshness statement has no valid expiry time");
    } else if (statement->issued >= statement->expires) {
        status = release_fail(detail, detail_capacity, VERIFY_FRESH_SCHEMA,
                              "the freshness statement expires before it is issued");
    }
    json_free(document);
    return status;
}

VerifyStatus freshness_verify_with_keys(const char *text, size_t length,
                                        const uint8_t manifest_sha256[32],
                                        const TrustedKey *keys, size_t key_count, int64_t now,
                                        ReleaseInfo *info, char *detail, size_t detail_capacity) {
    info->fresh_kid[0] = 0;
    info->fresh_issued = -1;
    info->fresh_expires = -1;
    if (detail != nullptr && detail_capacity != 0) detail[0] = 0;

    FreshEnvelope envelope;
    VerifyStatus status = fresh_lines_parse(text, length, &envelope, detail, detail_capacity);
    if (status != VERIFY_OK) return status;

    char kid[ENVELOPE_MAX_KID + 1];
    memcpy(kid, envelope.kid, (size_t)envelope.kid_length);
    kid[envelope.kid_length] = 0;
    const TrustedKey *key = trusted_key_find_in(keys, key_count, kid);
    if (key == nullptr) {
        return release_fail(
            detail, detail_capacity, VERIFY_FRESH_UNKNOWN_KID,
            "the freshness statement is signed with key %s, which this installer does "
            "not know as a freshness key",
            kid);
    }

    uint8_t signature[64];
    if (base64url_decode(envelope.sig, (size_t)envelope.sig_length, signature, sizeof signature) !=
        64) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_FORMAT,
                            "the freshness signature is not 64 bytes of strict base64url");
    }
    uint8_t bytes[FRESH_MAX_STATEMENT_BYTES];
    int64_t decoded =
        base64url_decode(envelope.fresh, (size_t)envelope.fresh_length, bytes, sizeof bytes);
    if (decoded < 0) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_FORMAT,
                            "the freshness statement is not strict base64url of at most %u bytes",
                            (unsigned)FRESH_MAX_STATEMENT_BYTES);
    }
    if (release_ed25519_check(signature, key->public_key, bytes, (size_t)decoded) != 0) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_BAD_SIGNATURE,
                            "the freshness signature does not verify (key %s)", kid);
    }

    FreshStatement statement;
    status = fresh_statement_read(bytes, (size_t)decoded, &statement, detail, detail_capacity);
    if (status != VERIFY_OK) return status;
    info->fresh_issued = statement.issued;
    info->fresh_expires = statement.expires;

    if (memcmp(statement.manifest_sha256, manifest_sha256, 32) != 0) {
        return release_fail(detail, detail_capacity, VERIFY_FRESH_MISMATCH,
                            "the freshness statement is for another manifest (sha256 %s)",
                            statement.manifest_sha256_hex);
    }
    if (now > statement.expires) {
        char expires[FRESH_TIME_TEXT_CAPACITY], issued[FRESH_TIME_TEXT_CAPACITY];
        char machine[FRESH_TIME_TEXT_CAPACITY];
        fresh_time_text(statement.expires, expires, sizeof expires);
        fresh_time_text(statement.issued, issued, sizeof issued);
        fresh_time_text(now, machine, sizeof machine);
        return release_fail(
            detail, detail_capacity, VERIFY_STALE,
            "the freshness statement expired at %s (issued %s; this computer's time is "
            "%s)",
            expires, issued, machine);
    }
    memcpy(info->fresh_kid, kid, sizeof kid);
    return VERIFY_OK;
}

VerifyStatus release_verify_fresh(const char *text, size_t length, const char *min_version,
                                  int64_t now, ReleaseInfo *info, char *detail,
                                  size_t detail_capacity) {
    VerifyStatus status = release_verify(text, length, min_version, info, detail, detail_capacity);
    info->fresh_issued = -1;
    info->fresh_expires = -1;
    if (status != VERIFY_OK || !freshness_required()) return status;
    status = freshness_verify_with_keys(text, length, info->manifest_sha256,
                                        freshness_key_table(), freshness_key_count(), now, info,
                                        detail, detail_capacity);
    if (status != VERIFY_OK) release_free(info);
    return status;
}
