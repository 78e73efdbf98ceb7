// Release verification: the verified release record, the verification
// statuses and the one gate that turns the text of latest.txt into a release
// the setup run may trust. Pure logic without system calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"

// Result of release_verify and manifest_read. The numbers never change.
enum VerifyStatus {
    VERIFY_OK = 0,             // verified; the ReleaseInfo is complete
    VERIFY_FORMAT = 1,         // envelope or base64url malformed, or no memory
    VERIFY_UNKNOWN_KID = 2,    // signed with a key that is not trusted
    VERIFY_BAD_SIGNATURE = 3,  // the Ed25519 signature does not verify
    VERIFY_JSON = 4,           // the signed manifest is not strict JSON
    VERIFY_SCHEMA = 5,         // required members or forms missing
    VERIFY_WRONG_CHANNEL = 6,  // not on the stable channel
    VERIFY_BELOW_FLOOR = 7,    // older than the minimum release version
    VERIFY_NO_ARTIFACT = 8,    // no Windows x64 installer, or more than one
    VERIFY_FILE_NAME = 9,      // installer file name missing or not accepted
    VERIFY_TOO_LARGE = 10,     // installer size out of range
    // The freshness statement, checked after the release verified:
    VERIFY_FRESH_MISSING = 11,        // none of fresh, fresh_kid, fresh_sig
    VERIFY_FRESH_FORMAT = 12,         // its lines or base64url malformed
    VERIFY_FRESH_UNKNOWN_KID = 13,    // signed with a key that is not a freshness key
    VERIFY_FRESH_BAD_SIGNATURE = 14,  // its Ed25519 signature does not verify
    VERIFY_FRESH_JSON = 15,           // the statement is not strict JSON
    VERIFY_FRESH_SCHEMA = 16,         // required members or forms missing
    VERIFY_FRESH_MISMATCH = 17,       // it names another manifest
    VERIFY_STALE = 18,                // the machine's time is past its expiry
};

// The verified release. release_verify zero-fills it first; only a record for
// which it returned VERIFY_OK is complete. kid, payload, payload_length and
// sig are exactly what envelope.json records.
struct ReleaseInfo {
    char version[64];       // the release's version, at most 63 characters
    char fileName[201];     // the installer's file name, at most 200 characters
    int64_t size;           // the installer's size, 1 to 2,147,483,648 bytes
    char sha256_hex[65];    // 64 lower-case hex digits
    uint8_t sha256[32];     // the same digest as bytes
    char kid[65];           // the key id the release was verified with
    char *payload;          // heap copy of the envelope's payload text, or null
    uint64_t payload_length;  // length of payload without its terminator
    char sig[128];          // the envelope's sig text, 86 characters
    uint8_t manifest_sha256[32];  // SHA-256 of the decoded manifest bytes
    // Filled by the freshness check (release_verify_fresh, freshness_verify_with_keys):
    char fresh_kid[65];     // the freshness key id the statement was verified with
    int64_t fresh_issued;   // the statement's window, Unix seconds (UTC)
    int64_t fresh_expires;
};

// One entry of a trusted key table.
struct TrustedKey {
    char key_id[65];         // zero-terminated, compared byte for byte with kid
    uint8_t public_key[32];  // Ed25519 public key
};

// The fixed word of a status ("ok", "format", ...; "unknown" for other codes).
const char *verify_status_word(int status);
// Writes the detail text (cut to fit; nothing without a buffer or with
// capacity 0) and returns status: the one way the verification steps report
// what was wrong.
VerifyStatus release_fail(char *detail, size_t capacity, VerifyStatus status, const char *format,
                          ...) VQ_PRINTF(4, 5);

// Verifies the text of latest.txt (length bytes, not zero-terminated) against
// the trusted key table built into the program. min_version is the minimum
// release version. Fills *info (always zero-filled first) and, on failure,
// writes a detail text into detail (cut to detail_capacity, always
// terminated; detail may be null). The caller frees *info with release_free
// whatever the status.
VerifyStatus release_verify(const char *text, size_t length, const char *min_version,
                            ReleaseInfo *info, char *detail, size_t detail_capacity);

// The same check against a caller-given key table (keys[0..key_count)). The
// release tool verifies with the key it is given through this entry;
// release_verify is this function applied to the built-in table.
VerifyStatus release_verify_with_keys(const char *text, size_t length, const char *min_version,
                                      const TrustedKey *keys, size_t key_count,
                                      ReleaseInfo *info, char *detail, size_t detail_capacity);

// Returns info->payload to the heap and sets it to null. Null info and a
// record without payload are accepted; a second call does nothing.
void release_free(ReleaseInfo *info);

// The built-in trusted key table: release_key_count() entries, constant data.
const TrustedKey *trusted_key_table(void);
uint32_t release_key_count(void);
// Name of the built-in key set: "production" or "test".
const char *release_key_set(void);
// The entry of the built-in table whose key id equals kid exactly, or null.
const TrustedKey *trusted_key_find(const char *kid);
// The same search in a caller-given table, scanning in order.
const TrustedKey *trusted_key_find_in(const TrustedKey *keys, size_t key_count, const char *kid);
