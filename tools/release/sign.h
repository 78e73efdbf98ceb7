// vornquill-release sign-pe: Authenticode signing of a Windows executable
// (the setup executable, a product installer). osslsigncode signs with
// SHA-256, the certificate chain and an RFC 3161 time stamp fetched over HTTP
// from a time-stamping authority; the key is in a PKCS #11 token (through
// OpenSSL's pkcs11 engine, the PIN handed over through an inherited pipe,
// never a file) or, for tests, in a key file. An interrupt (SIGINT, SIGTERM,
// SIGHUP) stops osslsigncode, removes the private folder and ends the tool
// as the signal would have. The signed result passes the tool's own
// installer check before it is written, or nothing is written.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Outcomes of the command (its process exit codes), as for the others.
enum SignPeExit {
    SIGN_PE_EXIT_OK = 0,      // signed, checked and written
    SIGN_PE_EXIT_FAILED = 1,  // refused or failed; nothing written
    SIGN_PE_EXIT_USAGE = 2,   // bad command line
};

// What a Windows executable offers for signing, read from its first bytes
// (n of them): 0 when it is a 64-bit (x64) PE image without a signature,
// else -1 with the reason in problem.
int sign_pe_inspect(const uint8_t *head, size_t n, uint64_t file_size, char *problem,
                    size_t problem_capacity);

// Runs "sign-pe" with its arguments (after the command word); returns a
// SignPeExit.
int sign_pe_command(int argc, char **argv);
