// Private folders of the release tool and their removal.
#include "tools/release/files.h"

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

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
