// Test helpers: sign release manifests with the test release key (its secret
// half lives in tests/release/keys/) or with throwaway keys, and build
// latest.txt envelopes from the result. Header-only, for the native tests,
// the fuzz targets and the benchmarks.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <sodium.h>

namespace release_test {

// The base64url alphabet in value order: the character of value v is at v.
const std::string base64url_alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

inline std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> out(hex.size() / 2);
    if (out.empty()) return out;
    size_t n = 0;
    if (sodium_hex2bin(out.data(), out.size(), hex.data(), hex.size(), nullptr, &n, nullptr) != 0) {
        out.clear();
        return out;
    }
    out.resize(n);
    return out;
}

inline std::string base64url(const uint8_t *data, size_t n) {
    std::string text(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
    sodium_bin2base64(&text[0], text.size(), data, n, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    text.resize(strlen(text.c_str()));
    return text;
}

inline std::string base64url(const std::string &bytes) {
    return base64url((const uint8_t *)bytes.data(), bytes.size());
}

inline std::string read_text_file(const std::string &path) {
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    fclose(f);
    return text;
}

// The value of a key=value line of a key file, or "".
inline std::string key_file_value(const std::string &text, const std::string &key) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
        pos = end + 1;
    }
    return "";
}

struct SigningKey {
    std::string kid;
    uint8_t public_key[32];
    uint8_t secret_key[64];
    bool loaded;
};

inline SigningKey make_key(const std::string &kid, const uint8_t seed[32]) {
    SigningKey key;
    key.kid = kid;
    crypto_sign_seed_keypair(key.public_key, key.secret_key, seed);
    key.loaded = true;
    return key;
}

// A secret key file of the repository (relative: its path below the
// source folder), as a signing key; not loaded when it cannot be read.
inline SigningKey key_from_file(const char *relative) {
    SigningKey key = {};
    const char *root = getenv("VQ_SOURCE_DIR");
#ifdef VQ_SOURCE_DIR
    if (root == nullptr) root = VQ_SOURCE_DIR;
#endif
    if (root == nullptr || sodium_init() < 0) return key;
    std::string text = read_text_file(std::string(root) + "/" + relative);
    std::vector<uint8_t> seed = from_hex(key_file_value(text, "seed"));
    if (seed.size() != 32) return key;
    return make_key(key_file_value(text, "kid"), seed.data());
}

// The test release key, from tests/release/keys/test-release.secret.
inline SigningKey test_key() { return key_from_file("tests/release/keys/test-release.secret"); }

// The test freshness key, from tests/release/keys/test-freshness.secret.
inline SigningKey test_fresh_key() {
    return key_from_file("tests/release/keys/test-freshness.secret");
}

inline std::string sign_raw(const SigningKey &key, const std::string &message) {
    uint8_t sig[64];
    crypto_sign_detached(sig, nullptr, (const uint8_t *)message.data(), message.size(),
                         key.secret_key);
    return std::string((const char *)sig, 64);
}

inline std::string envelope_text(const std::string &kid, const std::string &payload_text,
                                 const std::string &sig_text) {
    return "kid=" + kid + "\npayload=" + payload_text + "\nsig=" + sig_text + "\n";
}

// The three freshness lines as the release tool writes them.
inline std::string fresh_text(const std::string &fresh, const std::string &kid,
                              const std::string &sig) {
    return "fresh=" + fresh + "\nfresh_kid=" + kid + "\nfresh_sig=" + sig + "\n";
}

// The freshness lines for the statement bytes, signed by key under kid.
inline std::string signed_fresh(const SigningKey &key, const std::string &statement,
                                const std::string &kid) {
    return fresh_text(base64url(statement), kid, base64url(sign_raw(key, statement)));
}

// latest.txt for manifest, signed by key.
inline std::string signed_envelope(const SigningKey &key, const std::string &manifest) {
    return envelope_text(key.kid, base64url(manifest), base64url(sign_raw(key, manifest)));
}

// A manifest that passes every test; parts can be replaced by the caller.
inline std::string good_manifest(const std::string &version = "1.4.2") {
    return "{\"v\":1,\"product\":\"vornquill-ai\",\"version\":\"" + version +
           "\",\"channel\":\"stable\",\"artifacts\":[{\"platform\":\"win32\",\"arch\":\"x64\","
           "\"kind\":\"windows-installer\",\"fileName\":\"VornquillAI-Setup-x64-" + version +
           ".exe\",\"size\":73400320,\"sha256\":"
           "\"00ff112233445566778899aabbccddeeff00112233445566778899aabbccddee\"}]}";
}

}  // namespace release_test
