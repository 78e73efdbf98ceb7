// The key that signs for a command: a secret key file or a key in a PKCS #11
// token, and the latest.txt envelope it signs.
#include "tools/release/signer.h"

#include <stdio.h>
#include <string.h>

#include <sodium.h>

#include "common/memory.h"
#include "common/text.h"
#include "tools/release/command.h"

int signer_open(const char *key_name, int role, const char *module, const char *pin_file,
                Signer *signer) {
    memset(signer, 0, sizeof *signer);
    if (!token_is_uri(key_name)) {
        if (module != nullptr || pin_file != nullptr) {
            format_narrow(
                tool_error_text, sizeof tool_error_text,
                "--module and --pin-file belong to a key in a PKCS #11 token (pkcs11:...), "
                "not to the key file %s",
                key_name);
            return -1;
        }
        return keyfile_read(key_name, role, 1, &signer->key, tool_error_text,
                            sizeof tool_error_text);
    }
    TokenKeyName name;
    if (token_parse_name(key_name, module, pin_file, &name, tool_error_text,
                         sizeof tool_error_text) != 0 ||
        token_open(&name, &signer->token, tool_error_text, sizeof tool_error_text) != 0) {
        return -1;
    }
    signer->from_token = 1;
    format_narrow(signer->key.kid, sizeof signer->key.kid, "%s", signer->token.kid);
    memcpy(signer->key.public_key, signer->token.public_key, 32);
    signer->key.role = keyfile_kid_role(signer->token.kid);
    if (signer->key.role != role) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "the key \"%s\" in token \"%s\" is a %s key (%s), but a %s key is needed "
                      "here%s",
                      name.object, name.token, keyfile_role_word(signer->key.role),
                      signer->token.kid, keyfile_role_word(role),
                      role == KEY_ROLE_FRESHNESS
                          ? " (make one with vornquill-release keygen --freshness)"
                          : "");
        return -1;
    }
    return 0;
}

int signer_sign(Signer *signer, const uint8_t *data, size_t n, uint8_t signature[64]) {
    if (signer->from_token) {
        return token_sign(&signer->token, data, n, signature, tool_error_text,
                          sizeof tool_error_text);
    }
    uint8_t pk[32], sk[64];
    crypto_sign_seed_keypair(pk, sk, signer->key.seed);
    crypto_sign_detached(signature, nullptr, data, n, sk);
    sodium_memzero(sk, sizeof sk);
    return 0;
}

void signer_close(Signer *signer) {
    if (signer->from_token) token_close(&signer->token);
    keyfile_wipe(&signer->key);
    signer->from_token = 0;
}

// Signs manifest bytes into envelope text: kid, payload, sig lines. The
// caller frees the result with heap_free; null with tool_error_text on failure.
char *signer_make_envelope(Signer *signer, const uint8_t *manifest, size_t n, size_t *length) {
    const KeyPair *key = &signer->key;
    uint8_t signature[64];
    if (signer_sign(signer, manifest, n, signature) != 0) return nullptr;
    char *payload = tool_base64url_encode(manifest, n);
    char *sig = tool_base64url_encode(signature, sizeof signature);
    char *text = nullptr;
    if (payload != nullptr && sig != nullptr) {
        size_t size = strlen(key->kid) + strlen(payload) + strlen(sig) + 32;
        text = (char *)heap_alloc(size);
        if (text != nullptr) {
            *length = (size_t)snprintf(text, size, "kid=%s\npayload=%s\nsig=%s\n", key->kid,
                                       payload, sig);
        }
    }
    heap_free(payload);
    heap_free(sig);
    if (text == nullptr) format_narrow(tool_error_text, sizeof tool_error_text, "out of memory");
    return text;
}

int signer_profiles_match(const char *release_kid, const char *fresh_kid) {
    const char *key_profile = keyfile_profile_of_kid(release_kid);
    const char *fresh_profile = keyfile_profile_of_kid(fresh_kid);
    if (key_profile == nullptr || fresh_profile == nullptr ||
        strcmp(key_profile, fresh_profile) == 0) {
        return 0;
    }
    format_narrow(tool_error_text, sizeof tool_error_text,
                  "freshness key %s is the %s profile's, but release key %s is the %s profile's: "
                  "every setup would refuse the statement; give the %s profile's freshness key",
                  fresh_kid, fresh_profile, release_kid, key_profile, key_profile);
    return -1;
}
