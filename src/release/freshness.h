// The freshness statement: three more lines of latest.txt (fresh, fresh_kid,
// fresh_sig) that bind the signed manifest to a time window, signed with a
// freshness key of its own. A release is used only inside its window, so a
// frozen or replayed latest.txt stops being accepted once the window passes.
// Pure logic without system calls: the caller gives the time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "release/release.h"

#define FRESH_MIN_STATEMENT 2           // base64url characters of fresh
#define FRESH_MAX_STATEMENT 1368u       // base64url characters of fresh
#define FRESH_MAX_STATEMENT_BYTES 1024u  // bytes of the decoded statement
#define FRESH_TIME_TEXT_CAPACITY 32     // "YYYY-MM-DDThh:mm:ssZ" and more

// Views into the caller's text, valid while the text lives.
struct FreshEnvelope {
    const char *fresh;
    const char *kid;
    const char *sig;
    uint64_t fresh_length;
    uint64_t kid_length;
    uint64_t sig_length;
};

// What the statement says.
struct FreshStatement {
    char manifest_sha256_hex[65];  // 64 lower-case hex digits
    uint8_t manifest_sha256[32];
    int64_t issued;                // Unix seconds, issued < expires
    int64_t expires;
};

// Finds and screens the three lines in text (the line grammar of latest.txt;
// each line at most once). VERIFY_OK, VERIFY_FRESH_MISSING when none of them
// is there, else VERIFY_FRESH_FORMAT with the first failing test's message.
// The envelope is cleared first.
VerifyStatus fresh_lines_parse(const char *text, size_t length, FreshEnvelope *envelope,
                               char *detail, size_t detail_capacity);

// Reads count decoded statement bytes: strict JSON, v 1, product
// "vornquill-ai", manifest_sha256, issued and expires. VERIFY_OK,
// VERIFY_FRESH_JSON or VERIFY_FRESH_SCHEMA with one message.
VerifyStatus fresh_statement_read(const uint8_t *bytes, size_t count, FreshStatement *statement,
                                  char *detail, size_t detail_capacity);

// Checks the statement of text (latest.txt) against the freshness keys
// keys[0..key_count), the digest of the verified manifest and the time now
// (Unix seconds, UTC): lines, key, signature, statement, digest, expiry, in
// that order. Sets info->fresh_issued and fresh_expires to -1 first and to
// the statement's window once it is read (so a refusal for another manifest
// or an expired window can show it); on VERIFY_OK also info->fresh_kid.
VerifyStatus freshness_verify_with_keys(const char *text, size_t length,
                                        const uint8_t manifest_sha256[32],
                                        const TrustedKey *keys, size_t key_count, int64_t now,
                                        ReleaseInfo *info, char *detail, size_t detail_capacity);

// release_verify, then, when this build requires it, the freshness check with
// the built-in freshness keys at time now. On any status but VERIFY_OK the
// record holds no allocation (the window, when it was read, stays for the log).
VerifyStatus release_verify_fresh(const char *text, size_t length, const char *min_version,
                                  int64_t now, ReleaseInfo *info, char *detail,
                                  size_t detail_capacity);

// The built-in freshness key table (separate from the release keys; a key of
// one never counts for the other), its size, and whether this build refuses a
// release without a valid statement (1 in both profiles).
const TrustedKey *freshness_key_table(void);
uint32_t freshness_key_count(void);
int freshness_required(void);

// "YYYY-MM-DDThh:mm:ssZ" for Unix seconds (proleptic Gregorian calendar, UTC);
// "unknown" for a negative value. Cut to capacity and terminated; returns the
// length, or -1 when cut.
int fresh_time_text(int64_t seconds, char *buffer, size_t capacity);
// The same time for a person: "YYYY-MM-DD hh:mm:ss UTC".
int fresh_time_readable(int64_t seconds, char *buffer, size_t capacity);
