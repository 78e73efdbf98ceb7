// The bridge between the setup flow and the progress window, and the window.
// Every bridge function also works without a window: it then does nothing or
// answers with its default (No, Cancel).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"

// Application messages (WM_APP is 0x8000).
enum {
    UIM_STATUS = 0x8001,       // posted: lParam heap copy of the status text
    UIM_PROGRESS = 0x8002,     // posted: wParam position 0..1000 or -1, lParam detail text
    UIM_ASK = 0x8003,          // sent: wParam MessageBox flags, lParam question
    UIM_HAND_OVER = 0x8004,    // sent: kill the fail-safe timer, hide the window
    UIM_WORKER_DONE = 0x8005   // posted: destroy the window
};

// The title of the progress window and of every message box of the program.
#define UI_TITLE T16("Vornquill AI Setup")

enum {
    UI_PROGRESS_THROTTLE_MS = 120,
    UI_PROGRESS_TEXT_CAPACITY = 160,
    UI_CANCEL_GRACE_MS = 4000
};

// ---------------------------------------------------------------- pure rules
// The detail text and bar position of a progress report: "%.1f MB of %.1f MB"
// (plus the rate when above 0); total 0 gives position -1 and an empty text.
void ui_progress_text(wchar16 *text, size_t capacity, uint64_t done, uint64_t total, double rate,
                      int32_t *position);
// 1 when a progress report at `now` is to be posted after one at `last_post`.
int ui_progress_due(uint64_t now_ms, uint64_t last_post_ms, uint64_t done, uint64_t total);

#ifdef _WIN32
#include <windows.h>

// The two process-wide flags, each set once with an atomic exchange and read
// with plain loads: the user wants to stop; the installer is about to run.
extern volatile LONG cancel_requested;
extern volatile LONG handed_over;

// The window the bridge talks to; null when there is none.
extern HWND ui_main_window;

void ui_set_status(const wchar16 *text);
void ui_report_progress(uint64_t done, uint64_t total, double rate);
// IDYES (6) or IDNO (7); IDNO without a window.
int ui_ask_yes_no(const wchar16 *question);
// IDRETRY (4) or IDCANCEL (2); IDCANCEL without a window.
int ui_ask_retry_cancel(const wchar16 *question);
// Marks the hand-over to the installer and hides the window; Cancel no
// longer acts afterwards.
void ui_hand_over(void);
// A process-heap copy of text (length + 1 units), or null.
wchar16 *ui_copy_text(const wchar16 *text);

// ---------------------------------------------------------------- the window
typedef int (*UiFlowFunction)(void *argument);
// Called on the window thread when the grace period after Cancel is over and
// the flow has not ended; the caller's end of a cancelled run (it may end the
// process).
typedef void (*UiGraceOverFunction)(void);

// Shows the progress window, runs flow(argument) on a worker thread, runs the
// message loop and returns the flow's exit code after the worker has ended.
// Without a window or thread the flow runs on this thread. grace_over is
// called once when a cancelled flow outlives the grace period, unless the
// installer has been handed over.
int ui_run_with_window(HINSTANCE instance, UiFlowFunction flow, void *argument,
                       UiGraceOverFunction grace_over);
#endif
