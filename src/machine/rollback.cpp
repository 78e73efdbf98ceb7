// Keeps the verified installer with its signed envelope under the install
// location: updater-work\rollback\<version>\. Packages are never replaced.
#include <windows.h>

#include <string.h>

#include "common/file.h"
#include "common/log.h"
#include "machine/rollback.h"
#include "machine/work_folder.h"

int file_write_all(HANDLE file, const void *data, uint64_t length) {
    const uint8_t *bytes = (const uint8_t *)data;
    while (length > 0) {
        DWORD piece = length < FILE_WRITE_PIECE ? (DWORD)length : (DWORD)FILE_WRITE_PIECE;
        DWORD written = 0;
        if (!WriteFile(file, bytes, piece, &written, nullptr) || written != piece) return 0;
        bytes += piece;
        length -= piece;
    }
    return 1;
}

// Creates a folder that may already exist, then holds it (plain, not a
// link, undeletable while held). The held handle, or INVALID_HANDLE_VALUE.
static HANDLE folder_ensure_held(const wchar16 *path) {
    if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return INVALID_HANDLE_VALUE;
    }
    return directory_hold_plain(path);
}

// The seven pieces of envelope.json, each written whole; 1 when all were.
static int envelope_write(HANDLE file, const ReleaseInfo *release) {
    if (release->payload == nullptr && release->payload_length > 0) return 0;
    struct Piece {
        const char *data;
        uint64_t length;
    };
    const Piece pieces[] = {
        {"{\"payload\":\"", 12},
        {release->payload, release->payload_length},
        {"\",\"kid\":\"", 9},
        {release->kid, strnlen(release->kid, sizeof release->kid)},
        {"\",\"sig\":\"", 9},
        {release->sig, strnlen(release->sig, sizeof release->sig)},
        {"\"}", 2},
    };
    for (const Piece &piece : pieces) {
        if (!file_write_all(file, piece.data, piece.length)) return 0;
    }
    return 1;
}

int rollback_keep(const wchar16 *install_location, const ReleaseInfo *release, const wchar16 *installer_path) {
    if (install_location == nullptr || install_location[0] == 0 || release == nullptr || installer_path == nullptr)
        return -1;

    wchar16 location[ROLLBACK_PATH_CAPACITY];
    wchar16 updater_work[ROLLBACK_PATH_CAPACITY];
    wchar16 rollback[ROLLBACK_PATH_CAPACITY];
    wchar16 package[ROLLBACK_PATH_CAPACITY];
    wchar16 installer_target[ROLLBACK_PATH_CAPACITY];
    wchar16 envelope_path[ROLLBACK_PATH_CAPACITY];
    wchar16 version[64];
    wchar16 file_name[201];

    // A location that does not fit is refused, never cut.
    if (text16_copy(location, ROLLBACK_PATH_CAPACITY, install_location) != 0) return -1;
    rollback_location_trim(location);

    utf8_to_utf16(release->version, version, 64);
    utf8_to_utf16(release->fileName, file_name, 201);
    if (version[0] == 0 || file_name[0] == 0) return -1;
    if (format_wide(updater_work, ROLLBACK_PATH_CAPACITY, T16("%ls\\updater-work"), location) < 0 ||
        format_wide(rollback, ROLLBACK_PATH_CAPACITY, T16("%ls\\rollback"), updater_work) < 0 ||
        format_wide(package, ROLLBACK_PATH_CAPACITY, T16("%ls\\%ls"), rollback, version) < 0 ||
        format_wide(installer_target, ROLLBACK_PATH_CAPACITY, T16("%ls\\%ls"), package, file_name) < 0 ||
        format_wide(envelope_path, ROLLBACK_PATH_CAPACITY, T16("%ls\\envelope.json"), package) < 0)
        return -1;

    // Each folder of the chain is held from its check until the package is
    // written: nobody can swap one for a link to another place meanwhile.
    enum { HELD_LOCATION, HELD_UPDATER_WORK, HELD_ROLLBACK, HELD_PACKAGE, HELD_COUNT };
    HANDLE held[HELD_COUNT];
    for (int i = 0; i < HELD_COUNT; i++) held[i] = INVALID_HANDLE_VALUE;
    int result = -1;
    HANDLE file = INVALID_HANDLE_VALUE;

    held[HELD_LOCATION] = directory_hold_plain(location);
    if (held[HELD_LOCATION] == INVALID_HANDLE_VALUE) goto done;
    if (GetFileAttributesW(package) != INVALID_FILE_ATTRIBUTES) {
        log_line("rollback: a package for %s is already kept; leaving it", release->version);
        result = 1;
        goto done;
    }
    held[HELD_UPDATER_WORK] = folder_ensure_held(updater_work);
    if (held[HELD_UPDATER_WORK] == INVALID_HANDLE_VALUE) goto done;
    held[HELD_ROLLBACK] = folder_ensure_held(rollback);
    if (held[HELD_ROLLBACK] == INVALID_HANDLE_VALUE) goto done;
    if (!CreateDirectoryW(package, nullptr)) goto done;
    held[HELD_PACKAGE] = directory_hold_plain(package);
    if (held[HELD_PACKAGE] == INVALID_HANDLE_VALUE) goto done;

    if (!MoveFileExW(installer_path, installer_target, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        log_line("rollback: moving the installer failed (error %lu)", (unsigned long)error);
        // The held handle would keep the empty folder from being removed.
        CloseHandle(held[HELD_PACKAGE]);
        held[HELD_PACKAGE] = INVALID_HANDLE_VALUE;
        RemoveDirectoryW(package);
        goto done;
    }

    file = file_open_checked(envelope_path, GENERIC_WRITE, 0, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE) goto done;
    if (envelope_write(file, release)) {
        result = 0;
    }
    CloseHandle(file);
    if (result != 0) DeleteFileW(envelope_path);

done:
    for (int i = HELD_COUNT - 1; i >= 0; i--) {
        if (held[i] != INVALID_HANDLE_VALUE) CloseHandle(held[i]);
    }
    return result;
}
