// The release tool's check of an installer before it is published: what the
// setup program will demand of it, judged on Linux. The file must be a
// 64-bit Windows executable; its Authenticode signature is read by
// osslsigncode (digest, time stamp) and OpenSSL (the signer and its chain),
// and the setup's own verdict rule (authenticode_verdict) decides.
#pragma once

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
};

// Checks the installer at path. trust_ca (may be null) names a file of root
// certificates trusted besides the system's, as on the machines the setup
// runs on. Returns 0 with the findings in check, or -1 with a message when
// the check itself could not be made (osslsigncode missing, an unreadable
// file).
int installer_check(const char *path, const char *trust_ca, InstallerCheck *check, char *error,
                    size_t error_capacity);

// 1 when every setup would refuse the installer; then message says what is
// wrong and how to fix it. 0 when the setup accepts it.
int installer_check_refused(const InstallerCheck *check, char *message, size_t capacity);
