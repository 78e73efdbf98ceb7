// Release envelope (latest.txt) screening and the strict base64url decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "release/envelope.h"
#include "tests/release/signing_support.h"

namespace {

using release_test::base64url_alphabet;

const std::string kSig = std::string(85, 'A') + "A";  // 86 characters, 64 zero bytes
const std::string kPayload = "eyJ2IjoxfQ";          // {"v":1}

struct ParseResult {
    bool ok;
    std::string detail;
    ReleaseEnvelope envelope;
};

ParseResult parse(const std::string &text) {
    ParseResult r;
    char detail[256];
    memset(detail, 'X', sizeof detail);
    detail[sizeof detail - 1] = 0;
    r.ok = envelope_parse(text.data(), text.size(), &r.envelope, detail, sizeof detail) == 1;
    r.detail = r.ok ? "" : detail;
    return r;
}

std::string fields(const std::string &kid = "k1", const std::string &payload = kPayload,
                   const std::string &sig = kSig) {
    return release_test::envelope_text(kid, payload, sig);
}

const char *const kControl = "latest.txt contains a control or non-ASCII character";
const char *const kNotKeyValue = "latest.txt has a line that is not key=value";
const char *const kInvalidKey = "latest.txt has an invalid key";
const char *const kRepeats = "latest.txt repeats a field";
const char *const kLacks = "latest.txt lacks kid, payload or sig";
const char *const kInvalidKid = "latest.txt has an invalid kid";
const char *const kWrongLength = "latest.txt has a payload or signature of the wrong length";
const char *const kPayloadAlphabet = "the payload is not base64url";
const char *const kSigAlphabet = "the signature is not base64url";

struct Case {
    const char *name;
    std::string text;
    const char *detail;  // null: accepted
};

TEST(ReleaseEnvelope, ScreeningTable) {
    const std::string k32(32, 'k'), k33(33, 'k');
    const Case cases[] = {
        {"LF endings", fields(), nullptr},
        {"CRLF endings", "kid=k1\r\npayload=" + kPayload + "\r\nsig=" + kSig + "\r\n", nullptr},
        {"mixed endings, no final LF", "kid=k1\npayload=" + kPayload + "\r\nsig=" + kSig, nullptr},
        {"final CR without LF", "kid=k1\npayload=" + kPayload + "\nsig=" + kSig + "\r", nullptr},
        {"blank and CR-only lines", "\n\r\n" + fields() + "\n\r\n\n", nullptr},
        {"any order", "sig=" + kSig + "\nkid=k1\npayload=" + kPayload, nullptr},
        {"other keys ignored", "note=anything at all, even = signs\n" + fields() + "x_9=\n", nullptr},
        {"32-byte key accepted", k32 + "=v\n" + fields(), nullptr},
        {"kid alphabet", fields("A-Z.a_z-0.9"), nullptr},
        {"kid of 64", fields(std::string(64, 'k')), nullptr},
        {"payload of 2", fields("k1", "QQ"), nullptr},
        {"spaces around =", "kid = x\n" + fields(), kInvalidKey},
        {"upper-case key", "KID=x\n" + fields(), kInvalidKey},
        {"key starting with digit", "1x=y\n" + fields(), kInvalidKey},
        {"key starting with underscore", "_x=y\n" + fields(), kInvalidKey},
        {"key with dash", "a-b=y\n" + fields(), kInvalidKey},
        {"line starting with =", "=x\n" + fields(), kNotKeyValue},
        {"line without =", "just text\n" + fields(), kNotKeyValue},
        {"33-byte key", k33 + "=v\n" + fields(), kNotKeyValue},
        {"long invalid key is judged by length first", std::string(33, 'K') + "=v", kNotKeyValue},
        {"tab in ignored line", "note=a\tb\n" + fields(), kControl},
        {"tab in ignored line after fields", fields() + "note=a\tb\n", kControl},
        {"zero byte", std::string("kid=k\0", 6) + "\n" + fields(), kControl},
        {"stray CR inside a line", "kid=k\r1\n" + fields(), kControl},
        {"two CRs before LF", "note=x\r\r\n" + fields(), kControl},
        {"non-ASCII byte", "note=\xC3\xA9\n" + fields(), kControl},
        {"DEL byte", "note=\x7F\n" + fields(), kControl},
        {"control before not key=value", "bad line\t\n" + fields(), kControl},
        {"empty kid then another kid", "kid=\n" + fields(), kRepeats},
        {"payload twice", fields() + "payload=" + kPayload + "\n", kRepeats},
        {"sig twice", fields() + "sig=" + kSig + "\n", kRepeats},
        {"repeat reported before later control byte", fields() + "kid=k\nx=\t\n", kRepeats},
        {"empty kid alone", fields(""), kInvalidKid},
        {"kid of 65", fields(std::string(65, 'k')), kInvalidKid},
        {"kid with space", fields("k 1"), kInvalidKid},
        {"kid with slash", fields("k/1"), kInvalidKid},
        {"kid with plus", fields("k+1"), kInvalidKid},
        {"empty text", "", kLacks},
        {"only blank lines", "\n\r\n\n", kLacks},
        {"no sig", "kid=k1\npayload=" + kPayload + "\n", kLacks},
        {"no payload", "kid=k1\nsig=" + kSig + "\n", kLacks},
        {"no kid", "payload=" + kPayload + "\nsig=" + kSig + "\n", kLacks},
        {"case matters for field keys", "Kid=k1\npayload=" + kPayload + "\nsig=" + kSig, kInvalidKey},
        {"kidx is another key", "kidx=k1\npayload=" + kPayload + "\nsig=" + kSig, kLacks},
        {"payload of 1", fields("k1", "Q"), kWrongLength},
        {"empty payload", fields("k1", ""), kWrongLength},
        {"sig of 85", fields("k1", kPayload, kSig.substr(1)), kWrongLength},
        {"sig of 87", fields("k1", kPayload, kSig + "A"), kWrongLength},
        {"invalid kid before wrong length", fields("k 1", "Q"), kInvalidKid},
        {"payload ending in =", fields("k1", kPayload + "="), kPayloadAlphabet},
        {"payload with +", fields("k1", "ab+d"), kPayloadAlphabet},
        {"payload with /", fields("k1", "ab/d"), kPayloadAlphabet},
        {"payload with space", fields("k1", "ab d"), kPayloadAlphabet},
        {"payload before signature", fields("k1", "ab+d", "+" + kSig.substr(1)), kPayloadAlphabet},
        {"sig with +", fields("k1", kPayload, "+" + kSig.substr(1)), kSigAlphabet},
        {"sig with =", fields("k1", kPayload, kSig.substr(2) + "=="), kSigAlphabet},
    };
    for (const Case &c : cases) {
        ParseResult r = parse(c.text);
        if (c.detail == nullptr) {
            EXPECT_TRUE(r.ok) << c.name << ": " << r.detail;
        } else {
            EXPECT_FALSE(r.ok) << c.name;
            EXPECT_EQ(r.detail, c.detail) << c.name;
        }
    }
}

TEST(ReleaseEnvelope, PayloadLengthBounds) {
    std::string max(2000000, 'A');
    EXPECT_TRUE(parse(fields("k1", max)).ok);
    ParseResult r = parse(fields("k1", max + "A"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.detail, kWrongLength);
}

TEST(ReleaseEnvelope, ViewsIntoTheText) {
    std::string text = "note=1\r\nsig=" + kSig + "\r\n\r\npayload=" + kPayload + "\r\nkid=a.b-c_d\r";
    ReleaseEnvelope e;
    ASSERT_EQ(envelope_parse(text.data(), text.size(), &e, nullptr, 0), 1);
    EXPECT_EQ(std::string(e.kid, e.kid_length), "a.b-c_d");
    EXPECT_EQ(std::string(e.payload, e.payload_length), kPayload);
    EXPECT_EQ(std::string(e.sig, e.sig_length), kSig);
    EXPECT_GE(e.kid, text.data());
    EXPECT_LT(e.kid, text.data() + text.size());
    EXPECT_EQ(e.sig, text.data() + text.find(kSig));
}

TEST(ReleaseEnvelope, ValueMayHoldEqualsSigns) {
    // A line splits at its first '='; kid's value "a=b" fails the kid alphabet.
    ParseResult r = parse(fields("a=b"));
    EXPECT_EQ(r.detail, kInvalidKid);
}

TEST(ReleaseEnvelope, EnvelopeClearedOnFailure) {
    ReleaseEnvelope e;
    memset(&e, 0x5A, sizeof e);
    std::string text = "kid=k1\nbad";
    EXPECT_EQ(envelope_parse(text.data(), text.size(), &e, nullptr, 0), 0);
    // Cleared first; kid was recorded before the bad line, nothing else.
    EXPECT_EQ(e.payload, nullptr);
    EXPECT_EQ(e.sig, nullptr);
    EXPECT_EQ(e.payload_length, 0u);
}

TEST(ReleaseEnvelope, DetailBufferIsBounded) {
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    ReleaseEnvelope e;
    EXPECT_EQ(envelope_parse("", 0, &e, buffer, 10), 0);
    EXPECT_STREQ(buffer, "latest.tx");  // the first 9 bytes and a zero byte
    EXPECT_EQ(buffer[10], '#');
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(envelope_parse("", 0, &e, buffer, 0), 0);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(envelope_parse("", 0, &e, nullptr, 0), 0);
    EXPECT_EQ(envelope_parse("", 0, &e, nullptr, 100), 0);
}

struct DecodeCase {
    std::string text;
    int64_t result;
    std::vector<uint8_t> bytes;
};

TEST(ReleaseBase64url, DecodeTable) {
    const DecodeCase cases[] = {
        {"", 0, {}},
        {"QQ", 1, {0x41}},
        {"QR", -1, {}},
        {"QUI", 2, {0x41, 0x42}},
        {"QUJ", -1, {}},
        {"QUJD", 3, {0x41, 0x42, 0x43}},
        {"QUJDRA", 4, {0x41, 0x42, 0x43, 0x44}},
        {"Q", -1, {}},
        {"QUJDR", -1, {}},
        {"QUJDRUZHS", -1, {}},
        {"QQ==", -1, {}},
        {"QUJD=", -1, {}},
        {"QU JD", -1, {}},
        {"QU+D", -1, {}},
        {"QU/D", -1, {}},
        {"-_-_", 3, {0xFB, 0xFF, 0xBF}},
        {"AAAA", 3, {0, 0, 0}},
        {"____", 3, {0xFF, 0xFF, 0xFF}},
        {"_w", 1, {0xFF}},
        {"__8", 2, {0xFF, 0xFF}},
        {"__9", -1, {}},
        {"QUJD\n", -1, {}},
        {std::string("QU\0D", 4), -1, {}},
    };
    for (const DecodeCase &c : cases) {
        uint8_t out[16];
        int64_t n = base64url_decode(c.text.data(), c.text.size(), out, sizeof out);
        EXPECT_EQ(n, c.result) << "'" << c.text << "'";
        if (n >= 0 && n == c.result) {
            EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.bytes) << c.text;
        }
    }
}

TEST(ReleaseBase64url, CapacityTestedBeforeWriting) {
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(base64url_decode("QUJD", 4, out, 2), -1);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(base64url_decode("QUJD", 4, out, 3), 3);
    EXPECT_EQ(base64url_decode("QUI", 3, out, 1), -1);
    EXPECT_EQ(base64url_decode("", 0, nullptr, 0), 0);
}

TEST(ReleaseBase64url, EveryByteHasOneText) {
    // Each of the 64 final characters of a two-character group: only those
    // with zero low four bits decode, each to a distinct byte.
    int accepted = 0;
    for (size_t i = 0; i < 64; i++) {
        std::string text = std::string("A") + base64url_alphabet[i];
        uint8_t out[1];
        int64_t n = base64url_decode(text.data(), text.size(), out, 1);
        EXPECT_EQ(n == 1, (i & 0x0F) == 0) << text;
        if (n == 1) accepted++;
    }
    EXPECT_EQ(accepted, 4);
    // An 86-character signature text whose last character has low bits set.
    std::string sig(85, 'A');
    uint8_t out[64];
    EXPECT_EQ(base64url_decode((sig + "A").data(), 86, out, 64), 64);
    EXPECT_EQ(base64url_decode((sig + "B").data(), 86, out, 64), -1);
    EXPECT_EQ(base64url_decode((sig + "Q").data(), 86, out, 64), 64);
}

TEST(ReleaseBase64url, ValueOfEveryByte) {
    for (int b = 0; b < 256; b++) {
        size_t pos = base64url_alphabet.find((char)b);
        int expected = (pos == std::string::npos || b == 0) ? -1 : (int)pos;
        EXPECT_EQ(base64url_value((unsigned char)b), expected) << b;
    }
}

}  // namespace
