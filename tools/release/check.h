// vornquill-release check: asks a cloud what the setup program would ask, with
// the setup's own rules, and tells whether its answers will let the setup
// verify, download and resume a release.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Outcomes of the check command (its process exit codes).
enum CheckExit {
    CHECK_EXIT_OK = 0,       // no check failed (warnings allowed)
    CHECK_EXIT_FAILED = 1,   // at least one check failed
    CHECK_EXIT_USAGE = 2,    // bad command line, or the key or CA file unusable
};

// Splits "https://HOST[:PORT][/]" into its host (brackets kept for an IPv6
// literal) and port (443 when not given). Returns 0, or -1 with the reason
// in error.
int check_parse_url(const char *url, char *host, size_t host_capacity, uint16_t *port,
                    char *error, size_t error_capacity);

// Runs "check" with its arguments (after the command word); returns a CheckExit.
int check_command(int argc, char **argv);
