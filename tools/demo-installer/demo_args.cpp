// Splits the demo installer's command line and reads its switches.
#include "demo_args.h"

#include <string.h>

int demo_args_next(const wchar_t **cursor, wchar_t *arg, size_t capacity) {
    const wchar_t *p = *cursor;
    for (;;) {
        while (*p != 0 && *p <= L' ') p++;
        if (*p == 0) {
            *cursor = p;
            if (capacity > 0) arg[0] = 0;
            return 0;
        }
        size_t length = 0;
        int cut = 0;
        int quoted = 0;
        while (*p != 0 && (quoted || *p > L' ')) {
            if (*p == L'"') {
                quoted = !quoted;
            } else if (length + 1 < capacity) {
                arg[length++] = *p;
            } else {
                cut = 1;
            }
            p++;
        }
        if (capacity > 0) arg[length] = 0;
        *cursor = p;
        if (cut) return -1;
        if (length > 0) return 1;
        // Only quotes (""): nothing to hand back; look for the next one.
    }
}

static wchar_t ascii_upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? (wchar_t)(c - 32) : c; }

// 1 when text starts with the switch name (upper case, ASCII) ignoring case,
// and the name is followed by the end of the text or, for value switches, by
// '='. *value points after the '=' (or is null when there was none).
static int switch_match(const wchar_t *text, const char *name, const wchar_t **value) {
    size_t i = 0;
    for (; name[i] != 0; i++) {
        if (ascii_upper(text[i]) != (wchar_t)(unsigned char)name[i]) return 0;
    }
    if (text[i] == 0) {
        *value = nullptr;
        return 1;
    }
    if (text[i] == L'=') {
        *value = text + i + 1;
        return 1;
    }
    return 0;
}

static size_t wide_length(const wchar_t *text) {
    size_t n = 0;
    while (text[n] != 0) n++;
    return n;
}

// Copies value into buffer; 0, or -1 when it does not fit (buffer untouched).
static int copy_value(wchar_t *buffer, size_t capacity, const wchar_t *value) {
    size_t n = wide_length(value);
    if (n + 1 > capacity) return -1;
    memcpy(buffer, value, (n + 1) * sizeof(wchar_t));
    return 0;
}

static int refuse(DemoOptions *options, const wchar_t *arg, int status, const char *detail) {
    size_t n = wide_length(arg);
    if (n + 1 > DEMO_DETAIL_CAPACITY) n = DEMO_DETAIL_CAPACITY - 1;
    memcpy(options->bad_arg, arg, n * sizeof(wchar_t));
    options->bad_arg[n] = 0;
    options->detail = detail;
    return status;
}

static int lang_name_acceptable(const wchar_t *name) {
    if (name[0] == 0) return 0;
    for (const wchar_t *p = name; *p != 0; p++) {
        wchar_t c = *p;
        int ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                 c == L'_' || c == L'-';
        if (!ok) return 0;
    }
    return 1;
}

enum SwitchKind { KIND_FLAG, KIND_VALUE, KIND_OPTIONAL_VALUE };

enum SwitchId { SW_SP, SW_VERYSILENT, SW_SILENT, SW_SUPPRESSMSGBOXES, SW_NORESTART, SW_NOCANCEL,
                SW_LOG, SW_DIR, SW_COMPONENTS, SW_TASKS, SW_LANG };

struct SwitchRow {
    const char *name;  // upper case
    int kind;          // SwitchKind
    int id;            // SwitchId
};

static const SwitchRow switch_table[] = {
    {"/SP-", KIND_FLAG, SW_SP},
    {"/VERYSILENT", KIND_FLAG, SW_VERYSILENT},
    {"/SILENT", KIND_FLAG, SW_SILENT},
    {"/SUPPRESSMSGBOXES", KIND_FLAG, SW_SUPPRESSMSGBOXES},
    {"/NORESTART", KIND_FLAG, SW_NORESTART},
    {"/NOCANCEL", KIND_FLAG, SW_NOCANCEL},
    {"/LOG", KIND_OPTIONAL_VALUE, SW_LOG},
    {"/DIR", KIND_VALUE, SW_DIR},
    {"/COMPONENTS", KIND_VALUE, SW_COMPONENTS},
    {"/TASKS", KIND_VALUE, SW_TASKS},
    {"/LANG", KIND_VALUE, SW_LANG},
};

static int apply_switch(DemoOptions *o, int id, const wchar_t *arg, const wchar_t *value) {
    switch (id) {
    case SW_SP:
        o->skip_prompt = 1;
        break;
    case SW_VERYSILENT:
        o->silence = DEMO_SILENCE_VERY;
        break;
    case SW_SILENT:
        o->silence = DEMO_SILENCE_SILENT;
        break;
    case SW_SUPPRESSMSGBOXES:
        o->suppress_msgboxes = 1;
        break;
    case SW_NORESTART:
        o->no_restart = 1;
        break;
    case SW_NOCANCEL:
        o->no_cancel = 1;
        break;
    case SW_LOG:
        if (value == nullptr) {
            o->log_default = 1;
            o->log_path[0] = 0;
        } else {
            if (value[0] == 0) return refuse(o, arg, DEMO_ARGS_BAD_VALUE, "the log file name is empty");
            if (copy_value(o->log_path, DEMO_PATH_CAPACITY, value) != 0)
                return refuse(o, arg, DEMO_ARGS_TOO_LONG, "the log file name is too long");
            o->log_default = 0;
        }
        break;
    case SW_DIR:
        if (value[0] == 0) return refuse(o, arg, DEMO_ARGS_BAD_VALUE, "the folder name is empty");
        if (copy_value(o->dir, DEMO_PATH_CAPACITY, value) != 0)
            return refuse(o, arg, DEMO_ARGS_TOO_LONG, "the folder name is too long");
        o->dir_given = 1;
        break;
    case SW_COMPONENTS:
        if (copy_value(o->components, DEMO_LIST_CAPACITY, value) != 0)
            return refuse(o, arg, DEMO_ARGS_TOO_LONG, "the component list is too long");
        o->components_given = 1;
        break;
    case SW_TASKS:
        if (copy_value(o->tasks, DEMO_LIST_CAPACITY, value) != 0)
            return refuse(o, arg, DEMO_ARGS_TOO_LONG, "the task list is too long");
        o->tasks_given = 1;
        break;
    case SW_LANG:
        if (!lang_name_acceptable(value))
            return refuse(o, arg, DEMO_ARGS_BAD_VALUE, "the language name is empty or not a plain name");
        if (copy_value(o->lang, DEMO_LANG_CAPACITY, value) != 0)
            return refuse(o, arg, DEMO_ARGS_TOO_LONG, "the language name is too long");
        break;
    }
    return DEMO_ARGS_OK;
}

int demo_args_parse(const wchar_t *command_line, DemoOptions *options) {
    memset(options, 0, sizeof *options);
    options->detail = "";
    wchar_t arg[DEMO_ARG_CAPACITY];
    const wchar_t *cursor = command_line != nullptr ? command_line : L"";

    // The program's own path comes first.
    int got = demo_args_next(&cursor, arg, DEMO_ARG_CAPACITY);
    if (got == 0) return DEMO_ARGS_OK;

    for (;;) {
        got = demo_args_next(&cursor, arg, DEMO_ARG_CAPACITY);
        if (got == 0) return DEMO_ARGS_OK;
        if (got < 0) return refuse(options, arg, DEMO_ARGS_TOO_LONG, "the argument is too long");
        if (arg[0] != L'/') return refuse(options, arg, DEMO_ARGS_NOT_SWITCH, "it is not a switch");

        int row = -1;
        const wchar_t *value = nullptr;
        for (size_t i = 0; i < sizeof switch_table / sizeof switch_table[0]; i++) {
            if (switch_match(arg, switch_table[i].name, &value)) {
                row = (int)i;
                break;
            }
        }
        if (row < 0) return refuse(options, arg, DEMO_ARGS_UNKNOWN, "unknown switch");
        int kind = switch_table[row].kind;
        if (kind == KIND_FLAG && value != nullptr)
            return refuse(options, arg, DEMO_ARGS_BAD_VALUE, "this switch takes no value");
        if (kind == KIND_VALUE && value == nullptr)
            return refuse(options, arg, DEMO_ARGS_BAD_VALUE, "this switch needs a value after '='");
        int status = apply_switch(options, switch_table[row].id, arg, value);
        if (status != DEMO_ARGS_OK) return status;
    }
}

int demo_dir_acceptable(const wchar_t *path, const char **why) {
    size_t n = wide_length(path);
    const wchar_t *rest = nullptr;
    if (n >= 3 && ascii_upper(path[0]) >= L'A' && ascii_upper(path[0]) <= L'Z' && path[1] == L':' &&
        (path[2] == L'\\' || path[2] == L'/')) {
        rest = path + 3;
    } else if (n >= 3 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/') &&
               path[2] != L'\\' && path[2] != L'/' && path[2] != L'?' && path[2] != L'.') {
        rest = path + 2;
    } else {
        *why = "the folder must be a full path with a drive letter or a server name";
        return 0;
    }
    for (const wchar_t *p = rest; *p != 0; p++) {
        wchar_t c = *p;
        if (c < 32 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*' || c == L':') {
            *why = "the folder name contains a character that file names cannot hold";
            return 0;
        }
    }
    *why = "";
    return 1;
}

int demo_version_from_file_name(const wchar_t *path, wchar_t *version, size_t capacity) {
    static const wchar_t prefix[] = L"VornquillAI-Setup-x64-";
    static const wchar_t suffix[] = L"-SELFSIGNED";
    if (capacity > 0) version[0] = 0;
    const wchar_t *name = path;
    for (const wchar_t *p = path; *p != 0; p++) {
        if (*p == L'\\' || *p == L'/') name = p + 1;
    }
    size_t prefix_length = wide_length(prefix);
    for (size_t i = 0; i < prefix_length; i++) {
        if (name[i] != prefix[i]) return -1;
    }
    const wchar_t *start = name + prefix_length;
    size_t n = wide_length(start);
    if (n < 4) return -1;
    const wchar_t *ext = start + n - 4;
    if (ext[0] != L'.' || ascii_upper(ext[1]) != L'E' || ascii_upper(ext[2]) != L'X' || ascii_upper(ext[3]) != L'E')
        return -1;
    n -= 4;
    size_t suffix_length = wide_length(suffix);
    if (n >= suffix_length && memcmp(start + n - suffix_length, suffix, suffix_length * sizeof(wchar_t)) == 0)
        n -= suffix_length;
    if (n == 0 || n + 1 > capacity) return -1;
    memcpy(version, start, n * sizeof(wchar_t));
    version[n] = 0;
    return 0;
}
