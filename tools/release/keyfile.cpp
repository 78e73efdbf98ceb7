// Key files of the release tool. Both are small texts of key=value lines:
//
//   # comment lines and blank lines are ignored
//   kind=vornquill-release-secret-key      (or vornquill-release-public-key)
//   kid=release-20261210-1a2b3c4d
//   public=<64 lower-case hex digits: the Ed25519 public key>
//   seed=<64 lower-case hex digits: the Ed25519 secret seed>   (secret file only)
//
// A secret file's seed must give its public key.
#include "tools/release/keyfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include "common/text.h"

namespace {

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

int hex_decode32(const char *text, size_t n, uint8_t out[32]) {
    if (n != 64) return -1;
    for (size_t i = 0; i < 64; i++) {
        if (!hex_digit(text[i])) return -1;
    }
    for (size_t i = 0; i < 32; i++) {
        char h = text[2 * i], l = text[2 * i + 1];
        int hv = h <= '9' ? h - '0' : h - 'a' + 10;
        int lv = l <= '9' ? l - '0' : l - 'a' + 10;
        out[i] = (uint8_t)(hv << 4 | lv);
    }
    return 0;
}

int write_text(const char *path, const char *text, mode_t mode, int overwrite, char *error,
               size_t cap) {
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
    if (!overwrite) flags |= O_EXCL;
    int fd = open(path, flags, mode);
    if (fd < 0) {
        if (errno == EEXIST) {
            format_narrow(error, cap, "%s already exists (use --force to replace it)", path);
        } else {
            format_narrow(error, cap, "cannot create %s: %s", path, strerror(errno));
        }
        return -1;
    }
    fchmod(fd, mode);
    size_t n = strlen(text);
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, text + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            format_narrow(error, cap, "cannot write %s: %s", path, strerror(errno));
            close(fd);
            unlink(path);
            return -1;
        }
        done += (size_t)w;
    }
    if (close(fd) != 0) {
        format_narrow(error, cap, "cannot write %s: %s", path, strerror(errno));
        unlink(path);
        return -1;
    }
    return 0;
}

}  // namespace

int keyfile_kid_valid(const char *kid) {
    // release-YYYYMMDD-xxxxxxxx
    if (kid == nullptr || strlen(kid) != 25) return 0;
    if (memcmp(kid, "release-", 8) != 0 || kid[16] != '-') return 0;
    for (int i = 8; i < 16; i++) {
        if (kid[i] < '0' || kid[i] > '9') return 0;
    }
    for (int i = 17; i < 25; i++) {
        if (!hex_digit(kid[i])) return 0;
    }
    return 1;
}

int keyfile_generate(const char *date, const char *kid, KeyPair *pair, char *error,
                     size_t error_capacity) {
    memset(pair, 0, sizeof *pair);
    if (sodium_init() < 0) {
        format_narrow(error, error_capacity, "the crypto library cannot start");
        return -1;
    }
    uint8_t secret[64];
    randombytes_buf(pair->seed, sizeof pair->seed);
    crypto_sign_seed_keypair(pair->public_key, secret, pair->seed);
    sodium_memzero(secret, sizeof secret);
    pair->has_secret = 1;
    if (kid != nullptr) {
        format_narrow(pair->kid, sizeof pair->kid, "%s", kid);
    } else {
        uint8_t digest[32];
        char hex[65];
        crypto_hash_sha256(digest, pair->public_key, sizeof pair->public_key);
        hex_encode(digest, 4, hex);
        format_narrow(pair->kid, sizeof pair->kid, "release-%s-%s", date, hex);
    }
    if (!keyfile_kid_valid(pair->kid)) {
        format_narrow(error, error_capacity, "key id %s is not of the form release-YYYYMMDD-xxxxxxxx",
                      pair->kid);
        keyfile_wipe(pair);
        return -1;
    }
    return 0;
}

int keyfile_write_secret(const char *path, const KeyPair *pair, int overwrite, char *error,
                         size_t error_capacity) {
    char pub[65], seed[65], text[512];
    hex_encode(pair->public_key, 32, pub);
    hex_encode(pair->seed, 32, seed);
    format_narrow(text, sizeof text,
                  "# Vornquill AI release-signing key: SECRET half. Keep it offline.\n"
                  "kind=" KEYFILE_SECRET_KIND "\nkid=%s\npublic=%s\nseed=%s\n",
                  pair->kid, pub, seed);
    int result = write_text(path, text, 0600, overwrite, error, error_capacity);
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(text, sizeof text);
    return result;
}

int keyfile_write_public(const char *path, const KeyPair *pair, int overwrite, char *error,
                         size_t error_capacity) {
    char pub[65], text[512];
    hex_encode(pair->public_key, 32, pub);
    format_narrow(text, sizeof text,
                  "# Vornquill AI release-signing key: public half.\n"
                  "kind=" KEYFILE_PUBLIC_KIND "\nkid=%s\npublic=%s\n",
                  pair->kid, pub);
    return write_text(path, text, 0644, overwrite, error, error_capacity);
}

int keyfile_read(const char *path, int need_secret, KeyPair *pair, char *error,
                 size_t error_capacity) {
    memset(pair, 0, sizeof *pair);
    if (sodium_init() < 0) {
        format_narrow(error, error_capacity, "the crypto library cannot start");
        return -1;
    }
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        format_narrow(error, error_capacity, "cannot open key file %s: %s", path, strerror(errno));
        return -1;
    }
    char text[2048];
    size_t n = fread(text, 1, sizeof text - 1, f);
    bool too_long = n == sizeof text - 1 && fgetc(f) != EOF;
    fclose(f);
    if (too_long) {
        format_narrow(error, error_capacity, "key file %s is too long to be a key file", path);
        return -1;
    }
    text[n] = 0;

    int kind = 0;  // 1 secret, 2 public
    bool have_kid = false, have_public = false, have_seed = false;
    int result = -1;
    char *line = text;
    while (line != nullptr && *line != 0) {
        char *next = strchr(line, '\n');
        if (next != nullptr) *next++ = 0;
        size_t len = strlen(line);
        if (len > 0 && line[len - 1] == '\r') line[--len] = 0;
        if (len == 0 || line[0] == '#') {
            line = next;
            continue;
        }
        char *eq = strchr(line, '=');
        if (eq == nullptr) {
            format_narrow(error, error_capacity, "key file %s has a line that is not key=value", path);
            goto done;
        }
        *eq = 0;
        const char *value = eq + 1;
        if (strcmp(line, "kind") == 0) {
            if (strcmp(value, KEYFILE_SECRET_KIND) == 0) {
                kind = 1;
            } else if (strcmp(value, KEYFILE_PUBLIC_KIND) == 0) {
                kind = 2;
            } else {
                format_narrow(error, error_capacity, "key file %s is of unknown kind %s", path, value);
                goto done;
            }
        } else if (strcmp(line, "kid") == 0) {
            if (!keyfile_kid_valid(value)) {
                format_narrow(error, error_capacity,
                              "key file %s has a key id that is not of the form "
                              "release-YYYYMMDD-xxxxxxxx", path);
                goto done;
            }
            format_narrow(pair->kid, sizeof pair->kid, "%s", value);
            have_kid = true;
        } else if (strcmp(line, "public") == 0) {
            if (hex_decode32(value, strlen(value), pair->public_key) != 0) {
                format_narrow(error, error_capacity,
                              "key file %s has a public key that is not 64 hex digits", path);
                goto done;
            }
            have_public = true;
        } else if (strcmp(line, "seed") == 0) {
            if (hex_decode32(value, strlen(value), pair->seed) != 0) {
                format_narrow(error, error_capacity,
                              "key file %s has a seed that is not 64 hex digits", path);
                goto done;
            }
            have_seed = true;
        } else {
            format_narrow(error, error_capacity, "key file %s has an unknown line %s", path, line);
            goto done;
        }
        line = next;
    }
    if (kind == 0 || !have_kid || !have_public || (kind == 1 && !have_seed) ||
        (kind == 2 && have_seed)) {
        format_narrow(error, error_capacity, "%s is not a release key file (kind, kid, public%s)",
                      path, kind == 1 ? ", seed" : "");
        goto done;
    }
    if (need_secret && kind != 1) {
        format_narrow(error, error_capacity, "%s holds only a public key; a secret key is needed",
                      path);
        goto done;
    }
    if (kind == 1) {
        uint8_t pk[32], sk[64];
        crypto_sign_seed_keypair(pk, sk, pair->seed);
        sodium_memzero(sk, sizeof sk);
        if (memcmp(pk, pair->public_key, 32) != 0) {
            format_narrow(error, error_capacity,
                          "key file %s is inconsistent: its seed does not give its public key", path);
            goto done;
        }
        pair->has_secret = 1;
    }
    result = 0;
done:
    sodium_memzero(text, sizeof text);
    if (result != 0) keyfile_wipe(pair);
    return result;
}

void keyfile_wipe(KeyPair *pair) {
    sodium_memzero(pair->seed, sizeof pair->seed);
    pair->has_secret = 0;
}

TrustedKey keyfile_trusted_key(const KeyPair *pair) {
    TrustedKey trusted;
    memset(&trusted, 0, sizeof trusted);
    format_narrow(trusted.key_id, sizeof trusted.key_id, "%s", pair->kid);
    memcpy(trusted.public_key, pair->public_key, sizeof trusted.public_key);
    return trusted;
}
