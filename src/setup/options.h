// The command-line switches: strict acceptance, the process-wide record and
// the text forwarded to the product installer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"

enum {
    OPTIONS_DIR_CAPACITY = 1024,
    OPTIONS_LIST_CAPACITY = 256,
    OPTIONS_LANG_CAPACITY = 40,
    OPTIONS_DIR_MAX = 1022,
    OPTIONS_LIST_MAX = 250,
    OPTIONS_LANG_MAX = 32,
    OPTIONS_FORWARD_TEMP_CAPACITY = 1056,
    OPTIONS_ERROR_CAPACITY = 256
};

struct SetupOptions {
    uint32_t silent;
    uint32_t very_silent;
    uint32_t suppress_msg_boxes;
    uint32_t no_restart;
    uint32_t repair;
    wchar16 dir[OPTIONS_DIR_CAPACITY];
    wchar16 components[OPTIONS_LIST_CAPACITY];
    wchar16 tasks[OPTIONS_LIST_CAPACITY];
    wchar16 lang[OPTIONS_LANG_CAPACITY];
};

// 1 for a silent run (/SILENT or /VERYSILENT): no window, no questions.
int options_silent(const SetupOptions *options);

// The process-wide record, filled once by options_parse.
SetupOptions *setup_options(void);

// Reads the process's own command line (Windows only), splits it with the
// system's rules and fills the process-wide record. Returns 1 when every
// argument was accepted; on 0 `error` holds the first offending argument, cut
// to capacity - 1 units (and stays as the caller left it when the command line
// could not be split).
int options_parse(wchar16 *error, size_t error_capacity);

// The acceptance rules over already split arguments (the program's path not
// included). Same result and error rules as options_parse.
int options_parse_arguments(SetupOptions *options, const wchar16 *const *arguments, int count,
                            wchar16 *error, size_t error_capacity);

// The forwarded switches joined by single blanks; the empty text when none
// applies. Returns the length, or -1 when the buffer was too small (the text
// is then cut).
int options_forward(const SetupOptions *options, wchar16 *buffer, size_t capacity);

// The value of "NAME=value" when the argument starts with the switch name
// (ASCII case ignored) directly followed by "="; null otherwise. The value
// may be empty.
const wchar16 *option_value(const wchar16 *argument, const wchar16 *name);

// 1 when the value has 1 to max_length units, each an ASCII letter, an ASCII
// digit or one of `extra`.
int option_text_valid(const wchar16 *value, const char *extra, size_t max_length);
