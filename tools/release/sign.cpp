// The sign-pe command: checks the input, the certificate and the key, lets
// osslsigncode sign a private copy, checks the signed copy as every setup
// will, and writes exactly those bytes to the output.
#include "tools/release/sign.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>
#include <sodium.h>

#include "common/memory.h"
#include "common/text.h"
#include "release/manifest.h"
#include "tools/release/child.h"
#include "tools/release/files.h"
#include "tools/release/installer_check.h"
#include "tools/release/keyfile.h"
#include "tools/release/token.h"


namespace {

const char default_description[] = "Vornquill AI Setup";
// How long osslsigncode may take, time stamp included, before it is stopped
// (it waits for a time-stamping authority that accepts and never answers).
const int default_time_limit_s = 120;
// The descriptor on which osslsigncode finds the token's PIN (a pipe).
const int PIN_DESCRIPTOR = 3;

enum { OUTPUT_CAPACITY = 65536, MESSAGE_CAPACITY = 2048 };

int usage(const char *format, const char *value) {
    char message[512];
    format_narrow(message, sizeof message, format, value);
    fprintf(stderr, "vornquill-release sign-pe: %s\n(see: vornquill-release help)\n", message);
    return SIGN_PE_EXIT_USAGE;
}

int refuse(const char *message) {
    fprintf(stderr, "vornquill-release sign-pe: %s\n", message);
    return SIGN_PE_EXIT_FAILED;
}

// The path of OpenSSL's pkcs11 engine (libengine-pkcs11-openssl) in the
// engines folder this OpenSSL was built with.
int engine_path(char *path, size_t capacity, char *error, size_t cap) {
    const char *text = OpenSSL_version(OPENSSL_ENGINES_DIR);  // ENGINESDIR: "folder"
    const char *open_quote = text != nullptr ? strchr(text, '"') : nullptr;
    const char *close_quote = open_quote != nullptr ? strchr(open_quote + 1, '"') : nullptr;
    if (close_quote == nullptr ||
        format_narrow(path, capacity, "%.*s/pkcs11.so", (int)(close_quote - open_quote - 1),
                      open_quote + 1) < 0) {
        format_narrow(error, cap, "cannot tell where OpenSSL keeps its engines (%s)",
                      text != nullptr ? text : "unknown");
        return -1;
    }
    if (access(path, R_OK) != 0) {
        format_narrow(error, cap,
                      "OpenSSL's PKCS #11 engine %s is missing: install libengine-pkcs11-openssl "
                      "(scripts/setup-deps)",
                      path);
        return -1;
    }
    return 0;
}

// Percent-encodes a URI attribute value (RFC 7512: everything but the
// unreserved characters).
int uri_value(const char *value, char *out, size_t capacity) {
    size_t k = 0;
    for (const unsigned char *p = (const unsigned char *)value; *p != 0; p++) {
        int plain = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
                    *p == '-' || *p == '.' || *p == '_' || *p == '~';
        if (k + (plain ? 1 : 3) >= capacity) return -1;
        if (plain) {
            out[k++] = (char)*p;
        } else {
            format_narrow(out + k, 4, "%%%02X", *p);
            k += 3;
        }
    }
    out[k] = 0;
    return 0;
}

// Reads the certificates of a PEM file; the first is the signer's.
STACK_OF(X509) *read_certificates(const char *path, char *error, size_t cap) {
    FILE *in = fopen(path, "r");
    if (in == nullptr) {
        format_narrow(error, cap, "cannot open the certificate file %s: %s", path, strerror(errno));
        return nullptr;
    }
    STACK_OF(X509) *certificates = sk_X509_new_null();
    X509 *certificate = nullptr;
    while (certificates != nullptr && (certificate = PEM_read_X509(in, nullptr, nullptr, nullptr)) != nullptr) {
        if (sk_X509_push(certificates, certificate) <= 0) {
            X509_free(certificate);
            break;
        }
    }
    fclose(in);
    if (certificates == nullptr || sk_X509_num(certificates) == 0) {
        sk_X509_pop_free(certificates, X509_free);
        format_narrow(error, cap,
                      "the certificate file %s holds no PEM certificate (the signer's first, then "
                      "the ones that issued it)",
                      path);
        return nullptr;
    }
    return certificates;
}

// The certificate's subject, made safe for one line.
void subject_text(X509 *certificate, char *out, size_t capacity) {
    char subject[512];
    X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
    text_escape_controls(subject, out, capacity);
}

// Big-endian unsigned bytes without their leading zeros.
void strip_zeros(const uint8_t **bytes, size_t *n) {
    while (*n > 0 && (*bytes)[0] == 0) {
        (*bytes)++;
        (*n)--;
    }
}

// 1 when the certificate carries the token key's public half.
int certificate_holds(X509 *certificate, const TokenPublicKey *key) {
    EVP_PKEY *public_key = X509_get0_pubkey(certificate);
    if (public_key == nullptr) return 0;
    int same = 0;
    if (key->key_type == CKK_RSA && EVP_PKEY_is_a(public_key, "RSA")) {
        BIGNUM *n = nullptr, *e = nullptr;
        uint8_t n_bytes[1024], e_bytes[16];
        if (EVP_PKEY_get_bn_param(public_key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
            EVP_PKEY_get_bn_param(public_key, OSSL_PKEY_PARAM_RSA_E, &e) == 1 &&
            BN_num_bytes(n) <= (int)sizeof n_bytes && BN_num_bytes(e) <= (int)sizeof e_bytes) {
            size_t n_length = (size_t)BN_bn2bin(n, n_bytes);
            size_t e_length = (size_t)BN_bn2bin(e, e_bytes);
            const uint8_t *modulus = key->modulus, *exponent = key->exponent;
            size_t modulus_length = key->modulus_length, exponent_length = key->exponent_length;
            strip_zeros(&modulus, &modulus_length);
            strip_zeros(&exponent, &exponent_length);
            same = n_length == modulus_length && memcmp(n_bytes, modulus, n_length) == 0 &&
                   e_length == exponent_length && memcmp(e_bytes, exponent, e_length) == 0;
        }
        BN_free(n);
        BN_free(e);
    } else if (key->key_type == CKK_EC && EVP_PKEY_is_a(public_key, "EC")) {
        uint8_t point[256];
        size_t length = 0;
        // The token's CKA_EC_POINT is the point itself or wrapped in a DER
        // octet string.
        const uint8_t *token_point = key->ec_point;
        size_t token_length = key->ec_point_length;
        if (token_length >= 2 && token_point[0] == 0x04 && token_point[1] == token_length - 2) {
            token_point += 2;
            token_length -= 2;
        } else if (token_length >= 3 && token_point[0] == 0x04 && token_point[1] == 0x81 &&
                   token_point[2] == token_length - 3) {
            token_point += 3;
            token_length -= 3;
        }
        if (EVP_PKEY_get_octet_string_param(public_key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                            sizeof point, &length) == 1) {
            same = length == token_length && memcmp(point, token_point, length) == 0;
        }
    }
    return same;
}

// Reads a private key file for tests: owner-only, PEM, not encrypted, and
// the one the certificate was issued for.
int check_key_file(const char *path, X509 *certificate, char *error, size_t cap) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(error, cap, "cannot read the key file %s: %s", path,
                      fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0) close(fd);
        return -1;
    }
    if ((st.st_mode & 077) != 0) {
        format_narrow(error, cap,
                      "the key file %s has mode %04o, so group or others can read or change it; make "
                      "it owner-only (chmod 600 %s)",
                      path, (unsigned)(st.st_mode & 07777), path);
        close(fd);
        return -1;
    }
    FILE *in = fdopen(fd, "r");
    if (in == nullptr) {
        close(fd);
        format_narrow(error, cap, "cannot read the key file %s", path);
        return -1;
    }
    // No passphrase prompt: a key that needs one is not read.
    EVP_PKEY *key = PEM_read_PrivateKey(in, nullptr, [](char *, int, int, void *) { return 0; }, nullptr);
    fclose(in);
    int result = -1;
    if (key == nullptr) {
        format_narrow(error, cap, "the key file %s holds no unencrypted PEM private key", path);
    } else if (X509_check_private_key(certificate, key) != 1) {
        char subject[1024];
        subject_text(certificate, subject, sizeof subject);
        format_narrow(error, cap,
                      "the signer's certificate (%s) does not belong to the key in %s: their public "
                      "keys differ",
                      subject, path);
    } else {
        result = 0;
    }
    EVP_PKEY_free(key);
    return result;
}

// osslsigncode's output as one safe line: its lines joined with " | ",
// without the ones that only report progress.
void output_line(const char *output, char *line, size_t capacity) {
    char joined[OUTPUT_CAPACITY];
    size_t used = 0;
    joined[0] = 0;
    for (const char *start = output; *start != 0;) {
        const char *end = strchr(start, '\n');
        size_t length = end != nullptr ? (size_t)(end - start) : strlen(start);
        int progress = (length >= 7 && memcmp(start, "Engine ", 7) == 0) ||
                       (length >= 14 && memcmp(start, "Connecting to ", 14) == 0) ||
                       (length == 6 && memcmp(start, "Failed", 6) == 0) || length == 0;
        if (!progress && used + length + 4 < sizeof joined) {
            if (used > 0) {
                memcpy(joined + used, " | ", 3);
                used += 3;
            }
            memcpy(joined + used, start, length);
            used += length;
            joined[used] = 0;
        }
        start = end != nullptr ? end + 1 : start + length;
    }
    text_escape_controls(joined, line, capacity);
}

// Copies the file at source (in the private folder) to a new file beside
// target and renames it into place: without replacing an existing target
// unless overwrite. Returns 0, or -1 with a message and nothing left behind.
int write_output(const char *source, const char *target, mode_t mode, int overwrite, char *error,
                 size_t cap) {
    char temp[PATH_MAX];
    if (format_narrow(temp, sizeof temp, "%s.tmp-XXXXXX", target) < 0) {
        format_narrow(error, cap, "the output path %s is too long", target);
        return -1;
    }
    int in = open(source, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int out = in >= 0 ? mkstemp(temp) : -1;
    if (in < 0 || out < 0) {
        format_narrow(error, cap, "cannot create a file beside %s: %s", target, strerror(errno));
        if (in >= 0) close(in);
        return -1;
    }
    uint64_t total = 0;
    int result = copy_fd(in, out, UINT64_MAX, nullptr, nullptr, &total) == 0 ? 0 : -1;
    close(in);
    if (result == 0 && (fchmod(out, mode) != 0 || fsync(out) != 0)) result = -1;
    if (close(out) != 0) result = -1;
    if (result != 0) {
        format_narrow(error, cap, "cannot write %s: %s", temp, strerror(errno));
        unlink(temp);
        return -1;
    }
    if (keyfile_move_into_place(temp, target, overwrite) != 0) {
        format_narrow(error, cap,
                      errno == EEXIST ? "%s appeared while signing; it is kept (use --force to replace it)"
                                      : "cannot rename the signed file into place as %s",
                      target);
        unlink(temp);
        return -1;
    }
    char folder[PATH_MAX];
    keyfile_parent_folder(target, folder, sizeof folder);
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}

struct Options {
    const char *in, *out, *key, *certs, *tsa, *module, *pin_file, *trust_ca, *description, *time_limit;
    int force;
    int time_limit_s;
};

int parse(int argc, char **argv, Options *options) {
    memset(options, 0, sizeof *options);
    struct {
        const char *name;
        const char **value;
    } named[] = {{"--in", &options->in},           {"--out", &options->out},
                 {"--key", &options->key},         {"--certs", &options->certs},
                 {"--tsa", &options->tsa},         {"--module", &options->module},
                 {"--pin-file", &options->pin_file}, {"--trust-ca", &options->trust_ca},
                 {"--description", &options->description}, {"--time-limit", &options->time_limit}};
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--force") == 0) {
            if (options->force) return usage("%s is given twice", argv[i]);
            options->force = 1;
            continue;
        }
        const char **target = nullptr;
        for (auto &entry : named) {
            if (strcmp(argv[i], entry.name) == 0) target = entry.value;
        }
        if (target == nullptr) return usage("unknown option %s", argv[i]);
        if (*target != nullptr) return usage("%s is given twice", argv[i]);
        if (i + 1 >= argc) return usage("%s needs a value", argv[i]);
        if (argv[i + 1][0] == 0) return usage("%s has an empty value", argv[i]);
        *target = argv[++i];
    }
    if (options->in == nullptr || options->out == nullptr || options->key == nullptr ||
        options->certs == nullptr || options->tsa == nullptr) {
        return usage("%s", "--in, --out, --key, --certs and --tsa are required");
    }
    // An RFC 3161 authority over HTTP(S); a URL of plain printable characters.
    const char *tsa = options->tsa;
    for (const char *p = tsa; *p != 0; p++) {
        if ((unsigned char)*p <= 0x20 || (unsigned char)*p >= 0x7f) {
            return usage("--tsa has a blank, control or non-ASCII character: %s", "percent-encode it");
        }
    }
    if ((strncmp(tsa, "http://", 7) != 0 && strncmp(tsa, "https://", 8) != 0) || strlen(tsa) > 1000) {
        return usage("--tsa %s is not an http:// or https:// URL of a time-stamping authority", tsa);
    }
    options->time_limit_s = default_time_limit_s;
    if (options->time_limit != nullptr) {
        char *end = nullptr;
        long seconds = strtol(options->time_limit, &end, 10);
        if (end == options->time_limit || *end != 0 || seconds < 1 || seconds > 3600) {
            return usage("--time-limit %s is not a number of seconds from 1 to 3600", options->time_limit);
        }
        options->time_limit_s = (int)seconds;
    }
    if (options->description == nullptr) options->description = default_description;
    char escaped[4 * 256 + 1];
    if (strlen(options->description) > 256 ||
        text_escape_controls(options->description, escaped, sizeof escaped) < 0 ||
        strcmp(escaped, options->description) != 0) {
        char shown[4 * 256 + 1];
        text_escape_controls(options->description, shown, sizeof shown);
        return usage("--description \"%s\" has a line break, control, direction or backslash "
                     "character, or more than 256 bytes: it is shown as it is to the user who is "
                     "asked to run the file",
                     shown);
    }
    return 0;
}

// The signing itself, in the private folder private_dir; certificates are
// the --certs file's. Returns a SignPeExit.
int sign_in(const Options *options, const char *private_dir, X509 *signer_certificate, char *message,
            size_t cap) {
    char unsigned_copy[PATH_MAX], signed_copy[PATH_MAX];
    format_narrow(unsigned_copy, sizeof unsigned_copy, "%s/unsigned.exe", private_dir);
    format_narrow(signed_copy, sizeof signed_copy, "%s/signed.exe", private_dir);

    // The input: opened once, copied into the private folder, and judged there.
    int in = open(options->in, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        format_narrow(message, cap,
                      errno == ELOOP ? "%s is a symbolic link; name the file itself"
                                     : "cannot open %s: %s",
                      options->in, strerror(errno));
        return SIGN_PE_EXIT_FAILED;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(in);
        format_narrow(message, cap, "%s is not a regular file", options->in);
        return SIGN_PE_EXIT_FAILED;
    }
    if (st.st_size > MANIFEST_MAX_SIZE) {
        close(in);
        format_narrow(message, cap, "%s is larger than 2 GiB", options->in);
        return SIGN_PE_EXIT_FAILED;
    }
    mode_t mode = (st.st_mode & 0755) | 0600;
    int copy = open(unsigned_copy, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    uint8_t head[4096];
    ssize_t head_length = -1;
    uint64_t total = 0;
    int copied = copy >= 0 && copy_fd(in, copy, UINT64_MAX, nullptr, nullptr, &total) == 0;
    // The start of the file, where its headers lie, read back from the copy.
    if (copied) {
        head_length = pread(copy, head, sizeof head, 0);
        copied = head_length >= 0;
    }
    close(in);
    if (copy >= 0 && close(copy) != 0) copied = 0;
    if (!copied) {
        format_narrow(message, cap, "cannot copy %s into the private folder %s", options->in, private_dir);
        return SIGN_PE_EXIT_FAILED;
    }
    char problem[256];
    if (sign_pe_inspect(head, (size_t)head_length, total, problem, sizeof problem) != 0) {
        format_narrow(message, cap, "%s cannot be signed: %s", options->in, problem);
        return SIGN_PE_EXIT_FAILED;
    }

    // The key: the token's or the file's, and the certificate must be its own.
    char engine[PATH_MAX];
    char key_uri[3 * 2 * TOKEN_FIELD_CAPACITY + 64];
    char subject[1024];
    subject_text(signer_certificate, subject, sizeof subject);
    TokenKeyName name;
    // The PIN the token took, kept only until osslsigncode has it, and wiped
    // on every path.
    char pin[256];
    pin[0] = 0;
    int from_token = token_is_uri(options->key);
    if (from_token) {
        if (token_parse_name(options->key, options->module, options->pin_file, &name, message, cap) != 0 ||
            engine_path(engine, sizeof engine, message, cap) != 0) {
            return SIGN_PE_EXIT_FAILED;
        }
        TokenPublicKey public_key;
        int read = token_read_signing_key(&name, &public_key, pin, sizeof pin, message, cap);
        // Read; from here on no child (osslsigncode signing, the installer
        // check's runs) is given the PIN in its environment.
        unsetenv(TOKEN_PIN_VARIABLE);
        if (read != 0) return SIGN_PE_EXIT_FAILED;
        if (!certificate_holds(signer_certificate, &public_key)) {
            sodium_memzero(pin, sizeof pin);
            format_narrow(message, cap,
                          "the signer's certificate (%s, the first in %s) does not belong to the key "
                          "\"%s\" in token \"%s\": their public keys differ; give the certificate "
                          "issued for that key",
                          subject, options->certs, name.object, name.token);
            return SIGN_PE_EXIT_FAILED;
        }
        char token_value[3 * TOKEN_FIELD_CAPACITY], object_value[3 * TOKEN_FIELD_CAPACITY];
        if (uri_value(name.token, token_value, sizeof token_value) != 0 ||
            uri_value(name.object, object_value, sizeof object_value) != 0) {
            sodium_memzero(pin, sizeof pin);
            format_narrow(message, cap, "the token or object label is too long");
            return SIGN_PE_EXIT_FAILED;
        }
        format_narrow(key_uri, sizeof key_uri, "pkcs11:token=%s;object=%s;type=private", token_value,
                      object_value);
    } else {
        if (options->module != nullptr || options->pin_file != nullptr) {
            format_narrow(message, cap,
                          "--module and --pin-file belong to a key in a PKCS #11 token (pkcs11:...), "
                          "not to the key file %s",
                          options->key);
            return SIGN_PE_EXIT_FAILED;
        }
        if (check_key_file(options->key, signer_certificate, message, cap) != 0) return SIGN_PE_EXIT_FAILED;
    }

    // osslsigncode signs the private copy. The PIN (if any) reaches it only
    // through a pipe it inherits: no file holds it, so an interrupt or a
    // crash leaves it nowhere on disk.
    char pin_source[32];
    format_narrow(pin_source, sizeof pin_source, "/dev/fd/%d", PIN_DESCRIPTOR);
    const char *argv[40];
    int n = 0;
    argv[n++] = "osslsigncode";
    argv[n++] = "sign";
    argv[n++] = "-h";
    argv[n++] = "sha256";
    argv[n++] = "-certs";
    argv[n++] = options->certs;
    if (from_token) {
        argv[n++] = "-pkcs11engine";
        argv[n++] = engine;
        argv[n++] = "-pkcs11module";
        argv[n++] = name.module_path;
        argv[n++] = "-readpass";
        argv[n++] = pin_source;
        argv[n++] = "-key";
        argv[n++] = key_uri;
    } else {
        argv[n++] = "-key";
        argv[n++] = options->key;
    }
    argv[n++] = "-n";
    argv[n++] = options->description;
    argv[n++] = "-ts";
    argv[n++] = options->tsa;
    argv[n++] = "-in";
    argv[n++] = unsigned_copy;
    argv[n++] = "-out";
    argv[n++] = signed_copy;
    argv[n] = nullptr;
    char *output = (char *)heap_alloc(OUTPUT_CAPACITY);
    if (output == nullptr) {
        sodium_memzero(pin, sizeof pin);
        format_narrow(message, cap, "out of memory");
        return SIGN_PE_EXIT_FAILED;
    }
    int timed_out = 0;
    int status = child_run_with_input((char *const *)argv, from_token ? PIN_DESCRIPTOR : -1, pin,
                                      strlen(pin), options->time_limit_s, output, OUTPUT_CAPACITY,
                                      &timed_out, message, cap);
    sodium_memzero(pin, sizeof pin);
    struct stat signed_st;
    int made = status == 0 && lstat(signed_copy, &signed_st) == 0 && S_ISREG(signed_st.st_mode);
    if (status >= 0 && !made) {
        char said[1024];
        output_line(output, said, sizeof said);
        if (timed_out) {
            format_narrow(message, cap,
                          "osslsigncode did not finish within %d seconds (is the time-stamping "
                          "authority %s answering?); nothing was written",
                          options->time_limit_s, options->tsa);
        } else if (strstr(output, "timestamping failed") != nullptr ||
                   strstr(output, "timestamp reply") != nullptr) {
            format_narrow(message, cap,
                          "the time-stamping authority %s gave no time stamp, so nothing was signed: %s",
                          options->tsa, said);
        } else {
            format_narrow(message, cap, "osslsigncode could not sign %s (exit status %d): %s",
                          options->in, status, said);
        }
    }
    heap_free(output);
    if (!made) return SIGN_PE_EXIT_FAILED;
    // The signature makes the file larger: what is written must still be an
    // installer a release may carry.
    if ((uint64_t)signed_st.st_size > (uint64_t)MANIFEST_MAX_SIZE) {
        format_narrow(message, cap,
                      "the signed file has %llu bytes, more than the %llu a release installer may "
                      "have (%s has %llu), so nothing was written",
                      (unsigned long long)signed_st.st_size, (unsigned long long)MANIFEST_MAX_SIZE,
                      options->in, (unsigned long long)total);
        return SIGN_PE_EXIT_FAILED;
    }

    // The signed copy as every setup will judge it, checked where it lies:
    // the private folder is already the check's own (read once, owner-only),
    // so it needs no second copy.
    InstallerCopy signed_file;
    memset(&signed_file, 0, sizeof signed_file);
    format_narrow(signed_file.folder, sizeof signed_file.folder, "%s", private_dir);
    format_narrow(signed_file.path, sizeof signed_file.path, "%s", signed_copy);
    InstallerCheck check;
    char check_error[512];
    if (installer_check_copy(&signed_file, options->trust_ca, &check, check_error, sizeof check_error) != 0) {
        format_narrow(message, cap, "the signed file could not be checked, so nothing was written: %s",
                      check_error);
        return SIGN_PE_EXIT_FAILED;
    }
    char refusal[INSTALLER_CHECK_TEXT_CAPACITY];
    if (installer_check_refused(&check, refusal, sizeof refusal)) {
        format_narrow(message, cap, "the signed file is refused, so nothing was written: %s", refusal);
        return SIGN_PE_EXIT_FAILED;
    }
    if (child_interrupted() != 0) {
        format_narrow(message, cap, "interrupted by %s, so nothing was written",
                      child_signal_name(child_interrupted()));
        return SIGN_PE_EXIT_FAILED;
    }
    if (write_output(signed_copy, options->out, mode, options->force, message, cap) != 0) {
        return SIGN_PE_EXIT_FAILED;
    }
    char summary[AUTHENTICODE_SUMMARY_CAPACITY];
    authenticode_summary(summary, sizeof summary, check.verdict, check.status, &check.facts);
    printf("signed %s as %s: signer %s, time stamp from %s\n", options->in, options->out, subject,
           options->tsa);
    printf("every setup accepts it: %s\n", summary);
    return SIGN_PE_EXIT_OK;
}

}  // namespace

int sign_pe_command(int argc, char **argv) {
    Options options;
    int status = parse(argc, argv, &options);
    if (status != 0) return status;
    struct stat in_st, out_st;
    if (stat(options.out, &out_st) == 0) {
        if (stat(options.in, &in_st) == 0 && in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
            return usage("--out %s is the input itself; name another file", options.out);
        }
        if (!options.force) {
            char message[PATH_MAX + 64];
            format_narrow(message, sizeof message, "%s already exists (use --force to replace it)", options.out);
            return refuse(message);
        }
    }
    char folder[PATH_MAX];
    keyfile_parent_folder(options.out, folder, sizeof folder);
    struct stat folder_st;
    if (stat(folder, &folder_st) != 0 || !S_ISDIR(folder_st.st_mode)) {
        char message[2 * PATH_MAX];
        format_narrow(message, sizeof message, "the folder %s that should hold %s does not exist", folder,
                      options.out);
        return refuse(message);
    }
    if (options.trust_ca != nullptr && access(options.trust_ca, R_OK) != 0) {
        char message[PATH_MAX + 128];
        format_narrow(message, sizeof message, "cannot read the --trust-ca file %s: %s", options.trust_ca,
                      strerror(errno));
        return refuse(message);
    }
    char *message = (char *)heap_alloc(MESSAGE_CAPACITY);
    if (message == nullptr) return refuse("out of memory");
    message[0] = 0;
    STACK_OF(X509) *certificates = read_certificates(options.certs, message, MESSAGE_CAPACITY);
    if (certificates == nullptr) {
        refuse(message);
        heap_free(message);
        return SIGN_PE_EXIT_FAILED;
    }
    // Everything the signing makes lives in a folder only this user can enter,
    // and an interrupt stops osslsigncode and removes that folder before the
    // tool ends.
    child_catch_interrupts();
    char private_dir[PATH_MAX];
    if (private_folder_make("vq-sign-pe.XXXXXX", 1, private_dir, sizeof private_dir, nullptr, message,
                            MESSAGE_CAPACITY) != 0) {
        status = SIGN_PE_EXIT_FAILED;
    } else {
        status = sign_in(&options, private_dir, sk_X509_value(certificates, 0), message, MESSAGE_CAPACITY);
        remove_tree(private_dir);
    }
    if (status != SIGN_PE_EXIT_OK) refuse(message);
    int interrupted = child_interrupted();
    if (interrupted != 0) {
        sk_X509_pop_free(certificates, X509_free);
        heap_free(message);
        fflush(stdout);
        child_end_interrupted(interrupted);
    }
    sk_X509_pop_free(certificates, X509_free);
    heap_free(message);
    return status;
}
