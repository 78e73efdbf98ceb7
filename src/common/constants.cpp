// The values of the build constants, per build profile. VQ_PROFILE_TEST selects
// the test profile: the cloud on the loopback host, the test signing
// certificate pinned. Everything else is the production deployment.
#include "common/constants.h"

#include "common/build_mark.h"

#ifndef VQ_PROFILE_TEST
#define VQ_PROFILE_TEST 0
#endif

#define VQ_STRING2(s) #s
#define VQ_STRING(s) VQ_STRING2(s)

#if VQ_PROFILE_TEST
#ifndef VQ_TEST_CLOUD_PORT
#define VQ_TEST_CLOUD_PORT 8443
#endif
#define VQ_CLOUD_HOST "localhost"
#define VQ_CLOUD_PORT VQ_TEST_CLOUD_PORT
#define VQ_CLOUD_BASE "https://localhost:" VQ_STRING(VQ_TEST_CLOUD_PORT)
#define VQ_DOWNLOAD_PAGE "https://localhost:" VQ_STRING(VQ_TEST_CLOUD_PORT) "/download/"
#else
#define VQ_CLOUD_HOST "cloud.vornquill.ai"
#define VQ_CLOUD_PORT 443
#define VQ_CLOUD_BASE "https://cloud.vornquill.ai"
#define VQ_DOWNLOAD_PAGE "https://www.vornquill.ai/download/"
#endif

#define VQ_WIDEN2(s) T16(s)
#define VQ_WIDEN(s) VQ_WIDEN2(s)

const wchar16 *setup_version(void) { return T16("1.0.0"); }
const wchar16 *cloud_host(void) { return VQ_WIDEN(VQ_CLOUD_HOST); }
uint16_t cloud_port(void) { return VQ_CLOUD_PORT; }
const char *cloud_base_url(void) { return VQ_CLOUD_BASE; }
const wchar16 *download_page_url(void) { return VQ_WIDEN(VQ_DOWNLOAD_PAGE); }
const wchar16 *signer_organization(void) { return T16("Hollbrek Zedivazavedazu LLP"); }
const char *version_floor(void) { return "1.0.0"; }
const char *build_profile(void) { return VQ_PROFILE_TEST ? "test" : "production"; }
const char *build_profile_mark(void) { return VQ_PROFILE_TEST ? "; " VQ_TEST_BUILD_MARK : ""; }

// SHA-1 thumbprints of the installer-signing certificates.
static const uint8_t pinned_thumbprints[][20] = {
#if VQ_PROFILE_TEST
#include "tests/signing/pinned-thumbprint.inc"
#else
    // Vendor code-signing certificate.
    {0x5e, 0x1f, 0x8a, 0x37, 0xc2, 0x94, 0x0b, 0x6d, 0xa1, 0x73,
     0x2c, 0xe8, 0x41, 0x9f, 0x06, 0xbd, 0x58, 0x27, 0xe3, 0x9a},
#endif
};

const uint8_t *pinned_thumbprint(unsigned index) {
    if (index >= sizeof pinned_thumbprints / sizeof pinned_thumbprints[0]) return nullptr;
    return pinned_thumbprints[index];
}
