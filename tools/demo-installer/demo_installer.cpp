// The demo build of the Vornquill AI product installer: what the online setup
// downloads and runs in tests and in the demo. It takes the product
// installer's switches, writes its log to /LOG="file", puts a few files into
// the chosen folder, writes the product's uninstall entry (64-bit registry
// view) with the version read from its own file name, and ends with the
// product installer's exit codes: 0 installed or repaired, 1 could not start
// (bad command line or settings), 4 failed while installing.
//
// It never shows a window or a message box, with or without the silent
// switches: every message goes to its log only.
//
// Test hooks, read from the environment:
//   VQ_DEMO_VERSION=text      install this version instead of the file name's
//   VQ_DEMO_EXIT_CODE=n       end with exit code n (0 to 4294967295) after the
//                             delay, without changing anything when n is not 0
//   VQ_DEMO_DELAY_MS=n        wait n milliseconds (at most 3600000) first
//   VQ_DEMO_WAIT_FILE=path    then wait until that file exists (at most
//                             10 minutes; failed with code 4 if it never does),
//                             so that a test acts while the installer runs
//   VQ_DEMO_SKIP_ENTRY=1      install the files but write no uninstall entry
#include <windows.h>

#include <stdarg.h>
#include <wchar.h>

#include "common/text.h"
#include "demo_args.h"

static const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1";
static const wchar_t kProductName[] = L"Vornquill AI";
static const wchar_t kPublisher[] = L"Hollbrek Zedivazavedazu LLP";

enum DemoExit {
    DEMO_EXIT_OK = 0,                // 0 installed or repaired
    DEMO_EXIT_INIT_FAILED = 1,       // 1 could not start: command line, settings, log
    DEMO_EXIT_INSTALL_FAILED = 4,    // 4 failed while installing
};

enum { VERSION_CAPACITY = 256, LINE_CAPACITY = 34000, LOG_BYTES_CAPACITY = 3 * LINE_CAPACITY + 64,
       CONTENT_CAPACITY = 4096 };

// ---------------------------------------------------------------------------
// The log: UTF-8, one write per line, "YYYY-MM-DD hh:mm:ss.mmm   text" (local time)

static HANDLE g_log = INVALID_HANDLE_VALUE;
static wchar_t g_line[LINE_CAPACITY];
static char g_line_bytes[LOG_BYTES_CAPACITY];

static void log_text(const wchar_t *text) {
    if (g_log == INVALID_HANDLE_VALUE) return;
    static wchar_t stamped[LINE_CAPACITY + 32];
    SYSTEMTIME now;
    GetLocalTime(&now);
    format_wide(stamped, LINE_CAPACITY + 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u   %ls\r\n", now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, text);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, stamped, (int)text16_length(stamped), g_line_bytes,
                                    LOG_BYTES_CAPACITY, nullptr, nullptr);
    if (bytes <= 0) return;
    DWORD written = 0;
    WriteFile(g_log, g_line_bytes, (DWORD)bytes, &written, nullptr);
}

// Logs one line formatted by format_wide (cut to the line's capacity).
static void log_format(const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    format_wide_v(g_line, LINE_CAPACITY, format, args);
    va_end(args);
    log_text(g_line);
}

// Logs text followed by " (error N)" with a system error number.
static void log_error(const wchar_t *text, DWORD error) {
    log_format(L"%ls (error %lu)", text, (unsigned long)error);
}

static int log_open_path(const wchar_t *path, DWORD disposition) {
    g_log = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    return g_log == INVALID_HANDLE_VALUE ? -1 : 0;
}

// /LOG without a name: "Setup Log YYYY-MM-DD #NNN.txt" in the temporary
// folder, the first number not yet taken.
static int log_open_default(void) {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) return -1;
    SYSTEMTIME now;
    GetLocalTime(&now);
    static wchar_t path[DEMO_PATH_CAPACITY];
    for (unsigned number = 1; number <= 999; number++) {
        if (format_wide(path, DEMO_PATH_CAPACITY, L"%lsSetup Log %04u-%02u-%02u #%03u.txt", temp, now.wYear,
                        now.wMonth, now.wDay, number) < 0)
            return -1;
        if (log_open_path(path, CREATE_NEW) == 0) return 0;
        if (GetLastError() != ERROR_FILE_EXISTS) return -1;
    }
    return -1;
}

static void log_close(void) {
    if (g_log != INVALID_HANDLE_VALUE) {
        CloseHandle(g_log);
        g_log = INVALID_HANDLE_VALUE;
    }
}

// ---------------------------------------------------------------------------
// Settings from the file name and the environment

// 1 with the variable's text, 0 when it is not set, -1 when it is too long.
static int env_text(const wchar_t *name, wchar_t *buffer, DWORD capacity) {
    buffer[0] = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(name, buffer, capacity);
    if (n == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? 0 : 1;
    if (n >= capacity) {
        buffer[0] = 0;
        return -1;
    }
    return 1;
}

// 1 with the decimal value (no sign, no blanks, at most max), 0 when not set,
// -1 when set but not such a number.
static int env_number(const wchar_t *name, unsigned long long max, unsigned long long *value) {
    wchar_t text[32];
    int got = env_text(name, text, 32);
    if (got <= 0) return got;
    if (text[0] == 0) return -1;
    unsigned long long v = 0;
    for (const wchar_t *p = text; *p != 0; p++) {
        if (*p < L'0' || *p > L'9') return -1;
        v = v * 10 + (unsigned long long)(*p - L'0');
        if (v > max) return -1;
    }
    *value = v;
    return 1;
}

static void log_bad_setting(const wchar_t *name, const char *rule) {
    log_format(L"Error: the environment variable %ls must be %hs; nothing was installed.", name, rule);
}

// ---------------------------------------------------------------------------
// The previous installation

struct PreviousInstall {
    int has_version;
    wchar_t version[VERSION_CAPACITY];
    int has_location;
    wchar_t location[DEMO_PATH_CAPACITY];
};

static void previous_install_read(PreviousInstall *previous) {
    previous->has_version = 0;
    previous->version[0] = 0;
    previous->has_location = 0;
    previous->location[0] = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return;
    DWORD size = sizeof previous->version;
    if (RegGetValueW(key, nullptr, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, previous->version, &size) ==
        ERROR_SUCCESS)
        previous->has_version = 1;
    else
        previous->version[0] = 0;
    size = sizeof previous->location;
    if (RegGetValueW(key, nullptr, L"InstallLocation", RRF_RT_REG_SZ, nullptr, previous->location, &size) ==
        ERROR_SUCCESS)
        previous->has_location = 1;
    else
        previous->location[0] = 0;
    RegCloseKey(key);
}

// ---------------------------------------------------------------------------
// The destination folder

// Drops separators at the end, but keeps the one of a drive root ("C:\").
static void folder_trim(wchar_t *path) {
    size_t n = text16_length(path);
    while (n > 3 && (path[n - 1] == L'\\' || path[n - 1] == L'/')) path[--n] = 0;
}

// Makes the absolute, normalised form of an acceptable folder path in out.
// Returns 0, or -1 with *why set.
static int folder_resolve(const wchar_t *given, wchar_t *out, size_t capacity, const char **why) {
    if (!demo_dir_acceptable(given, why)) return -1;
    DWORD n = GetFullPathNameW(given, (DWORD)capacity, out, nullptr);
    if (n == 0 || n >= capacity) {
        *why = "the folder name cannot be made into a full path of fitting length";
        return -1;
    }
    folder_trim(out);
    // Room for the separator that the install location ends with.
    if (text16_length(out) + 2 > capacity) {
        *why = "the folder name is too long";
        return -1;
    }
    return 0;
}

static int folder_is_plain_directory(const wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates the folder and every missing parent. Returns 0, or -1 with the
// last-error value of the call that failed.
static int folder_create_tree(const wchar_t *path) {
    static wchar_t partial[DEMO_PATH_CAPACITY];
    if (text16_copy(partial, DEMO_PATH_CAPACITY, path) != 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    size_t n = text16_length(partial);
    // Skip the root: "C:\" or "\\server\share\".
    size_t start = 3;
    if (partial[0] == L'\\' && partial[1] == L'\\') {
        int separators = 0;
        start = 2;
        while (start < n && separators < 2) {
            if (partial[start] == L'\\' || partial[start] == L'/') separators++;
            start++;
        }
    }
    for (size_t i = start; i <= n; i++) {
        if (i < n && partial[i] != L'\\' && partial[i] != L'/') continue;
        wchar_t saved = partial[i];
        partial[i] = 0;
        if (i > start && !CreateDirectoryW(partial, nullptr)) {
            DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS || !folder_is_plain_directory(partial)) {
                SetLastError(error == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : error);
                return -1;
            }
        }
        partial[i] = saved;
    }
    return 0;
}

// folder + a separator (unless it ends with one) + name into buffer; 0, or -1
// when it does not fit.
static int path_join(wchar_t *buffer, size_t capacity, const wchar_t *folder, const wchar_t *name) {
    size_t n = text16_length(folder);
    const wchar_t *separator = n > 0 && folder[n - 1] != L'\\' ? L"\\" : L"";
    return format_wide(buffer, capacity, L"%ls%ls%ls", folder, separator, name) < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// Installed files: each is written to "<name>.tmp", flushed, and moved over
// the old one, so a file is either the old or the new one, never half of it.

static int file_write_replace(const wchar_t *folder, const wchar_t *name, const wchar_t *content,
                              unsigned long long *total_bytes) {
    static wchar_t path[DEMO_PATH_CAPACITY + 64];
    static wchar_t temp[DEMO_PATH_CAPACITY + 64];
    static char bytes[CONTENT_CAPACITY * 3];
    if (path_join(path, DEMO_PATH_CAPACITY + 64, folder, name) != 0 ||
        format_wide(temp, DEMO_PATH_CAPACITY + 64, L"%ls.tmp", path) < 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    int size = 0;
    if (content[0] != 0) {
        size = WideCharToMultiByte(CP_UTF8, 0, content, (int)text16_length(content), bytes, (int)sizeof bytes,
                                   nullptr, nullptr);
        if (size <= 0) return -1;
    }
    HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes, (DWORD)size, &written, nullptr) && written == (DWORD)size;
    DWORD error = GetLastError();
    if (ok) {
        ok = FlushFileBuffers(file);
        error = GetLastError();
    }
    CloseHandle(file);
    if (ok) {
        ok = MoveFileExW(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileW(temp);
        SetLastError(error != 0 ? error : ERROR_WRITE_FAULT);
        return -1;
    }
    *total_bytes += (unsigned long long)size;
    return 0;
}

struct InstallChoices {
    const wchar_t *version;
    const wchar_t *folder;
    const wchar_t *components;   // "" when none were given
    const wchar_t *tasks;
    const wchar_t *lang;
};

static int install_files(const InstallChoices *choices, unsigned long long *total_bytes) {
    static wchar_t content[CONTENT_CAPACITY];
    static wchar_t data_folder[DEMO_PATH_CAPACITY + 16];

    if (folder_create_tree(choices->folder) != 0) {
        log_error(L"Error: the installation folder could not be created", GetLastError());
        return -1;
    }

    struct Entry {
        const wchar_t *folder;
        const wchar_t *name;
    };
    int cut = path_join(data_folder, DEMO_PATH_CAPACITY + 16, choices->folder, L"data") != 0;
    if (cut || folder_create_tree(data_folder) != 0) {
        log_error(L"Error: the data folder could not be created", cut ? ERROR_FILENAME_EXCED_RANGE : GetLastError());
        return -1;
    }

    const Entry entries[] = {
        {choices->folder, L"readme.txt"},
        {choices->folder, L"version.txt"},
        {choices->folder, L"setup-choices.txt"},
        {data_folder, L"settings.ini"},
    };
    for (size_t i = 0; i < sizeof entries / sizeof entries[0]; i++) {
        switch (i) {
        case 0:
            format_wide(content, CONTENT_CAPACITY,
                        L"%ls %ls\r\nThe demo build of the product, put here by its demo installer.\r\n",
                        kProductName, choices->version);
            break;
        case 1:
            format_wide(content, CONTENT_CAPACITY, L"%ls\r\n", choices->version);
            break;
        case 2:
            format_wide(content, CONTENT_CAPACITY, L"components=%ls\r\ntasks=%ls\r\nlanguage=%ls\r\n",
                        choices->components, choices->tasks, choices->lang);
            break;
        default:
            format_wide(content, CONTENT_CAPACITY, L"[general]\r\nversion=%ls\r\n", choices->version);
            break;
        }
        if (file_write_replace(entries[i].folder, entries[i].name, content, total_bytes) != 0) {
            DWORD error = GetLastError();
            log_format(L"Error: could not write %ls", entries[i].name);
            log_error(L"Installation stopped", error);
            return -1;
        }
        log_format(L"Dest filename: %ls\\%ls", entries[i].folder, entries[i].name);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The uninstall entry

static LSTATUS reg_set_text(HKEY key, const wchar_t *name, const wchar_t *value) {
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)value,
                          (DWORD)((text16_length(value) + 1) * sizeof(wchar_t)));
}

static LSTATUS reg_set_dword(HKEY key, const wchar_t *name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

// Writes the entry; "DisplayVersion" last, so the entry names the new version
// only when every other value is in place. A key created here is removed
// again when a value cannot be written.
static int entry_write(const InstallChoices *choices, unsigned long long total_bytes) {
    static wchar_t location[DEMO_PATH_CAPACITY + 2];
    path_join(location, DEMO_PATH_CAPACITY + 2, choices->folder, L"");

    wchar_t date[16];
    SYSTEMTIME now;
    GetLocalTime(&now);
    format_wide(date, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);

    HKEY key = nullptr;
    DWORD disposition = 0;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) {
        log_error(L"Error: the uninstall entry could not be created", (DWORD)rc);
        return -1;
    }
    DWORD kib = (DWORD)((total_bytes + 1023) / 1024);
    rc = reg_set_text(key, L"DisplayName", kProductName);
    if (rc == ERROR_SUCCESS) rc = reg_set_text(key, L"Publisher", kPublisher);
    if (rc == ERROR_SUCCESS) rc = reg_set_text(key, L"InstallLocation", location);
    if (rc == ERROR_SUCCESS) rc = reg_set_text(key, L"InstallDate", date);
    if (rc == ERROR_SUCCESS) rc = reg_set_dword(key, L"EstimatedSize", kib > 0 ? kib : 1);
    if (rc == ERROR_SUCCESS) rc = reg_set_dword(key, L"NoModify", 1);
    if (rc == ERROR_SUCCESS) rc = reg_set_dword(key, L"NoRepair", 1);
    if (rc == ERROR_SUCCESS) rc = reg_set_text(key, L"DisplayVersion", choices->version);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        log_error(L"Error: the uninstall entry could not be written", (DWORD)rc);
        if (disposition == REG_CREATED_NEW_KEY) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY, 0);
        return -1;
    }
    log_format(L"Uninstall entry written: DisplayVersion %ls, InstallLocation %ls", choices->version, location);
    return 0;
}

// ---------------------------------------------------------------------------
// The run

static DemoOptions g_options;
static wchar_t g_own_path[DEMO_PATH_CAPACITY];
static wchar_t g_folder[DEMO_PATH_CAPACITY];
static PreviousInstall g_previous;

static void log_bad_folder(const wchar_t *folder, const char *why) {
    log_format(L"Error: cannot install into \"%ls\": %hs.", folder, why);
}

static int demo_run(int parse_status) {
    const DemoOptions *o = &g_options;
    log_text(L"Log opened.");
    log_format(L"%ls demo installer", kProductName);
    DWORD n = GetModuleFileNameW(nullptr, g_own_path, DEMO_PATH_CAPACITY);
    if (n == 0 || n >= DEMO_PATH_CAPACITY) {
        log_error(L"Error: the installer cannot read its own file name", GetLastError());
        return DEMO_EXIT_INIT_FAILED;
    }
    log_format(L"Original installer: %ls", g_own_path);
    log_format(L"Command line: %ls", GetCommandLineW());

    if (parse_status != DEMO_ARGS_OK) {
        log_format(L"Error: bad command line argument \"%ls\": %hs. Nothing was installed.", o->bad_arg, o->detail);
        return DEMO_EXIT_INIT_FAILED;
    }

    // Test hooks.
    static wchar_t version[VERSION_CAPACITY];
    int got = env_text(L"VQ_DEMO_VERSION", version, VERSION_CAPACITY);
    if (got < 0 || (got > 0 && version[0] == 0)) {
        log_bad_setting(L"VQ_DEMO_VERSION", "a version text of 1 to 255 characters");
        return DEMO_EXIT_INIT_FAILED;
    }
    if (got > 0) {
        log_format(L"Version from VQ_DEMO_VERSION: %ls", version);
    } else if (demo_version_from_file_name(g_own_path, version, VERSION_CAPACITY) == 0) {
        log_format(L"Version: %ls", version);
    } else {
        log_text(L"Error: the version cannot be told from the file name; it must be "
                 L"VornquillAI-Setup-x64-<version>.exe or VornquillAI-Setup-x64-<version>-SELFSIGNED.exe. "
                 L"Nothing was installed.");
        return DEMO_EXIT_INIT_FAILED;
    }
    unsigned long long exit_override = 0;
    unsigned long long delay_ms = 0;
    unsigned long long skip_entry = 0;
    if (env_number(L"VQ_DEMO_EXIT_CODE", 0xFFFFFFFFull, &exit_override) < 0) {
        log_bad_setting(L"VQ_DEMO_EXIT_CODE", "a decimal number from 0 to 4294967295");
        return DEMO_EXIT_INIT_FAILED;
    }
    if (env_number(L"VQ_DEMO_DELAY_MS", 3600000ull, &delay_ms) < 0) {
        log_bad_setting(L"VQ_DEMO_DELAY_MS", "a decimal number of milliseconds from 0 to 3600000");
        return DEMO_EXIT_INIT_FAILED;
    }
    if (env_number(L"VQ_DEMO_SKIP_ENTRY", 1ull, &skip_entry) < 0) {
        log_bad_setting(L"VQ_DEMO_SKIP_ENTRY", "0 or 1");
        return DEMO_EXIT_INIT_FAILED;
    }

    log_text(o->silence == DEMO_SILENCE_VERY     ? L"Mode: very silent"
             : o->silence == DEMO_SILENCE_SILENT ? L"Mode: silent"
                                                 : L"Mode: interactive (this demo build shows no windows)");
    if (o->suppress_msgboxes) log_text(L"Message boxes: suppressed");
    if (o->no_restart) log_text(L"Restart: never (/NORESTART)");

    // The folder: /DIR, else the previous installation's, else the default.
    previous_install_read(&g_previous);
    const char *why = "";
    if (o->dir_given) {
        if (folder_resolve(o->dir, g_folder, DEMO_PATH_CAPACITY, &why) != 0) {
            log_bad_folder(o->dir, why);
            return DEMO_EXIT_INIT_FAILED;
        }
    } else if (g_previous.has_location && folder_resolve(g_previous.location, g_folder, DEMO_PATH_CAPACITY, &why) == 0) {
        log_text(L"Using the folder of the previous installation.");
    } else {
        static wchar_t program_files[DEMO_PATH_CAPACITY];
        static wchar_t fallback[DEMO_PATH_CAPACITY];
        DWORD pf = GetEnvironmentVariableW(L"ProgramW6432", program_files, DEMO_PATH_CAPACITY);
        if (pf == 0 || pf >= DEMO_PATH_CAPACITY)
            pf = GetEnvironmentVariableW(L"ProgramFiles", program_files, DEMO_PATH_CAPACITY);
        if (pf == 0 || pf >= DEMO_PATH_CAPACITY) text16_copy(program_files, DEMO_PATH_CAPACITY, L"C:\\Program Files");
        int cut = format_wide(fallback, DEMO_PATH_CAPACITY, L"%ls\\%ls", program_files, kProductName) < 0;
        if (cut || folder_resolve(fallback, g_folder, DEMO_PATH_CAPACITY, &why) != 0) {
            log_bad_folder(fallback, cut ? "the folder name is too long" : why);
            return DEMO_EXIT_INIT_FAILED;
        }
    }
    log_format(L"Dest dir: %ls", g_folder);
    if (o->components_given) log_format(L"Components: %ls", o->components);
    if (o->tasks_given) log_format(L"Tasks: %ls", o->tasks);
    if (o->lang[0] != 0) log_format(L"Language: %ls", o->lang);

    if (!g_previous.has_version)
        log_format(L"Installing version %ls", version);
    else if (wcscmp(g_previous.version, version) == 0)
        log_format(L"Repairing version %ls", version);
    else
        log_format(L"Replacing version %ls with %ls", g_previous.version, version);

    if (delay_ms > 0) {
        log_format(L"Waiting %llu ms (VQ_DEMO_DELAY_MS).", delay_ms);
        Sleep((DWORD)delay_ms);
    }
    static wchar_t wait_file[DEMO_PATH_CAPACITY];
    got = env_text(L"VQ_DEMO_WAIT_FILE", wait_file, DEMO_PATH_CAPACITY);
    if (got < 0 || (got > 0 && wait_file[0] == 0)) {
        log_bad_setting(L"VQ_DEMO_WAIT_FILE", "a file name of 1 to 1023 characters");
        return DEMO_EXIT_INIT_FAILED;
    }
    if (got > 0) {
        log_format(L"Waiting for %ls (VQ_DEMO_WAIT_FILE).", wait_file);
        ULONGLONG give_up = GetTickCount64() + 600000;
        while (GetFileAttributesW(wait_file) == INVALID_FILE_ATTRIBUTES) {
            if (GetTickCount64() > give_up) {
                log_format(L"Error: %ls did not appear within 10 minutes; nothing was installed.", wait_file);
                return DEMO_EXIT_INSTALL_FAILED;
            }
            Sleep(20);
        }
        log_text(L"The file is there; installing.");
    }
    if (exit_override != 0) {
        log_format(L"Stopping with exit code %llu (VQ_DEMO_EXIT_CODE); nothing was changed.", exit_override);
        return (int)(DWORD)exit_override;
    }

    InstallChoices choices;
    choices.version = version;
    choices.folder = g_folder;
    choices.components = o->components;
    choices.tasks = o->tasks;
    choices.lang = o->lang;
    unsigned long long total_bytes = 0;
    if (install_files(&choices, &total_bytes) != 0) return DEMO_EXIT_INSTALL_FAILED;
    if (skip_entry) {
        log_text(L"No uninstall entry written (VQ_DEMO_SKIP_ENTRY).");
    } else if (entry_write(&choices, total_bytes) != 0) {
        return DEMO_EXIT_INSTALL_FAILED;
    }
    log_text(L"Installation process succeeded.");
    return DEMO_EXIT_OK;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    int parse_status = demo_args_parse(GetCommandLineW(), &g_options);
    // The log comes first, so that even a refusal is written down.
    int opened = 0;
    if (g_options.log_path[0] != 0) {
        opened = log_open_path(g_options.log_path, CREATE_ALWAYS);
    } else if (g_options.log_default) {
        opened = log_open_default();
    }
    // A log that was asked for but cannot be written ends the run.
    if (opened != 0) return DEMO_EXIT_INIT_FAILED;
    int code = demo_run(parse_status);
    log_format(L"Exit code: %lu", (unsigned long)(DWORD)code);
    log_text(L"Log closed.");
    log_close();
    return code;
}
