// Release verification end to end: the Ed25519 check against RFC 8032
// vectors, signed envelopes made here with the test release key, the order of
// the tests, every status and detail text, and the trusted key table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "release/ed25519.h"
#include "release/envelope.h"
#include "release/release.h"
#include "tests/release/signing_support.h"

namespace {

using namespace release_test;

// RFC 8032, section 7.1 (Ed25519 test vectors): secret key, public key,
// message, signature.
struct Rfc8032Vector {
    const char *source;
    const char *secret;
    const char *public_key;
    const char *message;
    const char *signature;
};

const Rfc8032Vector kRfc8032[] = {
    {"RFC 8032 7.1 TEST 1",
     "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"RFC 8032 7.1 TEST 2",
     "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"RFC 8032 7.1 TEST 3",
     "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"RFC 8032 7.1 TEST 1024 (1023-byte message)",
     "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
     "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
     "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50f8f54e9f77b1"
     "e355f6c50544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b270b20329d"
     "658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc1a858efcb8550ee3a5e1998bd177e93a"
     "7363c344fe6b199ee5d02e82d522c4feba15452f80288a821a579116ec6dad2b3b310da903401aa62100ab5d1a36553e"
     "06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573cb116dbefefd75499da96bd68a8a97b928a8bbc10"
     "3b6621fcde2beca1231d206be6cd9ec7aff6f6c94fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed1"
     "85ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2d17ba70eb6248e594e1a2297acbbb39d"
     "502f1a8c6eb6f1ce22b3de1a1f40cc24554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf2b13fd65f270"
     "88d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc2732e69485bbc9c90bfbd62481d9089b"
     "eccf80cfe2df16a2cf65bd92dd597b0707e0917af48bbb75fed413d238f5555a7a569d80c3414a8d0859dc65a46128ba"
     "b27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51addd3b75a2b1ae0784504df543af8969b"
     "e3ea7082ff7fc9888c144da2af58429ec96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9b47acdb7"
     "51fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c42f58c30c04aafdb038dda0847dd988d"
     "cda6f3bfd15c4b4c4525004aa06eeff8ca61783aacec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34df"
     "f7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08d78ff4ef5d63653a65040cf9bfd4aca7"
     "984a74d37145986780fc0b16ac451649de6188a7dbdf191f64b5fc5e2ab47b57f7f7276cd419c17a3ca8e1b939ae49e4"
     "88acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d5011fd2dcc5600a32ef5b52a1ecc820e308aa342721aac09"
     "43bf6686b64b2579376504ccc493d97e6aed3fb0f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5f"
     "b93246f6b1116398a346f1a641f3b041e989f7914f90cc2c7fff357876e506b50d334ba77c225bc307ba537152f3f161"
     "0e4eafe595f6d9d90d11faa933a15ef1369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380d"
     "b2eaaa707b4c4185c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c0618983f8741c5ef68d3a101e8a3b8ca"
     "c60c905c15fc910840b94c00a0b9d0",
     "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350"
     "aa5371b1508f9f4528ecea23c436d94b5e8fcd4f681e30a6ac00a9704a188a03"},
};

TEST(ReleaseEd25519, Rfc8032Vectors) {
    for (const Rfc8032Vector &v : kRfc8032) {
        std::vector<uint8_t> secret = from_hex(v.secret);
        std::vector<uint8_t> pk = from_hex(v.public_key);
        std::vector<uint8_t> msg = from_hex(v.message);
        std::vector<uint8_t> sig = from_hex(v.signature);
        ASSERT_EQ(pk.size(), 32u) << v.source;
        ASSERT_EQ(sig.size(), 64u) << v.source;
        // The public key belongs to the secret key (a check of the vector).
        ASSERT_EQ(secret.size(), 32u) << v.source;
        uint8_t derived[32], sk[64];
        crypto_sign_seed_keypair(derived, sk, secret.data());
        EXPECT_EQ(memcmp(derived, pk.data(), 32), 0) << v.source;

        EXPECT_EQ(release_ed25519_check(sig.data(), pk.data(), msg.data(), msg.size()), 0)
            << v.source;
        // One changed bit anywhere is refused.
        std::vector<uint8_t> bad = sig;
        bad[0] ^= 0x01;
        EXPECT_NE(release_ed25519_check(bad.data(), pk.data(), msg.data(), msg.size()), 0)
            << v.source;
        bad = sig;
        bad[63] ^= 0x01;
        EXPECT_NE(release_ed25519_check(bad.data(), pk.data(), msg.data(), msg.size()), 0)
            << v.source;
        std::vector<uint8_t> longer = msg;
        longer.push_back(0);
        EXPECT_NE(release_ed25519_check(sig.data(), pk.data(), longer.data(), longer.size()), 0)
            << v.source;
        if (!msg.empty()) {
            std::vector<uint8_t> changed = msg;
            changed[changed.size() / 2] ^= 0x80;
            EXPECT_NE(release_ed25519_check(sig.data(), pk.data(), changed.data(), changed.size()), 0)
                << v.source;
        }
        std::vector<uint8_t> other_key = pk;
        other_key[5] ^= 0x04;
        EXPECT_NE(release_ed25519_check(sig.data(), other_key.data(), msg.data(), msg.size()), 0)
            << v.source;
    }
}

// Non-zero when the character at i ends a final two- or three-character group
// and holds bits that strict base64url requires to be zero.
int trailing_bits(const std::string &text, size_t i) {
    if (i + 1 != text.size()) return 0;
    int v = base64url_value((unsigned char)text[i]);
    switch (text.size() % 4) {
    case 2: return v & 0x0F;
    case 3: return v & 0x03;
    default: return 0;
    }
}

int build_line(char *line, const LogTime *time, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = log_build_line(line, time, format, args);
    va_end(args);
    return n;
}

struct Verified {
    VerifyStatus status;
    std::string detail;
    ReleaseInfo info;
};

Verified verify(const std::string &text, const char *min_version = "1.0.0") {
    Verified v;
    char detail[256];
    memset(detail, 'X', sizeof detail);
    v.status = release_verify(text.data(), text.size(), min_version, &v.info, detail, sizeof detail);
    v.detail = detail;
    // Whatever the status, the record holds no allocation unless it is ok.
    if (v.status != VERIFY_OK) EXPECT_EQ(v.info.payload, nullptr);
    // The same status without a detail buffer.
    ReleaseInfo plain;
    EXPECT_EQ(release_verify(text.data(), text.size(), min_version, &plain, nullptr, 0), v.status);
    release_free(&plain);
    return v;
}

class ReleaseVerify : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = test_key();
        ASSERT_TRUE(key_.loaded) << "tests/release/keys/test-release.secret not readable";
    }
    SigningKey key_;
};

TEST_F(ReleaseVerify, TestKeyIsTheTrustedKey) {
    // The native build is the test profile: its one trusted key is the test
    // key whose secret half the tests sign with.
    EXPECT_STREQ(release_key_set(), "test");
    ASSERT_EQ(release_key_count(), 1u);
    const TrustedKey *entry = &trusted_key_table()[0];
    EXPECT_EQ(std::string(entry->key_id), key_.kid);
    EXPECT_EQ(memcmp(entry->public_key, key_.public_key, 32), 0);
}

TEST(ReleaseTrustedKeys, TableForm) {
    ASSERT_EQ(release_key_count(), 1u);
    for (uint32_t i = 0; i < release_key_count(); i++) {
        const TrustedKey *k = &trusted_key_table()[i];
        std::string id = k->key_id;
        // release-YYYYMMDD-xxxxxxxx
        ASSERT_EQ(id.size(), 25u);
        EXPECT_EQ(id.substr(0, 8), "release-");
        EXPECT_EQ(id[16], '-');
        for (int c = 8; c < 16; c++) EXPECT_TRUE(isdigit((unsigned char)id[c])) << id;
        for (int c = 17; c < 25; c++) EXPECT_TRUE(strchr("0123456789abcdef", id[c]) != nullptr) << id;
        EXPECT_EQ(trusted_key_find(k->key_id), k);
    }
}

TEST(ReleaseTrustedKeys, FindIsExact) {
    const TrustedKey *k = &trusted_key_table()[0];
    std::string id = k->key_id;
    std::string upper = id;
    upper[0] = 'R';
    EXPECT_EQ(trusted_key_find(upper.c_str()), nullptr);
    EXPECT_EQ(trusted_key_find(id.substr(0, 24).c_str()), nullptr);
    EXPECT_EQ(trusted_key_find((id + "0").c_str()), nullptr);
    EXPECT_EQ(trusted_key_find(""), nullptr);
    EXPECT_EQ(trusted_key_find(nullptr), nullptr);
    // A caller-given table is scanned in order.
    TrustedKey table[2] = {};
    strcpy(table[0].key_id, "a");
    strcpy(table[1].key_id, "a");
    table[1].public_key[0] = 1;
    EXPECT_EQ(trusted_key_find_in(table, 2, "a"), &table[0]);
    EXPECT_EQ(trusted_key_find_in(table, 0, "a"), nullptr);
}

TEST(ReleaseVerifyWords, StatusWords) {
    const char *words[] = {"ok",     "format",        "unknown-kid", "bad-signature",
                           "json",   "schema",        "wrong-channel", "below-floor",
                           "no-artifact", "file-name", "too-large",
                           "fresh-missing", "fresh-format", "fresh-unknown-kid",
                           "fresh-bad-signature", "fresh-json", "fresh-schema",
                           "fresh-mismatch", "stale"};
    for (int i = 0; i <= 18; i++) EXPECT_STREQ(verify_status_word(i), words[i]);
    EXPECT_STREQ(verify_status_word(19), "unknown");
    EXPECT_STREQ(verify_status_word(-1), "unknown");
}

TEST_F(ReleaseVerify, SignedManifestVerifies) {
    std::string manifest = good_manifest("2.0.1");
    std::string payload = base64url(manifest);
    std::string sig = base64url(sign_raw(key_, manifest));
    Verified v = verify("note=published by the release tool\r\n" +
                        envelope_text(key_.kid, payload, sig));
    ASSERT_EQ(v.status, VERIFY_OK) << v.detail;
    EXPECT_EQ(v.detail, "");
    EXPECT_STREQ(v.info.version, "2.0.1");
    EXPECT_STREQ(v.info.fileName, "VornquillAI-Setup-x64-2.0.1.exe");
    EXPECT_EQ(v.info.size, 73400320);
    EXPECT_STREQ(v.info.kid, key_.kid.c_str());
    EXPECT_EQ(std::string(v.info.sig), sig);
    EXPECT_EQ(strlen(v.info.sig), 86u);
    ASSERT_NE(v.info.payload, nullptr);
    EXPECT_EQ(std::string(v.info.payload), payload);
    EXPECT_EQ(v.info.payload_length, payload.size());
    release_free(&v.info);
    EXPECT_EQ(v.info.payload, nullptr);
    release_free(&v.info);  // a second call does nothing
    EXPECT_EQ(v.info.payload, nullptr);
}

TEST_F(ReleaseVerify, ReleaseInfoIsZeroFilledFirst) {
    ReleaseInfo info;
    memset(&info, 0x77, sizeof info);
    info.payload = nullptr;
    char detail[64];
    EXPECT_EQ(release_verify("", 0, "1.0.0", &info, detail, sizeof detail), VERIFY_FORMAT);
    ReleaseInfo zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0);
}

TEST_F(ReleaseVerify, EveryChangedPayloadCharacterIsRefused) {
    std::string manifest = good_manifest();
    std::string payload = base64url(manifest);
    std::string sig = base64url(sign_raw(key_, manifest));
    Verified good = verify(envelope_text(key_.kid, payload, sig));
    release_free(&good.info);
    ASSERT_EQ(good.status, VERIFY_OK);
    for (size_t i = 0; i < payload.size(); i++) {
        std::string changed = payload;
        // The next character of the alphabet: always a different value.
        changed[i] = base64url_alphabet[(base64url_alphabet.find(payload[i]) + 1) % 64];
        Verified v = verify(envelope_text(key_.kid, changed, sig));
        int last_bits = trailing_bits(changed, i);
        if (last_bits != 0) {
            EXPECT_EQ(v.status, VERIFY_FORMAT) << i;
            EXPECT_EQ(v.detail, "the payload is not strict base64url") << i;
        } else {
            EXPECT_EQ(v.status, VERIFY_BAD_SIGNATURE) << i;
            EXPECT_EQ(v.detail, "the Ed25519 signature does not verify (key " + key_.kid + ")") << i;
        }
    }
}

TEST_F(ReleaseVerify, EveryChangedManifestByteIsRefused) {
    std::string manifest = good_manifest();
    std::string sig = base64url(sign_raw(key_, manifest));
    for (size_t i = 0; i < manifest.size(); i++) {
        std::string changed = manifest;
        changed[i] ^= 0x20;
        Verified v = verify(envelope_text(key_.kid, base64url(changed), sig));
        EXPECT_EQ(v.status, VERIFY_BAD_SIGNATURE) << i;
    }
    // One byte more or less.
    EXPECT_EQ(verify(envelope_text(key_.kid, base64url(manifest + " "), sig)).status,
              VERIFY_BAD_SIGNATURE);
    EXPECT_EQ(verify(envelope_text(key_.kid, base64url(manifest.substr(1)), sig)).status,
              VERIFY_BAD_SIGNATURE);
}

TEST_F(ReleaseVerify, EveryChangedSignatureCharacterIsRefused) {
    std::string manifest = good_manifest();
    std::string payload = base64url(manifest);
    std::string sig = base64url(sign_raw(key_, manifest));
    for (size_t i = 0; i < sig.size(); i++) {
        for (int step : {1, 16, 33}) {
            std::string changed = sig;
            changed[i] = base64url_alphabet[(base64url_alphabet.find(sig[i]) + step) % 64];
            Verified v = verify(envelope_text(key_.kid, payload, changed));
            if (i == 85 && (base64url_alphabet.find(changed[i]) & 0x0F) != 0) {
                EXPECT_EQ(v.status, VERIFY_FORMAT) << i;
                EXPECT_EQ(v.detail, "the signature is not 64 bytes of strict base64url") << i;
            } else {
                EXPECT_EQ(v.status, VERIFY_BAD_SIGNATURE) << i << " step " << step;
            }
        }
    }
}

TEST_F(ReleaseVerify, SignatureOverTheTextIsRefused) {
    std::string manifest = good_manifest();
    std::string payload = base64url(manifest);
    Verified v = verify(envelope_text(key_.kid, payload, base64url(sign_raw(key_, payload))));
    EXPECT_EQ(v.status, VERIFY_BAD_SIGNATURE);
}

TEST_F(ReleaseVerify, OtherKeyUnderTheTrustedIdIsRefused) {
    uint8_t seed[32];
    memset(seed, 0x42, sizeof seed);
    SigningKey impostor = make_key(key_.kid, seed);
    Verified v = verify(signed_envelope(impostor, good_manifest()));
    EXPECT_EQ(v.status, VERIFY_BAD_SIGNATURE);
    EXPECT_EQ(v.detail, "the Ed25519 signature does not verify (key " + key_.kid + ")");
}

TEST_F(ReleaseVerify, OrderOfTheTests) {
    std::string manifest = good_manifest();
    std::string payload = base64url(manifest);
    std::string sig = base64url(sign_raw(key_, manifest));
    std::string bad_bits_sig = sig.substr(0, 85) + "B";  // low four bits set
    struct Case {
        const char *name;
        std::string text;
        VerifyStatus status;
        std::string detail;
    } cases[] = {
        {"malformed envelope before key lookup", "kid=nobody\npayload=" + payload + "\nsig=" + sig + "x",
         VERIFY_FORMAT, "latest.txt has a payload or signature of the wrong length"},
        {"unknown key before signature decoding", envelope_text("nobody", "QQQQQ", bad_bits_sig),
         VERIFY_UNKNOWN_KID, "the release is signed with key nobody, which this installer does not know"},
        {"key ids are case-sensitive", envelope_text("R" + key_.kid.substr(1), payload, sig),
         VERIFY_UNKNOWN_KID,
         "the release is signed with key R" + key_.kid.substr(1) + ", which this installer does not know"},
        {"signature text before payload text", envelope_text(key_.kid, "QQQQQ", bad_bits_sig),
         VERIFY_FORMAT, "the signature is not 64 bytes of strict base64url"},
        {"payload of 5 characters", envelope_text(key_.kid, "QQQQQ", sig), VERIFY_FORMAT,
         "the payload is not strict base64url"},
        {"payload with trailing bits", envelope_text(key_.kid, "QR", sig), VERIFY_FORMAT,
         "the payload is not strict base64url"},
        {"bad signature before the manifest is read",
         envelope_text(key_.kid, base64url(std::string("not json")), sig), VERIFY_BAD_SIGNATURE,
         "the Ed25519 signature does not verify (key " + key_.kid + ")"},
    };
    for (const Case &c : cases) {
        Verified v = verify(c.text);
        EXPECT_EQ(v.status, c.status) << c.name;
        EXPECT_EQ(v.detail, c.detail) << c.name;
    }
}

TEST_F(ReleaseVerify, ManifestStatusesPassThrough) {
    // Signed by the trusted key, so every refusal comes from the manifest.
    struct Case {
        std::string manifest;
        const char *min_version;
        VerifyStatus status;
        std::string detail;
    } cases[] = {
        {"not json", "1.0.0", VERIFY_JSON, "the signed manifest is not strict JSON (syntax)"},
        {"{\"v\":1,\"v\":1}", "1.0.0", VERIFY_JSON,
         "the signed manifest is not strict JSON (duplicate-key)"},
        {"{\"v\":1}", "1.0.0", VERIFY_SCHEMA, "the signed manifest is not a Vornquill AI v1 manifest"},
        {good_manifest("1.4.2"), "1.5.0", VERIFY_BELOW_FLOOR,
         "release 1.4.2 is older than this installer's minimum version"},
        {good_manifest("1.0.0"), "1.0.0", VERIFY_OK, ""},
    };
    for (const Case &c : cases) {
        Verified v = verify(signed_envelope(key_, c.manifest), c.min_version);
        EXPECT_EQ(v.status, c.status) << c.manifest;
        EXPECT_EQ(v.detail, c.detail) << c.manifest;
        release_free(&v.info);
    }
}

TEST_F(ReleaseVerify, RefusedFileNameWithLineBreaksLogsOneLine) {
    // A manifest signed with the trusted key whose file name carries CR LF and
    // a whole fake result line: the refusal's detail quotes it, and once
    // escaped it is one log line with no second "RESULT" line.
    const std::string forged = "\r\n2026-03-01T13:45:01.042Z RESULT code=0 reason=installed";
    std::string manifest = good_manifest("1.4.2");
    const std::string name = "VornquillAI-Setup-x64-1.4.2.exe";
    manifest.replace(manifest.find(name), name.size(), name + "\\r\\n2026-03-01T13:45:01.042Z "
                                                              "RESULT code=0 reason=installed");
    Verified v = verify(signed_envelope(key_, manifest));
    ASSERT_EQ(v.status, VERIFY_FILE_NAME) << v.detail;
    ASSERT_NE(v.detail.find(name + forged), std::string::npos) << v.detail;  // the raw text

    char safe[4 * 256];
    text_escape_controls(v.detail.c_str(), safe, sizeof safe);
    char line[LOG_LINE_CAPACITY];
    const LogTime time = {2026, 3, 1, 13, 45, 1, 42};
    int n = build_line(line, &time, "release verification failed: %s: %s",
                       verify_status_word(v.status), safe);
    std::string text(line, n);
    EXPECT_EQ(text,
              "2026-03-01T13:45:01.042Z release verification failed: file-name: the Windows "
              "installer's file name " + name + "\\x0d\\x0a2026-03-01T13:45:01.042Z RESULT "
              "code=0 reason=installed is not accepted\r\n");
    EXPECT_EQ(text.find('\r'), text.size() - 2);
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST_F(ReleaseVerify, DetailIsBounded) {
    std::string text = envelope_text("nobody", "QQ", std::string(86, 'A'));
    ReleaseInfo info;
    char detail[16];
    memset(detail, '#', sizeof detail);
    EXPECT_EQ(release_verify(text.data(), text.size(), "1.0.0", &info, detail, 10),
              VERIFY_UNKNOWN_KID);
    EXPECT_STREQ(detail, "the relea");
    EXPECT_EQ(detail[10], '#');
    memset(detail, '#', sizeof detail);
    EXPECT_EQ(release_verify(text.data(), text.size(), "1.0.0", &info, detail, 0),
              VERIFY_UNKNOWN_KID);
    EXPECT_EQ(detail[0], '#');
}

TEST_F(ReleaseVerify, LargestPayload) {
    // A manifest of 1,500,000 bytes: 2,000,000 base64url characters.
    std::string manifest = good_manifest();
    manifest.insert(1, "\"notes\":\"\",");
    manifest.insert(10, std::string(1500000 - manifest.size(), 'n'));
    ASSERT_EQ(manifest.size(), 1500000u);
    std::string text = signed_envelope(key_, manifest);
    Verified v = verify(text);
    ASSERT_EQ(v.status, VERIFY_OK) << v.detail;
    EXPECT_EQ(v.info.payload_length, 2000000u);
    release_free(&v.info);
    // One byte more no longer fits the envelope.
    std::string over = signed_envelope(key_, manifest + " ");
    EXPECT_EQ(verify(over).detail, "latest.txt has a payload or signature of the wrong length");
}

TEST_F(ReleaseVerify, CallerGivenKeyTable) {
    uint8_t seed[32];
    memset(seed, 0x11, sizeof seed);
    SigningKey other = make_key("release-20250101-0badc0de", seed);
    std::string text = signed_envelope(other, good_manifest());
    TrustedKey table[2] = {};
    strcpy(table[0].key_id, key_.kid.c_str());
    memcpy(table[0].public_key, key_.public_key, 32);
    strcpy(table[1].key_id, other.kid.c_str());
    memcpy(table[1].public_key, other.public_key, 32);
    ReleaseInfo info;
    char detail[256];
    EXPECT_EQ(release_verify_with_keys(text.data(), text.size(), "1.0.0", table, 2, &info, detail,
                                       sizeof detail),
              VERIFY_OK);
    EXPECT_STREQ(info.kid, other.kid.c_str());
    release_free(&info);
    // The built-in table does not know that key.
    Verified v = verify(text);
    EXPECT_EQ(v.status, VERIFY_UNKNOWN_KID);
}

}  // namespace
