// Fuzz target: release verification with the test release key.
//  - An input starting with a zero byte is a manifest: the rest is signed
//    here with the test key's secret half and verified, so every input
//    reaches the manifest reader through the whole verification.
//  - Any other input is the text of latest.txt as the cloud would serve it
//    (the seed corpus holds validly signed envelopes).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <sodium.h>

#include "release/release.h"

#ifndef VQ_SOURCE_DIR
#define VQ_SOURCE_DIR "."
#endif

namespace {

uint8_t secret_key[64];
std::string kid;

void check(bool ok) {
    if (!ok) abort();
}

std::string b64(const uint8_t *p, size_t n) {
    std::string s(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
    sodium_bin2base64(&s[0], s.size(), p, n, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    s.resize(strlen(s.c_str()));
    return s;
}

void verify(const char *text, size_t length, bool signed_here) {
    ReleaseInfo info;
    char detail[256];
    VerifyStatus status = release_verify(text, length, "1.0.0", &info, detail, sizeof detail);
    check(strlen(detail) < sizeof detail);
    if (signed_here) {
        // Signed by the trusted key: only the manifest (or size) can refuse.
        check(status != VERIFY_UNKNOWN_KID && status != VERIFY_BAD_SIGNATURE);
    }
    if (status == VERIFY_OK) {
        check(detail[0] == 0);
        check(info.payload != nullptr && strlen(info.payload) == info.payload_length);
        check(strlen(info.sig) == 86 && strlen(info.kid) >= 1);
        check(info.size >= 1 && info.size <= 2147483648ll && strlen(info.sha256_hex) == 64);
    } else {
        check(info.payload == nullptr);
    }
    release_free(&info);
    check(info.payload == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (sodium_init() < 0) abort();
    std::string path = std::string(VQ_SOURCE_DIR) + "/tests/release/keys/test-release.secret";
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        abort();
    }
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    const char *seed_hex = strstr(text, "\nseed=");
    const char *kid_text = strstr(text, "\nkid=");
    if (seed_hex == nullptr || kid_text == nullptr) abort();
    uint8_t seed[32], pk[32];
    size_t got = 0;
    if (sodium_hex2bin(seed, 32, seed_hex + 6, 64, nullptr, &got, nullptr) != 0 || got != 32) abort();
    crypto_sign_seed_keypair(pk, secret_key, seed);
    kid.assign(kid_text + 5, strcspn(kid_text + 5, "\r\n"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 0 && data[0] == 0) {
        const uint8_t *manifest = data + 1;
        size_t n = size - 1;
        if (n == 0 || n > 1500000) return 0;
        uint8_t sig[64];
        crypto_sign_detached(sig, nullptr, manifest, n, secret_key);
        std::string text = "kid=" + kid + "\npayload=" + b64(manifest, n) + "\nsig=" + b64(sig, 64) + "\n";
        verify(text.data(), text.size(), true);
        return 0;
    }
    verify((const char *)data, size, false);
    return 0;
}
