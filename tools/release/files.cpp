// Private folders of the release tool, their removal, and copies between
// open files.
#include "tools/release/files.h"

#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path) == 0 ? 0 : -1;
}

// The owner a user namespace shows for files of users it does not map (the
// system's root among them: "/" itself), or -1 outside such a namespace,
// where every owner is known.
long unmapped_owner() {
    char map[128] = "";
    FILE *in = fopen("/proc/self/uid_map", "r");
    if (in == nullptr) return -1;
    if (fgets(map, sizeof map, in) == nullptr) map[0] = 0;
    fclose(in);
    unsigned long inside = 0, outside = 0, count = 0;
    if (sscanf(map, "%lu %lu %lu", &inside, &outside, &count) == 3 && inside == 0 && outside == 0 &&
        count == 4294967295ul) {
        return -1;
    }
    long overflow = 65534;
    in = fopen("/proc/sys/kernel/overflowuid", "r");
    if (in != nullptr) {
        if (fscanf(in, "%ld", &overflow) != 1) overflow = 65534;
        fclose(in);
    }
    return overflow;
}

// Finds root's real path (no link left in it) and checks that no other user
// can rename or replace anything in it or in a folder on the way to it: each
// is a folder owned by this user or by root that its group and others cannot
// write, or that is sticky (where only an entry's owner may rename it). In a
// user namespace (a test's), an owner it does not map counts as the system's.
// what names root in messages. Returns 0 with the real path in canonical, or -1
// with a message.
int root_is_private(const char *root, const char *what, char *canonical, size_t capacity, char *error,
                    size_t cap) {
    char resolved[PATH_MAX];
    if (realpath(root, resolved) == nullptr) {
        format_narrow(error, cap, "cannot make a private folder in %s: %s", what, strerror(errno));
        return -1;
    }
    size_t length = strlen(resolved);
    long unmapped = unmapped_owner();
    for (size_t end = 0; end <= length; end++) {
        if (end != 0 && end != length && resolved[end] != '/') continue;
        char folder[PATH_MAX];
        format_narrow(folder, sizeof folder, "%.*s", (int)(end == 0 ? 1 : end), resolved);
        struct stat st;
        if (lstat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
            format_narrow(error, cap, "cannot make a private folder in %s: cannot examine %s", what, folder);
            return -1;
        }
        int other_owner = st.st_uid != geteuid() && st.st_uid != 0 && (long)st.st_uid != unmapped;
        int others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
        if (other_owner || others_write) {
            char where[PATH_MAX + 32];
            format_narrow(where, sizeof where, end == length ? "it" : "the folder %s on the way to it",
                          folder);
            format_narrow(error, cap,
                          "cannot make a private folder in %s: %s %s (owner %lu, mode %04o), so another "
                          "user could rename or replace what is made there; point TMPDIR at a folder of "
                          "your own that only you can write to, or at a sticky one such as /tmp",
                          what, where,
                          other_owner ? "belongs to another user"
                                      : "can be written by its group or by others and is not sticky",
                          (unsigned long)st.st_uid, (unsigned)(st.st_mode & 07777));
            return -1;
        }
    }
    if (format_narrow(canonical, capacity, "%s", resolved) < 0) {
        format_narrow(error, cap, "cannot make a private folder in %s: its path is too long", what);
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

}  // namespace

int private_folder_make(const char *name, int tmp_when_long, char *folder, size_t capacity,
                        const char **base, char *error, size_t error_capacity) {
    const char *tmpdir = getenv("TMPDIR");
    const char *root = tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp";
    char what[PATH_MAX + 16];
    format_narrow(what, sizeof what, root == tmpdir ? "TMPDIR %s" : "%s", root);
    if (base != nullptr) *base = root;
    folder[0] = 0;
    char canonical[PATH_MAX];
    if (root_is_private(root, what, canonical, sizeof canonical, error, error_capacity) != 0) return -1;
    if (format_narrow(folder, capacity, "%s/%s", canonical, name) < 0) {
        folder[0] = 0;
        if (!tmp_when_long) {
            format_narrow(error, error_capacity, "cannot make a private folder in %s: its path is too long",
                          what);
            errno = ENAMETOOLONG;
            return -1;
        }
        if (base != nullptr) *base = "/tmp";
        if (root_is_private("/tmp", "/tmp", canonical, sizeof canonical, error, error_capacity) != 0) {
            return -1;
        }
        format_narrow(folder, capacity, "%s/%s", canonical, name);
    }
    if (mkdtemp(folder) == nullptr) {
        format_narrow(error, error_capacity, "cannot make a private folder %s: %s", folder, strerror(errno));
        return -1;
    }
    return 0;
}

void remove_tree(const char *folder) {
    nftw(folder, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int copy_fd(int in, int out, uint64_t limit, copy_fd_seen seen, void *context, uint64_t *total) {
    static uint8_t chunk[1 << 20];
    *total = 0;
    for (;;) {
        ssize_t r = read(in, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return COPY_FD_READ_FAILED;
        if (r == 0) return 0;
        *total += (uint64_t)r;
        if (*total > limit) return COPY_FD_TOO_LARGE;
        if (seen != nullptr) seen(context, chunk, (size_t)r);
        size_t written = 0;
        while (written < (size_t)r) {
            ssize_t w = write(out, chunk + written, (size_t)r - written);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                if (w == 0) errno = 0;
                return COPY_FD_WRITE_FAILED;
            }
            written += (size_t)w;
        }
    }
}
