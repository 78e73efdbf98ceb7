// The key that signs for a command: a secret key file or a key in a PKCS #11
// token, and the latest.txt envelope it signs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tools/release/keyfile.h"
#include "tools/release/token.h"

// The key a release or a freshness statement is signed with: a secret key file, or a key in a
// PKCS #11 token. key holds the kid and the public key either way, and the
// seed only for a file.
struct Signer {
    KeyPair key;
    TokenKey token;
    int from_token;
};

// Opens the key named by key_name (a key file, or a PKCS #11 URI with the
// --module and --pin-file options), which must be a key of the role (a
// KeyRole): a key of the other role is refused. Returns 0, or -1 with
// tool_error_text; the caller calls signer_close either way.
int signer_open(const char *key_name, int role, const char *module, const char *pin_file,
                Signer *signer);

// A freshness statement counts only where its key is trusted beside the
// release key: 0 when both keys belong to the same profile (or either to
// none the tool knows), -1 with tool_error_text when the freshness key is
// the other profile's.
int signer_profiles_match(const char *release_kid, const char *fresh_kid);

// Signs data. Returns 0, or -1 with tool_error_text.
int signer_sign(Signer *signer, const uint8_t *data, size_t n, uint8_t signature[64]);

// Closes the token and wipes the secret.
void signer_close(Signer *signer);

// Signs manifest bytes into envelope text: kid, payload, sig lines. The
// caller frees the result with heap_free; null with tool_error_text on failure.
char *signer_make_envelope(Signer *signer, const uint8_t *manifest, size_t n, size_t *length);
