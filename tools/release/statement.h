// The freshness statement of a latest.txt: three lines after the release's,
//   fresh=<base64url of {"v":1,"product":"vornquill-ai","manifest_sha256":"<hex>",
//                        "issued":<Unix s>,"expires":<Unix s>}>
//   fresh_kid=<the freshness key's id>
//   fresh_sig=<base64url of the Ed25519 signature of the decoded statement>
// signed by a freshness key: it binds the manifest to a time window, and a
// setup refuses the release once the window has passed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "release/release.h"
#include "tools/release/signer.h"

enum {
    STATEMENT_DEFAULT_DAYS = 7,  // the window publish and refresh give
    STATEMENT_MAX_DAYS = 31,     // the longest window they give
    STATEMENT_DAY_S = 86400,
};

// Line keys of the statement, in the order they are written.
#define STATEMENT_KEY_TEXT "fresh"
#define STATEMENT_KEY_KID "fresh_kid"
#define STATEMENT_KEY_SIG "fresh_sig"

// What statement_read found, in the order of the setup's tests.
enum StatementStatus {
    STATEMENT_OK = 0,              // verified, and now <= expires
    STATEMENT_MISSING = 1,         // none of the three lines
    STATEMENT_FORMAT = 2,          // a line missing, repeated, or of the wrong form
    STATEMENT_UNKNOWN_KID = 3,     // fresh_kid is in none of the keys given
    STATEMENT_BAD_SIGNATURE = 4,   // the signature does not verify
    STATEMENT_SCHEMA = 5,          // not strict JSON of the statement's form
    STATEMENT_OTHER_MANIFEST = 6,  // its digest is not that of this latest.txt's manifest
    STATEMENT_EXPIRED = 7,         // now is past expires
};

// A statement as read: kid once its lines are well-formed ("" before);
// issued and expires once it was read (-1 before: OK, EXPIRED and
// OTHER_MANIFEST have them).
struct StatementInfo {
    char kid[65];
    int64_t issued;
    int64_t expires;
};

// The three lines for the manifest whose SHA-256 is manifest_sha256 (the
// digest release_verify_with_keys gives in ReleaseInfo), signed by signer (a
// freshness key), each ended with eol ("\n" or "\r\n"), zero-terminated in a
// heap block the caller frees with heap_free. Null with tool_error_text on
// failure.
char *statement_lines(Signer *signer, const uint8_t manifest_sha256[32], int64_t issued,
                      int64_t expires, const char *eol, size_t *length);

// A release text with its new statement, as a setup reads it back.
struct StatementCheck {
    StatementStatus statement;   // the statement, with the freshness key's public key
    VerifyStatus release;        // the whole text's release, with the release key
    StatementInfo info;          // the statement as read
    char statement_detail[256];  // what was wrong with the statement, always terminated
    char release_detail[256];    // what was wrong with the release, always terminated
};

// Appends the statement lines (see statement_lines; each ended with eol)
// to the release lines release (release_length bytes, ending with a line
// ending) and reads the whole back as a setup does: the statement with
// fresh's public key at issued, and the release with release_key and
// min_version. Returns the whole text, zero-terminated in a heap block the
// caller frees with heap_free (*length bytes), with check filled; null with
// tool_error_text when the lines could not be made or memory ran out.
char *statement_append(Signer *fresh, const uint8_t manifest_sha256[32], const char *release,
                       size_t release_length, const char *eol, int64_t issued, int64_t expires,
                       const TrustedKey *release_key, const char *min_version,
                       StatementCheck *check, size_t *length);

// Judges the statement of a latest.txt text (length bytes) whose release
// verified with the manifest digest manifest_sha256, with the setup's own
// check (freshness_verify_with_keys), trusting the keys given (count of
// them), at the time now (Unix seconds). Fills info as far as it got; the
// detail (the setup's message, cut to fit, always terminated; detail may be
// null) says what was wrong.
StatementStatus statement_read(const char *text, size_t length,
                               const uint8_t manifest_sha256[32], const TrustedKey *keys,
                               size_t count, int64_t now, StatementInfo *info, char *detail,
                               size_t detail_capacity);

// The word of a status: "ok", "missing", "format", "unknown-kid",
// "bad-signature", "schema", "other-manifest", "expired".
const char *statement_status_word(int status);

// The freshness keys that a setup of the profile ("test" or "production")
// trusts; *count their number. Null for another name.
const TrustedKey *statement_profile_keys(const char *profile, size_t *count);

// Reads a window of whole days, 1 to STATEMENT_MAX_DAYS, written in
// digits. Returns 0 with *days, or -1.
int statement_parse_days(const char *text, int *days);

// The --fresh-days option of command: its value (STATEMENT_DEFAULT_DAYS
// when value is null) in *days and 0, or the status of tool_usage_error
// after its message.
int statement_days_option(const char *command, const char *value, int *days);

// Writes a span of seconds as "6 d 23 h", "5 h 12 min" or "12 min" (the
// largest unit that is not zero and the next; seconds are dropped).
void statement_span_text(int64_t seconds, char *text, size_t capacity);
