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

#ifndef VQ_SOURCE_DIR
#define VQ_SOURCE_DIR "."
#endif

#include "release/release.h"
#include "tests/release/signing_support.h"

namespace {

release_test::SigningKey key;

void check(bool ok) {
    if (!ok) abort();
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
    key = release_test::test_key();
    if (!key.loaded) {
        fprintf(stderr, "cannot read the test release key tests/release/keys/test-release.secret\n");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 0 && data[0] == 0) {
        size_t n = size - 1;
        if (n == 0 || n > 1500000) return 0;
        std::string text =
            release_test::signed_envelope(key, std::string((const char *)data + 1, n));
        verify(text.data(), text.size(), true);
        return 0;
    }
    verify((const char *)data, size, false);
    return 0;
}
