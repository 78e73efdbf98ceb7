// The progress window of an interactive run: the flow runs on a worker thread
// while this thread shows status, progress and Cancel, and answers questions.
#include "ui/ui.h"

#include <commctrl.h>

#include "common/memory.h"

enum {
    UI_CANCEL_ID = 100,
    UI_TIMER_CANCEL = 1,
    UI_CLIENT_WIDTH = 460,
    UI_CLIENT_HEIGHT = 168,
    UI_WINDOW_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX
};

static const wchar16 window_class[] = T16("VornquillAIOnlineSetup");

struct WorkerStart {
    UiFlowFunction flow;
    void *argument;
    int result;
};

static HWND status_label;
static HWND progress_bar;
static HWND detail_label;
static HWND cancel_button;
static HFONT normal_font;
static HFONT title_font;
static int marquee;
static UiGraceOverFunction grace_over_function;

static void ui_request_cancel(void) {
    if (handed_over) return;
    if (InterlockedExchange(&cancel_requested, 1) != 0) return;
    EnableWindow(cancel_button, FALSE);
    SetWindowTextW(status_label, T16("Cancelling\u2026"));
    SetTimer(ui_main_window, UI_TIMER_CANCEL, UI_CANCEL_GRACE_MS, nullptr);
}

static void ui_set_marquee(int wanted) {
    if (wanted == marquee) return;
    LONG_PTR style = GetWindowLongPtrW(progress_bar, GWL_STYLE);
    style = wanted ? (style | PBS_MARQUEE) : (style & ~(LONG_PTR)PBS_MARQUEE);
    SetWindowLongPtrW(progress_bar, GWL_STYLE, style);
    SendMessageW(progress_bar, PBM_SETMARQUEE, (WPARAM)wanted, 30);
    marquee = wanted;
}

static LRESULT CALLBACK ui_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wparam) == UI_CANCEL_ID) ui_request_cancel();
        return 0;
    case WM_CLOSE:
        ui_request_cancel();
        return 0;
    case WM_TIMER:
        // The grace period is over and the flow has not ended: the
        // caller ends the run.
        if (wparam == UI_TIMER_CANCEL && !handed_over) {
            KillTimer(window, UI_TIMER_CANCEL);
            if (grace_over_function != nullptr) grace_over_function();
        }
        return 0;
    case WM_CTLCOLORSTATIC:
        SetBkMode((HDC)wparam, TRANSPARENT);
        return (LRESULT)GetSysColorBrush(COLOR_WINDOW);
    case WM_DESTROY:
        ui_main_window = nullptr;
        PostQuitMessage(0);
        return 0;
    case UIM_STATUS:
        SetWindowTextW(status_label, (const wchar16 *)lparam);
        heap_free((void *)lparam);
        return 0;
    case UIM_PROGRESS:
        ui_set_marquee((intptr_t)wparam == -1);
        if ((intptr_t)wparam != -1) SendMessageW(progress_bar, PBM_SETPOS, wparam, 0);
        SetWindowTextW(detail_label, (const wchar16 *)lparam);
        heap_free((void *)lparam);
        return 0;
    case UIM_ASK:
        return MessageBoxW(window, (const wchar16 *)lparam, UI_TITLE, (UINT)wparam);
    case UIM_HAND_OVER:
        KillTimer(window, UI_TIMER_CANCEL);
        ShowWindow(window, SW_HIDE);
        return 0;
    case UIM_WORKER_DONE:
        DestroyWindow(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

static DWORD WINAPI ui_worker_main(void *parameter) {
    WorkerStart *start = (WorkerStart *)parameter;
    start->result = start->flow(start->argument);
    HWND window = ui_main_window;
    if (window != nullptr) PostMessageW(window, UIM_WORKER_DONE, 0, 0);
    return 0;
}

static HWND ui_child(const wchar16 *class_name, const wchar16 *text, DWORD style, int x, int y,
                     int width, int height, int id, HFONT font, int dpi) {
    HWND child = CreateWindowExW(0, class_name, text, WS_CHILD | WS_VISIBLE | style,
                                 MulDiv(x, dpi, 96), MulDiv(y, dpi, 96), MulDiv(width, dpi, 96),
                                 MulDiv(height, dpi, 96), ui_main_window, (HMENU)(intptr_t)id,
                                 nullptr, nullptr);
    if (child != nullptr && font != nullptr) SendMessageW(child, WM_SETFONT, (WPARAM)font, TRUE);
    return child;
}

static void ui_make_fonts(void) {
    NONCLIENTMETRICSW metrics;
    ZeroMemory(&metrics, sizeof(metrics));
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return;
    normal_font = CreateFontIndirectW(&metrics.lfMessageFont);
    LOGFONTW title = metrics.lfMessageFont;
    title.lfWeight = 600;
    title.lfHeight = title.lfHeight * 5 / 4;
    title_font = CreateFontIndirectW(&title);
}

int ui_run_with_window(HINSTANCE instance, UiFlowFunction flow, void *argument,
                       UiGraceOverFunction grace_over) {
    grace_over_function = grace_over;
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    WNDCLASSEXW window_class_info;
    ZeroMemory(&window_class_info, sizeof(window_class_info));
    window_class_info.cbSize = sizeof(window_class_info);
    window_class_info.lpfnWndProc = ui_window_proc;
    window_class_info.hInstance = instance;
    window_class_info.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class_info.hIconSm = (HICON)LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                  GetSystemMetrics(SM_CXSMICON),
                                                  GetSystemMetrics(SM_CYSMICON), 0);
    window_class_info.hCursor = LoadCursorW(nullptr, (const wchar16 *)IDC_ARROW);
    window_class_info.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
    window_class_info.lpszClassName = window_class;
    RegisterClassExW(&window_class_info);

    HDC screen = GetDC(nullptr);
    int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    if (dpi <= 0) dpi = 96;
    ui_make_fonts();

    RECT frame = {0, 0, MulDiv(UI_CLIENT_WIDTH, dpi, 96), MulDiv(UI_CLIENT_HEIGHT, dpi, 96)};
    AdjustWindowRect(&frame, UI_WINDOW_STYLE, FALSE);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;

    HWND window = CreateWindowExW(0, window_class, UI_TITLE, UI_WINDOW_STYLE, x, y, width,
                                  height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return flow(argument);
    ui_main_window = window;

    ui_child(T16("STATIC"), T16("Vornquill AI"), 0, 20, 14, 420, 26, 0, title_font, dpi);
    status_label = ui_child(T16("STATIC"), T16("Checking for the latest version\u2026"),
                            SS_ENDELLIPSIS, 20, 46, 420, 20, 0, normal_font, dpi);
    progress_bar = ui_child(T16("msctls_progress32"), nullptr, PBS_SMOOTH, 20, 72, 420, 16, 0,
                            nullptr, dpi);
    detail_label = ui_child(T16("STATIC"), T16(""), SS_ENDELLIPSIS, 20, 96, 420, 20, 0,
                            normal_font, dpi);
    cancel_button = ui_child(T16("BUTTON"), T16("Cancel"), WS_TABSTOP, 350, 128, 90, 28,
                             UI_CANCEL_ID, normal_font, dpi);
    SendMessageW(progress_bar, PBM_SETRANGE32, 0, 1000);

    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    WorkerStart start;
    start.flow = flow;
    start.argument = argument;
    start.result = -1;  // set by the worker before it ends
    HANDLE worker = CreateThread(nullptr, 0, ui_worker_main, &start, 0, nullptr);
    if (worker == nullptr) {
        DestroyWindow(window);
        // Drain the quit message so a later loop does not end at once.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {}
        return flow(argument);
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    return start.result;
}
