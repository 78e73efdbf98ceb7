// Children of the release tool (osslsigncode): started without a token's PIN
// in their environment, their output gathered, optionally stopped after a
// time limit.
#pragma once

#include <stddef.h>

// Runs argv (searched on PATH) with standard input from /dev/null and
// standard output and error into output (cut to capacity, always
// terminated), with this process's environment less the PIN variable of
// tools/release/token.h. A time limit above 0 seconds stops the child with
// SIGKILL when it is reached and sets *timed_out (timed_out may be null when
// time_limit_s is 0). Returns the child's exit status (128 + the signal when
// a signal ended it), or -1 with a message in error when it could not run.
int child_run(char *const argv[], int time_limit_s, char *output, size_t capacity, int *timed_out,
              char *error, size_t error_capacity);
