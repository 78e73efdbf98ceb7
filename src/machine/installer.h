// Running the downloaded product installer: its command line, the child
// process, and its exit code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"

enum { INSTALLER_COMMAND_LINE_CAPACITY = 32768 };

// The installer's command line: "\"%ls\" /SP- /LOG=\"%ls\"" followed, when
// forwarded (may be null) is not empty, by one space and the forwarded
// switches. Paths are quoted as they are. Returns the length in units, or -1
// when the whole line does not fit capacity (the buffer then holds a cut
// text that must not be used).
int installer_command_line(wchar16 *buffer, size_t capacity, const wchar16 *installer_path,
                           const wchar16 *log_path, const wchar16 *forwarded);

#ifdef _WIN32
#include <windows.h>

// Starts the installer with its command line in working_folder, waits for it
// without a time limit and stores its exit code (1 when it cannot be read).
// 0 when it was started and has ended; -1 when it could not be started, with
// *exit_code unchanged and the last-error value as CreateProcessW left it.
int installer_run(const wchar16 *installer_path, const wchar16 *log_path, const wchar16 *forwarded,
                  const wchar16 *working_folder, DWORD *exit_code);
#endif
