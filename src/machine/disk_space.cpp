// Whether the download fits on the work folder's drive: the installer's size
// plus a margin of 256 MiB, with the amounts shown in MB (MiB).
#include "machine/installed.h"

static const uint64_t mib = 1048576;

uint64_t disk_space_needed(uint64_t installer_size) {
    if (installer_size > UINT64_MAX - DISK_SPACE_MARGIN) return UINT64_MAX;
    return installer_size + DISK_SPACE_MARGIN;
}

int disk_space_check(uint64_t installer_size, int free_known, uint64_t free_bytes,
                     const wchar16 *folder, wchar16 *message, size_t capacity) {
    if (message != nullptr && capacity > 0) message[0] = 0;
    uint64_t needed = disk_space_needed(installer_size);
    if (!free_known || free_bytes >= needed) return 1;
    if (message != nullptr) {
        // Whole MiB: the need rounded up, the free space down. Since free is
        // below the need, the two figures always differ (rounding both to
        // the nearest would show 356 and 356 for one byte too little).
        uint64_t needed_mib = needed / mib + (needed % mib != 0 ? 1 : 0);
        uint64_t free_mib = free_bytes / mib;
        format_wide(message, capacity,
                    T16("Setup needs %.0f MB of free space on the drive that holds %ls, and %.0f MB "
                        "are free."),
                    (double)needed_mib, folder, (double)free_mib);
    }
    return 0;
}
