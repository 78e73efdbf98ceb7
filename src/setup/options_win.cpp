// Reads and splits the process's own command line with the system's rules.
#include "setup/options.h"

#include <windows.h>
#include <shellapi.h>
#include <string.h>

int options_parse(wchar16 *error, size_t error_capacity) {
    SetupOptions *options = setup_options();
    memset(options, 0, sizeof *options);
    int count = 0;
    wchar16 **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) return 0;
    int result = 1;
    if (count > 1) {
        result = options_parse_arguments(options, arguments + 1, count - 1, error, error_capacity);
    }
    LocalFree(arguments);
    return result;
}
