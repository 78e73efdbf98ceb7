// The product's uninstall entry in the 64-bit registry view, and the free
// space of a folder's volume. Neither logs nor reports anything.
#include "machine/installed.h"

#include <windows.h>

static const wchar16 uninstall_key[] =
    T16("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\")
    T16("{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1");

// Plain string values only: an expandable string is neither expanded nor
// accepted, and other types are refused by the type restriction.
static const DWORD string_only = RRF_RT_REG_SZ | RRF_NOEXPAND;

int installed_product_read(char *version, size_t version_capacity, wchar16 *location,
                           size_t location_capacity) {
    if (version_capacity > 0) version[0] = 0;
    if (location_capacity > 0) location[0] = 0;

    // Only an entry that is not there means that nothing is installed; an
    // entry that cannot be opened or read is an installation of unknown
    // version, which the setup flow must not overwrite.
    HKEY key = nullptr;
    LSTATUS opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall_key, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (opened == ERROR_FILE_NOT_FOUND) return INSTALLED_NONE;
    if (opened != ERROR_SUCCESS) {
        SetLastError((DWORD)opened);
        return INSTALLED_UNREADABLE;
    }

    wchar16 text[INSTALLED_VERSION_READ_BYTES / sizeof(wchar16)];
    DWORD size = sizeof text;
    LSTATUS read =
        RegGetValueW(key, nullptr, T16("DisplayVersion"), string_only, nullptr, text, &size);
    if (read == ERROR_SUCCESS) {
        text[(sizeof text / sizeof text[0]) - 1] = 0;
        utf16_to_utf8(text, version, version_capacity);
    }

    if (location_capacity > 0) {
        // The registry takes a 32-bit byte count.
        size_t units = location_capacity < 0x7FFFFFFFu / sizeof(wchar16) ? location_capacity
                                                                         : 0x7FFFFFFFu / sizeof(wchar16);
        size = (DWORD)(units * sizeof(wchar16));
        if (RegGetValueW(key, nullptr, T16("InstallLocation"), string_only, nullptr, location,
                         &size) != ERROR_SUCCESS) {
            location[0] = 0;
        }
    }

    RegCloseKey(key);
    if (read != ERROR_SUCCESS) {
        SetLastError((DWORD)read);
        return INSTALLED_UNREADABLE;
    }
    return INSTALLED_VERSION;
}

int free_disk_bytes(const wchar16 *folder, uint64_t *free_bytes) {
    *free_bytes = 0;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr)) return -1;
    *free_bytes = available.QuadPart;
    return 0;
}
