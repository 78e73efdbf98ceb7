// The trusted release keys and freshness keys built into the program, per
// build profile, in two tables: a key of one never counts for the other. The
// release envelopes are signed with the secret half of a release key, their
// freshness statements with that of a freshness key.
#include "release/release.h"
#include "release/freshness.h"
#include "release/freshness_keys.inc"
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

static const TrustedKey freshness_keys[] = {
#if VQ_PROFILE_TEST
    FRESHNESS_KEYS_TEST
#else
    FRESHNESS_KEYS_PRODUCTION
#endif
};

const TrustedKey *freshness_key_table(void) { return freshness_keys; }

uint32_t freshness_key_count(void) {
    return (uint32_t)(sizeof freshness_keys / sizeof freshness_keys[0]);
}

// Both profiles refuse a release without a valid, unexpired statement.
int freshness_required(void) { return 1; }
