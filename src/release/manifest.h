// The signed release manifest: the schema applied to the verified bytes, which
// yields the ReleaseInfo fields version, fileName, size, sha256_hex, sha256.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "release/release.h"

#define MANIFEST_MAX_ARTIFACTS 20
#define MANIFEST_MAX_SIZE 2147483648ll  // installer bytes, 2 GiB inclusive

// Reads count manifest bytes into info. min_version is the minimum release
// version. Returns VERIFY_OK, or VERIFY_JSON .. VERIFY_TOO_LARGE with one
// detail message (cut to detail_capacity and terminated; detail may be null).
// Fields filled before a failing test keep their values.
VerifyStatus manifest_read(const uint8_t *bytes, size_t count, const char *min_version,
                           ReleaseInfo *info, char *detail, size_t detail_capacity);

// The installer file name a release of version may carry:
// "VornquillAI-Setup-x64-<version>.exe", or with self_signed
// "VornquillAI-Setup-x64-<version>-SELFSIGNED.exe". Returns the length, or -1
// when it was cut to capacity.
int manifest_installer_name(const char *version, int self_signed, char *buffer, size_t capacity);
