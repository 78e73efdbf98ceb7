// The signer rules of the Authenticode check: every row of the verdict table
// (first matching row wins), the summary line and the pinned thumbprints.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/constants.h"
#include "verify/verify.h"

namespace {

const uint32_t kUntrustedRoot = 0x800B0109u;
const uint32_t kNoSignature = 0x800B0100u;
const uint32_t kBadDigest = 0x80096010u;
const uint32_t kExpired = 0x800B0101u;  // CERT_E_EXPIRED: one of the "other" statuses
const uint32_t kNotTrusted = 0x800B0004u;  // TRUST_E_SUBJECT_NOT_TRUSTED

// Facts by letters: P pinned, T timestamp, S self-signed, O organisation match,
// R the signer's chain has an untrusted root as its only error.
AuthenticodeFacts facts_of(const char *letters) {
    AuthenticodeFacts f = {};
    f.certificate = 1;
    f.thumbprint_known = 1;
    for (const char *c = letters; *c; c++) {
        if (*c == 'P') f.pinned = 1;
        if (*c == 'T') f.timestamp = 1;
        if (*c == 'S') f.self_signed = 1;
        if (*c == 'O') f.organization_match = 1;
        if (*c == 'R') f.chain_untrusted_root_only = 1;
    }
    return f;
}

TEST(AuthenticodeVerdict, EveryRowOfTheTable) {
    struct Case {
        uint32_t status;
        const char *facts;
        const char *text;
        int accepted;
    };
    const Case cases[] = {
        // Trusted by Windows: pinned comes first, whatever else holds.
        {0, "PT", "pinned self-signed certificate (trusted on this PC)", 1},
        {0, "PTS", "pinned self-signed certificate (trusted on this PC)", 1},
        {0, "PTSO", "pinned self-signed certificate (trusted on this PC)", 1},
        {0, "P", "pinned certificate but no timestamp", 0},
        {0, "PSO", "pinned certificate but no timestamp", 0},
        // Not pinned: self-signed or another organisation is not the vendor.
        {0, "STO", "validly signed, but not by Hollbrek", 0},
        {0, "SO", "validly signed, but not by Hollbrek", 0},
        {0, "T", "validly signed, but not by Hollbrek", 0},
        {0, "", "validly signed, but not by Hollbrek", 0},
        {0, "TS", "validly signed, but not by Hollbrek", 0},
        // A publicly trusted certificate of the vendor.
        {0, "TO", "publicly trusted Hollbrek certificate", 1},
        {0, "O", "trusted certificate but no timestamp", 0},
        // Untrusted root: only a pinned certificate helps, and only when the
        // untrusted root is the only error of its chain.
        {kUntrustedRoot, "PTR", "pinned self-signed certificate", 1},
        {kUntrustedRoot, "PTSOR", "pinned self-signed certificate", 1},
        {kUntrustedRoot, "PSR", "pinned certificate but no timestamp", 0},
        {kUntrustedRoot, "PT", "signature rejected by Windows", 0},
        {kUntrustedRoot, "PTSO", "signature rejected by Windows", 0},
        {kUntrustedRoot, "PS", "signature rejected by Windows", 0},
        {kUntrustedRoot, "TOR", "signature rejected by Windows", 0},
        {kUntrustedRoot, "TSOR", "signature rejected by Windows", 0},
        {kUntrustedRoot, "", "signature rejected by Windows", 0},
        // The chain fact matters only with that status.
        {0, "PTR", "pinned self-signed certificate (trusted on this PC)", 1},
        {0, "OR", "trusted certificate but no timestamp", 0},
        // Fixed texts whatever the facts.
        {kNoSignature, "", "not signed", 0},
        {kNoSignature, "PTO", "not signed", 0},
        {kBadDigest, "PTO", "the signature does not match the file (modified)", 0},
        {kBadDigest, "", "the signature does not match the file (modified)", 0},
        // Any other status refuses, even for the pinned certificate.
        {kExpired, "PT", "signature rejected by Windows", 0},
        {kExpired, "PTR", "signature rejected by Windows", 0},
        {kNotTrusted, "PTO", "signature rejected by Windows", 0},
        {1, "PT", "signature rejected by Windows", 0},
        {0xFFFFFFFFu, "TO", "signature rejected by Windows", 0},
    };
    for (const Case &c : cases) {
        AuthenticodeFacts f = facts_of(c.facts);
        AuthenticodeVerdict v = authenticode_verdict(c.status, &f);
        EXPECT_STREQ(authenticode_verdict_text(v), c.text) << std::hex << c.status << " " << c.facts;
        EXPECT_EQ(authenticode_verdict_accepted(v), c.accepted) << std::hex << c.status << " " << c.facts;
    }
}

TEST(AuthenticodeVerdict, NoCertificateFoundMeansNoFacts) {
    AuthenticodeFacts none = {};
    EXPECT_EQ(authenticode_verdict(0, &none), AUTHENTICODE_NOT_VENDOR);
    EXPECT_EQ(authenticode_verdict(kUntrustedRoot, &none), AUTHENTICODE_REJECTED);
    EXPECT_EQ(authenticode_verdict(0, nullptr), AUTHENTICODE_NOT_VENDOR);
}

TEST(AuthenticodeSummary, LineForUnsignedAndAcceptedFiles) {
    char summary[AUTHENTICODE_SUMMARY_CAPACITY];
    AuthenticodeFacts none = {};
    authenticode_summary(summary, sizeof summary, authenticode_verdict(kNoSignature, &none), kNoSignature, &none);
    EXPECT_STREQ(summary, "not signed (WinVerifyTrust 0x800B0100, signer none, timestamp no)");

    AuthenticodeFacts f = facts_of("TO");
    for (int i = 0; i < 20; i++) f.thumbprint[i] = (uint8_t)(0x0F + i * 0x0B);
    authenticode_summary(summary, sizeof summary, authenticode_verdict(0, &f), 0, &f);
    EXPECT_STREQ(summary,
                 "publicly trusted Hollbrek certificate (WinVerifyTrust 0x00000000, signer "
                 "0F1A25303B46515C67727D88939EA9B4BFCAD5E0, timestamp yes)");

    // A thumbprint that could not be read shows as "none", whatever the bytes.
    f.thumbprint_known = 0;
    authenticode_summary(summary, sizeof summary, AUTHENTICODE_NOT_VENDOR, 0, &f);
    EXPECT_STREQ(summary, "validly signed, but not by Hollbrek (WinVerifyTrust 0x00000000, signer none, timestamp yes)");
}

TEST(AuthenticodeSummary, CutToCapacityAndNothingWithoutBuffer) {
    char summary[16];
    memset(summary, 'x', sizeof summary);
    AuthenticodeFacts none = {};
    authenticode_summary(summary, sizeof summary, AUTHENTICODE_NOT_SIGNED, kNoSignature, &none);
    EXPECT_STREQ(summary, "not signed (Win");
    memset(summary, 'x', sizeof summary);
    authenticode_summary(summary, 0, AUTHENTICODE_NOT_SIGNED, kNoSignature, &none);
    EXPECT_EQ(summary[0], 'x');
    authenticode_summary(nullptr, 256, AUTHENTICODE_NOT_SIGNED, kNoSignature, &none);
}

TEST(AuthenticodePinned, OnlyTheExactThumbprintsOfTheBuild) {
    const uint8_t *first = pinned_thumbprint(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(authenticode_thumbprint_pinned(first), 1);
    for (int byte = 0; byte < 20; byte += 19) {
        uint8_t changed[20];
        memcpy(changed, first, 20);
        changed[byte] ^= 0x01;
        EXPECT_EQ(authenticode_thumbprint_pinned(changed), 0) << byte;
    }
    const uint8_t zero[20] = {};
    EXPECT_EQ(authenticode_thumbprint_pinned(zero), 0);
}

}  // namespace
