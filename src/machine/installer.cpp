// Runs the product installer as a child process and waits for its end.
#include <windows.h>

#include "common/log.h"
#include "machine/installer.h"

// The operating system may write into the command line it is given, so it
// lives in a writable process-wide buffer; one installer run per process.
static wchar16 g_command_line[INSTALLER_COMMAND_LINE_CAPACITY];

int installer_run(const wchar16 *installer_path, const wchar16 *log_path, const wchar16 *forwarded,
                  const wchar16 *working_folder, DWORD *exit_code) {
    if (installer_command_line(g_command_line, INSTALLER_COMMAND_LINE_CAPACITY, installer_path, log_path,
                               forwarded) < 0) {
        // A cut command line would run the installer with other switches
        // than intended; it is never started with one.
        log_line("installer command line too long (error %lu)", (unsigned long)ERROR_FILENAME_EXCED_RANGE);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    log_wide("running: ", g_command_line);

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    if (!CreateProcessW(installer_path, g_command_line, nullptr, nullptr, FALSE, 0, nullptr, working_folder,
                        &startup, &process)) {
        // The caller reports the last-error value; log_line keeps it.
        log_line("CreateProcess failed: error %lu", (unsigned long)GetLastError());
        return -1;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    CloseHandle(process.hProcess);
    *exit_code = code;
    return 0;
}
