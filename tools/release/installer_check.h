// The release tool's check of an installer before it is published: what the
// setup program will demand of it, judged on Linux. The installer is opened
// once (never through a symbolic link) and copied into a private folder;
// everything after reads that copy, so the bytes judged are the bytes a
// caller publishes. The copy must be a 64-bit Windows executable; the
// primary Authenticode signature alone is read: osslsigncode recomputes the
// file's digest and verifies the signer's signature over the signed content
// and the time stamp (only that signature, its own exit status required),
// OpenSSL reads the signer and its chain, and the setup's own verdict rule
// (authenticode_verdict) decides.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include "verify/verify.h"

enum { INSTALLER_CHECK_TEXT_CAPACITY = 1024 };

struct InstallerCheck {
    int pe64;                        // a 64-bit (x64) Windows executable
    char pe_problem[256];            // why not, when pe64 is 0
    uint32_t status;                 // the trust check's status as Windows would give it
    AuthenticodeFacts facts;
    AuthenticodeVerdict verdict;
    char signer[256];                // the signer's subject, "" when none
    int signature_verified;          // the signer's signature over the signed content verified
    char signature_problem[256];     // a signature the tool will not judge, and why; "" when none
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

