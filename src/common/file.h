// Link-safe file access: files and folders opened as themselves, never
// through a link, and files only while they have a single name. Every file
// the program writes (its log, the download, the installer, the rollback
// package) is opened through these functions.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include "common/text.h"

// 1 when path is a directory and not a reparse point.
int directory_exists_plain(const wchar16 *path);
// Holds an existing folder open as itself (a link is never followed) and
// without delete sharing, so that it cannot be removed, renamed or replaced
// by a link while the handle is open. INVALID_HANDLE_VALUE unless it is a
// plain directory. The caller closes the handle.
HANDLE directory_hold_plain(const wchar16 *path);
// Opens or creates a plain file with a single link, never following a link;
// with any disposition but OPEN_EXISTING or TRUNCATE_EXISTING a link or
// directory at the path is removed and the file made anew. CREATE_ALWAYS and
// TRUNCATE_EXISTING empty the file only after it has passed the check, so a
// refused name's data is never touched. INVALID_HANDLE_VALUE on failure.
HANDLE file_open_checked(const wchar16 *path, DWORD access, DWORD share, DWORD disposition);
// The same with further CreateFileW flags (FILE_FLAG_WRITE_THROUGH for the log).
HANDLE file_open_checked_flags(const wchar16 *path, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags);
#endif
