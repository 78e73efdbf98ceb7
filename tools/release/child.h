// Children of the release tool (osslsigncode): started without a token's PIN
// in their environment, their output gathered, optionally stopped after a
// time limit, and stopped when the tool is interrupted.
#pragma once

#include <stddef.h>

// Runs argv (searched on PATH) with standard input from /dev/null and
// standard output and error into output (cut to capacity, always
// terminated), with this process's environment less the PIN variable of
// tools/release/token.h. A time limit above 0 seconds stops the child with
// SIGKILL when it is reached and sets *timed_out (timed_out may be null when
// time_limit_s is 0). SIGCHLD is given its default disposition first (a
// caller that ignores it would have the children reaped unseen), and a child
// whose end cannot be learnt counts as failed. An interrupt caught by
// child_catch_interrupts stops the child with SIGKILL. Returns the child's
// exit status (128 + the signal when a signal ended it), or -1 with a
// message in error when it could not run, its end could not be learnt, or
// the tool was interrupted.
int child_run(char *const argv[], int time_limit_s, char *output, size_t capacity, int *timed_out,
              char *error, size_t error_capacity);

// As child_run, and the child also finds on descriptor input_fd (3 or above)
// the read end of a pipe that holds the n bytes of input and then ends, so
// that a secret reaches it without a file ("/dev/fd/N" names it to the
// child). n is at most 4096 bytes, which a pipe holds without a reader.
int child_run_with_input(char *const argv[], int input_fd, const char *input, size_t n, int time_limit_s,
                         char *output, size_t capacity, int *timed_out, char *error, size_t error_capacity);

// ---- interrupts -------------------------------------------------------------

// From now on SIGINT, SIGTERM and SIGHUP (each unless it is ignored, as under
// nohup) no longer end the process: they are remembered, a running child is
// stopped, and no further child starts, so that the caller can remove what it
// made and then end with child_end_interrupted.
void child_catch_interrupts(void);

// The interrupt caught since child_catch_interrupts, or 0.
int child_interrupted(void);

// Ends the process as the caught signal would have ended it (its default
// disposition restored, then raised). Does not return.
void child_end_interrupted(int signal_number);

// The signal's name ("SIGTERM"), or "a signal".
const char *child_signal_name(int signal_number);
