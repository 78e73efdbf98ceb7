// The trusted release keys built into the program, per build profile. The
// release envelopes are signed with the secret half of one of these pairs.
#include "release/release.h"
#include "release/release_keys.inc"

#ifndef VQ_PROFILE_TEST
#define VQ_PROFILE_TEST 0
#endif

static const TrustedKey trusted_keys[] = {
#if VQ_PROFILE_TEST
    RELEASE_KEYS_TEST
#else
    RELEASE_KEYS_PRODUCTION
#endif
};

const TrustedKey *trusted_key_table(void) { return trusted_keys; }

uint32_t release_key_count(void) {
    return (uint32_t)(sizeof trusted_keys / sizeof trusted_keys[0]);
}

const char *release_key_set(void) { return VQ_PROFILE_TEST ? "test" : "production"; }
