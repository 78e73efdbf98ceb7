// Asks the system's trust provider about a file's Authenticode signature, as
// a user's Windows does when the file is run, and what the setup's own check
// makes of it:
//   trust-probe FILE
// prints "WinVerifyTrust 0x%08X" (the provider's own result for the file) and
// "check: <summary>" (authenticode_check's line), then exits 0 when the
// provider trusts the file and the check accepts it, 1 otherwise, 2 when the
// file cannot be opened.
#include <windows.h>

#include <stdio.h>

#include "verify/verify.h"

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fputs("usage: trust-probe FILE\n", stderr);
        return 2;
    }
    const wchar_t *path = argv[1];
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("cannot open the file (error %lu)\n", GetLastError());
        return 2;
    }
    AuthenticodeTrust verification;
    authenticode_trust_open((const wchar16 *)path, file, &verification);
    uint32_t status = verification.status;
    authenticode_trust_close(&verification);
    char summary[AUTHENTICODE_SUMMARY_CAPACITY];
    int accepted = authenticode_check((const wchar16 *)path, file, summary, sizeof summary);
    CloseHandle(file);
    printf("WinVerifyTrust 0x%08lX\ncheck: %s\n", (unsigned long)status, summary);
    fflush(stdout);
    return status == 0 && accepted ? 0 : 1;
}
