// Link-safe file access; see file.h.
#include "common/file.h"

int directory_exists_plain(const wchar16 *path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The handle is kept only for a plain file with exactly one name.
static int file_handle_plain(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) return 0;
    if (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        return 0;
    }
    return information.nNumberOfLinks == 1;
}

// Removes what stands at path: a directory (or a link to one) or one name of
// a file; a link goes, never its target's data.
static void file_remove_name(const wchar16 *path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        RemoveDirectoryW(path);
    } else {
        DeleteFileW(path);
    }
}

enum FileAttempt {
    FILE_ATTEMPT_OPEN = 0,      // a plain file with one name, emptied if asked
    FILE_ATTEMPT_FAILED = 1,    // the open or the emptying failed (last error set)
    FILE_ATTEMPT_REFUSED = 2    // something else stands at the path; it is untouched
};

// One attempt of file_open_checked. The open itself never empties a file:
// with CREATE_ALWAYS or TRUNCATE_EXISTING the name could be a second link of
// data that belongs elsewhere, so the file is emptied only after the check.
static FileAttempt file_open_attempt(const wchar16 *path, DWORD access, DWORD share,
                                     DWORD disposition, DWORD flags, HANDLE *opened) {
    *opened = INVALID_HANDLE_VALUE;
    DWORD keeping = disposition;
    if (disposition == CREATE_ALWAYS) keeping = OPEN_ALWAYS;
    if (disposition == TRUNCATE_EXISTING) keeping = OPEN_EXISTING;
    HANDLE file = CreateFileW(path, access, share, nullptr, keeping,
                              flags | FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FILE_ATTEMPT_FAILED;
    if (!file_handle_plain(file)) {
        CloseHandle(file);
        return FILE_ATTEMPT_REFUSED;
    }
    if (keeping != disposition) {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = 0;
        if (!SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof(end))) {
            DWORD error = GetLastError();
            CloseHandle(file);
            SetLastError(error);
            return FILE_ATTEMPT_FAILED;
        }
    }
    *opened = file;
    return FILE_ATTEMPT_OPEN;
}

HANDLE file_open_checked_flags(const wchar16 *path, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags) {
    HANDLE file = INVALID_HANDLE_VALUE;
    FileAttempt attempt = file_open_attempt(path, access, share, disposition, flags, &file);
    if (attempt == FILE_ATTEMPT_OPEN) return file;
    if (attempt == FILE_ATTEMPT_FAILED) return INVALID_HANDLE_VALUE;
    // Refused files keep their names when the caller opens an existing file:
    // the error says the name was not usable.
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }

    file_remove_name(path);
    attempt = file_open_attempt(path, access, share, disposition, flags, &file);
    if (attempt == FILE_ATTEMPT_OPEN) return file;
    if (attempt == FILE_ATTEMPT_FAILED) return INVALID_HANDLE_VALUE;
    file_remove_name(path);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
}

HANDLE file_open_checked(const wchar16 *path, DWORD access, DWORD share, DWORD disposition) {
    return file_open_checked_flags(path, access, share, disposition, 0);
}

HANDLE directory_hold_plain(const wchar16 *path) {
    // Listing access takes part in the sharing checks, so that while this
    // handle is open nobody can open the folder for deletion or renaming.
    HANDLE folder = CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION information;
    int plain = GetFileInformationByHandle(folder, &information) &&
                (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    // The name is pinned to this folder now; some systems show a link only
    // in the attributes read by name, so read those as well.
    if (plain) plain = directory_exists_plain(path);
    if (!plain) {
        CloseHandle(folder);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}
