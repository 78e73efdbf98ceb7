/* Preloaded into the release tool by its test: with VQ_PROBE_FAIL_WAITPID=1,
   waitpid lets the child go as the system does for a process that ignores
   SIGCHLD (the child is reaped, its status lost) and then fails with ECHILD,
   as waitpid does there. It takes itself out of the environment, so that the
   tool's children (a shell among them) wait as ever. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

__attribute__((constructor)) static void leave_the_environment(void) { unsetenv("LD_PRELOAD"); }

pid_t waitpid(pid_t pid, int *status, int options) {
    const char *fail = getenv("VQ_PROBE_FAIL_WAITPID");
    if (fail == NULL || strcmp(fail, "1") != 0) return (pid_t)syscall(SYS_wait4, pid, status, options, NULL);
    int lost = 0;
    pid_t reaped = (pid_t)syscall(SYS_wait4, pid, &lost, options, NULL);
    if (reaped <= 0) return reaped;
    errno = ECHILD;
    return -1;
}
