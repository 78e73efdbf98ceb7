// Release manifest schema: every status and message, in the order of the tests.
#include <gtest/gtest.h>

#include <string>

#include "release/manifest.h"
#include "tests/release/signing_support.h"

namespace {

using release_test::good_manifest;

std::string with(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

const std::string kInstaller =
    "{\"platform\":\"win32\",\"arch\":\"x64\",\"kind\":\"windows-installer\","
    "\"fileName\":\"VornquillAI-Setup-x64-1.4.2.exe\",\"size\":73400320,\"sha256\":"
    "\"00ff112233445566778899aabbccddeeff00112233445566778899aabbccddee\"}";

std::string with_artifacts(const std::string &list) {
    return with(good_manifest(), "[" + kInstaller + "]", list);
}

std::string artifacts_list(size_t count) {
    std::string list = "[" + kInstaller;
    for (size_t i = 1; i < count; i++) list += ",{\"platform\":\"linux\"}";
    return list + "]";
}

struct Outcome {
    VerifyStatus status;
    std::string detail;
    ReleaseInfo info;
};

Outcome read(const std::string &json, const char *min_version = "1.0.0") {
    Outcome o;
    memset(&o.info, 0, sizeof o.info);
    char detail[256];
    memset(detail, 0, sizeof detail);
    o.status = manifest_read((const uint8_t *)json.data(), json.size(), min_version, &o.info, detail,
                             sizeof detail);
    o.detail = detail;
    return o;
}

const char *const kNotV1 = "the signed manifest is not a Vornquill AI v1 manifest";
const char *const kNoVersion = "the signed manifest has no valid version";
const char *const kNoChannel = "the signed manifest has no channel";
const char *const kNoList = "the signed manifest has no artifact list";
const char *const kNotObject = "the signed manifest has an artifact that is not an object";
const char *const kNoFileName = "the Windows installer has no file name";
const char *const kNoSize = "the Windows installer has no integer size";
const char *const kSizeRange = "the Windows installer's size is out of range";
const char *const kNoSha = "the Windows installer has no valid SHA-256";

struct Case {
    const char *name;
    std::string json;
    const char *min_version;
    VerifyStatus status;
    std::string detail;
};

TEST(ReleaseManifest, SchemaTable) {
    const std::string g = good_manifest();
    const std::string v63 = "1.2.3-" + std::string(57, 'a');
    const std::string v64 = v63 + "a";
    const std::string name201(201, 'x');
    const Case cases[] = {
        {"valid", g, "1.0.0", VERIFY_OK, ""},
        {"members outside the schema ignored",
         with(with(g, "{\"v\":1", "{\"notes\":[1,{\"x\":null}],\"v\":1"), "\"size\"",
              "\"extra\":true,\"size\""),
         "1.0.0", VERIFY_OK, ""},
        {"self-signed file name", with(g, "1.4.2.exe", "1.4.2-SELFSIGNED.exe"), "1.0.0", VERIFY_OK, ""},
        {"63-character version", good_manifest(v63), "1.0.0", VERIFY_OK, ""},
        {"version equal to minimum", g, "1.4.2", VERIFY_OK, ""},
        {"20 artifacts", with_artifacts(artifacts_list(20)), "1.0.0", VERIFY_OK, ""},
        {"largest size", with(g, "73400320", "2147483648"), "1.0.0", VERIFY_OK, ""},
        {"size 1", with(g, "73400320", "1"), "1.0.0", VERIFY_OK, ""},
        {"duplicate member", with(g, "{\"v\":1", "{\"v\":1,\"v\":1"), "1.0.0", VERIFY_JSON,
         "the signed manifest is not strict JSON (duplicate-key)"},
        {"duplicate inside artifact", with(g, "\"arch\":\"x64\"", "\"arch\":\"x64\",\"arch\":\"x64\""),
         "1.0.0", VERIFY_JSON, "the signed manifest is not strict JSON (duplicate-key)"},
        {"syntax", g + ",", "1.0.0", VERIFY_JSON, "the signed manifest is not strict JSON (syntax)"},
        {"utf8", with(g, "stable", "st\xC0\xAF"), "1.0.0", VERIFY_JSON,
         "the signed manifest is not strict JSON (utf8)"},
        {"depth", std::string(17, '[') + std::string(17, ']'), "1.0.0", VERIFY_JSON,
         "the signed manifest is not strict JSON (depth)"},
        {"root is an array", "[" + g + "]", "1.0.0", VERIFY_SCHEMA, kNotV1},
        {"v is 1.0", with(g, "\"v\":1", "\"v\":1.0"), "1.0.0", VERIFY_SCHEMA, kNotV1},
        {"v is 1e0", with(g, "\"v\":1", "\"v\":1e0"), "1.0.0", VERIFY_SCHEMA, kNotV1},
        {"v is a string", with(g, "\"v\":1", "\"v\":\"1\""), "1.0.0", VERIFY_SCHEMA, kNotV1},
        {"v is 2", with(g, "\"v\":1", "\"v\":2"), "1.0.0", VERIFY_SCHEMA, kNotV1},
        {"v missing", with(g, "\"v\":1,", ""), "1.0.0", VERIFY_SCHEMA, kNotV1},
        {"product differs", with(g, "vornquill-ai", "Vornquill-ai"), "1.0.0", VERIFY_SCHEMA, kNotV1},
        {"product missing", with(g, "\"product\":\"vornquill-ai\",", ""), "1.0.0", VERIFY_SCHEMA,
         kNotV1},
        {"64-character version", good_manifest(v64), "1.0.0", VERIFY_SCHEMA, kNoVersion},
        {"version with v", with(g, "\"version\":\"1.4.2\"", "\"version\":\"v1.4.2\""), "1.0.0",
         VERIFY_SCHEMA, kNoVersion},
        {"version a number", with(g, "\"version\":\"1.4.2\"", "\"version\":142"), "1.0.0",
         VERIFY_SCHEMA, kNoVersion},
        {"version with zero byte", with(g, "\"version\":\"1.4.2\"", "\"version\":\"1.4.2\\u0000\""),
         "1.0.0", VERIFY_SCHEMA, kNoVersion},
        {"version missing", with(g, "\"version\":\"1.4.2\",", ""), "1.0.0", VERIFY_SCHEMA, kNoVersion},
        {"channel Stable", with(g, "\"stable\"", "\"Stable\""), "1.0.0", VERIFY_WRONG_CHANNEL,
         "release 1.4.2 is not on the stable channel"},
        {"channel before floor", with(g, "\"stable\"", "\"beta\""), "9.0.0", VERIFY_WRONG_CHANNEL,
         "release 1.4.2 is not on the stable channel"},
        {"channel a number", with(g, "\"stable\"", "1"), "1.0.0", VERIFY_SCHEMA, kNoChannel},
        {"channel missing", with(g, "\"channel\":\"stable\",", ""), "1.0.0", VERIFY_SCHEMA,
         kNoChannel},
        {"below minimum", g, "1.4.3", VERIFY_BELOW_FLOOR,
         "release 1.4.2 is older than this installer's minimum version"},
        {"pre-release below its release", good_manifest("1.0.0-rc.1"), "1.0.0", VERIFY_BELOW_FLOOR,
         "release 1.0.0-rc.1 is older than this installer's minimum version"},
        {"floor before artifacts", with_artifacts("null"), "2.0.0", VERIFY_BELOW_FLOOR,
         "release 1.4.2 is older than this installer's minimum version"},
        {"artifacts empty", with_artifacts("[]"), "1.0.0", VERIFY_SCHEMA, kNoList},
        {"21 artifacts", with_artifacts(artifacts_list(21)), "1.0.0", VERIFY_SCHEMA, kNoList},
        {"artifacts an object", with_artifacts(kInstaller), "1.0.0", VERIFY_SCHEMA, kNoList},
        {"artifacts missing", with(with_artifacts("0"), ",\"artifacts\":0", ""), "1.0.0",
         VERIFY_SCHEMA, kNoList},
        {"non-object after installer", with_artifacts("[" + kInstaller + ",5]"), "1.0.0",
         VERIFY_SCHEMA, kNotObject},
        {"non-object before installer", with_artifacts("[\"x\"," + kInstaller + "]"), "1.0.0",
         VERIFY_SCHEMA, kNotObject},
        {"no installer", with(g, "\"win32\"", "\"Win32\""), "1.0.0", VERIFY_NO_ARTIFACT,
         "release 1.4.2 has no Windows x64 installer"},
        {"kind differs", with(g, "\"windows-installer\"", "\"windows-msi\""), "1.0.0",
         VERIFY_NO_ARTIFACT, "release 1.4.2 has no Windows x64 installer"},
        {"arch not a string", with(g, "\"x64\"", "64"), "1.0.0", VERIFY_NO_ARTIFACT,
         "release 1.4.2 has no Windows x64 installer"},
        {"two installers", with_artifacts("[" + kInstaller + "," + kInstaller + "]"), "1.0.0",
         VERIFY_NO_ARTIFACT, "release 1.4.2 lists more than one Windows x64 installer"},
        {"file name missing", with(g, "\"fileName\":\"VornquillAI-Setup-x64-1.4.2.exe\",", ""),
         "1.0.0", VERIFY_FILE_NAME, kNoFileName},
        {"file name a number", with(g, "\"VornquillAI-Setup-x64-1.4.2.exe\"", "7"), "1.0.0",
         VERIFY_FILE_NAME, kNoFileName},
        {"file name of 201 bytes", with(g, "VornquillAI-Setup-x64-1.4.2.exe", name201), "1.0.0",
         VERIFY_FILE_NAME, kNoFileName},
        {"file name with zero byte", with(g, "1.4.2.exe", "1.4.2.exe\\u0000"), "1.0.0",
         VERIFY_FILE_NAME, kNoFileName},
        {"file name lower case", with(g, "VornquillAI-Setup-x64-1.4.2.exe",
                                      "vornquillai-setup-x64-1.4.2.exe"),
         "1.0.0", VERIFY_FILE_NAME,
         "the Windows installer's file name vornquillai-setup-x64-1.4.2.exe is not accepted"},
        {"file name of another version", with(g, "x64-1.4.2.exe", "x64-1.4.1.exe"), "1.0.0",
         VERIFY_FILE_NAME,
         "the Windows installer's file name VornquillAI-Setup-x64-1.4.1.exe is not accepted"},
        {"file name with a path", with(g, "\"VornquillAI", "\"..\\\\VornquillAI"), "1.0.0",
         VERIFY_FILE_NAME,
         "the Windows installer's file name ..\\VornquillAI-Setup-x64-1.4.2.exe is not accepted"},
        {"file name before size", with(with(g, "x64-1.4.2.exe", "x64-1.exe"), "73400320", "0"),
         "1.0.0", VERIFY_FILE_NAME,
         "the Windows installer's file name VornquillAI-Setup-x64-1.exe is not accepted"},
        {"size 2147483649", with(g, "73400320", "2147483649"), "1.0.0", VERIFY_TOO_LARGE, kSizeRange},
        {"size 0", with(g, "73400320", "0"), "1.0.0", VERIFY_TOO_LARGE, kSizeRange},
        {"size -5", with(g, "73400320", "-5"), "1.0.0", VERIFY_TOO_LARGE, kSizeRange},
        {"size 1024.0", with(g, "73400320", "1024.0"), "1.0.0", VERIFY_SCHEMA, kNoSize},
        {"size 1e3", with(g, "73400320", "1e3"), "1.0.0", VERIFY_SCHEMA, kNoSize},
        {"size a string", with(g, "73400320", "\"1024\""), "1.0.0", VERIFY_SCHEMA, kNoSize},
        {"size of 19 digits", with(g, "73400320", "1000000000000000000"), "1.0.0", VERIFY_SCHEMA,
         kNoSize},
        {"size missing", with(g, "\"size\":73400320,", ""), "1.0.0", VERIFY_SCHEMA, kNoSize},
        {"size before sha256", with(with(g, "73400320", "0"), "\"00ff", "\"00FF"), "1.0.0",
         VERIFY_TOO_LARGE, kSizeRange},
        {"sha256 upper case", with(g, "aabbccddee\"}", "AABBCCDDEE\"}"), "1.0.0", VERIFY_SCHEMA, kNoSha},
        {"sha256 of 63", with(g, "ddee\"}", "dde\"}"), "1.0.0", VERIFY_SCHEMA, kNoSha},
        {"sha256 of 65", with(g, "ddee\"}", "ddee0\"}"), "1.0.0", VERIFY_SCHEMA, kNoSha},
        {"sha256 with g", with(g, "ddee\"}", "ddeg\"}"), "1.0.0", VERIFY_SCHEMA, kNoSha},
        {"sha256 a number", with(g, "\"00ff112233445566778899aabbccddeeff00112233445566778899aabbccddee\"", "0"),
         "1.0.0", VERIFY_SCHEMA, kNoSha},
        {"sha256 missing", with(g, ",\"sha256\":\"00ff112233445566778899aabbccddeeff00112233445566778899aabbccddee\"", ""),
         "1.0.0", VERIFY_SCHEMA, kNoSha},
    };
    for (const Case &c : cases) {
        Outcome o = read(c.json, c.min_version);
        EXPECT_EQ(o.status, c.status) << c.name;
        EXPECT_EQ(o.detail, c.detail) << c.name;
        EXPECT_EQ(o.info.payload, nullptr) << c.name;
    }
}

TEST(ReleaseManifest, FieldsOfAValidManifest) {
    std::string json = with(good_manifest(),
                            "00ff112233445566778899aabbccddeeff00112233445566778899aabbccddee",
                            "00ff" + std::string(60, '0'));
    Outcome o = read(json);
    ASSERT_EQ(o.status, VERIFY_OK) << o.detail;
    EXPECT_STREQ(o.info.version, "1.4.2");
    EXPECT_STREQ(o.info.fileName, "VornquillAI-Setup-x64-1.4.2.exe");
    EXPECT_EQ(o.info.size, 73400320);
    EXPECT_EQ(std::string(o.info.sha256_hex), "00ff" + std::string(60, '0'));
    uint8_t expected[32] = {0x00, 0xFF};
    EXPECT_EQ(memcmp(o.info.sha256, expected, 32), 0);
    EXPECT_EQ(o.detail, "");

    Outcome mixed = read(good_manifest());
    const uint8_t digest[32] = {0x00, 0xff, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 0x11, 0x22, 0x33, 0x44,
                                0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    EXPECT_EQ(memcmp(mixed.info.sha256, digest, 32), 0);
}

TEST(ReleaseManifest, ChosenArtifactAmongOthers) {
    std::string other =
        "{\"platform\":\"win32\",\"arch\":\"arm64\",\"kind\":\"windows-installer\","
        "\"fileName\":\"other.exe\",\"size\":5,\"sha256\":\"zz\"}";
    Outcome o = read(with_artifacts("[" + other + "," + kInstaller + ",{}]"));
    ASSERT_EQ(o.status, VERIFY_OK) << o.detail;
    EXPECT_STREQ(o.info.fileName, "VornquillAI-Setup-x64-1.4.2.exe");
    EXPECT_EQ(o.info.size, 73400320);
}

TEST(ReleaseManifest, DetailIsCutToItsBuffer) {
    ReleaseInfo info;
    memset(&info, 0, sizeof info);
    std::string json = with(good_manifest(), "\"stable\"", "\"beta\"");
    char detail[12];
    memset(detail, '#', sizeof detail);
    EXPECT_EQ(manifest_read((const uint8_t *)json.data(), json.size(), "1.0.0", &info, detail, 10),
              VERIFY_WRONG_CHANNEL);
    EXPECT_STREQ(detail, "release 1");
    EXPECT_EQ(detail[10], '#');
    EXPECT_EQ(manifest_read((const uint8_t *)json.data(), json.size(), "1.0.0", &info, nullptr, 0),
              VERIFY_WRONG_CHANNEL);
}

TEST(ReleaseManifest, ReleaseFree) {
    ReleaseInfo info;
    memset(&info, 0, sizeof info);
    release_free(&info);  // nothing to free
    EXPECT_EQ(info.payload, nullptr);
    release_free(nullptr);
}

}  // namespace
