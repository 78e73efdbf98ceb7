// Strict acceptance of the nine switches and the forwarded text.
#include "setup/options.h"

#include <string.h>

static SetupOptions the_options;

SetupOptions *setup_options(void) {
    return &the_options;
}

static uint32_t ascii_upper(uint32_t u) {
    return (u >= 'a' && u <= 'z') ? u - 32 : u;
}

const wchar16 *option_value(const wchar16 *argument, const wchar16 *name) {
    size_t i = 0;
    while (name[i] != 0) {
        if (ascii_upper((uint16_t)argument[i]) != ascii_upper((uint16_t)name[i])) return nullptr;
        i++;
    }
    if (argument[i] != '=') return nullptr;
    return argument + i + 1;
}

int option_text_valid(const wchar16 *value, const char *extra, size_t max_length) {
    size_t n = 0;
    for (; value[n] != 0; n++) {
        if (n >= max_length) return 0;
        uint32_t u = (uint16_t)value[n];
        int ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
        if (!ok && u < 0x80 && u != 0) ok = strchr(extra, (int)u) != nullptr;
        if (!ok) return 0;
    }
    return n >= 1 ? 1 : 0;
}

// A folder name reaches the installer's command line and the log's "running:"
// line: no double quote, and nothing that breaks, hides or reorders a line
// (controls, DEL, C1 controls, line and paragraph separators, bidirectional
// format controls). Every such character is a single UTF-16 unit.
static int dir_value_valid(const wchar16 *value) {
    size_t n = 0;
    for (; value[n] != 0; n++) {
        if (n >= OPTIONS_DIR_MAX) return 0;
        uint32_t u = (uint16_t)value[n];
        if (u == '"' || text_code_point_hidden(u)) return 0;
    }
    return n >= 1 ? 1 : 0;
}

// Tries the flag switches; returns 1 (accepted), 0 (refused: repeated), or
// -1 (not a flag switch).
static int parse_flag(SetupOptions *options, const wchar16 *argument) {
    static const wchar16 *const names[] = {T16("/SILENT"), T16("/VERYSILENT"),
                                           T16("/SUPPRESSMSGBOXES"), T16("/NORESTART"),
                                           T16("/REPAIR")};
    uint32_t *flags[] = {&options->silent, &options->very_silent, &options->suppress_msg_boxes,
                         &options->no_restart, &options->repair};
    for (size_t k = 0; k < sizeof names / sizeof names[0]; k++) {
        if (text16_equal_ascii_nocase(argument, names[k])) {
            if (*flags[k]) return 0;
            *flags[k] = 1;
            return 1;
        }
    }
    return -1;
}

// Tries the valued switches; same results as parse_flag.
static int parse_valued(SetupOptions *options, const wchar16 *argument) {
    struct Valued {
        const wchar16 *name;
        wchar16 *field;
        size_t capacity;
        const char *extra;
        size_t max_length;
    };
    const Valued table[] = {
        {T16("/DIR"), options->dir, OPTIONS_DIR_CAPACITY, nullptr, OPTIONS_DIR_MAX},
        {T16("/COMPONENTS"), options->components, OPTIONS_LIST_CAPACITY, "_,!*\\", OPTIONS_LIST_MAX},
        {T16("/TASKS"), options->tasks, OPTIONS_LIST_CAPACITY, "_,!*\\", OPTIONS_LIST_MAX},
        {T16("/LANG"), options->lang, OPTIONS_LANG_CAPACITY, "_-", OPTIONS_LANG_MAX},
    };
    for (size_t k = 0; k < sizeof table / sizeof table[0]; k++) {
        const wchar16 *value = option_value(argument, table[k].name);
        if (value == nullptr) continue;
        int had_value = table[k].field[0] != 0;
        int accepted = table[k].extra == nullptr
                           ? dir_value_valid(value)
                           : option_text_valid(value, table[k].extra, table[k].max_length);
        if (accepted) text16_copy(table[k].field, table[k].capacity, value);
        return (accepted && !had_value) ? 1 : 0;
    }
    return -1;
}

int options_parse_arguments(SetupOptions *options, const wchar16 *const *arguments, int count,
                            wchar16 *error, size_t error_capacity) {
    memset(options, 0, sizeof *options);
    int result = 1;
    for (int i = 0; i < count; i++) {
        const wchar16 *argument = arguments[i];
        int status = parse_flag(options, argument);
        if (status < 0) status = parse_valued(options, argument);
        if (status != 1 && result == 1) {
            if (error != nullptr && error_capacity > 0) text16_copy(error, error_capacity, argument);
            result = 0;
        }
    }
    return result;
}

// Appends text at *length, cutting at capacity - 1; returns -1 once cut. The
// blank that leads each form is dropped at the start of the text, so no room
// is needed for a blank that would be removed again.
static int append(wchar16 *buffer, size_t capacity, size_t *length, const wchar16 *text) {
    size_t i = (*length == 0 && text[0] == ' ') ? 1 : 0;
    while (text[i] != 0) {
        if (*length + 1 >= capacity) {
            buffer[*length] = 0;
            return -1;
        }
        buffer[(*length)++] = text[i++];
    }
    buffer[*length] = 0;
    return 0;
}

int options_forward(const SetupOptions *options, wchar16 *buffer, size_t capacity) {
    if (capacity == 0) return -1;
    size_t length = 0;
    int status = 0;
    buffer[0] = 0;
    wchar16 temp[OPTIONS_FORWARD_TEMP_CAPACITY];
    if (options->very_silent) status |= append(buffer, capacity, &length, T16(" /VERYSILENT"));
    else if (options->silent) status |= append(buffer, capacity, &length, T16(" /SILENT"));
    if (options->suppress_msg_boxes) status |= append(buffer, capacity, &length, T16(" /SUPPRESSMSGBOXES"));
    if (options->no_restart) status |= append(buffer, capacity, &length, T16(" /NORESTART"));
    // The valued forms, each formatted into the temporary buffer first.
    struct Valued {
        const wchar16 *value;
        const wchar16 *form;
    };
    const Valued valued[] = {
        {options->dir, T16(" /DIR=\"%ls\"")},
        {options->components, T16(" /COMPONENTS=\"%ls\"")},
        {options->tasks, T16(" /TASKS=\"%ls\"")},
        {options->lang, T16(" /LANG=%ls")},
    };
    for (size_t k = 0; k < sizeof valued / sizeof valued[0]; k++) {
        if (valued[k].value[0] == 0) continue;
        if (format_wide(temp, OPTIONS_FORWARD_TEMP_CAPACITY, valued[k].form, valued[k].value) < 0) status = -1;
        status |= append(buffer, capacity, &length, temp);
    }
    return status < 0 ? -1 : (int)length;
}

int options_silent(const SetupOptions *options) {
    return options->silent || options->very_silent;
}
