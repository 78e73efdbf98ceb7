// The product installer's command line. Pure text building.
#include "machine/installer.h"

int installer_command_line(wchar16 *buffer, size_t capacity, const wchar16 *installer_path,
                           const wchar16 *log_path, const wchar16 *forwarded) {
    static const wchar16 empty[] = {0};
    if (installer_path == nullptr) installer_path = empty;
    if (log_path == nullptr) log_path = empty;
    int has_forwarded = forwarded != nullptr && forwarded[0] != 0;
    return format_wide(buffer, capacity, T16("\"%ls\" /SP- /LOG=\"%ls\"%ls%ls"), installer_path, log_path,
                       has_forwarded ? T16(" ") : empty, has_forwarded ? forwarded : empty);
}
