// vornquill-release: makes release-signing keys, signs release manifests into
// latest.txt envelopes, verifies envelopes with the setup program's own
// verification code, and publishes a release folder laid out as the cloud
// serves it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sodium.h>

#include "common/constants.h"
#include "common/memory.h"
#include "common/text.h"
#include "release/envelope.h"
#include "release/manifest.h"
#include "release/release.h"
#include "release/version.h"
#include "tools/release/check.h"
#include "tools/release/files.h"
#include "tools/release/installer_check.h"
#include "tools/release/keyfile.h"
#include "tools/release/sign.h"
#include "tools/release/token.h"

namespace {

const char usage_text[] =
    "usage: vornquill-release <command> [options]\n"
    "\n"
    "commands:\n"
    "  keygen --secret FILE|URI --public FILE [--date YYYYMMDD] [--kid ID] [--force]\n"
    "          [--module FILE] [--pin-file FILE]\n"
    "      Makes a new Ed25519 release-signing key pair. Its key id has the form\n"
    "      release-YYYYMMDD-xxxxxxxx: the date (today, UTC, unless --date) and the\n"
    "      first four bytes of the public key's SHA-256 in hex (unless --kid).\n"
    "      Prints the key id and the public key as a C initialiser. Both files\n"
    "      are written new beside their targets and renamed into place, the\n"
    "      secret (mode 0600) last; --force replaces existing ones.\n"
    "      With --secret pkcs11:token=LABEL;object=LABEL the pair is made inside\n"
    "      that PKCS #11 token (the private half sensitive, never extractable,\n"
    "      its key id in CKA_ID) and only the public file is written; an object\n"
    "      of that label in the token is never replaced. See \"keys in a token\".\n"
    "  sign --manifest FILE --key SECRET --out FILE|- [--force]\n"
    "          [--module FILE] [--pin-file FILE]\n"
    "      Signs the manifest's bytes (1 to 1,500,000, as they are) and writes the\n"
    "      latest.txt envelope: the lines kid=, payload= (base64url of the\n"
    "      manifest) and sig= (base64url of its Ed25519 signature).\n"
    "  verify --envelope FILE --key FILE [--min-version V]\n"
    "      Verifies latest.txt exactly as the setup program does, trusting only\n"
    "      the given key (public or secret file). Prints status=<word>,\n"
    "      detail=<text> and, when verified, the release's fields. The minimum\n"
    "      version defaults to the program's own (1.0.0). Exit 0 when ok,\n"
    "      1 when refused.\n"
    "  publish --installer FILE --version V --key SECRET --out DIR\n"
    "          [--self-signed] [--force] [--module FILE] [--pin-file FILE]\n"
    "          [--trust-ca FILE] [--allow-refused-installer]\n"
    "      Makes DIR/latest.txt and DIR/files/<V>/<fileName> with the installer;\n"
    "      fileName is VornquillAI-Setup-x64-<V>.exe, or\n"
    "      VornquillAI-Setup-x64-<V>-SELFSIGNED.exe with --self-signed. The\n"
    "      manifest (v 1, product vornquill-ai, channel stable, one win32/x64\n"
    "      windows-installer artifact) carries the file's size and SHA-256. The\n"
    "      folder is built beside DIR and renamed into place; an existing\n"
    "      non-empty DIR is replaced only with --force.\n"
    "      Before anything is written the installer is read once (a symbolic\n"
    "      link is refused) into a private folder and that copy is checked as\n"
    "      the setup will check it, then published: a 64-bit Windows executable\n"
    "      whose primary Authenticode signature matches the file, verifies, has\n"
    "      a signer the setup accepts (its own verdict rule; the facts read with\n"
    "      osslsigncode and OpenSSL) and a valid time stamp; a refusal says what\n"
    "      is wrong and how to fix it. --trust-ca FILE trusts these roots\n"
    "      besides the system's (as the machines do). --allow-refused-installer\n"
    "      publishes a refused installer anyway, with a warning: for test\n"
    "      releases only (a test-profile tool, or the test release key). The key\n"
    "      may not be the other profile's release key (see \"profile\" below).\n"
    "  check --url https://HOST[:PORT] --key FILE [--ca FILE] [--full]\n"
    "      Asks the cloud at the URL what the setup program asks (the release,\n"
    "      the installer whole, resumed, with another If-Range, past its end)\n"
    "      with the setup's own rules and prints one line per check: ok, warn\n"
    "      or FAIL, the reason and what to change. The key (public or secret\n"
    "      file) is the one the release must be signed with; --ca trusts the\n"
    "      given CA file instead of the system's; --full downloads and hashes\n"
    "      the whole installer. Exit 0 when no check failed, 1 when one did.\n"
    "  sign-pe --in FILE --out FILE --key URI|FILE --certs FILE --tsa URL\n"
    "          [--module FILE] [--pin-file FILE] [--trust-ca FILE]\n"
    "          [--description TEXT] [--time-limit SECONDS] [--force]\n"
    "      Signs a 64-bit Windows executable (the setup executable, a product\n"
    "      installer) with Authenticode: SHA-256, the certificates of --certs\n"
    "      (PEM: the signer's first, then its issuers) and an RFC 3161 time stamp\n"
    "      fetched from the time-stamping authority at URL, with osslsigncode.\n"
    "      The key is in a PKCS #11 token (a URI as for release keys, used through\n"
    "      OpenSSL's pkcs11 engine; the PIN is handed over in an owner-only file\n"
    "      of a private folder, never on a command line) or, for tests, an\n"
    "      owner-only PEM key file; the certificate must be the key's own. An\n"
    "      input that is not an unsigned x64 executable is refused. The signed\n"
    "      file is checked as every setup will check it (see publish; --trust-ca\n"
    "      as there) and written (temporary file, rename) only when accepted;\n"
    "      an existing FILE is replaced only with --force. --description is the\n"
    "      name shown when Windows asks to run the file (Vornquill AI Setup).\n"
    "      osslsigncode is stopped after --time-limit seconds (120), as it waits\n"
    "      for an authority that never answers.\n"
    "  help\n"
    "      Shows this text.\n"
    "\n"
    "key files are text, one key=value per line ('#' starts a comment):\n"
    "  kind=vornquill-release-secret-key | vornquill-release-public-key\n"
    "  kid=release-YYYYMMDD-xxxxxxxx\n"
    "  public=<64 hex digits>      the Ed25519 public key\n"
    "  seed=<64 hex digits>        the Ed25519 secret seed (secret file only)\n"
    "a file holding a seed must be owner-only (no access for group or others).\n"
    "\n"
    "keys in a token: SECRET may be a PKCS #11 URI (RFC 7512),\n"
    "  pkcs11:token=LABEL;object=LABEL[?module-path=FILE&pin-source=file:FILE]\n"
    "  The module (a PKCS #11 shared library) comes from module-path or\n"
    "  --module FILE; the user PIN from pin-source, --pin-file FILE (owner-only)\n"
    "  or the environment variable " TOKEN_PIN_VARIABLE ", never from the command line.\n"
    "  The token signs with CKM_EDDSA; the private key never leaves it.\n"
    "\n"
    "exit codes: 0 success, 1 refused or failed, 2 bad command line\n";

// The largest manifest: what the longest payload an envelope takes decodes to.
const size_t max_manifest = ENVELOPE_MAX_PAYLOAD / 4 * 3;

char error_text[1024];

int usage_error(const char *command, const char *format, ...) VQ_PRINTF(2, 3);

int usage_error(const char *command, const char *format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    format_narrow_v(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "vornquill-release %s: %s\n(see: vornquill-release help)\n", command, message);
    return 2;
}

int failure(const char *command, const char *message) {
    fprintf(stderr, "vornquill-release %s: %s\n", command, message);
    return 1;
}

// Options: --name value pairs and --flag switches, each at most once.
struct Option {
    const char *name;
    int takes_value;
    const char *value;  // the value, or "" for a switch that was given
};

int parse_options(const char *command, int argc, char **argv, Option *options, int count) {
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        Option *match = nullptr;
        for (int k = 0; k < count; k++) {
            if (strcmp(arg, options[k].name) == 0) match = &options[k];
        }
        if (match == nullptr) return usage_error(command, "unknown option %s", arg);
        if (match->value != nullptr) return usage_error(command, "%s is given twice", arg);
        if (match->takes_value) {
            if (i + 1 >= argc) return usage_error(command, "%s needs a value", arg);
            match->value = argv[++i];
            if (match->value[0] == 0) return usage_error(command, "%s has an empty value", arg);
        } else {
            match->value = "";
        }
    }
    return 0;
}

// Reads a whole regular file of at most limit bytes into a heap block.
int read_file(const char *path, size_t limit, const char *what, uint8_t **data, size_t *size) {
    *data = nullptr;
    *size = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        format_narrow(error_text, sizeof error_text, "cannot open %s %s: %s", what, path,
                      strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(error_text, sizeof error_text, "%s %s is not a regular file", what, path);
        close(fd);
        return -1;
    }
    if ((uint64_t)st.st_size > limit) {
        format_narrow(error_text, sizeof error_text, "%s %s is larger than %zu bytes", what, path,
                      limit);
        close(fd);
        return -1;
    }
    size_t n = (size_t)st.st_size;
    uint8_t *block = (uint8_t *)heap_alloc(n + 1);
    if (block == nullptr) {
        format_narrow(error_text, sizeof error_text, "out of memory reading %s", path);
        close(fd);
        return -1;
    }
    size_t done = 0;
    while (done < n) {
        ssize_t r = read(fd, block + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            format_narrow(error_text, sizeof error_text, "cannot read %s %s: %s", what, path,
                          r < 0 ? strerror(errno) : "it became shorter while being read");
            heap_free(block);
            close(fd);
            return -1;
        }
        done += (size_t)r;
    }
    close(fd);
    *data = block;
    *size = n;
    return 0;
}

int write_all(int fd, const void *data, size_t n) {
    const uint8_t *p = (const uint8_t *)data;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

// Writes data to path through a temporary sibling and a rename, so that
// path holds either its old content or the whole new one.
int write_file_atomic(const char *path, const void *data, size_t n, int overwrite) {
    struct stat st;
    if (!overwrite && lstat(path, &st) == 0) {
        format_narrow(error_text, sizeof error_text, "%s already exists (use --force to replace it)",
                      path);
        return -1;
    }
    char temp[PATH_MAX];
    if (format_narrow(temp, sizeof temp, "%s.tmp-XXXXXX", path) < 0) {
        format_narrow(error_text, sizeof error_text, "path %s is too long", path);
        return -1;
    }
    int fd = mkstemp(temp);
    if (fd < 0) {
        format_narrow(error_text, sizeof error_text, "cannot create a file beside %s: %s", path,
                      strerror(errno));
        return -1;
    }
    fchmod(fd, 0644);
    if (write_all(fd, data, n) != 0 || fsync(fd) != 0) {
        format_narrow(error_text, sizeof error_text, "cannot write %s: %s", temp, strerror(errno));
        close(fd);
        unlink(temp);
        return -1;
    }
    close(fd);
    if (rename(temp, path) != 0) {
        format_narrow(error_text, sizeof error_text, "cannot rename %s to %s: %s", temp, path,
                      strerror(errno));
        unlink(temp);
        return -1;
    }
    return 0;
}

// The key a release is signed with: a secret key file, or a key in a
// PKCS #11 token. key holds the kid and the public key either way, and the
// seed only for a file.
struct Signer {
    KeyPair key;
    TokenKey token;
    int from_token;
};

// Opens the key named by key_name (a key file, or a PKCS #11 URI with the
// --module and --pin-file options). Returns 0, or -1 with error_text.
int signer_open(const char *key_name, const char *module, const char *pin_file, Signer *signer) {
    memset(signer, 0, sizeof *signer);
    if (!token_is_uri(key_name)) {
        if (module != nullptr || pin_file != nullptr) {
            format_narrow(error_text, sizeof error_text,
                          "--module and --pin-file belong to a key in a PKCS #11 token (pkcs11:...), "
                          "not to the key file %s", key_name);
            return -1;
        }
        return keyfile_read(key_name, 1, &signer->key, error_text, sizeof error_text);
    }
    TokenKeyName name;
    if (token_parse_name(key_name, module, pin_file, &name, error_text, sizeof error_text) != 0 ||
        token_open(&name, &signer->token, error_text, sizeof error_text) != 0) {
        return -1;
    }
    signer->from_token = 1;
    format_narrow(signer->key.kid, sizeof signer->key.kid, "%s", signer->token.kid);
    memcpy(signer->key.public_key, signer->token.public_key, 32);
    return 0;
}

int signer_sign(Signer *signer, const uint8_t *data, size_t n, uint8_t signature[64]) {
    if (signer->from_token) {
        return token_sign(&signer->token, data, n, signature, error_text, sizeof error_text);
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

char *base64url_encode_alloc(const uint8_t *data, size_t n) {
    size_t size = sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    char *text = (char *)heap_alloc(size);
    if (text == nullptr) return nullptr;
    sodium_bin2base64(text, size, data, n, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return text;
}

// Signs manifest bytes into envelope text: kid, payload, sig lines. The
// caller frees the result with heap_free; null with error_text on failure.
char *make_envelope(Signer *signer, const uint8_t *manifest, size_t n, size_t *length) {
    const KeyPair *key = &signer->key;
    uint8_t signature[64];
    if (signer_sign(signer, manifest, n, signature) != 0) return nullptr;
    char *payload = base64url_encode_alloc(manifest, n);
    char *sig = base64url_encode_alloc(signature, sizeof signature);
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
    if (text == nullptr) format_narrow(error_text, sizeof error_text, "out of memory");
    return text;
}

int today(char date[9]) {
    time_t now = time(nullptr);
    struct tm tm;
    if (gmtime_r(&now, &tm) == nullptr) return -1;
    return format_narrow(date, 9, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) ==
                   8
               ? 0
               : -1;
}

int date_valid(const char *date) {
    if (strlen(date) != 8) return 0;
    for (int i = 0; i < 8; i++) {
        if (date[i] < '0' || date[i] > '9') return 0;
    }
    int month = (date[4] - '0') * 10 + (date[5] - '0');
    int day = (date[6] - '0') * 10 + (date[7] - '0');
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// ---- keygen ------------------------------------------------------------

int command_keygen(int argc, char **argv) {
    Option options[] = {{"--secret", 1, nullptr}, {"--public", 1, nullptr},
                        {"--date", 1, nullptr},   {"--kid", 1, nullptr},
                        {"--force", 0, nullptr},  {"--module", 1, nullptr},
                        {"--pin-file", 1, nullptr}};
    int status = parse_options("keygen", argc, argv, options, 7);
    if (status != 0) return status;
    const char *secret_path = options[0].value;
    const char *public_path = options[1].value;
    const char *date = options[2].value;
    const char *kid = options[3].value;
    int force = options[4].value != nullptr;
    const char *module = options[5].value;
    const char *pin_file = options[6].value;
    if (secret_path == nullptr || public_path == nullptr) {
        return usage_error("keygen", "--secret and --public are required");
    }
    int in_token = token_is_uri(secret_path);
    if (!in_token && (module != nullptr || pin_file != nullptr)) {
        return usage_error("keygen", "--module and --pin-file belong to a --secret in a PKCS #11 "
                                     "token (pkcs11:...)");
    }
    TokenKeyName token_name;
    if (in_token && token_parse_name(secret_path, module, pin_file, &token_name, error_text,
                                     sizeof error_text) != 0) {
        return usage_error("keygen", "%s", error_text);
    }
    char today_text[9];
    if (date == nullptr) {
        if (today(today_text) != 0) return failure("keygen", "cannot read the date");
        date = today_text;
    } else if (!date_valid(date)) {
        return usage_error("keygen", "--date %s is not a date of the form YYYYMMDD", date);
    }
    if (kid != nullptr && !keyfile_kid_valid(kid)) {
        return usage_error("keygen", "--kid %s is not of the form release-YYYYMMDD-xxxxxxxx", kid);
    }
    // Without --force neither file may exist; checked before a key is made.
    // (The renames that put the files in place refuse existing ones as well.)
    struct stat st;
    if (!force) {
        const char *paths[2] = {public_path, secret_path};
        for (int i = 0; i < (in_token ? 1 : 2); i++) {
            const char *path = paths[i];
            if (lstat(path, &st) == 0) {
                format_narrow(error_text, sizeof error_text,
                              "%s already exists (use --force to replace it)", path);
                return failure("keygen", error_text);
            }
        }
    }
    KeyPair pair;
    int written;
    if (in_token) {
        // The pair is made inside the token; only the public half comes out.
        written = token_generate(&token_name, date, kid, public_path, force, &pair, error_text,
                                 sizeof error_text);
    } else {
        if (keyfile_generate(date, kid, &pair, error_text, sizeof error_text) != 0) {
            return failure("keygen", error_text);
        }
        written = keyfile_write_pair(secret_path, public_path, &pair, force, error_text,
                                     sizeof error_text);
    }
    keyfile_wipe(&pair);
    if (written != 0) return failure("keygen", error_text);
    printf("kid=%s\npublic={", pair.kid);
    for (int i = 0; i < 32; i++) printf("%s0x%02x", i == 0 ? "" : ", ", pair.public_key[i]);
    printf("}\n");
    return 0;
}

// ---- sign ---------------------------------------------------------------

int command_sign(int argc, char **argv) {
    Option options[] = {{"--manifest", 1, nullptr}, {"--key", 1, nullptr}, {"--out", 1, nullptr},
                        {"--force", 0, nullptr},    {"--module", 1, nullptr},
                        {"--pin-file", 1, nullptr}};
    int status = parse_options("sign", argc, argv, options, 6);
    if (status != 0) return status;
    if (options[0].value == nullptr || options[1].value == nullptr || options[2].value == nullptr) {
        return usage_error("sign", "--manifest, --key and --out are required");
    }
    uint8_t *manifest = nullptr;
    size_t size = 0;
    if (read_file(options[0].value, max_manifest, "manifest", &manifest, &size) != 0) {
        return failure("sign", error_text);
    }
    if (size == 0) {
        heap_free(manifest);
        return failure("sign", "the manifest is empty");
    }
    Signer signer;
    if (signer_open(options[1].value, options[4].value, options[5].value, &signer) != 0) {
        heap_free(manifest);
        signer_close(&signer);
        return failure("sign", error_text);
    }
    size_t length = 0;
    char *envelope = make_envelope(&signer, manifest, size, &length);
    signer_close(&signer);
    heap_free(manifest);
    if (envelope == nullptr) return failure("sign", error_text);
    int result = 0;
    if (strcmp(options[2].value, "-") == 0) {
        if (fwrite(envelope, 1, length, stdout) != length || fflush(stdout) != 0) {
            result = failure("sign", "cannot write the envelope to standard output");
        }
    } else if (write_file_atomic(options[2].value, envelope, length, options[3].value != nullptr) !=
               0) {
        result = failure("sign", error_text);
    }
    heap_free(envelope);
    return result;
}

// ---- verify -------------------------------------------------------------

int command_verify(int argc, char **argv) {
    Option options[] = {{"--envelope", 1, nullptr}, {"--key", 1, nullptr},
                        {"--min-version", 1, nullptr}};
    int status = parse_options("verify", argc, argv, options, 3);
    if (status != 0) return status;
    if (options[0].value == nullptr || options[1].value == nullptr) {
        return usage_error("verify", "--envelope and --key are required");
    }
    const char *min_version = options[2].value != nullptr ? options[2].value : version_floor();
    if (!version_valid(min_version)) {
        return usage_error("verify", "--min-version %s is not a valid version", min_version);
    }
    KeyPair key;
    if (keyfile_read(options[1].value, 0, &key, error_text, sizeof error_text) != 0) {
        return failure("verify", error_text);
    }
    keyfile_wipe(&key);
    // The envelope is read whole, up to a limit well above the largest valid
    // envelope, so that an oversized one is judged by the verifier itself.
    uint8_t *text = nullptr;
    size_t size = 0;
    if (read_file(options[0].value, 8u << 20, "envelope", &text, &size) != 0) {
        return failure("verify", error_text);
    }
    TrustedKey trusted = keyfile_trusted_key(&key);

    ReleaseInfo info;
    char detail[256];
    VerifyStatus verdict = release_verify_with_keys((const char *)text, size, min_version, &trusted,
                                                    1, &info, detail, sizeof detail);
    heap_free(text);
    // The detail may quote the manifest's own text: one line, whatever it holds.
    char safe_detail[4 * sizeof detail];
    text_escape_controls(detail, safe_detail, sizeof safe_detail);
    printf("status=%s\ndetail=%s\n", verify_status_word(verdict), safe_detail);
    if (verdict == VERIFY_OK) {
        printf("kid=%s\nversion=%s\nfileName=%s\nsize=%lld\nsha256=%s\n", info.kid, info.version,
               info.fileName, (long long)info.size, info.sha256_hex);
    }
    release_free(&info);
    return verdict == VERIFY_OK ? 0 : 1;
}

// ---- publish --------------------------------------------------------------

// 1 when path is a directory with entries, 0 when empty, -1 on error.
int directory_has_entries(const char *path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return -1;
    }
    int result = 0;
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            result = 1;
            break;
        }
    }
    closedir(dir);
    return result;
}

void hash_piece(void *context, const uint8_t *data, size_t length) {
    crypto_hash_sha256_update((crypto_hash_sha256_state *)context, data, (unsigned long long)length);
}

// Copies the installer into target while hashing it; gives its size and digest.
int copy_and_hash(const char *source, const char *target, uint64_t *size, uint8_t digest[32]) {
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        format_narrow(error_text, sizeof error_text, "cannot open installer %s: %s", source,
                      strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(error_text, sizeof error_text, "installer %s is not a regular file", source);
        close(in);
        return -1;
    }
    if (st.st_size <= 0 || st.st_size > MANIFEST_MAX_SIZE) {
        format_narrow(error_text, sizeof error_text,
                      "installer %s has %lld bytes; a release installer has 1 to 2147483648",
                      source, (long long)st.st_size);
        close(in);
        return -1;
    }
    int out = open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        format_narrow(error_text, sizeof error_text, "cannot create %s: %s", target,
                      strerror(errno));
        close(in);
        return -1;
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    uint64_t total = 0;
    int result = 0;
    int copied = copy_fd(in, out, (uint64_t)MANIFEST_MAX_SIZE, hash_piece, &state, &total);
    if (copied == COPY_FD_READ_FAILED) {
        format_narrow(error_text, sizeof error_text, "cannot read installer %s: %s", source,
                      strerror(errno));
        result = -1;
    } else if (copied != 0) {
        format_narrow(error_text, sizeof error_text, "cannot copy installer %s to %s", source,
                      target);
        result = -1;
    }
    if (result == 0 && total != (uint64_t)st.st_size) {
        format_narrow(error_text, sizeof error_text, "installer %s changed size while being read",
                      source);
        result = -1;
    }
    if (result == 0 && fsync(out) != 0) {
        format_narrow(error_text, sizeof error_text, "cannot write %s: %s", target, strerror(errno));
        result = -1;
    }
    close(out);
    close(in);
    crypto_hash_sha256_final(&state, digest);
    *size = total;
    return result;
}

// Builds the release in the folder work (which exists and is empty) from
// the checked copy of the installer: exactly the bytes that were checked.
int build_release(const char *work, const InstallerCopy *installer, const char *version,
                  const char *file_name, Signer *signer) {
    const KeyPair *key = &signer->key;
    char path[PATH_MAX];
    if (format_narrow(path, sizeof path, "%s/files", work) < 0 || mkdir(path, 0755) != 0 ||
        format_narrow(path, sizeof path, "%s/files/%s", work, version) < 0 ||
        mkdir(path, 0755) != 0) {
        format_narrow(error_text, sizeof error_text, "cannot create %s: %s", path, strerror(errno));
        return -1;
    }
    if (format_narrow(path, sizeof path, "%s/files/%s/%s", work, version, file_name) < 0) {
        format_narrow(error_text, sizeof error_text, "the output path is too long");
        return -1;
    }
    uint64_t size = 0;
    uint8_t digest[32];
    if (copy_and_hash(installer->path, path, &size, digest) != 0) return -1;
    if (size != installer->size || memcmp(digest, installer->sha256, sizeof digest) != 0) {
        format_narrow(error_text, sizeof error_text,
                      "the checked copy of the installer changed before it was published");
        return -1;
    }
    char hex[65];
    hex_encode(digest, sizeof digest, hex);

    char manifest[1024];
    int n = format_narrow(manifest, sizeof manifest,
                          "{\"v\":1,\"product\":\"vornquill-ai\",\"version\":\"%s\","
                          "\"channel\":\"stable\",\"artifacts\":[{\"platform\":\"win32\","
                          "\"arch\":\"x64\",\"kind\":\"windows-installer\",\"fileName\":\"%s\","
                          "\"size\":%llu,\"sha256\":\"%s\"}]}",
                          version, file_name, (unsigned long long)size, hex);
    if (n < 0) {
        format_narrow(error_text, sizeof error_text, "the manifest does not fit its buffer");
        return -1;
    }
    size_t length = 0;
    char *envelope = make_envelope(signer, (const uint8_t *)manifest, (size_t)n, &length);
    if (envelope == nullptr) return -1;
    // Check the release with the verifier itself before it is written.
    TrustedKey trusted = keyfile_trusted_key(key);
    ReleaseInfo info;
    char detail[256];
    VerifyStatus verdict = release_verify_with_keys(envelope, length, "0.0.0", &trusted, 1, &info,
                                                    detail, sizeof detail);
    bool same = verdict == VERIFY_OK && strcmp(info.fileName, file_name) == 0 &&
                info.size == (int64_t)size && strcmp(info.sha256_hex, hex) == 0;
    release_free(&info);
    int result = 0;
    if (!same) {
        char safe_detail[4 * sizeof detail];
        text_escape_controls(detail, safe_detail, sizeof safe_detail);
        format_narrow(error_text, sizeof error_text,
                      "the release does not pass its own verification: %s: %s",
                      verify_status_word(verdict), safe_detail);
        result = -1;
    } else if (format_narrow(path, sizeof path, "%s/latest.txt", work) < 0 ||
               write_file_atomic(path, envelope, length, 0) != 0) {
        result = -1;
    }
    heap_free(envelope);
    if (result == 0) {
        printf("published %s %s (%llu bytes, sha256 %s) signed with %s; installer checked as a "
               "%s-profile setup checks it\n",
               version, file_name, (unsigned long long)size, hex, key->kid, build_profile());
    }
    return result;
}

int command_publish(int argc, char **argv) {
    Option options[] = {{"--installer", 1, nullptr}, {"--version", 1, nullptr},
                        {"--key", 1, nullptr},       {"--out", 1, nullptr},
                        {"--self-signed", 0, nullptr}, {"--force", 0, nullptr},
                        {"--module", 1, nullptr},    {"--pin-file", 1, nullptr},
                        {"--trust-ca", 1, nullptr},  {"--allow-refused-installer", 0, nullptr}};
    int status = parse_options("publish", argc, argv, options, 10);
    if (status != 0) return status;
    const char *installer = options[0].value;
    const char *version = options[1].value;
    const char *key_path = options[2].value;
    const char *out = options[3].value;
    int self_signed = options[4].value != nullptr;
    int force = options[5].value != nullptr;
    if (installer == nullptr || version == nullptr || key_path == nullptr || out == nullptr) {
        return usage_error("publish", "--installer, --version, --key and --out are required");
    }
    if (!version_valid(version)) {
        return usage_error("publish",
                           "--version %s is not a valid version (1.2.3 or 1.2.3-pre.release)",
                           version);
    }
    char file_name[201];
    manifest_installer_name(version, self_signed, file_name, sizeof file_name);

    // The output folder: its parent must exist; the folder itself may be
    // missing or empty, or is replaced with --force.
    char target[PATH_MAX];
    size_t out_length = strlen(out);
    while (out_length > 1 && out[out_length - 1] == '/') out_length--;
    if (out_length >= sizeof target) return failure("publish", "the output path is too long");
    memcpy(target, out, out_length);
    target[out_length] = 0;
    const char *slash = strrchr(target, '/');
    const char *base = slash != nullptr ? slash + 1 : target;
    if (strcmp(base, ".") == 0 || strcmp(base, "..") == 0 || strcmp(target, "/") == 0) {
        return usage_error("publish", "--out %s must name a folder, not . or ..", out);
    }
    char parent[PATH_MAX];
    if (slash == nullptr) {
        format_narrow(parent, sizeof parent, ".");
    } else if (slash == target) {
        format_narrow(parent, sizeof parent, "/");
    } else {
        memcpy(parent, target, (size_t)(slash - target));
        parent[slash - target] = 0;
    }
    struct stat st;
    if (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) {
        format_narrow(error_text, sizeof error_text, "the folder %s that should hold %s does not exist",
                      parent, target);
        return failure("publish", error_text);
    }
    bool exists = false;
    if (lstat(target, &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            format_narrow(error_text, sizeof error_text, "%s exists and is not a folder", target);
            return failure("publish", error_text);
        }
        int entries = directory_has_entries(target);
        if (entries < 0) {
            format_narrow(error_text, sizeof error_text, "cannot read folder %s: %s", target,
                          strerror(errno));
            return failure("publish", error_text);
        }
        if (entries == 1 && !force) {
            format_narrow(error_text, sizeof error_text,
                          "%s is not empty; refusing to overwrite it (use --force)", target);
            return failure("publish", error_text);
        }
        exists = true;
    }

    const char *trust_ca = options[8].value;
    int allow_refused = options[9].value != nullptr;
    if (trust_ca != nullptr && access(trust_ca, R_OK) != 0) {
        format_narrow(error_text, sizeof error_text, "cannot read the --trust-ca file %s: %s",
                      trust_ca, strerror(errno));
        return failure("publish", error_text);
    }
    Signer signer;
    if (signer_open(key_path, options[6].value, options[7].value, &signer) != 0) {
        signer_close(&signer);
        return failure("publish", error_text);
    }
    // The key must be one that setups of this tool's profile may trust.
    const char *key_profile = keyfile_profile_of_kid(signer.key.kid);
    if (key_profile != nullptr && strcmp(key_profile, build_profile()) != 0) {
        format_narrow(error_text, sizeof error_text,
                      "key %s is the %s profile's release key, but this tool was built with the %s "
                      "profile and judges installers with its pins: publish with a vornquill-release "
                      "built with -DVQ_PROFILE=%s",
                      signer.key.kid, key_profile, build_profile(), key_profile);
        signer_close(&signer);
        return failure("publish", error_text);
    }
    if (allow_refused && strcmp(build_profile(), "test") != 0 &&
        (key_profile == nullptr || strcmp(key_profile, "test") != 0)) {
        format_narrow(error_text, sizeof error_text,
                      "--allow-refused-installer publishes an installer every setup refuses: it is "
                      "only for test releases, signed with the test release key or by a test-profile "
                      "tool, not with key %s in this %s-profile tool",
                      signer.key.kid, build_profile());
        signer_close(&signer);
        return failure("publish", error_text);
    }

    // The installer as every setup will judge it, before anything is
    // written: read once into a private folder, and published from there.
    InstallerCopy copy;
    if (installer_copy_make(installer, &copy, error_text, sizeof error_text) != 0) {
        signer_close(&signer);
        return failure("publish", error_text);
    }
    {
        InstallerCheck check;
        char reason[sizeof error_text];
        if (installer_check_copy(&copy, trust_ca, &check, reason, sizeof reason) != 0) {
            format_narrow(error_text, sizeof error_text, "installer %s is refused: its check failed: %s",
                          installer, reason);
            installer_copy_remove(&copy);
            signer_close(&signer);
            return failure("publish", error_text);
        }
        char refusal[INSTALLER_CHECK_TEXT_CAPACITY];
        if (installer_check_refused(&check, refusal, sizeof refusal)) {
            char line[INSTALLER_CHECK_TEXT_CAPACITY + PATH_MAX + 64];
            if (!allow_refused) {
                format_narrow(line, sizeof line,
                              "installer %s is refused: %s; a test fixture that must be published as it "
                              "is takes --allow-refused-installer",
                              installer, refusal);
                installer_copy_remove(&copy);
                signer_close(&signer);
                return failure("publish", line);
            }
            fprintf(stderr,
                    "vornquill-release publish: WARNING: --allow-refused-installer: publishing %s, "
                    "which every setup will refuse: %s\n",
                    installer, refusal);
        }
    }
    char work[PATH_MAX];
    if (format_narrow(work, sizeof work, "%s/.%s.publish-XXXXXX", parent, base) < 0 ||
        mkdtemp(work) == nullptr) {
        signer_close(&signer);
        installer_copy_remove(&copy);
        format_narrow(error_text, sizeof error_text, "cannot create a work folder beside %s: %s",
                      target, strerror(errno));
        return failure("publish", error_text);
    }
    chmod(work, 0755);
    int result = build_release(work, &copy, version, file_name, &signer);
    signer_close(&signer);
    installer_copy_remove(&copy);
    if (result != 0) {
        remove_tree(work);
        return failure("publish", error_text);
    }
    if (!exists) {
        if (rename(work, target) != 0) {
            format_narrow(error_text, sizeof error_text, "cannot rename %s to %s: %s", work, target,
                          strerror(errno));
            remove_tree(work);
            return failure("publish", error_text);
        }
        return 0;
    }
    // Swap the new folder with the old one in one step, then remove the old.
    if (renameat2(AT_FDCWD, work, AT_FDCWD, target, RENAME_EXCHANGE) != 0) {
        format_narrow(error_text, sizeof error_text, "cannot replace %s: %s", target,
                      strerror(errno));
        remove_tree(work);
        return failure("publish", error_text);
    }
    remove_tree(work);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(usage_text, stderr);
        return 2;
    }
    if (sodium_init() < 0) {
        fputs("vornquill-release: the crypto library cannot start\n", stderr);
        return 1;
    }
    const char *command = argv[1];
    if (strcmp(command, "help") == 0 || strcmp(command, "--help") == 0 ||
        strcmp(command, "-h") == 0) {
        fputs(usage_text, stdout);
        printf("\nprofile: this tool was built with the %s profile. publish judges installers with\n"
               "  that profile's pinned certificates and vendor organisation, and refuses the other\n"
               "  profile's release key (its releases need a vornquill-release built with\n"
               "  -DVQ_PROFILE=%s).\n",
               build_profile(), strcmp(build_profile(), "test") == 0 ? "production" : "test");
        return 0;
    }
    if (strcmp(command, "keygen") == 0) return command_keygen(argc - 2, argv + 2);
    if (strcmp(command, "sign") == 0) return command_sign(argc - 2, argv + 2);
    if (strcmp(command, "verify") == 0) return command_verify(argc - 2, argv + 2);
    if (strcmp(command, "publish") == 0) return command_publish(argc - 2, argv + 2);
    if (strcmp(command, "check") == 0) return check_command(argc - 2, argv + 2);
    if (strcmp(command, "sign-pe") == 0) return sign_pe_command(argc - 2, argv + 2);
    fprintf(stderr, "vornquill-release: unknown command %s\n%s", command, usage_text);
    return 2;
}
