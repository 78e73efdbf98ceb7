/* Preloaded into the release tool by its test, to show what the file system
   would otherwise hide:
   - VQ_PROBE_NO_NOREPLACE=1: renameat2 with RENAME_NOREPLACE fails with
     EINVAL, as on a file system without it;
   - VQ_PROBE_FSYNC_LOG=FILE: every fsync of a folder appends the folder's
     path and a line break to FILE;
   - VQ_PROBE_FAIL_FOLDER_FSYNC=1: every fsync of a folder fails with EIO. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned int flags) {
    const char *off = getenv("VQ_PROBE_NO_NOREPLACE");
    if ((flags & RENAME_NOREPLACE) && off != NULL && strcmp(off, "1") == 0) {
        errno = EINVAL;
        return -1;
    }
    return (int)syscall(SYS_renameat2, from_dir, from, to_dir, to, flags);
}

int fsync(int fd) {
    const char *log = getenv("VQ_PROBE_FSYNC_LOG");
    struct stat st;
    if (log != NULL && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        char link[64], path[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, path, sizeof path - 1);
        if (n > 0) {
            path[n] = 0;
            FILE *out = fopen(log, "a");
            if (out != NULL) {
                fprintf(out, "%s\n", path);
                fclose(out);
            }
        }
    }
    const char *fail = getenv("VQ_PROBE_FAIL_FOLDER_FSYNC");
    if (fail != NULL && strcmp(fail, "1") == 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return (int)syscall(SYS_fsync, fd);
}
