// The freshness statement: its three lines, its key table (apart from the
// release keys), its signature, its schema, the manifest it names and its
// window, checked after the release itself, with statements made here with
// the test keys. The setup refuses every case of the table; older setups
// (release_verify alone) ignore the lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "release/envelope.h"
#include "release/freshness.h"
#include "release/freshness_keys.inc"
#include "release/release.h"
#include "release/release_keys.inc"
#include "tests/release/signing_support.h"

namespace {

using namespace release_test;

const int64_t kNow = 1796983862;  // 2026-12-11T10:11:02Z

std::string hex_of(const uint8_t digest[32]) {
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, digest, 32);
    return hex;
}

std::string sha256_hex(const std::string &bytes) {
    uint8_t digest[32];
    crypto_hash_sha256(digest, (const uint8_t *)bytes.data(), bytes.size());
    return hex_of(digest);
}

std::string statement(const std::string &digest, int64_t issued, int64_t expires) {
    return "{\"v\":1,\"product\":\"vornquill-ai\",\"manifest_sha256\":\"" + digest +
           "\",\"issued\":" + std::to_string(issued) + ",\"expires\":" + std::to_string(expires) +
           "}";
}

// A statement from raw JSON member values; an empty value leaves the member out.
std::string members(const std::string &v, const std::string &product, const std::string &digest,
                    const std::string &issued, const std::string &expires) {
    std::string out;
    const std::pair<const char *, const std::string *> all[] = {
        {"v", &v}, {"product", &product}, {"manifest_sha256", &digest}, {"issued", &issued},
        {"expires", &expires}};
    for (const auto &m : all) {
        if (m.second->empty()) continue;
        out += (out.empty() ? "{\"" : ",\"") + std::string(m.first) + "\":" + *m.second;
    }
    return out + "}";
}

std::string json_text(const std::string &text) { return "\"" + text + "\""; }

struct Checked {
    VerifyStatus status;
    std::string detail;
    ReleaseInfo info;
};

Checked check(const std::string &text, int64_t now = kNow) {
    Checked c;
    char detail[256];
    c.status = release_verify_fresh(text.data(), text.size(), "1.0.0", now, &c.info, detail,
                                    sizeof detail);
    c.detail = detail;
    return c;
}

class Freshness : public ::testing::Test {
protected:
    void SetUp() override {
        release_ = test_key();
        fresh_ = test_fresh_key();
        ASSERT_TRUE(release_.loaded && fresh_.loaded) << "the test keys are not readable";
        manifest_ = good_manifest("1.4.2");
        digest_ = sha256_hex(manifest_);
        release_text_ = signed_envelope(release_, manifest_);
    }
    // The statement bytes signed by key, under kid (the key's own by default).
    std::string lines(const std::string &bytes, const SigningKey &key, std::string kid = "") {
        return signed_fresh(key, bytes, kid.empty() ? key.kid : kid);
    }
    std::string good_statement(int64_t expires = kNow + 3600) {
        return statement(digest_, kNow - 3600, expires);
    }
    std::string latest(const std::string &fresh_part) { return release_text_ + fresh_part; }

    SigningKey release_, fresh_;
    std::string manifest_, digest_, release_text_;
};

TEST_F(Freshness, FreshReleaseVerifiesWithItsWindow) {
    // CRLF lines, a note between, the three lines in another order.
    std::string st = good_statement();
    std::string text = "kid=" + release_.kid + "\r\nfresh_sig=" + base64url(sign_raw(fresh_, st)) +
                       "\r\nnote=x\r\npayload=" + base64url(manifest_) + "\r\nfresh_kid=" +
                       fresh_.kid + "\r\nsig=" + base64url(sign_raw(release_, manifest_)) +
                       "\r\nfresh=" + base64url(st);
    Checked c = check(text);
    ASSERT_EQ(c.status, VERIFY_OK) << c.detail;
    EXPECT_EQ(c.detail, "");
    EXPECT_STREQ(c.info.fresh_kid, fresh_.kid.c_str());
    EXPECT_EQ(c.info.fresh_issued, kNow - 3600);
    EXPECT_EQ(c.info.fresh_expires, kNow + 3600);
    EXPECT_EQ(hex_of(c.info.manifest_sha256), digest_);
    ASSERT_NE(c.info.payload, nullptr);
    release_free(&c.info);
}

TEST_F(Freshness, WindowEndsAtExpiresWithNoTolerance) {
    struct Case {
        int64_t expires;
        VerifyStatus status;
    } cases[] = {
        {kNow + 1, VERIFY_OK},
        {kNow, VERIFY_OK},         // the last second of the window
        {kNow - 1, VERIFY_STALE},  // expired by one second
        {kNow - 8 * 86400, VERIFY_STALE},
    };
    for (const Case &k : cases) {
        Checked c = check(latest(lines(statement(digest_, kNow - 9 * 86400, k.expires),
                                       fresh_)));
        EXPECT_EQ(c.status, k.status) << k.expires << ": " << c.detail;
        if (k.status == VERIFY_STALE) {
            // Refused: no allocation, but the window stays for the log.
            EXPECT_EQ(c.info.payload, nullptr);
            EXPECT_EQ(c.info.fresh_expires, k.expires);
            EXPECT_EQ(c.info.fresh_kid[0], 0);
        }
        release_free(&c.info);
    }
    Checked c = check(latest(lines(statement(digest_, 1796900000, 1796983861), fresh_)));
    EXPECT_EQ(c.status, VERIFY_STALE);
    EXPECT_EQ(c.detail,
              "the freshness statement expired at 2026-12-11T10:11:01Z (issued "
              "2026-12-10T10:53:20Z; this computer's time is 2026-12-11T10:11:02Z)");
    EXPECT_EQ(c.info.fresh_issued, 1796900000);
}

TEST_F(Freshness, RefusedStatementsAndLines) {
    const std::string st = good_statement();
    const std::string f = base64url(st);
    const std::string s = base64url(sign_raw(fresh_, st));
    const std::string k = fresh_.kid;
    std::string sig_bad_bits = s.substr(0, 85) + base64url_alphabet[base64url_alphabet.find(s[85]) ^ 1];
    // A statement of exactly 1024 bytes passes the size tests; 1025 does not.
    std::string padded = st.substr(0, st.size() - 1) + ",\"pad\":\"\"}";
    padded.insert(padded.size() - 2, 1024 - padded.size(), 'x');
    std::string padded_over = padded;
    padded_over.insert(padded_over.size() - 2, "x");
    // The release key as the freshness key, and the freshness key as the
    // release key.
    std::string by_fresh_key = signed_envelope(fresh_, manifest_);
    std::string fresh_under_release_kid =
        envelope_text(release_.kid, base64url(manifest_), base64url(sign_raw(fresh_, manifest_)));
    std::string other = good_manifest("1.4.3");
    // Member values for the schema cases.
    const auto m = members;
    const std::string P = json_text("vornquill-ai"), D = json_text(digest_);
    const std::string I = std::to_string(kNow - 3600), E = std::to_string(kNow + 3600);

    struct Case {
        const char *name;
        std::string text;
        VerifyStatus status;
        const char *detail;  // the start of the detail text
    } cases[] = {
        // The lines.
        {"no lines", release_text_, VERIFY_FRESH_MISSING, "latest.txt has no freshness statement"},
        {"fresh missing", latest("fresh_kid=" + k + "\nfresh_sig=" + s + "\n"), VERIFY_FRESH_FORMAT,
         "latest.txt lacks fresh, fresh_kid or fresh_sig"},
        {"fresh_kid missing", latest("fresh=" + f + "\nfresh_sig=" + s + "\n"), VERIFY_FRESH_FORMAT,
         "latest.txt lacks fresh, fresh_kid or fresh_sig"},
        {"fresh_sig missing", latest("fresh=" + f + "\nfresh_kid=" + k + "\n"), VERIFY_FRESH_FORMAT,
         "latest.txt lacks fresh, fresh_kid or fresh_sig"},
        {"fresh repeated", latest(fresh_text(f, k, s) + "fresh=" + f + "\n"), VERIFY_FRESH_FORMAT,
         "latest.txt repeats a field"},
        {"fresh_kid repeated", latest("fresh_kid=" + k + "\n" + fresh_text(f, k, s)),
         VERIFY_FRESH_FORMAT, "latest.txt repeats a field"},
        {"fresh_sig repeated", latest(fresh_text(f, k, s) + "fresh_sig=" + s + "\n"),
         VERIFY_FRESH_FORMAT, "latest.txt repeats a field"},
        {"empty fresh_kid repeated", latest("fresh_kid=\n" + fresh_text(f, k, s)),
         VERIFY_FRESH_FORMAT, "latest.txt repeats a field"},
        {"fresh_kid empty", latest(fresh_text(f, "", s)), VERIFY_FRESH_FORMAT,
         "latest.txt has an invalid fresh_kid"},
        {"fresh_kid of 65 bytes", latest(fresh_text(f, std::string(65, 'a'), s)),
         VERIFY_FRESH_FORMAT, "latest.txt has an invalid fresh_kid"},
        {"fresh_kid with a space", latest(fresh_text(f, "fresh 1", s)), VERIFY_FRESH_FORMAT,
         "latest.txt has an invalid fresh_kid"},
        {"fresh of 1 character", latest(fresh_text("e", k, s)), VERIFY_FRESH_FORMAT,
         "latest.txt has a freshness statement or signature of the wrong length"},
        {"fresh of 1369 characters", latest(fresh_text(std::string(1369, 'A'), k, s)),
         VERIFY_FRESH_FORMAT, "latest.txt has a freshness statement or signature of the wrong length"},
        {"fresh_sig of 85", latest(fresh_text(f, k, s.substr(0, 85))), VERIFY_FRESH_FORMAT,
         "latest.txt has a freshness statement or signature of the wrong length"},
        {"fresh_sig of 87", latest(fresh_text(f, k, s + "A")), VERIFY_FRESH_FORMAT,
         "latest.txt has a freshness statement or signature of the wrong length"},
        {"fresh padded", latest(fresh_text(f + "==", k, s)), VERIFY_FRESH_FORMAT,
         "the freshness statement is not base64url"},
        {"fresh standard base64", latest(fresh_text("+/" + f, k, s)), VERIFY_FRESH_FORMAT,
         "the freshness statement is not base64url"},
        {"fresh_sig standard base64", latest(fresh_text(f, k, "/" + s.substr(1))),
         VERIFY_FRESH_FORMAT, "the freshness signature is not base64url"},
        {"fresh_sig trailing bits", latest(fresh_text(f, k, sig_bad_bits)), VERIFY_FRESH_FORMAT,
         "the freshness signature is not 64 bytes of strict base64url"},
        {"fresh of 4k+1 characters", latest(fresh_text(f.substr(0, 5), k, s)),
         VERIFY_FRESH_FORMAT, "the freshness statement is not strict base64url of at most 1024 bytes"},
        {"statement of 1025 bytes", latest(lines(padded_over, fresh_)), VERIFY_FRESH_FORMAT,
         "the freshness statement is not strict base64url of at most 1024 bytes"},
        // The key and the signature.
        {"unknown fresh_kid", latest(fresh_text(f, "fresh-20990101-00000000", s)),
         VERIFY_FRESH_UNKNOWN_KID,
         "the freshness statement is signed with key fresh-20990101-00000000, which this installer "
         "does not know as a freshness key"},
        {"release key as freshness key", latest(lines(st, release_)), VERIFY_FRESH_UNKNOWN_KID,
         "the freshness statement is signed with key release-"},
        {"release key under the freshness kid", latest(lines(st, release_, fresh_.kid)),
         VERIFY_FRESH_BAD_SIGNATURE, "the freshness signature does not verify (key fresh-"},
        {"freshness key as release key", by_fresh_key + lines(st, fresh_), VERIFY_UNKNOWN_KID,
         "the release is signed with key fresh-"},
        {"freshness key under the release kid", fresh_under_release_kid + lines(st, fresh_),
         VERIFY_BAD_SIGNATURE, "the Ed25519 signature does not verify (key release-"},
        {"signature over the text", latest(fresh_text(f, k, base64url(sign_raw(fresh_, f)))),
         VERIFY_FRESH_BAD_SIGNATURE, "the freshness signature does not verify"},
        {"statement changed after signing",
         latest(fresh_text(base64url(statement(digest_, kNow - 3600, kNow + 7200)), k, s)),
         VERIFY_FRESH_BAD_SIGNATURE, "the freshness signature does not verify"},
        {"bad signature before the JSON", latest(fresh_text(base64url("{"), k, s)),
         VERIFY_FRESH_BAD_SIGNATURE, "the freshness signature does not verify"},
        // The statement.
        {"not JSON", latest(lines("{\"v\":1,", fresh_)), VERIFY_FRESH_JSON,
         "the freshness statement is not strict JSON (syntax)"},
        {"trailing bytes", latest(lines(st + " x", fresh_)), VERIFY_FRESH_JSON,
         "the freshness statement is not strict JSON (syntax)"},
        {"duplicate member",
         latest(lines(st.substr(0, st.size() - 1) + ",\"expires\":" + std::to_string(kNow + 9) + "}",
                      fresh_)),
         VERIFY_FRESH_JSON, "the freshness statement is not strict JSON (duplicate-key)"},
        {"root an array", latest(lines("[" + st + "]", fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement is not a Vornquill AI v1 statement"},
        {"v missing", latest(lines(m("", P, D, I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement is not a Vornquill AI v1 statement"},
        {"v a string", latest(lines(m("\"1\"", P, D, I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement is not a Vornquill AI v1 statement"},
        {"v 1.0", latest(lines(m("1.0", P, D, I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement is not a Vornquill AI v1 statement"},
        {"v 2", latest(lines(m("2", P, D, I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement is not a Vornquill AI v1 statement"},
        {"product missing", latest(lines(m("1", "", D, I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement is not a Vornquill AI v1 statement"},
        {"product another", latest(lines(m("1", json_text("vornquill-al"), D, I, E), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement is not a Vornquill AI v1 statement"},
        {"product a number", latest(lines(m("1", "7", D, I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement is not a Vornquill AI v1 statement"},
        {"digest missing", latest(lines(m("1", P, "", I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid manifest_sha256"},
        {"digest a number", latest(lines(m("1", P, "5", I, E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid manifest_sha256"},
        {"digest of 63", latest(lines(m("1", P, json_text(digest_.substr(1)), I, E), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement has no valid manifest_sha256"},
        {"digest of 65", latest(lines(m("1", P, json_text(digest_ + "0"), I, E), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement has no valid manifest_sha256"},
        {"digest in upper case", latest(lines(m("1", P, json_text(std::string(64, 'A')), I, E), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement has no valid manifest_sha256"},
        {"issued missing", latest(lines(m("1", P, D, "", E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid issued time"},
        {"issued a string", latest(lines(m("1", P, D, json_text("1"), E), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement has no valid issued time"},
        {"issued a fraction", latest(lines(m("1", P, D, "1.5", E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid issued time"},
        {"issued negative", latest(lines(m("1", P, D, "-1", E), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid issued time"},
        {"issued of 19 digits", latest(lines(m("1", P, D, "1000000000000000000", E), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement has no valid issued time"},
        {"expires missing", latest(lines(m("1", P, D, I, ""), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid expiry time"},
        {"expires an exponent", latest(lines(m("1", P, D, I, "2e9"), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid expiry time"},
        {"expires null", latest(lines(m("1", P, D, I, "null"), fresh_)), VERIFY_FRESH_SCHEMA,
         "the freshness statement has no valid expiry time"},
        {"empty window", latest(lines(statement(digest_, kNow + 5, kNow + 5), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement expires before it is issued"},
        {"reversed window", latest(lines(statement(digest_, kNow + 6, kNow + 5), fresh_)),
         VERIFY_FRESH_SCHEMA, "the freshness statement expires before it is issued"},
        // The manifest it names.
        {"a digest of another manifest",
         latest(lines(statement(sha256_hex(other), kNow - 5, kNow + 5), fresh_)),
         VERIFY_FRESH_MISMATCH, "the freshness statement is for another manifest (sha256 "},
        {"the digest of the payload text",
         latest(lines(statement(sha256_hex(base64url(manifest_)), kNow - 5, kNow + 5), fresh_)),
         VERIFY_FRESH_MISMATCH, "the freshness statement is for another manifest (sha256 "},
        // The release is verified first, unchanged.
        {"release tampered, statement fine",
         envelope_text(release_.kid, base64url(manifest_),
                       base64url(sign_raw(release_, other))) + lines(st, fresh_),
         VERIFY_BAD_SIGNATURE, "the Ed25519 signature does not verify"},
    };
    for (const Case &c : cases) {
        Checked r = check(c.text);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.detail;
        EXPECT_EQ(r.detail.compare(0, strlen(c.detail), c.detail), 0) << c.name << ": " << r.detail;
        EXPECT_EQ(r.info.payload, nullptr) << c.name;
        if (c.status == VERIFY_FRESH_MISMATCH) EXPECT_EQ(r.info.fresh_expires, kNow + 5) << c.name;
        if (c.status >= VERIFY_FRESH_MISSING && c.status <= VERIFY_FRESH_SCHEMA) {
            EXPECT_EQ(r.info.fresh_issued, -1) << c.name;
            EXPECT_EQ(r.info.fresh_expires, -1) << c.name;
        }
        release_free(&r.info);
        // An older setup checks the release alone and ignores the lines
        // (unless the release itself is refused).
        if (c.status >= VERIFY_FRESH_MISSING) {
            ReleaseInfo info;
            EXPECT_EQ(release_verify(c.text.data(), c.text.size(), "1.0.0", &info, nullptr, 0),
                      VERIFY_OK)
                << c.name;
            release_free(&info);
        }
    }

    // The largest statement, with members outside the schema, is accepted.
    ASSERT_EQ(padded.size(), 1024u);
    Checked big = check(latest(lines(padded, fresh_)));
    EXPECT_EQ(big.status, VERIFY_OK) << big.detail;
    EXPECT_EQ(base64url(padded).size(), 1366u);
    release_free(&big.info);
}

TEST_F(Freshness, DetailIsBoundedAndOptional) {
    std::string text = latest(lines(statement(digest_, kNow - 20, kNow - 10), fresh_));
    ReleaseInfo info;
    char small[10];
    EXPECT_EQ(release_verify_fresh(text.data(), text.size(), "1.0.0", kNow, &info, small,
                                   sizeof small),
              VERIFY_STALE);
    EXPECT_STREQ(small, "the fresh");
    EXPECT_EQ(release_verify_fresh(text.data(), text.size(), "1.0.0", kNow, &info, nullptr, 0),
              VERIFY_STALE);
    EXPECT_EQ(info.payload, nullptr);
}

TEST_F(Freshness, CallerGivenTablesKeepTheRolesApart) {
    // With the release key's entry given as the only freshness key, a
    // statement signed by the freshness key is refused, and one signed by
    // the release key passes: the table alone decides the role.
    Checked base = check(latest(lines(good_statement(), fresh_)));
    ASSERT_EQ(base.status, VERIFY_OK) << base.detail;
    std::string good = latest(lines(good_statement(), fresh_));
    std::string by_release = latest(lines(good_statement(), release_));
    ReleaseInfo info = base.info;
    char detail[256];
    EXPECT_EQ(freshness_verify_with_keys(good.data(), good.size(), base.info.manifest_sha256,
                                         trusted_key_table(), release_key_count(), kNow, &info,
                                         detail, sizeof detail),
              VERIFY_FRESH_UNKNOWN_KID)
        << detail;
    EXPECT_EQ(freshness_verify_with_keys(by_release.data(), by_release.size(),
                                         base.info.manifest_sha256, freshness_key_table(),
                                         freshness_key_count(), kNow, &info, detail, sizeof detail),
              VERIFY_FRESH_UNKNOWN_KID)
        << detail;
    release_free(&base.info);
}

TEST(FreshnessKeys, TablesApartAndWellFormed) {
    const TrustedKey release_keys[] = {RELEASE_KEYS_TEST RELEASE_KEYS_PRODUCTION};
    const TrustedKey freshness_keys[] = {FRESHNESS_KEYS_TEST FRESHNESS_KEYS_PRODUCTION};
    for (const TrustedKey &f : freshness_keys) {
        std::string id = f.key_id;
        // fresh-YYYYMMDD-xxxxxxxx, the last part the start of SHA-256 of the key.
        ASSERT_EQ(id.size(), 23u) << id;
        EXPECT_EQ(id.substr(0, 6), "fresh-");
        EXPECT_EQ(id[14], '-');
        for (int c = 6; c < 14; c++) EXPECT_TRUE(isdigit((unsigned char)id[c])) << id;
        EXPECT_EQ(id.substr(15), sha256_hex(std::string((const char *)f.public_key, 32)).substr(0, 8))
            << id;
        for (const TrustedKey &r : release_keys) {
            EXPECT_STRNE(f.key_id, r.key_id);
            EXPECT_NE(memcmp(f.public_key, r.public_key, 32), 0) << id << " is also " << r.key_id;
        }
    }
    // This (test) build: one freshness key, the test one, required.
    EXPECT_EQ(freshness_required(), 1);
    ASSERT_EQ(freshness_key_count(), 1u);
    SigningKey key = test_fresh_key();
    ASSERT_TRUE(key.loaded);
    EXPECT_EQ(std::string(freshness_key_table()[0].key_id), key.kid);
    EXPECT_EQ(memcmp(freshness_key_table()[0].public_key, key.public_key, 32), 0);
    EXPECT_EQ(trusted_key_find(key.kid.c_str()), nullptr);
}

TEST(FreshnessTime, TextOfUnixSeconds) {
    struct Case {
        int64_t seconds;
        const char *text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {951868799, "2000-02-29T23:59:59Z"},
        {1796983862, "2026-12-11T10:11:02Z"},
        {4102444800, "2100-01-01T00:00:00Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
        {-1, "unknown"},
    };
    for (const Case &c : cases) {
        char text[FRESH_TIME_TEXT_CAPACITY];
        EXPECT_EQ(fresh_time_text(c.seconds, text, sizeof text), (int)strlen(c.text));
        EXPECT_STREQ(text, c.text);
        // For a person: the same time with a space and "UTC".
        std::string readable = c.text;
        if (c.seconds >= 0) readable = readable.substr(0, 10) + " " + readable.substr(11, 8) + " UTC";
        EXPECT_EQ(fresh_time_readable(c.seconds, text, sizeof text), (int)readable.size());
        EXPECT_STREQ(text, readable.c_str());
    }
    char small[5];
    EXPECT_EQ(fresh_time_text(0, small, sizeof small), -1);
    EXPECT_STREQ(small, "1970");
    // The largest value a statement can carry still gives a terminated text.
    char big[FRESH_TIME_TEXT_CAPACITY];
    EXPECT_GT(fresh_time_text(999999999999999999ll, big, sizeof big), 0);
}

}  // namespace
