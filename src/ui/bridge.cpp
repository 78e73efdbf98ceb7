// The flow's side of the progress window: posted texts and progress, sent
// questions and hand-over. Without a window every call returns at once.
#include "ui/ui.h"

#include "common/memory.h"

volatile LONG cancel_requested = 0;
volatile LONG handed_over = 0;
HWND ui_main_window = nullptr;

static uint64_t last_progress_post = 0;

wchar16 *ui_copy_text(const wchar16 *text) {
    size_t length = text16_length(text);
    wchar16 *copy = (wchar16 *)heap_alloc((length + 1) * sizeof(wchar16));
    if (copy == nullptr) return nullptr;
    for (size_t i = 0; i <= length; i++) copy[i] = text[i];
    return copy;
}

// Posts a heap copy of text; the window frees it, or this does when the post
// fails. An update whose copy cannot be made is dropped.
static void ui_post_text(HWND window, UINT message, WPARAM wparam, const wchar16 *text) {
    wchar16 *copy = ui_copy_text(text);
    if (copy == nullptr) return;
    if (!PostMessageW(window, message, wparam, (LPARAM)copy)) heap_free(copy);
}

void ui_set_status(const wchar16 *text) {
    HWND window = ui_main_window;
    if (window == nullptr) return;
    ui_post_text(window, UIM_STATUS, 0, text);
}

void ui_report_progress(uint64_t done, uint64_t total, double rate) {
    HWND window = ui_main_window;
    if (window == nullptr) return;
    uint64_t now = GetTickCount64();
    if (!ui_progress_due(now, last_progress_post, done, total)) return;
    last_progress_post = now;
    wchar16 detail[UI_PROGRESS_TEXT_CAPACITY];
    int32_t position = 0;
    ui_progress_text(detail, UI_PROGRESS_TEXT_CAPACITY, done, total, rate, &position);
    ui_post_text(window, UIM_PROGRESS, (WPARAM)(intptr_t)position, detail);
}

static int ui_ask(const wchar16 *question, UINT flags, int no_window_answer) {
    HWND window = ui_main_window;
    if (window == nullptr) return no_window_answer;
    return (int)SendMessageW(window, UIM_ASK, flags, (LPARAM)question);
}

int ui_ask_yes_no(const wchar16 *question) {
    return ui_ask(question, MB_YESNO | MB_ICONQUESTION, IDNO);
}

int ui_ask_retry_cancel(const wchar16 *question) {
    return ui_ask(question, MB_RETRYCANCEL | MB_ICONWARNING, IDCANCEL);
}

void ui_hand_over(void) {
    InterlockedExchange(&handed_over, 1);
    HWND window = ui_main_window;
    if (window != nullptr) SendMessageW(window, UIM_HAND_OVER, 0, 0);
}
