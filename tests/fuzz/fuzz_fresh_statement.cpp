// Fuzz target: the freshness statement, checked after a release that
// verifies, at a fixed time (2026-12-11T10:11:02Z).
//  - An input starting with a zero byte is a statement: the rest is read by
//    the statement reader, and also signed here with the test freshness key
//    and checked as the three lines of a good release, so every input
//    reaches the reader through the whole check.
//  - An input starting with 0x01 is the freshness part of latest.txt: the
//    rest is appended to a good release signed here (the seed corpus holds
//    validly signed lines for it, made by tests/fuzz/make-seeds.py).
//  - Any other input is the whole text of latest.txt.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#ifndef VQ_SOURCE_DIR
#define VQ_SOURCE_DIR "."
#endif

#include "release/freshness.h"
#include "release/release.h"
#include "tests/release/signing_support.h"

namespace {

const int64_t kNow = 1796983862;

release_test::SigningKey fresh_key;
std::string release_text;  // the good release's three lines

void check(bool ok) {
    if (!ok) abort();
}

VerifyStatus verify(const std::string &text) {
    ReleaseInfo info;
    char detail[256];
    VerifyStatus status = release_verify_fresh(text.data(), text.size(), "1.0.0", kNow, &info,
                                               detail, sizeof detail);
    check(strlen(detail) < sizeof detail);
    if (status == VERIFY_OK) {
        check(detail[0] == 0);
        check(info.payload != nullptr && strlen(info.fresh_kid) >= 1);
        check(info.fresh_issued >= 0 && info.fresh_issued < info.fresh_expires);
        check(kNow <= info.fresh_expires);
    } else {
        check(info.payload == nullptr);
        check(detail[0] != 0);
        // The window is known exactly when the statement was read.
        bool read = status == VERIFY_FRESH_MISMATCH || status == VERIFY_STALE;
        check(read ? info.fresh_issued >= 0 && info.fresh_expires > info.fresh_issued
                   : info.fresh_issued == -1 && info.fresh_expires == -1);
        if (status == VERIFY_STALE) check(kNow > info.fresh_expires);
    }
    release_free(&info);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    release_test::SigningKey release_key = release_test::test_key();
    fresh_key = release_test::test_fresh_key();
    if (!release_key.loaded || !fresh_key.loaded) {
        fprintf(stderr, "cannot read the test keys in tests/release/keys\n");
        abort();
    }
    release_text = release_test::signed_envelope(release_key, release_test::good_manifest());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 0 && data[0] == 0) {
        std::string bytes((const char *)data + 1, size - 1);
        if (bytes.size() > FRESH_MAX_STATEMENT_BYTES) return 0;
        FreshStatement statement;
        char detail[128];
        VerifyStatus read = fresh_statement_read((const uint8_t *)bytes.data(), bytes.size(),
                                                 &statement, detail, sizeof detail);
        check(read == VERIFY_OK || read == VERIFY_FRESH_JSON || read == VERIFY_FRESH_SCHEMA);
        if (read == VERIFY_OK) check(statement.issued >= 0 && statement.issued < statement.expires);
        std::string lines = release_test::signed_fresh(fresh_key, bytes, fresh_key.kid);
        VerifyStatus status = verify(release_text + lines);
        if (bytes.empty()) {
            check(status == VERIFY_FRESH_FORMAT);
        } else if (read != VERIFY_OK) {
            // Signed with the right key: only the statement itself can refuse.
            check(status == read);
        } else {
            check(status == VERIFY_OK || status == VERIFY_FRESH_MISMATCH || status == VERIFY_STALE);
        }
        return 0;
    }
    if (size > 0 && data[0] == 1) {
        verify(release_text + std::string((const char *)data + 1, size - 1));
        return 0;
    }
    verify(std::string((const char *)data, size));
    return 0;
}
