// Release keys in a PKCS #11 token (a hardware security module, a cloud key
// service or a software token): the key pair is made inside the token and
// its private half never leaves it; the token signs with CKM_EDDSA.
//
// A key is named by a PKCS #11 URI:
//   pkcs11:token=<token label>;object=<key label>[?module-path=<module>]
// (percent-encoding allowed in the values). The module (a shared library)
// comes from the URI's module-path or from the caller's option, and is loaded
// at run time. The PIN comes from a file (the URI's pin-source=file:... or
// the caller's option) or from the environment variable TOKEN_PIN_VARIABLE;
// a pin-value in the URI is refused, as it would sit on the command line.
// The key id (a release key's "release-YYYYMMDD-xxxxxxxx" or a freshness
// key's "fresh-YYYYMMDD-xxxxxxxx") is kept in both objects' CKA_ID.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tools/release/keyfile.h"

#define TOKEN_PIN_VARIABLE "VORNQUILL_PKCS11_PIN"

enum { TOKEN_FIELD_CAPACITY = 256 };

// Where a key is and how to reach it; the caller's options fill in what the
// URI leaves out.
struct TokenKeyName {
    char token[TOKEN_FIELD_CAPACITY];        // CKA_LABEL of the token
    char object[TOKEN_FIELD_CAPACITY];       // CKA_LABEL of the key objects
    char module_path[TOKEN_FIELD_CAPACITY];  // "" when not given
    char pin_file[TOKEN_FIELD_CAPACITY];     // "" when not given
};

// An open session with a logged-in token and the key found in it.
struct TokenKey {
    void *module;              // dlopen handle, or null
    void *functions;           // CK_FUNCTION_LIST_PTR
    unsigned long session;     // CK_SESSION_HANDLE, 0 when none
    int initialized;           // C_Initialize succeeded
    unsigned long private_key; // CK_OBJECT_HANDLE
    char kid[65];
    uint8_t public_key[32];
};

// 1 when text is a PKCS #11 URI (begins with "pkcs11:").
int token_is_uri(const char *text);

// Parses a URI and applies the options (module and pin_file may be null; an
// option given both ways must agree). Returns 0, or -1 with a message.
int token_parse_name(const char *uri, const char *module, const char *pin_file, TokenKeyName *name,
                     char *error, size_t error_capacity);

// Makes an Ed25519 key pair in the token under the object label, with key id
// kid (made from date and the public key when kid is null), the private half
// sensitive, not extractable and able to sign only (not decrypt, unwrap or
// derive), and writes the public key file (keyfile_write_public). Refuses
// when the token already holds an object of that label. On success pair
// holds the kid and public key (no secret).
// Returns 0, or -1 with a message; on -1 the token and the public file are
// as they were (a pair made before the public file failed is destroyed, and
// the message says so when the token cannot destroy it), except when the
// public file is in place but its folder could not be flushed: then the
// pair stays in the token beside it, and the message says so.
int token_generate(const TokenKeyName *name, int role, const char *date, const char *kid,
                   const char *public_path, int overwrite, KeyPair *pair, char *error,
                   size_t error_capacity);

// Opens the token, logs in and finds the key: an Ed25519 private key of the
// object label with its public half and a release or freshness key id, that
// may sign and nothing else (not decrypt, unwrap or derive), and is sensitive
// and not extractable and has always been (CKA_ALWAYS_SENSITIVE,
// CKA_NEVER_EXTRACTABLE); a key the token did not make itself (CKA_LOCAL
// false) is told on standard error. Returns 0, or -1 with a message naming
// every rule the key breaks (nothing is left open on -1).
int token_open(const TokenKeyName *name, TokenKey *key, char *error, size_t error_capacity);

// Signs data with the token's key and checks the signature with the public
// half. Returns 0, or -1 with a message.
int token_sign(TokenKey *key, const uint8_t *data, size_t n, uint8_t signature[64], char *error,
               size_t error_capacity);

// Logs out, closes the session and unloads the module.
void token_close(TokenKey *key);

// ---- keys of other signers (Authenticode code signing) --------------------

// The public half of a token's key of any type, as the token gives it.
struct TokenPublicKey {
    unsigned long key_type;   // CKK_RSA (0), CKK_EC (3), ...
    uint8_t modulus[1024];    // RSA
    size_t modulus_length;
    uint8_t exponent[16];
    size_t exponent_length;
    uint8_t ec_point[256];    // EC: CKA_EC_POINT of the public key object
    size_t ec_point_length;
};

// Logs in and finds exactly one private key of the object label that may sign,
// of any type, held as token_open requires (sign only, sensitive and never
// extractable; CKA_LOCAL false told), and reads its public half (RSA: from the private key object; EC:
// from the public key object of that label). For a signer outside this tool
// that then opens the key itself, and so also gets the user PIN it logged in
// with (read as token_open reads it: the name's PIN file, else the
// environment variable) in pin, when pin is not null; the caller wipes it.
// Returns 0, or -1 with a message and pin wiped; nothing is left open either
// way.
int token_read_signing_key(const TokenKeyName *name, TokenPublicKey *key, char *pin,
                           size_t pin_capacity, char *error, size_t error_capacity);
