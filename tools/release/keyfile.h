// Key files of the release tool: reading, writing and the key id forms. Two
// roles, never interchangeable: a release key ("release-YYYYMMDD-xxxxxxxx")
// signs the manifest; a freshness key ("fresh-YYYYMMDD-xxxxxxxx") signs the
// short statement that binds a manifest to a time window.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "release/release.h"

#define KEYFILE_SECRET_KIND "vornquill-release-secret-key"
#define KEYFILE_PUBLIC_KIND "vornquill-release-public-key"
#define KEYFILE_FRESH_SECRET_KIND "vornquill-freshness-secret-key"
#define KEYFILE_FRESH_PUBLIC_KIND "vornquill-freshness-public-key"

// What a key signs.
enum KeyRole {
    KEY_ROLE_RELEASE = 0,    // the manifest (latest.txt's kid, payload, sig)
    KEY_ROLE_FRESHNESS = 1,  // the freshness statement (fresh, fresh_kid, fresh_sig)
};

struct KeyPair {
    char kid[65];
    uint8_t public_key[32];
    uint8_t seed[32];  // the secret half; zero when only the public half is known
    int has_secret;    // 1 when seed holds the secret half
    int role;          // a KeyRole
};

// The role whose key id form kid has: KEY_ROLE_RELEASE for
// release-YYYYMMDD-xxxxxxxx, KEY_ROLE_FRESHNESS for fresh-YYYYMMDD-xxxxxxxx
// (lower-case hex), -1 for anything else.
int keyfile_kid_role(const char *kid);

// 1 when kid has the key id form of either role.
int keyfile_kid_valid(const char *kid);

// "release" or "freshness".
const char *keyfile_role_word(int role);

// The key id form of a role, for messages: "release-YYYYMMDD-xxxxxxxx" or
// "fresh-YYYYMMDD-xxxxxxxx".
const char *keyfile_kid_form(int role);

// Names the pair of role pair->role: pair->kid becomes kid when given, else
// "<release|fresh>-<date>-<first 4 bytes of the public key's SHA-256, hex>".
// The caller checks the result with keyfile_kid_role.
void keyfile_name_kid(KeyPair *pair, const char *date, const char *kid);
// A new key pair of the role. kid: given (already of the role's form) or
// made from date (YYYYMMDD) and the first four bytes of the public key's
// SHA-256. Returns 0 or -1.
int keyfile_generate(int role, const char *date, const char *kid, KeyPair *pair, char *error,
                     size_t error_capacity);

// Writes a key pair to secret_path (mode 0600) and public_path (mode 0644)
// without writing into an existing file: each half goes to a new file beside
// its target and is flushed to disk; the public file is renamed into place
// first, the secret file last. Existing targets are replaced only when
// overwrite is 1 (their other links keep the old content). Returns 0, or -1
// with a message in error; on -1 the targets are as they were, except when a
// rename of the secret file fails after the public one was replaced: the
// message then names the file that holds the new secret.
int keyfile_write_pair(const char *secret_path, const char *public_path, const KeyPair *pair,
                       int overwrite, char *error, size_t error_capacity);

// Writes only the public half to public_path (mode 0644) the same way: a new
// file beside it, flushed, renamed into place, its folder flushed. Returns 0;
// -1 with a message and the target as it was; or -2 with a message when the
// new file is in place but its folder could not be flushed.
int keyfile_write_public(const char *public_path, const KeyPair *pair, int overwrite, char *error,
                         size_t error_capacity);

// Reads a secret or public key file of the role (a KeyRole): a key file of
// the other role is refused, naming what it is. need_secret 1 refuses a
// public file. A file holding a secret is refused when group or others have
// any access to it.
// Returns 0, or -1 with a message in error; on -1 no secret is left in pair,
// and the buffer the file was read into is wiped either way.
int keyfile_read(const char *path, int role, int need_secret, KeyPair *pair, char *error,
                 size_t error_capacity);

// Wipes the secret half.
void keyfile_wipe(KeyPair *pair);

// The build profile whose setup trusts the key id, in the table of its role
// (release keys or freshness keys): "test", "production", or null for a key
// of neither profile (a new key, or one made for a test).
const char *keyfile_profile_of_kid(const char *kid);

// The one-entry key table the verifier is given for a key.
TrustedKey keyfile_trusted_key(const KeyPair *pair);

// Moves temp to target; without overwrite an existing target is kept and
// the move fails with EEXIST. Where the file system has no rename that
// refuses an existing target (EINVAL, ENOSYS, ENOTSUP), a new link and the
// removal of the old name do the same: link never replaces anything.
// Returns 0, or -1 with errno set.
int keyfile_move_into_place(const char *temp, const char *target, int overwrite);

// The folder that holds path's last name ("." for a bare name, "/" for a
// name in the root). Returns 0, or -1 when it does not fit in folder (which
// then holds as much of it as fits).
int keyfile_parent_folder(const char *path, char *folder, size_t capacity);
