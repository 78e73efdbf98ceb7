// Command line of the demo product installer: splits it the way the product
// installer family does (double quotes group, no backslash escapes) and reads
// its switches. No system calls, so it builds natively for tests too.
#pragma once

#include <stddef.h>

enum DemoArgsStatus {
    DEMO_ARGS_OK = 0,          // 0
    DEMO_ARGS_UNKNOWN = 1,     // 1 a switch this installer does not know
    DEMO_ARGS_BAD_VALUE = 2,   // 2 a known switch with a missing, empty or unusable value
    DEMO_ARGS_TOO_LONG = 3,    // 3 an argument longer than its buffer
    DEMO_ARGS_NOT_SWITCH = 4,  // 4 an argument that does not start with '/'
};

enum DemoSilence {
    DEMO_SILENCE_NONE = 0,     // 0 no silent switch: the wizard would show
    DEMO_SILENCE_SILENT = 1,   // 1 /SILENT: progress only
    DEMO_SILENCE_VERY = 2,     // 2 /VERYSILENT: nothing at all
};

enum { DEMO_PATH_CAPACITY = 1024, DEMO_LIST_CAPACITY = 1024, DEMO_LANG_CAPACITY = 64,
       DEMO_ARG_CAPACITY = 2048, DEMO_DETAIL_CAPACITY = 160 };

struct DemoOptions {
    int silence;                 // DemoSilence; the last silent switch wins
    int skip_prompt;             // /SP-
    int suppress_msgboxes;       // /SUPPRESSMSGBOXES
    int no_restart;              // /NORESTART
    int no_cancel;               // /NOCANCEL
    int log_default;             // /LOG without a file name: a log in the temporary folder
    wchar_t log_path[DEMO_PATH_CAPACITY];      // /LOG="file" (empty: none)
    int dir_given;
    wchar_t dir[DEMO_PATH_CAPACITY];           // /DIR="folder", as given
    int components_given;
    wchar_t components[DEMO_LIST_CAPACITY];    // /COMPONENTS="a,b" (may be empty: none)
    int tasks_given;
    wchar_t tasks[DEMO_LIST_CAPACITY];         // /TASKS="a,b" (may be empty: none)
    wchar_t lang[DEMO_LANG_CAPACITY];          // /LANG=name (empty: not given)
    // On a refusal: the offending argument (cut to fit) and a short reason.
    wchar_t bad_arg[DEMO_DETAIL_CAPACITY];
    const char *detail;
};

// Takes the next argument from *cursor into arg (capacity in units). Blanks
// (every unit up to and including the space) separate arguments; a double
// quote opens or closes a quoted stretch in which blanks count as text and is
// itself dropped; backslashes are plain text. Arguments that come out empty
// are skipped. Returns 1 with an argument, 0 at the end, -1 when the argument
// does not fit (arg then holds its cut beginning; the cursor is past it).
int demo_args_next(const wchar_t **cursor, wchar_t *arg, size_t capacity);

// Reads a whole command line (GetCommandLineW's form: the program first, then
// the switches) into options. Switch names are matched ignoring the case of
// ASCII letters; a switch given twice keeps its last value. Returns a
// DemoArgsStatus; on a refusal bad_arg and detail name the problem. Values
// are kept as given; whether /DIR= names a usable folder is checked by
// demo_dir_acceptable.
int demo_args_parse(const wchar_t *command_line, DemoOptions *options);

// 1 when path is an absolute folder path: a drive letter, a colon and a
// separator, or two separators and a server name; no unit below 32, none of
// < > " | ? * and no colon after the drive. Otherwise 0 with *why set.
int demo_dir_acceptable(const wchar_t *path, const char **why);

// The release version in the installer's file name (the last component of
// path): "VornquillAI-Setup-x64-<version>.exe" or
// "VornquillAI-Setup-x64-<version>-SELFSIGNED.exe", ".exe" in any letter case.
// Returns 0 with the version in the buffer, or -1 when the name has another
// form, the version is empty or it does not fit (the buffer is then empty).
int demo_version_from_file_name(const wchar_t *path, wchar_t *version, size_t capacity);
