// vornquill-release publish: checks an installer as every setup will, and makes
// the release folder as the cloud serves it: files/<version>/<name> and latest.txt.
#include "tools/release/command.h"

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
#include "release/freshness.h"
#include "release/manifest.h"
#include "release/release.h"
#include "release/version.h"
#include "tools/release/files.h"
#include "tools/release/installer_check.h"
#include "tools/release/keyfile.h"
#include "tools/release/signer.h"
#include "tools/release/statement.h"

namespace {

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
    crypto_hash_sha256_update((crypto_hash_sha256_state *)context, data,
                              (unsigned long long)length);
}

// Copies the installer into target while hashing it; gives its size and digest.
int copy_and_hash(const char *source, const char *target, uint64_t *size, uint8_t digest[32]) {
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot open installer %s: %s",
                      source, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(tool_error_text, sizeof tool_error_text, "installer %s is not a regular file",
                      source);
        close(in);
        return -1;
    }
    if (st.st_size <= 0 || st.st_size > MANIFEST_MAX_SIZE) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "installer %s has %lld bytes; a release installer has 1 to 2147483648",
                      source, (long long)st.st_size);
        close(in);
        return -1;
    }
    int out = open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot create %s: %s", target,
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
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot read installer %s: %s",
                      source, strerror(errno));
        result = -1;
    } else if (copied != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot copy installer %s to %s",
                      source, target);
        result = -1;
    }
    if (result == 0 && total != (uint64_t)st.st_size) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "installer %s changed size while being read", source);
        result = -1;
    }
    if (result == 0 && fsync(out) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot write %s: %s", target,
                      strerror(errno));
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
// With a freshness key (fresh not null) latest.txt also carries the
// statement that keeps the release fresh for days days from now.
int build_release(const char *work, const InstallerCopy *installer, const char *version,
                  const char *file_name, Signer *signer, Signer *fresh, int days) {
    const KeyPair *key = &signer->key;
    char path[PATH_MAX];
    if (format_narrow(path, sizeof path, "%s/files", work) < 0 || mkdir(path, 0755) != 0 ||
        format_narrow(path, sizeof path, "%s/files/%s", work, version) < 0 ||
        mkdir(path, 0755) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot create %s: %s", path,
                      strerror(errno));
        return -1;
    }
    if (format_narrow(path, sizeof path, "%s/files/%s/%s", work, version, file_name) < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "the output path is too long");
        return -1;
    }
    uint64_t size = 0;
    uint8_t digest[32];
    if (copy_and_hash(installer->path, path, &size, digest) != 0) return -1;
    if (size != installer->size || memcmp(digest, installer->sha256, sizeof digest) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text,
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
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "the manifest does not fit its buffer");
        return -1;
    }
    size_t length = 0;
    char *envelope = signer_make_envelope(signer, (const uint8_t *)manifest, (size_t)n, &length);
    if (envelope == nullptr) return -1;
    // Check the release with the verifier itself before it is written.
    TrustedKey trusted = keyfile_trusted_key(key);
    ReleaseInfo info;
    char detail[256];
    VerifyStatus verdict = release_verify_with_keys(envelope, length, "0.0.0", &trusted, 1, &info,
                                                    detail, sizeof detail);
    bool same = verdict == VERIFY_OK && strcmp(info.fileName, file_name) == 0 &&
                info.size == (int64_t)size && strcmp(info.sha256_hex, hex) == 0;
    uint8_t manifest_sha256[32];
    memcpy(manifest_sha256, info.manifest_sha256, sizeof manifest_sha256);
    release_free(&info);
    int result = 0;
    if (!same) {
        char safe_detail[4 * sizeof detail];
        text_escape_controls(detail, safe_detail, sizeof safe_detail);
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "the release does not pass its own verification: %s: %s",
                      verify_status_word(verdict), safe_detail);
        result = -1;
    }
    // The freshness statement after the release lines, read back as a
    // setup reads it before it is written.
    StatementCheck check;
    memset(&check, 0, sizeof check);
    if (result == 0 && fresh != nullptr) {
        int64_t issued = (int64_t)time(nullptr);
        size_t whole_length = 0;
        char *whole = statement_append(fresh, manifest_sha256, envelope, length, "\n", issued,
                                       issued + (int64_t)days * STATEMENT_DAY_S, &trusted,
                                       "0.0.0", &check, &whole_length);
        if (whole == nullptr) {
            result = -1;
        } else {
            heap_free(envelope);
            envelope = whole;
            length = whole_length;
            if (check.statement != STATEMENT_OK) {
                format_narrow(tool_error_text, sizeof tool_error_text,
                              "the freshness statement does not pass its own check: %s: %s",
                              statement_status_word(check.statement), check.statement_detail);
                result = -1;
            } else if (check.release != VERIFY_OK) {
                format_narrow(tool_error_text, sizeof tool_error_text,
                              "the release with its statement does not pass its own "
                              "verification: %s: %s",
                              verify_status_word(check.release), check.release_detail);
                result = -1;
            }
        }
    }
    if (result == 0 && (format_narrow(path, sizeof path, "%s/latest.txt", work) < 0 ||
                        tool_write_file_atomic(path, envelope, length, 0) != 0)) {
        result = -1;
    }
    heap_free(envelope);
    if (result == 0) {
        printf(
            "published %s %s (%llu bytes, sha256 %s) signed with %s; installer checked as a "
            "%s-profile setup checks it\n",
            version, file_name, (unsigned long long)size, hex, key->kid, build_profile());
        if (fresh != nullptr) {
            char issued[32], expires[32];
            fresh_time_text(check.info.issued, issued, sizeof issued);
            fresh_time_text(check.info.expires, expires, sizeof expires);
            printf(
                "fresh from %s until %s (%d days), signed with %s; keep it fresh with "
                "vornquill-release refresh before then\n",
                issued, expires, days, fresh->key.kid);
        }
    }
    return result;
}

}  // namespace

int publish_command(int argc, char **argv) {
    ToolOption options[] = {{"--installer", 1, nullptr},
                            {"--version", 1, nullptr},
                            {"--key", 1, nullptr},
                            {"--out", 1, nullptr},
                            {"--self-signed", 0, nullptr},
                            {"--force", 0, nullptr},
                            {"--module", 1, nullptr},
                            {"--pin-file", 1, nullptr},
                            {"--trust-ca", 1, nullptr},
                            {"--allow-refused-installer", 0, nullptr},
                            {"--fresh-key", 1, nullptr},
                            {"--fresh-days", 1, nullptr},
                            {"--fresh-pin-file", 1, nullptr},
                            {"--no-fresh-key", 0, nullptr}};
    int status = tool_parse_options("publish", argc, argv, options, 14);
    if (status != 0) return status;
    const char *installer = options[0].value;
    const char *version = options[1].value;
    const char *key_path = options[2].value;
    const char *out = options[3].value;
    int self_signed = options[4].value != nullptr;
    int force = options[5].value != nullptr;
    if (installer == nullptr || version == nullptr || key_path == nullptr || out == nullptr) {
        return tool_usage_error("publish", "--installer, --version, --key and --out are required");
    }
    const char *fresh_path = options[10].value;
    int days = STATEMENT_DEFAULT_DAYS;
    status = statement_days_option("publish", options[11].value, &days);
    if (status != 0) return status;
    if (fresh_path == nullptr && (options[11].value != nullptr || options[12].value != nullptr)) {
        return tool_usage_error("publish",
                                "--fresh-days and --fresh-pin-file belong to --fresh-key");
    }
    // Every setup refuses a release without a freshness statement: it is
    // published so only when asked for, by a signing host that leaves the
    // statement to refresh on the publishing host.
    int no_fresh = options[13].value != nullptr;
    if (fresh_path != nullptr && no_fresh) {
        return tool_usage_error("publish", "--fresh-key and --no-fresh-key exclude each other");
    }
    if (fresh_path == nullptr && !no_fresh) {
        return tool_usage_error(
            "publish",
            "--fresh-key is needed: every setup refuses a release without its freshness statement. "
            "On a signing host without the freshness key give --no-fresh-key, and add the "
            "statement "
            "with vornquill-release refresh on the publishing host before the release is served");
    }
    if (!version_valid(version)) {
        return tool_usage_error(
            "publish", "--version %s is not a valid version (1.2.3 or 1.2.3-pre.release)", version);
    }
    char file_name[201];
    manifest_installer_name(version, self_signed, file_name, sizeof file_name);

    // The output folder: its parent must exist; the folder itself may be
    // missing or empty, or is replaced with --force.
    char target[PATH_MAX];
    size_t out_length = strlen(out);
    while (out_length > 1 && out[out_length - 1] == '/') out_length--;
    if (out_length >= sizeof target) return tool_failure("publish", "the output path is too long");
    memcpy(target, out, out_length);
    target[out_length] = 0;
    const char *slash = strrchr(target, '/');
    const char *base = slash != nullptr ? slash + 1 : target;
    if (strcmp(base, ".") == 0 || strcmp(base, "..") == 0 || strcmp(target, "/") == 0) {
        return tool_usage_error("publish", "--out %s must name a folder, not . or ..", out);
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
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "the folder %s that should hold %s does not exist", parent, target);
        return tool_failure("publish", tool_error_text);
    }
    bool exists = false;
    if (lstat(target, &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            format_narrow(tool_error_text, sizeof tool_error_text, "%s exists and is not a folder",
                          target);
            return tool_failure("publish", tool_error_text);
        }
        int entries = directory_has_entries(target);
        if (entries < 0) {
            format_narrow(tool_error_text, sizeof tool_error_text, "cannot read folder %s: %s",
                          target, strerror(errno));
            return tool_failure("publish", tool_error_text);
        }
        if (entries == 1 && !force) {
            format_narrow(tool_error_text, sizeof tool_error_text,
                          "%s is not empty; refusing to overwrite it (use --force)", target);
            return tool_failure("publish", tool_error_text);
        }
        exists = true;
    }

    const char *trust_ca = options[8].value;
    int allow_refused = options[9].value != nullptr;
    if (trust_ca != nullptr && access(trust_ca, R_OK) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "cannot read the --trust-ca file %s: %s", trust_ca, strerror(errno));
        return tool_failure("publish", tool_error_text);
    }
    Signer signer, fresh;
    memset(&fresh, 0, sizeof fresh);
    // --module serves a key in a token, the release key's or the freshness
    // key's (or both); each key's PIN comes from its own file.
    const char *module = options[6].value;
    int fresh_in_token = fresh_path != nullptr && token_is_uri(fresh_path);
    const char *release_module =
        module != nullptr && fresh_in_token && !token_is_uri(key_path) ? nullptr : module;
    if (signer_open(key_path, KEY_ROLE_RELEASE, release_module, options[7].value, &signer) != 0 ||
        (fresh_path != nullptr &&
         signer_open(fresh_path, KEY_ROLE_FRESHNESS, fresh_in_token ? module : nullptr,
                     options[12].value, &fresh) != 0)) {
        signer_close(&signer);
        signer_close(&fresh);
        return tool_failure("publish", tool_error_text);
    }
    // The key must be one that setups of this tool's profile may trust.
    const char *key_profile = keyfile_profile_of_kid(signer.key.kid);
    if (key_profile != nullptr && strcmp(key_profile, build_profile()) != 0) {
        format_narrow(
            tool_error_text, sizeof tool_error_text,
            "key %s is the %s profile's release key, but this tool was built with the %s "
            "profile and judges installers with its pins: publish with a vornquill-release "
            "built with -DVQ_PROFILE=%s",
            signer.key.kid, key_profile, build_profile(), key_profile);
        signer_close(&signer);
        signer_close(&fresh);
        return tool_failure("publish", tool_error_text);
    }
    // The statement's key must be trusted by the setups that trust the
    // release key: a freshness key of the other profile is refused.
    if (fresh_path != nullptr && signer_profiles_match(signer.key.kid, fresh.key.kid) != 0) {
        signer_close(&signer);
        signer_close(&fresh);
        return tool_failure("publish", tool_error_text);
    }
    if (allow_refused && strcmp(build_profile(), "test") != 0 &&
        (key_profile == nullptr || strcmp(key_profile, "test") != 0)) {
        format_narrow(
            tool_error_text, sizeof tool_error_text,
            "--allow-refused-installer publishes an installer every setup refuses: it is "
            "only for test releases, signed with the test release key or by a test-profile "
            "tool, not with key %s in this %s-profile tool",
            signer.key.kid, build_profile());
        signer_close(&signer);
        signer_close(&fresh);
        return tool_failure("publish", tool_error_text);
    }

    // The installer as every setup will judge it, before anything is
    // written: read once into a private folder, and published from there.
    InstallerCopy copy;
    if (installer_copy_make(installer, &copy, tool_error_text, sizeof tool_error_text) != 0) {
        signer_close(&signer);
        signer_close(&fresh);
        return tool_failure("publish", tool_error_text);
    }
    {
        InstallerCheck check;
        char reason[sizeof tool_error_text];
        if (installer_check_copy(&copy, trust_ca, &check, reason, sizeof reason) != 0) {
            format_narrow(tool_error_text, sizeof tool_error_text,
                          "installer %s is refused: its check failed: %s", installer, reason);
            installer_copy_remove(&copy);
            signer_close(&signer);
            signer_close(&fresh);
            return tool_failure("publish", tool_error_text);
        }
        char refusal[INSTALLER_CHECK_TEXT_CAPACITY];
        if (installer_check_refused(&check, refusal, sizeof refusal)) {
            char line[INSTALLER_CHECK_TEXT_CAPACITY + PATH_MAX + 64];
            if (!allow_refused) {
                format_narrow(
                    line, sizeof line,
                    "installer %s is refused: %s; a test fixture that must be published as it "
                    "is takes --allow-refused-installer",
                    installer, refusal);
                installer_copy_remove(&copy);
                signer_close(&signer);
                signer_close(&fresh);
                return tool_failure("publish", line);
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
        signer_close(&fresh);
        installer_copy_remove(&copy);
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "cannot create a work folder beside %s: %s", target, strerror(errno));
        return tool_failure("publish", tool_error_text);
    }
    chmod(work, 0755);
    int result = build_release(work, &copy, version, file_name, &signer,
                               fresh_path != nullptr ? &fresh : nullptr, days);
    signer_close(&signer);
    signer_close(&fresh);
    installer_copy_remove(&copy);
    if (result != 0) {
        remove_tree(work);
        return tool_failure("publish", tool_error_text);
    }
    if (no_fresh) {
        fprintf(
            stderr,
            "vornquill-release publish: WARNING: --no-fresh-key: %s/latest.txt has no freshness "
            "statement, and every setup refuses it until vornquill-release refresh adds one\n",
            target);
    }
    if (!exists) {
        if (rename(work, target) != 0) {
            format_narrow(tool_error_text, sizeof tool_error_text, "cannot rename %s to %s: %s",
                          work, target, strerror(errno));
            remove_tree(work);
            return tool_failure("publish", tool_error_text);
        }
        return 0;
    }
    // Swap the new folder with the old one in one step, then remove the old.
    if (renameat2(AT_FDCWD, work, AT_FDCWD, target, RENAME_EXCHANGE) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot replace %s: %s", target,
                      strerror(errno));
        remove_tree(work);
        return tool_failure("publish", tool_error_text);
    }
    remove_tree(work);
    return 0;
}
