// Release verification: envelope, key, signature, manifest, in that order.
// The single gate between the fetched latest.txt and the rest of the run.
#include <string.h>

#include "common/memory.h"
#include "common/text.h"
#include "release/ed25519.h"
#include "release/envelope.h"
#include "release/manifest.h"
#include "release/release.h"

VerifyStatus release_fail(char *detail, size_t capacity, VerifyStatus status, const char *format,
                          ...) {
    if (detail != nullptr && capacity != 0) {
        va_list args;
        va_start(args, format);
        format_narrow_v(detail, capacity, format, args);
        va_end(args);
    }
    return status;
}

const char *verify_status_word(int status) {
    switch (status) {
    case VERIFY_OK: return "ok";
    case VERIFY_FORMAT: return "format";
    case VERIFY_UNKNOWN_KID: return "unknown-kid";
    case VERIFY_BAD_SIGNATURE: return "bad-signature";
    case VERIFY_JSON: return "json";
    case VERIFY_SCHEMA: return "schema";
    case VERIFY_WRONG_CHANNEL: return "wrong-channel";
    case VERIFY_BELOW_FLOOR: return "below-floor";
    case VERIFY_NO_ARTIFACT: return "no-artifact";
    case VERIFY_FILE_NAME: return "file-name";
    case VERIFY_TOO_LARGE: return "too-large";
    case VERIFY_FRESH_MISSING: return "fresh-missing";
    case VERIFY_FRESH_FORMAT: return "fresh-format";
    case VERIFY_FRESH_UNKNOWN_KID: return "fresh-unknown-kid";
    case VERIFY_FRESH_BAD_SIGNATURE: return "fresh-bad-signature";
    case VERIFY_FRESH_JSON: return "fresh-json";
    case VERIFY_FRESH_SCHEMA: return "fresh-schema";
    case VERIFY_FRESH_MISMATCH: return "fresh-mismatch";
    case VERIFY_STALE: return "stale";
    default: return "unknown";
    }
}

const TrustedKey *trusted_key_find_in(const TrustedKey *keys, size_t key_count, const char *kid) {
    if (keys == nullptr || kid == nullptr) return nullptr;
    for (size_t i = 0; i < key_count; i++) {
        if (strcmp(keys[i].key_id, kid) == 0) return &keys[i];
    }
    return nullptr;
}

const TrustedKey *trusted_key_find(const char *kid) {
    return trusted_key_find_in(trusted_key_table(), release_key_count(), kid);
}

VerifyStatus release_verify(const char *text, size_t length, const char *min_version,
                            ReleaseInfo *info, char *detail, size_t detail_capacity) {
    return release_verify_with_keys(text, length, min_version, trusted_key_table(),
                                    release_key_count(), info, detail, detail_capacity);
}

VerifyStatus release_verify_with_keys(const char *text, size_t length, const char *min_version,
                                      const TrustedKey *keys, size_t key_count,
                                      ReleaseInfo *info, char *detail, size_t detail_capacity) {
    memset(info, 0, sizeof *info);
    if (detail != nullptr && detail_capacity != 0) detail[0] = 0;

    ReleaseEnvelope envelope;
    if (!envelope_parse(text, length, &envelope, detail, detail_capacity)) return VERIFY_FORMAT;

    char kid[ENVELOPE_MAX_KID + 1];
    memcpy(kid, envelope.kid, (size_t)envelope.kid_length);
    kid[envelope.kid_length] = 0;

    const TrustedKey *key = trusted_key_find_in(keys, key_count, kid);
    if (key == nullptr) {
        return release_fail(detail, detail_capacity, VERIFY_UNKNOWN_KID,
                            "the release is signed with key %s, which this installer does not know",
                            kid);
    }

    uint8_t signature[64];
    if (base64url_decode(envelope.sig, (size_t)envelope.sig_length, signature, sizeof signature) !=
        64) {
        return release_fail(detail, detail_capacity, VERIFY_FORMAT,
                            "the signature is not 64 bytes of strict base64url");
    }

    size_t capacity = ((size_t)envelope.payload_length / 4 + 1) * 3;
    uint8_t *manifest = (uint8_t *)heap_alloc(capacity);
    if (manifest == nullptr) return VERIFY_FORMAT;

    VerifyStatus status;
    int64_t decoded = base64url_decode(envelope.payload, (size_t)envelope.payload_length,
                                       manifest, capacity);
    if (decoded < 0) {
        status = release_fail(detail, detail_capacity, VERIFY_FORMAT,
                              "the payload is not strict base64url");
    } else if (release_ed25519_check(signature, key->public_key, manifest, (size_t)decoded) != 0) {
        status = release_fail(detail, detail_capacity, VERIFY_BAD_SIGNATURE,
                              "the Ed25519 signature does not verify (key %s)", kid);
    } else {
        status = manifest_read(manifest, (size_t)decoded, min_version, info, detail,
                               detail_capacity);
    }

    if (status == VERIFY_OK) {
        // The freshness statement names the manifest by this digest.
        release_sha256(manifest, (size_t)decoded, info->manifest_sha256);
        memcpy(info->kid, kid, sizeof kid);
        memcpy(info->sig, envelope.sig, ENVELOPE_SIG_LENGTH);
        info->sig[ENVELOPE_SIG_LENGTH] = 0;
        char *copy = (char *)heap_alloc((size_t)envelope.payload_length + 1);
        if (copy == nullptr) {
            status = VERIFY_FORMAT;
        } else {
            memcpy(copy, envelope.payload, (size_t)envelope.payload_length);
            copy[envelope.payload_length] = 0;
            info->payload = copy;
            info->payload_length = envelope.payload_length;
        }
    }

    // The decoded manifest came from the network: wipe it before freeing.
    heap_wipe(manifest, capacity);
    heap_free(manifest);
    return status;
}
