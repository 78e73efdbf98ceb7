// Private folders of the release tool, their removal, and copies between
// open files.
#include "tools/release/files.h"

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path) == 0 ? 0 : -1;
}

}  // namespace

int private_folder_make(const char *name, int tmp_when_long, char *folder, size_t capacity,
                        const char **base) {
    const char *root = getenv("TMPDIR");
    if (root == nullptr || root[0] != '/') root = "/tmp";
    if (base != nullptr) *base = root;
    if (format_narrow(folder, capacity, "%s/%s", root, name) < 0) {
        if (!tmp_when_long) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (base != nullptr) *base = "/tmp";
        format_narrow(folder, capacity, "/tmp/%s", name);
    }
    return mkdtemp(folder) != nullptr ? 0 : -1;
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
