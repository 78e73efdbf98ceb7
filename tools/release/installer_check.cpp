// The installer check of publish: the file's PE header, then osslsigncode
// for the Authenticode digest and time stamp, OpenSSL for the first signer's
// certificate and its chain, and the setup's own verdict over those facts.
#include "tools/release/installer_check.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pkcs7.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "common/constants.h"
#include "common/memory.h"
#include "common/text.h"

extern char **environ;

namespace {

// Statuses of the trust check that the verdict does not tell apart by name:
// a signature over its attributes that does not verify, and a chain that
// fails for more than its root.
const uint32_t status_not_trusted = 0x800B0004u;  // TRUST_E_SUBJECT_NOT_TRUSTED
const uint32_t status_chain_failed = 0x800B010Au;  // CERT_E_CHAINING

const char system_roots[] = "/etc/ssl/certs/ca-certificates.crt";

enum { OUTPUT_CAPACITY = 262144 };

// Runs argv with standard output and error into output (cut to capacity).
// Returns the exit status, or -1 with a message when it could not run.
int run_tool(char *const argv[], char *output, size_t capacity, char *error, size_t cap) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        format_narrow(error, cap, "cannot run %s: %s", argv[0], strerror(errno));
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (spawned != 0) {
        close(pipe_fds[0]);
        format_narrow(error, cap,
                      "cannot run %s (%s); publish reads the installer's signature with it: install it "
                      "(scripts/setup-deps)",
                      argv[0], strerror(spawned));
        return -1;
    }
    size_t used = 0;
    for (;;) {
        char chunk[4096];
        ssize_t r = read(pipe_fds[0], chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        size_t take = (size_t)r;
        if (used + take >= capacity) take = capacity - 1 - used;
        memcpy(output + used, chunk, take);
        used += take;
    }
    output[used] = 0;
    close(pipe_fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// 1 when output has a line that begins with prefix and holds want after it.
int has_line(const char *output, const char *prefix, const char *want) {
    size_t n = strlen(prefix);
    for (const char *line = output; line != nullptr && *line != 0;) {
        const char *end = strchr(line, '\n');
        size_t length = end != nullptr ? (size_t)(end - line) : strlen(line);
        if (length >= n && memcmp(line, prefix, n) == 0) {
            if (want == nullptr) return 1;
            const char *found = strstr(line + n, want);
            if (found != nullptr && found < line + length) return 1;
        }
        line = end != nullptr ? end + 1 : nullptr;
    }
    return 0;
}

// The PE header: MZ, then PE\0\0 with machine x64 and a PE32+ optional header
// of an executable image (not a DLL).
void check_pe(const char *path, InstallerCheck *check) {
    uint8_t head[4096];
    memset(head, 0, sizeof head);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, head, sizeof head) : -1;
    if (fd >= 0) close(fd);
    const char *problem = nullptr;
    uint32_t at = n >= 64 ? (uint32_t)(head[0x3c] | head[0x3d] << 8 | head[0x3e] << 16 | (uint32_t)head[0x3f] << 24) : 0;
    if (n < 64 || head[0] != 'M' || head[1] != 'Z') {
        problem = "it is not a Windows executable (no MZ header)";
    } else if (at > (uint32_t)n - 26 || (uint32_t)n < 26 || memcmp(head + at, "PE\0\0", 4) != 0) {
        problem = "it is not a Windows executable (no PE header)";
    } else {
        unsigned machine = head[at + 4] | head[at + 5] << 8;
        unsigned characteristics = head[at + 22] | head[at + 23] << 8;
        unsigned magic = head[at + 24] | head[at + 25] << 8;
        if (machine != 0x8664 || magic != 0x20b) {
            format_narrow(check->pe_problem, sizeof check->pe_problem,
                          "it is not a 64-bit (x64) Windows executable (machine 0x%04x, optional header "
                          "0x%03x); the setup installs x64 installers only",
                          machine, magic);
            return;
        }
        if ((characteristics & 0x0002) == 0 || (characteristics & 0x2000) != 0) {
            problem = "it is a library or object, not an executable image";
        }
    }
    if (problem != nullptr) {
        format_narrow(check->pe_problem, sizeof check->pe_problem, "%s", problem);
        return;
    }
    check->pe64 = 1;
}

// The chain errors that only say the root is not trusted here.
int untrusted_root_error(int error) {
    return error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
           error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
           error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
           error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT;
}

// Every error of the chain is seen: 1 in *others when one is not about the root.
int chain_callback(int ok, X509_STORE_CTX *ctx) {
    if (!ok) {
        int *counts = (int *)X509_STORE_CTX_get_app_data(ctx);
        int error = X509_STORE_CTX_get_error(ctx);
        if (untrusted_root_error(error)) {
            counts[0]++;
        } else {
            counts[1]++;
        }
    }
    return 1;
}

// Reads the first signer's certificate from the extracted signature and fills
// the facts that depend on it; chain_errors gets {root errors, other errors}.
int read_signer(const char *signature_path, const char *trust_ca, InstallerCheck *check,
                int chain_errors[2], char *error, size_t cap) {
    FILE *in = fopen(signature_path, "rb");
    PKCS7 *p7 = in != nullptr ? d2i_PKCS7_fp(in, nullptr) : nullptr;
    if (in != nullptr) fclose(in);
    if (p7 == nullptr || !PKCS7_type_is_signed(p7)) {
        if (p7 != nullptr) PKCS7_free(p7);
        format_narrow(error, cap, "the installer's signature is not a PKCS #7 SignedData");
        return -1;
    }
    int result = -1;
    STACK_OF(X509) *signers = PKCS7_get0_signers(p7, nullptr, 0);
    X509 *signer = signers != nullptr && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    X509_STORE *store = nullptr;
    X509_STORE_CTX *ctx = nullptr;
    if (signer == nullptr) {
        // No signing certificate: the facts stay zero, as on Windows.
        result = 0;
        goto done;
    }
    {
        AuthenticodeFacts *facts = &check->facts;
        facts->certificate = 1;
        unsigned int length = 0;
        if (X509_digest(signer, EVP_sha1(), facts->thumbprint, &length) == 1 && length == 20) {
            facts->thumbprint_known = 1;
            facts->pinned = (uint32_t)authenticode_thumbprint_pinned(facts->thumbprint);
        }
        facts->self_signed = X509_NAME_cmp(X509_get_subject_name(signer), X509_get_issuer_name(signer)) == 0;
        char organization[256] = "";
        X509_NAME_get_text_by_NID(X509_get_subject_name(signer), NID_organizationName, organization,
                                  sizeof organization);
        char vendor[256];
        utf16_to_utf8(signer_organization(), vendor, sizeof vendor);
        facts->organization_match = organization[0] != 0 && strcmp(organization, vendor) == 0;
        X509_NAME_oneline(X509_get_subject_name(signer), check->signer, sizeof check->signer);
    }
    store = X509_STORE_new();
    ctx = X509_STORE_CTX_new();
    if (store == nullptr || ctx == nullptr ||
        X509_STORE_load_file(store, system_roots) != 1 ||
        (trust_ca != nullptr && X509_STORE_load_file(store, trust_ca) != 1)) {
        format_narrow(error, cap, "cannot load the trusted roots (%s%s%s)", system_roots,
                      trust_ca != nullptr ? ", " : "", trust_ca != nullptr ? trust_ca : "");
        goto done;
    }
    X509_STORE_set_verify_cb(store, chain_callback);
    if (X509_STORE_CTX_init(ctx, store, signer, p7->d.sign->cert) != 1) {
        format_narrow(error, cap, "cannot check the signer's certificate chain");
        goto done;
    }
    X509_STORE_CTX_set_app_data(ctx, chain_errors);
    X509_verify_cert(ctx);
    result = 0;
done:
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    sk_X509_free(signers);
    PKCS7_free(p7);
    return result;
}

}  // namespace

int installer_check(const char *path, const char *trust_ca, InstallerCheck *check, char *error,
                    size_t cap) {
    memset(check, 0, sizeof *check);
    check_pe(path, check);

    // One file of every trusted root, for osslsigncode's time-stamp check.
    char roots[] = "/tmp/vq-release-roots-XXXXXX";
    char signature[] = "/tmp/vq-release-signature-XXXXXX";
    int roots_fd = mkstemp(roots);
    int signature_fd = roots_fd >= 0 ? mkstemp(signature) : -1;
    char *output = (char *)heap_alloc(OUTPUT_CAPACITY);
    int result = -1;
    if (roots_fd < 0 || signature_fd < 0 || output == nullptr) {
        format_narrow(error, cap, "cannot make temporary files to check the installer: %s",
                      strerror(errno));
        goto done;
    }
    close(signature_fd);
    signature_fd = -1;
    {
        const char *sources[2] = {system_roots, trust_ca};
        for (const char *source : sources) {
            if (source == nullptr) continue;
            int in = open(source, O_RDONLY | O_CLOEXEC);
            if (in < 0) {
                format_narrow(error, cap, "cannot read the trusted roots %s: %s", source,
                              strerror(errno));
                goto done;
            }
            char chunk[8192];
            ssize_t r;
            while ((r = read(in, chunk, sizeof chunk)) > 0) {
                if (write(roots_fd, chunk, (size_t)r) != r) {
                    r = -1;
                    break;
                }
            }
            close(in);
            if (r < 0 || write(roots_fd, "\n", 1) != 1) {
                format_narrow(error, cap, "cannot gather the trusted roots");
                goto done;
            }
        }
    }
    {
        char *verify_argv[] = {(char *)"osslsigncode", (char *)"verify", (char *)"-in", (char *)path,
                               (char *)"-CAfile", roots, (char *)"-TSA-CAfile", roots, nullptr};
        if (run_tool(verify_argv, output, OUTPUT_CAPACITY, error, cap) < 0) goto done;
    }
    if (has_line(output, "No signature found", nullptr)) {
        check->status = AUTHENTICODE_TRUST_E_NOSIGNATURE;
    } else if (has_line(output, "Calculated message digest", "MISMATCH")) {
        check->status = AUTHENTICODE_TRUST_E_BAD_DIGEST;
    } else if (!has_line(output, "Calculated message digest", nullptr)) {
        // A signature osslsigncode cannot read: Windows would not read it either.
        check->status = status_not_trusted;
    } else {
        check->facts.timestamp = (uint32_t)has_line(output, "Timestamp Server Signature verification: ok", nullptr);
        char *extract_argv[] = {(char *)"osslsigncode", (char *)"extract-signature", (char *)"-in",
                                (char *)path, (char *)"-out", signature, nullptr};
        unlink(signature);  // osslsigncode makes it new
        char *extract_output = (char *)heap_alloc(OUTPUT_CAPACITY);
        int extracted = extract_output != nullptr
                            ? run_tool(extract_argv, extract_output, OUTPUT_CAPACITY, error, cap)
                            : -1;
        heap_free(extract_output);
        if (extracted < 0) goto done;
        int chain_errors[2] = {0, 0};
        if (read_signer(signature, trust_ca, check, chain_errors, error, cap) != 0) goto done;
        int chain_ok = check->facts.certificate && chain_errors[0] == 0 && chain_errors[1] == 0;
        if (!check->facts.certificate) {
            check->status = status_not_trusted;
        } else if (has_line(output, "Signature verification: ok", nullptr) && chain_ok) {
            check->status = 0;
        } else if (chain_errors[1] == 0 && chain_errors[0] > 0) {
            check->status = AUTHENTICODE_CERT_E_UNTRUSTEDROOT;
            check->facts.chain_untrusted_root_only = 1;
        } else if (chain_ok) {
            check->status = status_not_trusted;  // the chain is fine, the signature is not
        } else {
            check->status = status_chain_failed;
        }
    }
    check->verdict = authenticode_verdict(check->status, &check->facts);
    result = 0;
done:
    if (roots_fd >= 0) close(roots_fd);
    unlink(roots);
    if (signature_fd >= 0) close(signature_fd);
    if (roots_fd >= 0) unlink(signature);
    heap_free(output);
    return result;
}

int installer_check_refused(const InstallerCheck *check, char *message, size_t capacity) {
    if (!check->pe64) {
        format_narrow(message, capacity,
                      "%s. Fix: publish the x64 installer executable of the release, signed", check->pe_problem);
        return 1;
    }
    if (authenticode_verdict_accepted(check->verdict)) return 0;
    char summary[AUTHENTICODE_SUMMARY_CAPACITY];
    authenticode_summary(summary, sizeof summary, check->verdict, check->status, &check->facts);
    const char *fix = "";
    switch (check->verdict) {
    case AUTHENTICODE_NOT_SIGNED:
        fix = "sign it with the vendor's code-signing certificate and a time stamp (osslsigncode sign "
              "-h sha256 ... -ts URL)";
        break;
    case AUTHENTICODE_MODIFIED:
        fix = "the file changed after it was signed: sign the final file again, and change nothing after";
        break;
    case AUTHENTICODE_PINNED_NO_TIMESTAMP:
    case AUTHENTICODE_TRUSTED_NO_TIMESTAMP:
        fix = "sign it again with a time stamp from a time-stamping authority that the machines trust "
              "(-ts URL); without one the signature ends with the certificate";
        break;
    case AUTHENTICODE_NOT_VENDOR:
        fix = "sign it with the vendor's own code-signing certificate (the organisation the setup "
              "demands, or the pinned certificate)";
        break;
    default:
        fix = "sign it with the pinned certificate or a publicly trusted certificate of the vendor; "
              "if its root is one the machines trust but this one does not, name it with --trust-ca FILE";
        break;
    }
    char signer[4 * sizeof check->signer + 1];
    text_escape_controls(check->signer, signer, sizeof signer);
    format_narrow(message, capacity, "every setup refuses its signature: %s%s%s. Fix: %s", summary,
                  signer[0] != 0 ? "; signer " : "", signer, fix);
    return 1;
}
