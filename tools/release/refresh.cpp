// vornquill-release refresh: renews the freshness statement of the latest.txt
// being served. The release it describes is verified first; its lines stay
// byte for byte, the statement's three lines are replaced (or added), and the
// file is replaced in one step by a new one beside it, with the old mode.
// Meant to run from a timer, well within the statement's window.
#include "tools/release/command.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "cloud/cloud.h"
#include "common/constants.h"
#include "common/memory.h"
#include "common/text.h"
#include "release/freshness.h"
#include "release/release.h"
#include "tools/release/keyfile.h"
#include "tools/release/signer.h"
#include "tools/release/statement.h"

namespace {

// 1 when the line (n bytes, its ending dropped) is one of the statement's.
int statement_line(const char *line, size_t n) {
    static const char *const keys[] = {STATEMENT_KEY_TEXT "=", STATEMENT_KEY_KID "=",
                                       STATEMENT_KEY_SIG "="};
    for (const char *key : keys) {
        size_t k = strlen(key);
        if (n >= k && memcmp(line, key, k) == 0) return 1;
    }
    return 0;
}

// Copies the lines of text that are not the statement's, each with its own
// ending, into kept (capacity length + 3); ends the copy with a line ending
// when the last line had none. *eol becomes the first line's ending.
size_t keep_release_lines(const char *text, size_t length, char *kept, const char **eol) {
    size_t used = 0, start = 0;
    *eol = "\n";
    int first = 1;
    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n') end++;
        size_t n = end - start;  // without the line feed
        size_t content = n > 0 && text[start + n - 1] == '\r' ? n - 1 : n;
        if (first && end < length) {
            *eol = content < n ? "\r\n" : "\n";
            first = 0;
        }
        if (!statement_line(text + start, content)) {
            size_t whole = end < length ? n + 1 : n;
            memcpy(kept + used, text + start, whole);
            used += whole;
            if (end >= length && n > 0) {
                // The last line had no line feed: give it the file's ending.
                if (content < n) used--;
                memcpy(kept + used, *eol, strlen(*eol));
                used += strlen(*eol);
            }
        }
        start = end + 1;
    }
    return used;
}

// Replaces path (a regular file with the status st) by data: a new file in
// the same folder with st's mode, flushed, renamed over path once path is
// seen to be still the file that was read; then the folder is flushed.
// Returns 0, or -1 with tool_error_text and path as it was.
int replace_file(const char *path, const struct stat *st, const char *data, size_t n) {
    char folder[PATH_MAX], temp[PATH_MAX];
    if (keyfile_parent_folder(path, folder, sizeof folder) != 0 ||
        format_narrow(temp, sizeof temp, "%s/.latest.txt.refresh-XXXXXX", folder) < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "path %s is too long", path);
        return -1;
    }
    int fd = mkstemp(temp);
    if (fd < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot create a new file in %s: %s",
                      folder, strerror(errno));
        return -1;
    }
    int result = tool_fill_temp(fd, temp, (unsigned)(st->st_mode & 07777), data, n);
    struct stat now;
    if (result == 0 &&
        (lstat(path, &now) != 0 || now.st_ino != st->st_ino || now.st_dev != st->st_dev ||
         now.st_size != st->st_size || now.st_mtim.tv_sec != st->st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != st->st_mtim.tv_nsec)) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "%s changed while it was being refreshed (a publish?); it was left as it is "
                      "now: run refresh again",
                      path);
        result = -1;
    }
    if (result == 0 && rename(temp, path) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot rename %s to %s: %s", temp,
                      path, strerror(errno));
        result = -1;
    }
    if (result != 0) {
        unlink(temp);
        return -1;
    }
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "the new %s is in place, but its folder could not be flushed to disk: %s",
                      path, strerror(errno));
        if (dir >= 0) close(dir);
        return -1;
    }
    close(dir);
    return 0;
}

}  // namespace

int refresh_command(int argc, char **argv) {
    ToolOption options[] = {{"--latest", 1, nullptr},    {"--key", 1, nullptr},
                            {"--fresh-key", 1, nullptr}, {"--fresh-days", 1, nullptr},
                            {"--module", 1, nullptr},    {"--pin-file", 1, nullptr}};
    int status = tool_parse_options("refresh", argc, argv, options, 6);
    if (status != 0) return status;
    const char *path = options[0].value;
    if (path == nullptr || options[1].value == nullptr || options[2].value == nullptr) {
        return tool_usage_error("refresh", "--latest, --key and --fresh-key are required");
    }
    int days = STATEMENT_DEFAULT_DAYS;
    status = statement_days_option("refresh", options[3].value, &days);
    if (status != 0) return status;
    KeyPair release_key;
    if (keyfile_read(options[1].value, KEY_ROLE_RELEASE, 0, &release_key, tool_error_text,
                     sizeof tool_error_text) != 0) {
        return tool_failure("refresh", tool_error_text);
    }
    keyfile_wipe(&release_key);

    // The file being served: a regular file (not a link, which the rename
    // would replace by a file), read whole.
    struct stat st;
    if (lstat(path, &st) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot find %s: %s", path,
                      strerror(errno));
        return tool_failure("refresh", tool_error_text);
    }
    if (!S_ISREG(st.st_mode)) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "%s is not a regular file%s; refresh replaces the file itself", path,
                      S_ISLNK(st.st_mode) ? " but a symbolic link" : "");
        return tool_failure("refresh", tool_error_text);
    }
    uint8_t *text = nullptr;
    size_t length = 0;
    if (tool_read_file(path, (size_t)CLOUD_ENVELOPE_CAPACITY, "latest.txt", &text, &length) != 0) {
        return tool_failure("refresh", tool_error_text);
    }
    struct stat read_st;
    if (lstat(path, &read_st) != 0 || read_st.st_ino != st.st_ino ||
        read_st.st_size != (off_t)length) {
        heap_free(text);
        format_narrow(tool_error_text, sizeof tool_error_text, "%s changed while it was read",
                      path);
        return tool_failure("refresh", tool_error_text);
    }
    st = read_st;

    // The release must verify as a setup verifies it, before anything is signed.
    TrustedKey trusted = keyfile_trusted_key(&release_key);
    ReleaseInfo info;
    char detail[256];
    VerifyStatus verdict = release_verify_with_keys((const char *)text, length, version_floor(),
                                                    &trusted, 1, &info, detail, sizeof detail);
    if (verdict != VERIFY_OK) {
        char safe[4 * sizeof detail];
        text_escape_controls(detail, safe, sizeof safe);
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "%s is refused: its release does not verify with key %s: %s: %s; nothing was "
                      "signed or changed",
                      path, release_key.kid, verify_status_word(verdict), safe);
        release_free(&info);
        heap_free(text);
        return tool_failure("refresh", tool_error_text);
    }
    char version[sizeof info.version];
    format_narrow(version, sizeof version, "%s", info.version);
    uint8_t manifest_sha256[32];
    memcpy(manifest_sha256, info.manifest_sha256, sizeof manifest_sha256);
    release_free(&info);
    // The statement being replaced, as this profile's setups judge it.
    StatementInfo old_statement;
    StatementStatus old_status =
        statement_read((const char *)text, length, manifest_sha256, freshness_key_table(),
                       freshness_key_count(), (int64_t)time(nullptr), &old_statement, nullptr, 0);

    Signer fresh;
    if (signer_open(options[2].value, KEY_ROLE_FRESHNESS, options[4].value, options[5].value,
                    &fresh) != 0) {
        signer_close(&fresh);
        heap_free(text);
        return tool_failure("refresh", tool_error_text);
    }
    if (signer_profiles_match(release_key.kid, fresh.key.kid) != 0) {
        signer_close(&fresh);
        heap_free(text);
        return tool_failure("refresh", tool_error_text);
    }

    int result = -1;
    char *kept = (char *)heap_alloc(length + 3);
    char *whole = nullptr;
    size_t whole_length = 0;
    const char *eol = "\n";
    int64_t issued = (int64_t)time(nullptr);
    StatementCheck check;
    memset(&check, 0, sizeof check);
    if (kept == nullptr) {
        format_narrow(tool_error_text, sizeof tool_error_text, "out of memory");
    } else {
        // The new file as a setup reads it: the same release, and the
        // statement verified with the freshness key.
        size_t kept_length = keep_release_lines((const char *)text, length, kept, &eol);
        whole = statement_append(&fresh, manifest_sha256, kept, kept_length, eol, issued,
                                 issued + (int64_t)days * STATEMENT_DAY_S, &trusted,
                                 version_floor(), &check, &whole_length);
        if (whole == nullptr) {
            // tool_error_text says why
        } else if (check.statement != STATEMENT_OK || check.release != VERIFY_OK) {
            format_narrow(tool_error_text, sizeof tool_error_text,
                          "the refreshed latest.txt does not pass its own check (statement %s: "
                          "%s; release %s); nothing was changed",
                          statement_status_word(check.statement), check.statement_detail,
                          verify_status_word(check.release));
        } else {
            result = replace_file(path, &st, whole, whole_length);
        }
    }
    signer_close(&fresh);
    heap_free(whole);
    heap_free(kept);
    heap_free(text);
    if (result != 0) return tool_failure("refresh", tool_error_text);

    char from[32], until[32], before[96];
    fresh_time_text(check.info.issued, from, sizeof from);
    fresh_time_text(check.info.expires, until, sizeof until);
    if (old_status == STATEMENT_OK || old_status == STATEMENT_EXPIRED) {
        char old_until[32];
        fresh_time_text(old_statement.expires, old_until, sizeof old_until);
        format_narrow(before, sizeof before, "; the statement it replaced %s %s",
                      old_status == STATEMENT_EXPIRED ? "expired at" : "was fresh until",
                      old_until);
    } else {
        format_narrow(before, sizeof before, "; it had no statement of this profile's keys (%s)",
                      statement_status_word(old_status));
    }
    printf("refreshed %s (release %s, %s): fresh from %s until %s (%d days), signed with %s%s\n",
           path, version, release_key.kid, from, until, days, fresh.key.kid, before);
    return 0;
}
