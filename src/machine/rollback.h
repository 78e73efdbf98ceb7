// The rollback package: the verified installer and its signed release
// envelope, kept under the product's install location, one per version.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"
#include "release/release.h"

enum {
    ROLLBACK_PATH_CAPACITY = 1024,
    FILE_WRITE_PIECE = 268435456  // 256 MiB: the largest single WriteFile
};

// Drops trailing backslashes and forward slashes while the text is longer
// than 3 units, so that a drive root such as C:\ keeps its separator.
// Returns the new length.
size_t rollback_location_trim(wchar16 *location);

#ifdef _WIN32
#include <windows.h>

// Moves the installer to <location>\updater-work\rollback\<version>\<fileName>
// and writes "envelope.json" beside it. 0 made (the installer has moved);
// 1 a package for this version exists already (nothing changed); -1 failure
// (not fatal to the run).
int rollback_keep(const wchar16 *install_location, const ReleaseInfo *release, const wchar16 *installer_path);

// Writes all `length` bytes in pieces of at most 256 MiB, each written
// completely. 1 on success (also for length 0); 0 at the first failed or
// short write.
int file_write_all(HANDLE file, const void *data, uint64_t length);
#endif
