// Children of the release tool: one way to start them, so that none of them
// is ever given the token's PIN.
#include "tools/release/child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "common/memory.h"
#include "common/text.h"
#include "tools/release/token.h"

extern char **environ;

namespace {

// This process's environment without the PIN variable: a heap array of the
// same strings (not copies), or null when out of memory.
char **child_environment() {
    size_t count = 0;
    while (environ != nullptr && environ[count] != nullptr) count++;
    char **copy = (char **)heap_alloc((count + 1) * sizeof *copy);
    if (copy == nullptr) return nullptr;
    const size_t prefix = strlen(TOKEN_PIN_VARIABLE);
    size_t kept = 0;
    for (size_t i = 0; i < count; i++) {
        if (strncmp(environ[i], TOKEN_PIN_VARIABLE, prefix) == 0 && environ[i][prefix] == '=') continue;
        copy[kept++] = environ[i];
    }
    copy[kept] = nullptr;
    return copy;
}

long elapsed_ms_since(const struct timespec *start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)(now.tv_sec - start->tv_sec) * 1000 + (now.tv_nsec - start->tv_nsec) / 1000000;
}

}  // namespace

int child_run(char *const argv[], int time_limit_s, char *output, size_t capacity, int *timed_out,
              char *error, size_t error_capacity) {
    if (timed_out != nullptr) *timed_out = 0;
    output[0] = 0;
    char **environment = child_environment();
    if (environment == nullptr) {
        format_narrow(error, error_capacity, "out of memory starting %s", argv[0]);
        return -1;
    }
    int pipe_fds[2] = {-1, -1};
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        format_narrow(error, error_capacity, "cannot run %s: %s", argv[0], strerror(errno));
        heap_free(environment);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    heap_free(environment);
    close(pipe_fds[1]);
    if (spawned != 0) {
        close(pipe_fds[0]);
        format_narrow(error, error_capacity, "cannot run %s (%s): install it (scripts/setup-deps)", argv[0],
                      strerror(spawned));
        return -1;
    }
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t used = 0;
    for (;;) {
        if (time_limit_s > 0) {
            long left_ms = (long)time_limit_s * 1000 - elapsed_ms_since(&start);
            if (left_ms <= 0) {
                if (timed_out != nullptr) *timed_out = 1;
                kill(pid, SIGKILL);
                break;
            }
            struct pollfd wait_for = {pipe_fds[0], POLLIN, 0};
            int ready = poll(&wait_for, 1, (int)(left_ms < 1000 ? left_ms : 1000));
            if (ready <= 0) continue;
        }
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
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
