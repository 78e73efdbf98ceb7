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
// free; free_known 0 (the query failed) lets it go ahead, while a known 0
// is a full disk. On 0 `message` holds "Setup needs %.0f MB of free space on
// the drive that holds %ls, and %.0f MB are free." with folder in the middle
// (message may be null): the need rounded up and the free space rounded
// down to whole MiB, so a refusal never shows two equal figures.
int disk_space_check(uint64_t installer_size, int free_known, uint64_t free_bytes,
                     const wchar16 *folder, wchar16 *message, size_t capacity);

// What the uninstall entry says about the installed product. The numbers
// never change.
enum InstalledState {
    INSTALLED_NONE = 0,        // no uninstall entry: nothing is installed
    INSTALLED_VERSION = 1,     // the entry and its version text were read
    INSTALLED_UNREADABLE = 2,  // an entry is there, but no plain version text of at most
                               // 127 units could be read from it (or the key not opened)
};

#ifdef _WIN32
// Reads "DisplayVersion" (as UTF-8, into version, capacity in bytes) and
// "InstallLocation" (into location, capacity in units) of the uninstall entry
// in the 64-bit registry view; only plain string values count. Both buffers
// are emptied first. Returns an InstalledState; for INSTALLED_UNREADABLE the
// thread's last-error value is the registry's answer (2 for a missing
// value, 1630 for another type, 234 for a value too long). The location is
// filled whenever it was read, whatever the result.
int installed_product_read(char *version, size_t version_capacity, wchar16 *location,
                           size_t location_capacity);
// The bytes free on the folder's volume for the calling account into
// *free_bytes (a full disk gives 0); 0, or -1 with the system's last error
// when the query failed.
int free_disk_bytes(const wchar16 *folder, uint64_t *free_bytes);
#endif
