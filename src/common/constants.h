// Build constants: fixed when the program is built, the same for every run.
// The profile (production or test) is chosen by the build; see constants.cpp.
#pragma once

#include <stdint.h>

#include "common/text.h"

const wchar16 *setup_version(void);
const wchar16 *cloud_host(void);
uint16_t cloud_port(void);
const char *cloud_base_url(void);
const wchar16 *download_page_url(void);
// SHA-1 thumbprint of a pinned installer-signing certificate, or null past
// the end of the list; callers walk from index 0 until null.
const uint8_t *pinned_thumbprint(unsigned index);
const wchar16 *signer_organization(void);
const char *version_floor(void);
// Name of the build profile, "production" or "test".
const char *build_profile(void);
// The end of the configuration log line: the empty text in a production
// build; in a test build "; " and the mark that it trusts test keys.
const char *build_profile_mark(void);

// The trusted release keys (release_key_set, release_key_count and the table)
// live with the verification code in release/trusted_keys.cpp.
