// The installed product (the product installer's uninstall entry) and the
// free space of a folder's volume, plus the rule that decides whether the
// download fits.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"

enum {
    INSTALLED_VERSION_READ_BYTES = 256,  // the version is read into 127 UTF-16 units at most
    DISK_SPACE_MESSAGE_CAPACITY = 1400
};

// The room the download needs on top of the installer's size: 256 MiB.
#define DISK_SPACE_MARGIN 268435456ull

// ---------------------------------------------------------------- pure rules
// The installer's size plus the margin (saturating).
uint64_t disk_space_needed(uint64_t installer_size);
// 1 when a download of installer_size bytes may go ahead with free_bytes
// free; a free count of 0 stands for "unknown" and lets it go ahead. On 0
// `message` holds "Setup needs %.0f MB of free space on the drive that holds
// %ls, and %.0f MB are free." with folder in the middle (message may be null).
int disk_space_check(uint64_t installer_size, uint64_t free_bytes, const wchar16 *folder,
                     wchar16 *message, size_t capacity);

#ifdef _WIN32
// Reads "DisplayVersion" (as UTF-8, into version, capacity in bytes) and
// "InstallLocation" (into location, capacity in units) of the uninstall entry
// in the 64-bit registry view; only plain string values count. Both buffers
// are emptied first. Returns 1 when the version was read, else 0; the
// location is filled whenever it was read, whatever the result.
int installed_product_read(char *version, size_t version_capacity, wchar16 *location,
                           size_t location_capacity);
// Bytes free on the folder's volume for the calling account; 0 when unknown.
uint64_t free_disk_bytes(const wchar16 *folder);
#endif
