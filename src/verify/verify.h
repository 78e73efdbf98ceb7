// Download verification: the SHA-256 digest of the downloaded installer and
// the check of its Authenticode signature and signer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/progress.h"
#include "common/text.h"

// ---------------------------------------------------------------- digest
enum { FILE_SHA256_CHUNK = 1048576 };

// ---------------------------------------------------------------- signer rules
// Status codes of the trust check that the verdict tells apart.
enum {
    AUTHENTICODE_CERT_E_UNTRUSTEDROOT = 0x800B0109u,
    AUTHENTICODE_TRUST_E_NOSIGNATURE = 0x800B0100u,
    AUTHENTICODE_TRUST_E_BAD_DIGEST = 0x80096010u
};

enum { AUTHENTICODE_SUMMARY_CAPACITY = 256 };

// What was found out about the first signer; all 0 until found, and all 0
// when no signing certificate was found.
struct AuthenticodeFacts {
    uint32_t certificate;         // a signing certificate was found
    uint32_t thumbprint_known;    // its SHA-1 thumbprint could be read
    uint8_t thumbprint[20];
    uint32_t pinned;              // the thumbprint is one of the pinned ones
    uint32_t self_signed;         // subject and issuer names are equal
    uint32_t organization_match;  // subject O= is exactly the vendor's
    uint32_t timestamp;           // the signature carries a proven time stamp
    uint32_t chain_untrusted_root_only;  // the signer's chain was built and its
                                         // only error is an untrusted root
};

// The verdicts; the numbers never change.
enum AuthenticodeVerdict {
    AUTHENTICODE_PINNED_TRUSTED = 0,        // accepted
    AUTHENTICODE_PINNED_NO_TIMESTAMP = 1,   // refused
    AUTHENTICODE_NOT_VENDOR = 2,            // refused
    AUTHENTICODE_PUBLIC_VENDOR = 3,         // accepted
    AUTHENTICODE_TRUSTED_NO_TIMESTAMP = 4,  // refused
    AUTHENTICODE_PINNED_UNTRUSTED = 5,      // accepted
    AUTHENTICODE_REJECTED = 6,              // refused
    AUTHENTICODE_NOT_SIGNED = 7,            // refused
    AUTHENTICODE_MODIFIED = 8               // refused
};

// The verdict for a trust-check status and the signer facts (first matching
// rule of the table in authenticode_rules.cpp).
AuthenticodeVerdict authenticode_verdict(uint32_t status, const AuthenticodeFacts *facts);
// 1 for the verdicts that accept the file.
int authenticode_verdict_accepted(AuthenticodeVerdict verdict);
// The fixed text of a verdict.
const char *authenticode_verdict_text(AuthenticodeVerdict verdict);
// 1 when thumbprint equals one of the build's pinned thumbprints.
int authenticode_thumbprint_pinned(const uint8_t thumbprint[20]);
// "%s (WinVerifyTrust 0x%08lX, signer %s, timestamp %s)" into summary (cut
// to capacity; nothing written when summary is null or capacity is 0).
void authenticode_summary(char *summary, size_t capacity, AuthenticodeVerdict verdict, uint32_t status,
                          const AuthenticodeFacts *facts);

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

// SHA-256 of exactly `length` bytes of an open file, read from offset 0 in
// chunks of 1 MiB (the file pointer is moved). progress (may be null) is
// called after every chunk; non-zero stops. 0 with the digest in `digest`
// when the file holds exactly `length` bytes; -1 on any failure or stop,
// with `digest` untouched. The handle stays the caller's.
int file_sha256(HANDLE file, uint64_t length, uint8_t digest[32], ProgressCallback progress,
                void *context);

// The readers of the trust provider's records (a signer record with its
// chain context and its counter-signer records, as WinVerifyTrust leaves
// them). Members that a record's cbStruct does not cover are never read.
//
// 1 when the signer's chain was built and its only error is a root that this
// PC does not trust.
int authenticode_signer_chain_untrusted_root_only(const CRYPT_PROVIDER_SGNR *signer);
// 1 when a listed counter-signer proves a time stamp: the provider found no
// error in it, its certificate names the time-stamping usage, and its chain
// has no error.
int authenticode_counter_signer_counts(const CRYPT_PROVIDER_SGNR *counter);
// The time stamp fact: when the provider lists counter-signers, 1 when one
// of them counts; when it lists none, 1 when a time-stamp attribute of the
// signer verifies here (`message` is the signed message it came in).
int authenticode_signer_timestamped(const CRYPT_PROVIDER_SGNR *signer, HCRYPTMSG message);

#if VQ_PROFILE_TEST
// Test build only: after the real WinVerifyTrust, gives the result and the
// first signer's record as Windows reports them for the same file (see
// authenticode.cpp). *status and *signer are replaced; the records live in
// report until it is freed.
struct WindowsReport {
    CRYPT_PROVIDER_SGNR signer;       // a copy of the first signer's record
    CRYPT_PROVIDER_SGNR counter;      // the time stamp, as a listed counter-signer
    CRYPT_PROVIDER_CERT counter_certificate;
    PCCERT_CONTEXT certificate;       // the token's signer certificate (owned)
    PCCERT_CHAIN_CONTEXT chain;       // its chain (owned)
};
void authenticode_windows_report(const CRYPT_PROVIDER_DATA *data, uint32_t *status, CRYPT_PROVIDER_SGNR **signer,
                                 WindowsReport *report);
void authenticode_windows_report_free(WindowsReport *report);
#endif

// The trust provider's verification of a file, as the check makes it:
// status is WinVerifyTrust's result, data and signer (the first signer's
// record) may be null. The records stay valid until authenticode_trust_close.
// The record must not move while it is open (trust points at file_info).
struct AuthenticodeTrust {
    WINTRUST_FILE_INFO file_info;
    WINTRUST_DATA trust;
    uint32_t status;
    CRYPT_PROVIDER_DATA *data;
    CRYPT_PROVIDER_SGNR *signer;
};
void authenticode_trust_open(const wchar16 *path, HANDLE file, AuthenticodeTrust *verification);
void authenticode_trust_close(AuthenticodeTrust *verification);

// Lets Windows verify the file's Authenticode signature and decides whether
// the signer is the vendor. 1 accepted, 0 refused. The one-line summary goes
// to summary (may be null or capacity 0). The handle stays the caller's.
int authenticode_check(const wchar16 *path, HANDLE file, char *summary, size_t capacity);
#endif
