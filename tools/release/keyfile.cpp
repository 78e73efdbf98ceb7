// Key files of the release tool. Both are small texts of key=value lines:
//
//   # comment lines and blank lines are ignored
//   kind=vornquill-release-secret-key      (or vornquill-release-public-key;
//                                           a freshness key: vornquill-freshness-...)
//   kid=release-20261210-1a2b3c4d          (a freshness key: fresh-20261210-...)
//   public=<64 lower-case hex digits: the Ed25519 public key>
//   seed=<64 lower-case hex digits: the Ed25519 secret seed>   (secret file only)
//
// A secret file's seed must give its public key.
#include "tools/release/keyfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include "common/text.h"
#include "release/freshness_keys.inc"
#include "release/release_keys.inc"

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

// Writes text to a new file beside target ("<target>.tmp-XXXXXX"), gives it
// mode and flushes it to disk. The new file's name goes to temp. Nothing is
// written into an existing file, so a second link of the target keeps its
// content. Returns 0, or -1 with a message (and no new file left behind).
int write_new_file(const char *target, const char *text, mode_t mode, char *temp,
                   size_t temp_capacity, char *error, size_t cap) {
    if (format_narrow(temp, temp_capacity, "%s.tmp-XXXXXX", target) < 0) {
        format_narrow(error, cap, "path %s is too long", target);
        return -1;
    }
    int fd = mkstemp(temp);  // created owner-only (0600)
    if (fd < 0) {
        format_narrow(error, cap, "cannot create a new file beside %s: %s", target, strerror(errno));
        temp[0] = 0;
        return -1;
    }
    int result = -1;
    struct stat st;
    memset(&st, 0, sizeof st);
    size_t n = strlen(text);
    size_t done = 0;
    if (fchmod(fd, mode) != 0) {
        format_narrow(error, cap, "cannot set the mode of %s to %04o: %s", temp, (unsigned)mode,
                      strerror(errno));
        goto done;
    }
    // Some file systems accept a mode change and keep their own mode.
    if (fstat(fd, &st) != 0 || (st.st_mode & 07777) != mode) {
        format_narrow(error, cap, "cannot give %s the mode %04o: it has mode %04o", temp,
                      (unsigned)mode, (unsigned)(st.st_mode & 07777));
        goto done;
    }
    while (done < n) {
        ssize_t w = write(fd, text + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            format_narrow(error, cap, "cannot write %s: %s", temp, w < 0 ? strerror(errno) : "no progress");
            goto done;
        }
        done += (size_t)w;
    }
    if (fsync(fd) != 0) {
        format_narrow(error, cap, "cannot write %s to disk: %s", temp, strerror(errno));
        goto done;
    }
    result = 0;
done:
    if (close(fd) != 0 && result == 0) {
        format_narrow(error, cap, "cannot write %s: %s", temp, strerror(errno));
        result = -1;
    }
    if (result != 0) {
        unlink(temp);
        temp[0] = 0;
    }
    return result;
}

// 1 when two paths name one directory entry (the same last name in the same
// folder, however the folders are reached) or reach one existing file.
int same_target(const char *a, const char *b) {
    struct stat sa, sb;
    if (stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) {
        return 1;
    }
    const char *name_a = strrchr(a, '/');
    const char *name_b = strrchr(b, '/');
    name_a = name_a != nullptr ? name_a + 1 : a;
    name_b = name_b != nullptr ? name_b + 1 : b;
    if (strcmp(name_a, name_b) != 0) return 0;
    char folder_a[PATH_MAX], folder_b[PATH_MAX];
    if (keyfile_parent_folder(a, folder_a, sizeof folder_a) != 0 ||
        keyfile_parent_folder(b, folder_b, sizeof folder_b) != 0) {
        return 0;
    }
    return stat(folder_a, &sa) == 0 && stat(folder_b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Flushes the folder holding path to disk, so that its new names survive a
// crash. Returns 0, or -1 with a message.
int flush_folder_of(const char *path, char *error, size_t cap) {
    char folder[PATH_MAX];
    if (keyfile_parent_folder(path, folder, sizeof folder) != 0) {
        format_narrow(error, cap, "path %s is too long", path);
        return -1;
    }
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        format_narrow(error, cap, "the new key files are in place, but the folder %s could not be "
                      "flushed to disk: %s", folder, strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

void move_error(const char *target, int error_number, char *error, size_t cap) {
    if (error_number == EEXIST) {
        format_narrow(error, cap, "%s already exists (use --force to replace it)", target);
    } else {
        format_narrow(error, cap, "cannot put the new key file in place at %s: %s", target,
                      strerror(error_number));
    }
}

// The kind word of a key file of the role, secret or public.
const char *kind_of(int role, int secret) {
    if (role == KEY_ROLE_FRESHNESS) return secret ? KEYFILE_FRESH_SECRET_KIND : KEYFILE_FRESH_PUBLIC_KIND;
    return secret ? KEYFILE_SECRET_KIND : KEYFILE_PUBLIC_KIND;
}

void public_file_text(const KeyPair *pair, char *text, size_t capacity) {
    char pub[65];
    hex_encode(pair->public_key, 32, pub);
    format_narrow(text, capacity, "# Vornquill AI %s-signing key: public half.\nkind=%s\nkid=%s\npublic=%s\n",
                  keyfile_role_word(pair->role), kind_of(pair->role, 0), pair->kid, pub);
}

// 1 when kid is prefix, eight digits, '-' and eight lower-case hex digits.
int kid_has_form(const char *kid, const char *prefix) {
    size_t p = strlen(prefix);
    if (kid == nullptr || strlen(kid) != p + 17 || memcmp(kid, prefix, p) != 0 || kid[p + 8] != '-') {
        return 0;
    }
    for (size_t i = p; i < p + 8; i++) {
        if (kid[i] < '0' || kid[i] > '9') return 0;
    }
    for (size_t i = p + 9; i < p + 17; i++) {
        if (!hex_digit(kid[i])) return 0;
    }
    return 1;
}

}  // namespace

int keyfile_move_into_place(const char *temp, const char *target, int overwrite) {
    if (overwrite) return rename(temp, target);
    if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    if (link(temp, target) != 0) return -1;
    unlink(temp);
    return 0;
}

int keyfile_parent_folder(const char *path, char *folder, size_t capacity) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) return format_narrow(folder, capacity, ".") < 0 ? -1 : 0;
    if (slash == path) return format_narrow(folder, capacity, "/") < 0 ? -1 : 0;
    return format_narrow(folder, capacity, "%.*s", (int)(slash - path), path) < 0 ? -1 : 0;
}

int keyfile_write_public(const char *public_path, const KeyPair *pair, int overwrite, char *error,
                         size_t error_capacity) {
    char text[512], temp[PATH_MAX];
    public_file_text(pair, text, sizeof text);
    if (write_new_file(public_path, text, 0644, temp, sizeof temp, error, error_capacity) != 0) {
        return -1;
    }
    if (keyfile_move_into_place(temp, public_path, overwrite) != 0) {
        move_error(public_path, errno, error, error_capacity);
        unlink(temp);
        return -1;
    }
    return flush_folder_of(public_path, error, error_capacity) == 0 ? 0 : -2;
}

int keyfile_kid_role(const char *kid) {
    if (kid_has_form(kid, "release-")) return KEY_ROLE_RELEASE;
    if (kid_has_form(kid, "fresh-")) return KEY_ROLE_FRESHNESS;
    return -1;
}

int keyfile_kid_valid(const char *kid) { return keyfile_kid_role(kid) >= 0; }

const char *keyfile_role_word(int role) {
    return role == KEY_ROLE_FRESHNESS ? "freshness" : "release";
}

const char *keyfile_kid_form(int role) {
    return role == KEY_ROLE_FRESHNESS ? "fresh-YYYYMMDD-xxxxxxxx" : "release-YYYYMMDD-xxxxxxxx";
}

void keyfile_name_kid(KeyPair *pair, const char *date, const char *kid) {
    if (kid != nullptr) {
        format_narrow(pair->kid, sizeof pair->kid, "%s", kid);
        return;
    }
    uint8_t digest[32];
    char hex[65];
    crypto_hash_sha256(digest, pair->public_key, sizeof pair->public_key);
    hex_encode(digest, 4, hex);
    format_narrow(pair->kid, sizeof pair->kid, "%s-%s-%s",
                  pair->role == KEY_ROLE_FRESHNESS ? "fresh" : "release", date, hex);
}

int keyfile_generate(int role, const char *date, const char *kid, KeyPair *pair, char *error,
                     size_t error_capacity) {
    memset(pair, 0, sizeof *pair);
    pair->role = role;
    if (sodium_init() < 0) {
        format_narrow(error, error_capacity, "the crypto library cannot start");
        return -1;
    }
    uint8_t secret[64];
    randombytes_buf(pair->seed, sizeof pair->seed);
    crypto_sign_seed_keypair(pair->public_key, secret, pair->seed);
    sodium_memzero(secret, sizeof secret);
    pair->has_secret = 1;
    keyfile_name_kid(pair, date, kid);
    if (keyfile_kid_role(pair->kid) != role) {
        format_narrow(error, error_capacity, "key id %s is not of the form %s", pair->kid,
                      keyfile_kid_form(role));
        keyfile_wipe(pair);
        return -1;
    }
    return 0;
}

int keyfile_write_pair(const char *secret_path, const char *public_path, const KeyPair *pair,
                       int overwrite, char *error, size_t error_capacity) {
    char pub[65], seed[65], secret_text[512], public_text[512];
    char secret_temp[PATH_MAX], public_temp[PATH_MAX];
    secret_temp[0] = 0;
    public_temp[0] = 0;
    int result = -1;
    if (same_target(secret_path, public_path)) {
        format_narrow(error, error_capacity,
                      "%s and %s are one file; the secret and the public key need two", secret_path,
                      public_path);
        return -1;
    }
    hex_encode(pair->public_key, 32, pub);
    hex_encode(pair->seed, 32, seed);
    format_narrow(secret_text, sizeof secret_text,
                  "# Vornquill AI %s-signing key: SECRET half. %s\nkind=%s\nkid=%s\npublic=%s\nseed=%s\n",
                  keyfile_role_word(pair->role),
                  pair->role == KEY_ROLE_FRESHNESS ? "Keep it on the publishing host only."
                                                   : "Keep it offline.",
                  kind_of(pair->role, 1), pair->kid, pub, seed);
    public_file_text(pair, public_text, sizeof public_text);

    // Both halves are complete on disk before either target changes.
    if (write_new_file(secret_path, secret_text, 0600, secret_temp, sizeof secret_temp, error,
                       error_capacity) != 0) {
        goto done;
    }
    if (write_new_file(public_path, public_text, 0644, public_temp, sizeof public_temp, error,
                       error_capacity) != 0) {
        goto done;
    }
    if (keyfile_move_into_place(public_temp, public_path, overwrite) != 0) {
        move_error(public_path, errno, error, error_capacity);
        goto done;
    }
    public_temp[0] = 0;
    if (keyfile_move_into_place(secret_temp, secret_path, overwrite) != 0) {
        int move_errno = errno;
        if (!overwrite) {
            // The public file is new and nothing else knows its key: take it
            // back, and the folder is as it was.
            unlink(public_path);
            move_error(secret_path, move_errno, error, error_capacity);
            goto done;
        }
        // The public file already names the new key: keep its secret half
        // where it is and say so, rather than lose it.
        format_narrow(error, error_capacity,
                      "cannot put the new secret key in place at %s: %s; %s already holds the "
                      "new public key, and its secret half is in %s",
                      secret_path, strerror(move_errno), public_path, secret_temp);
        secret_temp[0] = 0;
        goto done;
    }
    secret_temp[0] = 0;
    if (flush_folder_of(public_path, error, error_capacity) != 0 ||
        flush_folder_of(secret_path, error, error_capacity) != 0) {
        goto done;
    }
    result = 0;
done:
    if (secret_temp[0] != 0) unlink(secret_temp);
    if (public_temp[0] != 0) unlink(public_temp);
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(secret_text, sizeof secret_text);
    return result;
}

int keyfile_read(const char *path, int role, int need_secret, KeyPair *pair, char *error,
                 size_t error_capacity) {
    memset(pair, 0, sizeof *pair);
    if (sodium_init() < 0) {
        format_narrow(error, error_capacity, "the crypto library cannot start");
        return -1;
    }
    // Read with plain system calls into one buffer that is wiped afterwards:
    // a stdio buffer would keep a copy of the secret.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        format_narrow(error, error_capacity, "cannot open key file %s: %s", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(error, error_capacity, "key file %s is not a regular file", path);
        close(fd);
        return -1;
    }
    char text[2048];
    size_t n = 0;
    bool too_long = false, read_failed = false;
    for (;;) {
        if (n == sizeof text - 1) {
            char extra;
            ssize_t r = read(fd, &extra, 1);
            too_long = r != 0;
            break;
        }
        ssize_t r = read(fd, text + n, sizeof text - 1 - n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) read_failed = true;
        if (r <= 0) break;
        n += (size_t)r;
    }
    close(fd);
    if (too_long || read_failed) {
        sodium_memzero(text, sizeof text);
        format_narrow(error, error_capacity,
                      read_failed ? "cannot read key file %s" : "key file %s is too long to be a key file",
                      path);
        return -1;
    }
    text[n] = 0;

    int kind = 0;  // 1 secret, 2 public
    int file_role = -1;
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
            for (int r = KEY_ROLE_RELEASE; r <= KEY_ROLE_FRESHNESS && kind == 0; r++) {
                for (int secret = 1; secret >= 0; secret--) {
                    if (strcmp(value, kind_of(r, secret)) == 0) {
                        kind = secret ? 1 : 2;
                        file_role = r;
                        break;
                    }
                }
            }
            if (kind == 0) {
                format_narrow(error, error_capacity, "key file %s is of unknown kind %s", path, value);
                goto done;
            }
        } else if (strcmp(line, "kid") == 0) {
            if (!keyfile_kid_valid(value)) {
                format_narrow(error, error_capacity,
                              "key file %s has a key id that is not of the form "
                              "release-YYYYMMDD-xxxxxxxx or fresh-YYYYMMDD-xxxxxxxx", path);
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
    // A secret that others can read may already be theirs: refuse to use it.
    if ((kind == 1 || have_seed) && (st.st_mode & 077) != 0) {
        format_narrow(error, error_capacity,
                      "secret key file %s has mode %04o, so group or others can read or change it; "
                      "make it owner-only (chmod 600 %s)",
                      path, (unsigned)(st.st_mode & 07777), path);
        goto done;
    }
    if (kind == 0 || !have_kid || !have_public || (kind == 1 && !have_seed) ||
        (kind == 2 && have_seed)) {
        format_narrow(error, error_capacity, "%s is not a %s key file (kind, kid, public%s)", path,
                      keyfile_role_word(file_role >= 0 ? file_role : role), kind == 1 ? ", seed" : "");
        goto done;
    }
    if (keyfile_kid_role(pair->kid) != file_role) {
        format_narrow(error, error_capacity, "key file %s is of kind %s but its key id %s is not of the form %s",
                      path, kind_of(file_role, kind == 1), pair->kid, keyfile_kid_form(file_role));
        goto done;
    }
    // A key signs for one role only: a statement signed with a release key
    // (or a release with a freshness key) is refused by every setup.
    if (file_role != role) {
        format_narrow(error, error_capacity,
                      "%s is a %s key (kind %s), but a %s key is needed here%s", path,
                      keyfile_role_word(file_role), kind_of(file_role, kind == 1),
                      keyfile_role_word(role),
                      role == KEY_ROLE_FRESHNESS
                          ? " (make one with vornquill-release keygen --freshness)"
                          : "");
        goto done;
    }
    pair->role = file_role;
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

const char *keyfile_profile_of_kid(const char *kid) {
    static const TrustedKey test_keys[] = {RELEASE_KEYS_TEST FRESHNESS_KEYS_TEST};
    static const TrustedKey production_keys[] = {RELEASE_KEYS_PRODUCTION FRESHNESS_KEYS_PRODUCTION};
    for (const TrustedKey &key : test_keys) {
        if (strcmp(key.key_id, kid) == 0) return "test";
    }
    for (const TrustedKey &key : production_keys) {
        if (strcmp(key.key_id, kid) == 0) return "production";
    }
    return nullptr;
}
