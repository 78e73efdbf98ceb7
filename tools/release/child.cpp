// Children of the release tool: one way to start them, so that none of them
// is ever given the token's PIN in its environment or a file, each is waited
// for, and an interrupt stops it.
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

// The interrupt caught since child_catch_interrupts (the first one), or 0.
volatile sig_atomic_t caught_signal = 0;

void on_interrupt(int signal_number) {
    if (caught_signal == 0) caught_signal = signal_number;
}

// How often a wait for a child's output looks at the interrupt and the time
// limit.
const int look_ms = 200;

}  // namespace

int child_run(char *const argv[], int time_limit_s, char *output, size_t capacity, int *timed_out,
              char *error, size_t error_capacity) {
    return child_run_with_input(argv, -1, nullptr, 0, time_limit_s, output, capacity, timed_out, error,
                                error_capacity);
}

int child_run_with_input(char *const argv[], int input_fd, const char *input, size_t n, int time_limit_s,
                         char *output, size_t capacity, int *timed_out, char *error, size_t error_capacity) {
    if (timed_out != nullptr) *timed_out = 0;
    output[0] = 0;
    if (caught_signal != 0) {
        format_narrow(error, error_capacity, "interrupted by %s, so %s was not started",
                      child_signal_name(caught_signal), argv[0]);
        return -1;
    }
    if (input_fd >= 0 && (input_fd < 3 || n > 4096)) {
        format_narrow(error, error_capacity, "cannot hand %s its input on descriptor %d", argv[0], input_fd);
        return -1;
    }
    // The children are this process's to wait for: a caller that ignored
    // SIGCHLD would have them reaped by the system, their ends unknown.
    struct sigaction default_action;
    memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(SIGCHLD, &default_action, nullptr);

    // The input waits in a pipe whose write end is closed before the child
    // starts: the child reads it and then the end of it, and no file ever
    // holds it.
    int input_read = -1;
    if (input_fd >= 0) {
        int input_fds[2] = {-1, -1};
        int written = pipe2(input_fds, O_CLOEXEC) == 0 ? 0 : -1;
        for (size_t done = 0; written == 0 && done < n;) {
            ssize_t w = write(input_fds[1], input + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) written = -1;
            else done += (size_t)w;
        }
        if (input_fds[1] >= 0) close(input_fds[1]);
        input_read = input_fds[0];
        // dup2 onto itself would keep close-on-exec: move it out of the way.
        if (written == 0 && input_read == input_fd) {
            input_read = fcntl(input_fds[0], F_DUPFD_CLOEXEC, input_fd + 1);
            close(input_fds[0]);
        }
        if (written != 0 || input_read < 0) {
            format_narrow(error, error_capacity, "cannot hand %s its input: %s", argv[0], strerror(errno));
            if (input_read >= 0) close(input_read);
            return -1;
        }
    }
    char **environment = child_environment();
    int pipe_fds[2] = {-1, -1};
    if (environment == nullptr || pipe2(pipe_fds, O_CLOEXEC) != 0) {
        format_narrow(error, error_capacity,
                      environment == nullptr ? "out of memory starting %s" : "cannot run %s: %s", argv[0],
                      strerror(errno));
        heap_free(environment);
        if (input_read >= 0) close(input_read);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    if (input_read >= 0) posix_spawn_file_actions_adddup2(&actions, input_read, input_fd);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    heap_free(environment);
    close(pipe_fds[1]);
    if (input_read >= 0) close(input_read);
    if (spawned != 0) {
        close(pipe_fds[0]);
        format_narrow(error, error_capacity, "cannot run %s (%s): install it (scripts/setup-deps)", argv[0],
                      strerror(spawned));
        return -1;
    }
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t used = 0;
    int interrupted = 0, killed = 0;
    for (;;) {
        if (caught_signal != 0) {
            interrupted = caught_signal;
            kill(pid, SIGKILL);
            killed = 1;
            break;
        }
        int wait_ms = look_ms;
        if (time_limit_s > 0) {
            long left_ms = (long)time_limit_s * 1000 - elapsed_ms_since(&start);
            if (left_ms <= 0) {
                if (timed_out != nullptr) *timed_out = 1;
                kill(pid, SIGKILL);
                killed = 1;
                break;
            }
            if (left_ms < wait_ms) wait_ms = (int)left_ms;
        }
        struct pollfd wait_for = {pipe_fds[0], POLLIN, 0};
        int ready = poll(&wait_for, 1, wait_ms);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
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
    // A child that closed its output may still run: the interrupt and the
    // time limit hold until it has ended.
    int status = 0;
    pid_t waited;
    for (;;) {
        waited = waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (waited < 0 && errno == EINTR) continue;
        if (waited != 0) break;
        int over_time = time_limit_s > 0 && elapsed_ms_since(&start) >= (long)time_limit_s * 1000;
        if (caught_signal != 0 || over_time) {
            if (caught_signal != 0) interrupted = caught_signal;
            else if (timed_out != nullptr) *timed_out = 1;
            kill(pid, SIGKILL);
            killed = 1;
            continue;
        }
        poll(nullptr, 0, 50);
    }
    if (waited != pid) {
        format_narrow(error, error_capacity,
                      "cannot learn how %s ended (waitpid: %s), so it counts as failed", argv[0],
                      strerror(errno));
        return -1;
    }
    if (interrupted != 0) {
        format_narrow(error, error_capacity, "interrupted by %s, so %s was stopped",
                      child_signal_name(interrupted), argv[0]);
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void child_catch_interrupts(void) {
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int signal_number : signals) {
        struct sigaction old;
        if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal_number, &action, nullptr);
    }
}

int child_interrupted(void) { return caught_signal; }

void child_end_interrupted(int signal_number) {
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    _exit(128 + signal_number);
}

const char *child_signal_name(int signal_number) {
    switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}
