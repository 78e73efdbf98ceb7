// The release tool's check of an installer before it is published: what the
// setup program will demand of it, judged on Linux as Windows judges it. The
// installer is opened once (never through a symbolic link) and copied into a
// private folder; everything after reads that copy, so the bytes judged are
// the bytes a caller publishes. The copy must be a 64-bit Windows
// executable; the primary Authenticode signature alone is read: osslsigncode
// recomputes the file's digest and verifies the signature and its time stamp
// (only that signature, no revocation look-up, as the setup checks none);
// OpenSSL reads the signer, verifies the signer's signature over the signed
// content by itself (so that a chain that fails is never taken for a damaged
// signature), and builds the signer's chain at the verified time stamp's
// time (at the current time only without one). The setup's own verdict rule
// (authenticode_verdict) decides.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include "verify/verify.h"

enum { INSTALLER_CHECK_TEXT_CAPACITY = 2048 };

struct InstallerCheck {
    int pe64;                        // a 64-bit (x64) Windows executable
    char pe_problem[256];            // why not, when pe64 is 0
    uint32_t status;                 // the trust check's status as Windows would give it
    AuthenticodeFacts facts;
    AuthenticodeVerdict verdict;
    char signer[256];                // the signer's subject, "" when none
    int signature_verified;          // the signer's signature over the signed content verified
    char signature_problem[256];     // a signature the tool will not judge, and why; "" when none
    int tool_verified;               // osslsigncode's own verdict on the signature was "ok"
    int timestamp_present;           // the signer carries a time-stamp attribute (verified or not)
    long long judged_at;             // the time the chain was judged at (Unix seconds)
    int judged_at_timestamp;         // ... the verified time stamp's time (else the current time)
    int chain;                       // InstallerChain: what the signer's chain came to
    int chain_error;                 // OpenSSL's first chain error that is not about its end
    char chain_end[256];             // the name the chain stops at (the root not given, or
                                     // the issuer not found), "" when it is complete
    char not_after[64];              // the signer's last valid day, "" when unknown
};

// What the signer's chain came to at the time it was judged at.
enum InstallerChain {
    INSTALLER_CHAIN_NONE = 0,            // not built (no signer, or no signature)
    INSTALLER_CHAIN_TRUSTED = 1,         // to a root given, no error
    INSTALLER_CHAIN_UNTRUSTED_ROOT = 2,  // to a self-signed root this check was not given
    INSTALLER_CHAIN_INCOMPLETE = 3,      // stops where the issuer is neither in the signature nor given
    INSTALLER_CHAIN_EXPIRED = 4,         // a certificate not valid at that time (and nothing else)
    INSTALLER_CHAIN_FAILED = 5           // any other error
};

// The installer as it was read once: a private folder (mode 0700) holding
// the copy, and the copy's size and SHA-256.
struct InstallerCopy {
    char folder[PATH_MAX];  // "" when none was made
    char path[PATH_MAX];    // the copy inside folder
    uint64_t size;
    uint8_t sha256[32];
};

// Opens path once, refusing a symbolic link (and so /dev/stdin) and anything
// but a regular file of 1 to 2,147,483,648 bytes, and copies it into a new
// private folder. Returns 0, or -1 with a message and nothing left behind.
int installer_copy_make(const char *path, InstallerCopy *copy, char *error, size_t error_capacity);

// Checks the copy. trust_ca (may be null) names a file of root certificates
// trusted besides the system's, as on the machines the setup runs on.
// Returns 0 with the findings in check, or -1 with a message when the check
// itself could not be made (osslsigncode missing, a signature that cannot be
// extracted or read): a caller refuses the installer then too.
int installer_check_copy(const InstallerCopy *copy, const char *trust_ca, InstallerCheck *check,
                         char *error, size_t error_capacity);

// Removes the private folder and the copy.
void installer_copy_remove(InstallerCopy *copy);

// 1 when every setup would refuse the installer (or the tool will not judge
// its signature); then message says what is wrong and how to fix it. 0 when
// the setup accepts it.
int installer_check_refused(const InstallerCheck *check, char *message, size_t capacity);

