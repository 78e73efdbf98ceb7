// A test program around the real progress window: it runs a scripted flow
// through ui_run_with_window so the window tests can drive it with clicks,
// and it reads message boxes of other processes for the start-up tests.
//
//   window-probe run MODE PROGRAMDATA   MODE: progress | marquee | block | handover
//   window-probe read-box TITLE         prints the box's texts and icon, presses its default button
//   window-probe hold-lock SECONDS      holds the setup's single-instance lock, as a running setup does
//   window-probe hold-named-mutex SECONDS  holds only the named mutex, as any program could
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include "common/log.h"
#include "setup/flow.h"
#include "setup/startup.h"
#include "ui/ui.h"

static const wchar_t *probe_mode = L"";

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

static int probe_stage(SetupRun *run) {
    probe_log_layout();
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
static const wchar_t *probe_programdata = nullptr;

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
static int probe_read_box(const wchar_t *title) {
    BoxSearch search = {title, nullptr};
    for (int i = 0; i < 200 && search.found == nullptr; i++) {
        EnumWindows(probe_find_box, (LPARAM)&search);
        if (search.found == nullptr) Sleep(50);
    }
    if (search.found == nullptr) {
        printf("box: none\n");
        return 1;
    }
    Sleep(300);  // let the box paint itself
    const wchar_t *icon = L"none";
    for (HWND child = GetWindow(search.found, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t class_name[64];
        GetClassNameW(child, class_name, 64);
        if (lstrcmpiW(class_name, L"Static") != 0) continue;
        if (SendMessageW(child, STM_GETICON, 0, 0) != 0) {
            icon = probe_icon_kind(child);
            continue;
        }
        wchar_t text[1024];
        if (GetWindowTextW(child, text, 1024) > 0) probe_print(L"text", text);
    }
    probe_print(L"icon", icon);
    fflush(stdout);
    PostMessageW(search.found, WM_COMMAND, IDOK, 0);
    return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 3) return 64;
    if (lstrcmpW(arguments[1], L"read-box") == 0) return probe_read_box(arguments[2]);
    if (lstrcmpW(arguments[1], L"hold-lock") == 0) {
        InstanceLock lock;
        InstanceVerdict verdict = startup_instance_take(&lock);
        printf("holding (verdict %d)\n", (int)verdict);
        fflush(stdout);
        Sleep((DWORD)_wtoi(arguments[2]) * 1000);
        startup_instance_release(&lock);
        return 0;
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
    int code = ui_run_with_window(instance, probe_flow, nullptr);
    printf("flow ended: %d\n", code);
    return code;
}
