// A test program around the real progress window: it runs a scripted flow
// through ui_run_with_window so the window tests can drive it with clicks,
// and it reads message boxes of other processes for the start-up tests.
//
//   window-probe run MODE PROGRAMDATA   MODE: progress | marquee | block | handover | steps
//   window-probe read-box TITLE         prints the box's texts and icon, presses its default button
//   window-probe hold-lock SECONDS      holds the setup's single-instance lock, as a running setup does
//   window-probe hold-named-mutex SECONDS  holds only the named mutex, as any program could
//   window-probe take-lock              takes the single-instance lock as a setup would, prints
//                                       "verdict N" and releases it
//   window-probe wait-box TITLE         waits (up to 10 s) until a box of that title is shown,
//                                       without answering it; 0 when one was found
//   window-probe read-window TITLE MS [FIELD=VALUE...]
//                                       reads the progress window of another process (status,
//                                       detail, cancel, bar, pos) until every FIELD=VALUE holds
//                                       or MS milliseconds have passed; prints what it read last;
//                                       0 when all held
//   window-probe cancel TITLE           posts a Cancel click and a close request to that window
//   window-probe read-icons EXE FOLDER  loads icon group 1 of EXE through the system at each
//                                       size it holds and writes what the system made of it
//                                       (FOLDER\icon-SIZE.bgra, top-down rows of B, G, R, A)
//   window-probe try-file PATH          tries to open PATH for writing, to rename it and to
//                                       delete it, as another program could; prints
//                                       "write: N", "rename: N", "delete: N" (0 when the
//                                       attempt succeeded, else its system error)
//
// The steps mode shows the window's own first status, then waits for the file
// "step-1" in PROGRAMDATA before the download status and a progress report
// without a total (marquee), and for "step-2" before a report with a total.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "common/log.h"
#include "setup/flow.h"
#include "setup/startup.h"
#include "ui/ui.h"

static const wchar_t *probe_mode = L"";
static const wchar_t *probe_programdata = nullptr;

// Writes the window and control sizes (client coordinates) to the log.
static void probe_log_layout(void) {
    HWND window = ui_main_window;
    if (window == nullptr) return;
    RECT client;
    GetClientRect(window, &client);
    log_line("layout window %ldx%ld", client.right, client.bottom);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, window, (POINT *)&r, 2);
        wchar_t class_name[64];
        GetClassNameW(child, class_name, 64);
        char narrow[64];
        utf16_to_utf8(class_name, narrow, sizeof(narrow));
        log_line("layout %s %ld,%ld %ldx%ld", narrow, r.left, r.top, r.right - r.left,
                 r.bottom - r.top);
    }
}

// Waits until the user cancels; 0 when the wait ran out first.
static int probe_wait_for_cancel(DWORD limit_ms) {
    for (DWORD waited = 0; waited < limit_ms; waited += 50) {
        if (cancel_requested) return 1;
        Sleep(50);
    }
    return 0;
}

// Waits until the file NAME exists in the run's ProgramData folder; 0 when
// the wait ran out first or the user cancelled.
static int probe_wait_for_step(const wchar_t *name, DWORD limit_ms) {
    wchar_t path[1024];
    if (format_wide(path, 1024, L"%ls\\%ls", probe_programdata, name) < 0) return 0;
    for (DWORD waited = 0; waited < limit_ms; waited += 20) {
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return 1;
        if (cancel_requested) return 0;
        Sleep(20);
    }
    return 0;
}

static int probe_steps(SetupRun *run) {
    log_line("probe: ready");
    if (!probe_wait_for_step(L"step-1", 60000)) return setup_end(run, SETUP_EXIT_CANCELLED, "cancelled");
    ui_set_status(L"Downloading Vornquill AI 2.0.0\u2026");
    ui_report_progress(0, 0, 0);
    uint64_t marquee_posted = GetTickCount64();
    log_line("probe: step 1");
    if (!probe_wait_for_step(L"step-2", 60000)) return setup_end(run, SETUP_EXIT_CANCELLED, "cancelled");
    // A report within the throttle interval of the last one would be dropped.
    while (GetTickCount64() - marquee_posted <= UI_PROGRESS_THROTTLE_MS) Sleep(10);
    ui_report_progress(1572864, 10485760, 2097152.0);
    log_line("probe: step 2");
    if (!probe_wait_for_cancel(60000)) return setup_end(run, SETUP_EXIT_CLOUD, "timeout");
    return setup_end(run, SETUP_EXIT_CANCELLED, "cancelled");
}

static int probe_stage(SetupRun *run) {
    probe_log_layout();
    if (lstrcmpW(probe_mode, L"steps") == 0) return probe_steps(run);
    int marquee = lstrcmpW(probe_mode, L"marquee") == 0;
    if (marquee || lstrcmpW(probe_mode, L"progress") == 0) {
        // 1.5 MB of 10 MB at 2 MB/s, or a total of 0 for the marquee bar.
        ui_set_status(L"Downloading Vornquill AI 2.0.0\u2026");
        ui_report_progress(marquee ? 0 : 1572864, marquee ? 0 : 10485760, marquee ? 0 : 2097152.0);
        log_line("probe: ready");
        if (!probe_wait_for_cancel(60000)) return setup_end(run, SETUP_EXIT_CLOUD, "timeout");
        return setup_end(run, SETUP_EXIT_CANCELLED, "cancelled");
    }
    if (lstrcmpW(probe_mode, L"block") == 0) {
        // A flow stuck in a long receive: it never looks at the cancel flag.
        log_line("probe: ready");
        Sleep(60000);
        return setup_end(run, SETUP_EXIT_CLOUD, "timeout");
    }
    if (lstrcmpW(probe_mode, L"handover") == 0) {
        ui_hand_over();
        log_line("probe: ready");
        // A click on Cancel and a close request after the hand-over.
        PostMessageW(ui_main_window, WM_COMMAND, 100, 0);
        PostMessageW(ui_main_window, WM_CLOSE, 0, 0);
        // The "installer" runs for a while; clicks on the hidden window
        // must not cancel anything.
        Sleep(6000);
        log_line("probe: cancel_requested=%ld", (long)cancel_requested);
        report_message(0, L"Vornquill AI 2.0.0 is installed.");
        return setup_end(run, SETUP_EXIT_DONE, cancel_requested ? "cancel-leaked" : "installed");
    }
    return setup_end(run, SETUP_EXIT_LOCAL, "bad-mode");
}

static const SetupStage probe_stages[] = {probe_stage};

static int probe_flow(void *argument) {
    return setup_run_stages(probe_programdata, probe_stages, 1);
}

struct BoxSearch {
    const wchar_t *title;
    HWND found;
};

static BOOL CALLBACK probe_find_box(HWND window, LPARAM parameter) {
    BoxSearch *search = (BoxSearch *)parameter;
    wchar_t class_name[64];
    wchar_t title[128];
    GetClassNameW(window, class_name, 64);
    GetWindowTextW(window, title, 128);
    if (lstrcmpW(class_name, L"#32770") == 0 && lstrcmpW(title, search->title) == 0 &&
        IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Prints a text on one line, with its line breaks written as \n.
static void probe_print(const wchar_t *label, const wchar_t *text) {
    char narrow[2048];
    utf16_to_utf8(text, narrow, sizeof(narrow));
    printf("%ls: ", label);
    for (const char *c = narrow; *c != 0; c++) {
        if (*c == '\n') {
            printf("\\n");
        } else if (*c != '\r') {
            putchar(*c);
        }
    }
    printf("\n");
}

// The kind of a message box icon, from what is on the screen: the error icon
// is mostly red, the information icon mostly blue. (Icon handles of another
// process cannot be read back here.)
static const wchar_t *probe_icon_kind(HWND icon_control) {
    RECT r;
    GetWindowRect(icon_control, &r);
    HDC screen = GetDC(nullptr);
    int red = 0;
    int blue = 0;
    for (int y = r.top; y < r.bottom; y++) {
        for (int x = r.left; x < r.right; x++) {
            COLORREF c = GetPixel(screen, x, y);
            int cr = GetRValue(c), cg = GetGValue(c), cb = GetBValue(c);
            if (cr > 150 && cg < 110 && cb < 110) red++;
            if (cb > 150 && cr < 120) blue++;
        }
    }
    ReleaseDC(nullptr, screen);
    if (red > 20 && red > blue) return L"error";
    if (blue > 20 && blue > red) return L"information";
    return L"other";
}

// Prints the message text and the kind of icon of the box, then presses OK.
// The box of that title, polled for up to 10 s; null when none appeared.
static HWND probe_wait_box(const wchar_t *title) {
    BoxSearch search = {title, nullptr};
    for (int i = 0; i < 200 && search.found == nullptr; i++) {
        EnumWindows(probe_find_box, (LPARAM)&search);
        if (search.found == nullptr) Sleep(50);
    }
    return search.found;
}

static int probe_read_box(const wchar_t *title) {
    BoxSearch search = {title, probe_wait_box(title)};
    if (search.found == nullptr) {
        printf("box: none\n");
        return 1;
    }
    // The icon is read from the screen, so it is read again until the box
    // has painted it (a kind other than "other"), for at most 5 s.
    const wchar_t *icon = L"none";
    ULONGLONG icon_deadline = GetTickCount64() + 5000;
    for (;;) {
        for (HWND child = GetWindow(search.found, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            wchar_t class_name[64];
            GetClassNameW(child, class_name, 64);
            if (lstrcmpiW(class_name, L"Static") == 0 && SendMessageW(child, STM_GETICON, 0, 0) != 0) {
                icon = probe_icon_kind(child);
            }
        }
        if (lstrcmpW(icon, L"other") != 0 || GetTickCount64() > icon_deadline) break;
        Sleep(20);
    }
    for (HWND child = GetWindow(search.found, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t class_name[64];
        GetClassNameW(child, class_name, 64);
        if (lstrcmpiW(class_name, L"Static") != 0 || SendMessageW(child, STM_GETICON, 0, 0) != 0) continue;
        wchar_t text[1024];
        if (GetWindowTextW(child, text, 1024) > 0) probe_print(L"text", text);
    }
    probe_print(L"icon", icon);
    fflush(stdout);
    PostMessageW(search.found, WM_COMMAND, IDOK, 0);
    return 0;
}

// ---------------------------------------------------------------- another process's window
// What the progress window shows, read with window messages from outside.
struct WindowState {
    wchar_t status[256];
    wchar_t detail[256];
    int cancel_enabled;
    int marquee;
    int position;
};

struct ProgressWindow {
    HWND window;
    HWND statics[3];  // title, status and detail lines, top to bottom
    int static_count;
    HWND bar;
    HWND cancel;
};

static BOOL CALLBACK probe_find_progress(HWND window, LPARAM parameter) {
    ProgressWindow *found = (ProgressWindow *)parameter;
    wchar_t class_name[64];
    GetClassNameW(window, class_name, 64);
    if (lstrcmpW(class_name, L"VornquillAIOnlineSetup") != 0 || !IsWindowVisible(window)) return TRUE;
    found->window = window;
    return FALSE;
}

// The children of the progress window by kind; the static lines in the order
// of their places from the top.
static int probe_progress_controls(ProgressWindow *found) {
    found->static_count = 0;
    found->bar = nullptr;
    found->cancel = nullptr;
    int tops[3] = {0, 0, 0};
    for (HWND child = GetWindow(found->window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t class_name[64];
        GetClassNameW(child, class_name, 64);
        RECT r;
        GetWindowRect(child, &r);
        if (lstrcmpiW(class_name, L"Static") == 0 && found->static_count < 3) {
            int i = found->static_count++;
            while (i > 0 && tops[i - 1] > r.top) {
                tops[i] = tops[i - 1];
                found->statics[i] = found->statics[i - 1];
                i--;
            }
            tops[i] = r.top;
            found->statics[i] = child;
        } else if (lstrcmpiW(class_name, L"msctls_progress32") == 0) {
            found->bar = child;
        } else if (lstrcmpiW(class_name, L"Button") == 0) {
            found->cancel = child;
        }
    }
    return found->static_count == 3 && found->bar != nullptr && found->cancel != nullptr;
}

// The text of a control of another process, through WM_GETTEXT.
static void probe_control_text(HWND control, wchar_t *text, int capacity) {
    text[0] = 0;
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, (WPARAM)capacity, (LPARAM)text,
                             SMTO_ABORTIFHUNG, 2000, &length)) {
        text[0] = 0;
    }
    text[capacity - 1] = 0;
}

// The progress window of another process titled TITLE: 1 when found.
static int probe_find_titled(const wchar_t *title, ProgressWindow *found) {
    ZeroMemory(found, sizeof(*found));
    EnumWindows(probe_find_progress, (LPARAM)found);
    if (found->window == nullptr) return 0;
    wchar_t caption[128];
    GetWindowTextW(found->window, caption, 128);
    return lstrcmpW(caption, title) == 0;
}

static int probe_read_progress(const wchar_t *title, WindowState *state) {
    ProgressWindow found;
    if (!probe_find_titled(title, &found) || !probe_progress_controls(&found)) return 0;
    probe_control_text(found.statics[1], state->status, 256);
    probe_control_text(found.statics[2], state->detail, 256);
    state->cancel_enabled = IsWindowEnabled(found.cancel) ? 1 : 0;
    state->marquee = (GetWindowLongW(found.bar, GWL_STYLE) & PBS_MARQUEE) ? 1 : 0;
    DWORD_PTR position = 0;
    SendMessageTimeoutW(found.bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position);
    state->position = (int)position;
    return 1;
}

// The value of an expectation with its \\uXXXX escapes decoded, so that the
// command line needs only ASCII whatever the code page.
static void probe_unescape(const wchar_t *text, wchar_t *out, size_t capacity) {
    size_t n = 0;
    while (*text != 0 && n + 1 < capacity) {
        if (text[0] == L'\\' && text[1] == L'u' && wcslen(text) >= 6) {
            wchar_t digits[5] = {text[2], text[3], text[4], text[5], 0};
            out[n++] = (wchar_t)wcstoul(digits, nullptr, 16);
            text += 6;
        } else {
            out[n++] = *text++;
        }
    }
    out[n] = 0;
}

// One FIELD=VALUE expectation against what was read.
static int probe_state_matches(const WindowState *state, const wchar_t *expectation) {
    const wchar_t *equals = wcschr(expectation, L'=');
    if (equals == nullptr) return 0;
    size_t name_length = (size_t)(equals - expectation);
    wchar_t value[256];
    probe_unescape(equals + 1, value, 256);
    wchar_t actual[256];
    if (name_length == 6 && wcsncmp(expectation, L"status", 6) == 0) {
        lstrcpynW(actual, state->status, 256);
    } else if (name_length == 6 && wcsncmp(expectation, L"detail", 6) == 0) {
        lstrcpynW(actual, state->detail, 256);
    } else if (name_length == 6 && wcsncmp(expectation, L"cancel", 6) == 0) {
        lstrcpynW(actual, state->cancel_enabled ? L"enabled" : L"disabled", 256);
    } else if (name_length == 3 && wcsncmp(expectation, L"bar", 3) == 0) {
        lstrcpynW(actual, state->marquee ? L"marquee" : L"normal", 256);
    } else if (name_length == 3 && wcsncmp(expectation, L"pos", 3) == 0) {
        swprintf(actual, 256, L"%d", state->position);
    } else {
        return 0;
    }
    return lstrcmpW(actual, value) == 0;
}

static int probe_read_window(const wchar_t *title, DWORD limit_ms, wchar_t **expected, int count) {
    WindowState state;
    int read = 0;
    int held = 0;
    ULONGLONG start = GetTickCount64();
    for (;;) {
        ZeroMemory(&state, sizeof(state));
        read = probe_read_progress(title, &state);
        held = read;
        for (int i = 0; read && i < count; i++) held = held && probe_state_matches(&state, expected[i]);
        if (held || GetTickCount64() - start >= limit_ms) break;
        Sleep(20);
    }
    if (!read) {
        printf("window: none\n");
    } else {
        probe_print(L"status", state.status);
        probe_print(L"detail", state.detail);
        probe_print(L"cancel", state.cancel_enabled ? L"enabled" : L"disabled");
        probe_print(L"bar", state.marquee ? L"marquee" : L"normal");
        printf("pos: %d\n", state.position);
    }
    fflush(stdout);
    return held ? 0 : 1;
}

// A click on Cancel (its command) and a close request, as a user's second
// and third attempt to cancel.
static int probe_cancel_again(const wchar_t *title) {
    ProgressWindow found;
    if (!probe_find_titled(title, &found)) return 1;
    PostMessageW(found.window, WM_COMMAND, MAKEWPARAM(100, BN_CLICKED), 0);
    PostMessageW(found.window, WM_CLOSE, 0, 0);
    return 0;
}

// ---------------------------------------------------------------- the executable's icon
// Loads icon group 1 of another executable at each size of its artwork, as
// the shell and the window manager ask for it, and writes the pixels of the
// icon the system made: a size whose entry the system cannot read comes out
// scaled from another entry, and no longer matches the artwork.
static int probe_read_icons(const wchar_t *exe, const wchar_t *folder) {
    static const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
    HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        printf("cannot load %ls as a resource image (error %lu)\n", exe, GetLastError());
        return 1;
    }
    int failures = 0;
    for (int size : sizes) {
        HICON icon = (HICON)LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0);
        ICONINFO info = {};
        BITMAP bitmap = {};
        if (icon == nullptr || !GetIconInfo(icon, &info) ||
            GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap) == 0) {
            printf("icon %d: not loaded (error %lu)\n", size, GetLastError());
            if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
            if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
            if (icon != nullptr) DestroyIcon(icon);
            failures++;
            continue;
        }
        BITMAPINFO format = {};
        format.bmiHeader.biSize = sizeof(format.bmiHeader);
        format.bmiHeader.biWidth = size;
        format.bmiHeader.biHeight = -size;
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = 32;
        format.bmiHeader.biCompression = BI_RGB;
        DWORD length = (DWORD)(size * size * 4);
        uint8_t *pixels = (uint8_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length);
        HDC screen = GetDC(nullptr);
        int rows = pixels != nullptr && screen != nullptr
                       ? GetDIBits(screen, info.hbmColor, 0, (UINT)size, pixels, &format, DIB_RGB_COLORS)
                       : 0;
        if (screen != nullptr) ReleaseDC(nullptr, screen);
        wchar_t path[MAX_PATH];
        _snwprintf(path, MAX_PATH, L"%ls\\icon-%d.bgra", folder, size);
        path[MAX_PATH - 1] = L'\0';
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        DWORD written = 0;
        int saved = rows == size && file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, pixels, length, &written, nullptr) && written == length;
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        printf("icon %d: %ldx%ld, %d bits per pixel%ls\n", size, bitmap.bmWidth, bitmap.bmHeight,
               bitmap.bmBitsPixel, saved ? L"" : L", pixels not saved");
        if (!saved) failures++;
        if (pixels != nullptr) HeapFree(GetProcessHeap(), 0, pixels);
        DeleteObject(info.hbmColor);
        if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    FreeLibrary(module);
    fflush(stdout);
    return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- a held file
// Each attempt another process could make on a file that is held open.
static int probe_try_file(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD write = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    printf("write: %lu\n", (unsigned long)write);

    wchar_t moved[MAX_PATH + 8];
    if (lstrlenW(path) >= MAX_PATH) return 64;
    lstrcpyW(moved, path);
    lstrcatW(moved, L".moved");
    DWORD rename = MoveFileW(path, moved) ? 0 : GetLastError();
    if (rename == 0) MoveFileW(moved, path);  // put back, so the deletion meets the same file
    printf("rename: %lu\n", (unsigned long)rename);

    DWORD removal = DeleteFileW(path) ? 0 : GetLastError();
    printf("delete: %lu\n", (unsigned long)removal);
    fflush(stdout);
    return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments != nullptr && count == 2 && lstrcmpW(arguments[1], L"take-lock") == 0) {
        InstanceLock lock;
        InstanceVerdict verdict = startup_instance_take(&lock);
        printf("verdict %d\n", (int)verdict);
        fflush(stdout);
        startup_instance_release(&lock);
        return 0;
    }
    if (arguments == nullptr || count < 3) return 64;
    if (lstrcmpW(arguments[1], L"read-box") == 0) return probe_read_box(arguments[2]);
    if (lstrcmpW(arguments[1], L"wait-box") == 0) return probe_wait_box(arguments[2]) != nullptr ? 0 : 1;
    if (lstrcmpW(arguments[1], L"hold-lock") == 0) {
        InstanceLock lock;
        InstanceVerdict verdict = startup_instance_take(&lock);
        printf("holding (verdict %d)\n", (int)verdict);
        fflush(stdout);
        Sleep((DWORD)_wtoi(arguments[2]) * 1000);
        startup_instance_release(&lock);
        return 0;
    }
    if (lstrcmpW(arguments[1], L"cancel") == 0) return probe_cancel_again(arguments[2]);
    if (lstrcmpW(arguments[1], L"read-icons") == 0) {
        if (count < 4) return 64;
        return probe_read_icons(arguments[2], arguments[3]);
    }
    if (lstrcmpW(arguments[1], L"try-file") == 0) return probe_try_file(arguments[2]);
    if (lstrcmpW(arguments[1], L"read-window") == 0) {
        if (count < 4) return 64;
        return probe_read_window(arguments[2], (DWORD)_wtoi(arguments[3]), arguments + 4, count - 4);
    }
    if (lstrcmpW(arguments[1], L"hold-named-mutex") == 0) {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\VornquillAI-OnlineSetup");
        printf("holding\n");
        fflush(stdout);
        Sleep((DWORD)_wtoi(arguments[2]) * 1000);
        if (mutex != nullptr) CloseHandle(mutex);
        return 0;
    }
    if (lstrcmpW(arguments[1], L"run") != 0 || count < 4) return 64;
    probe_mode = arguments[2];
    probe_programdata = arguments[3];
    int code = ui_run_with_window(instance, probe_flow, nullptr, setup_cancel_grace_over);
    printf("flow ended: %d\n", code);
    return code;
}
