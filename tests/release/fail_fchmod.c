/* Preloaded into the release tool by its test: every fchmod fails with
   EPERM, as on a file system that refuses mode changes. */
#include <errno.h>
#include <sys/stat.h>

int fchmod(int fd, mode_t mode) {
    (void)fd;
    (void)mode;
    errno = EPERM;
    return -1;
}
