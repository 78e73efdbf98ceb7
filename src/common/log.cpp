// The setup log file (write-through, one write per line, under a lock), the
// user's message and the renaming of the logs after a successful installation.
#include "common/log.h"

#include <windows.h>

#include "common/constants.h"
#include "common/file.h"

static HANDLE log_handle = INVALID_HANDLE_VALUE;
static CRITICAL_SECTION log_lock;
static volatile LONG log_lock_ready = 0;
static UserMessage the_user_message;
// Set by the one log_result call that writes the result line of the open log.
static volatile LONG result_claimed = 0;

#if VQ_PROFILE_TEST
void (*log_result_seam)(int point) = nullptr;
#endif

static void log_time_now(LogTime *time) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    time->year = st.wYear;
    time->month = st.wMonth;
    time->day = st.wDay;
    time->hour = st.wHour;
    time->minute = st.wMinute;
    time->second = st.wSecond;
    time->millisecond = st.wMilliseconds;
}

void log_open(const wchar16 *path) {
    if (!log_lock_ready) {
        InitializeCriticalSection(&log_lock);
        log_lock_ready = 1;
    }
    log_close();
    // Like every file of the work folder, the log is opened as itself and
    // only with a single name: a link or a second name at its path is
    // replaced by a new file, and no other file's data is emptied.
    HANDLE file = file_open_checked_flags(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                          FILE_FLAG_WRITE_THROUGH);
    EnterCriticalSection(&log_lock);
    log_handle = file;
    result_claimed = 0;
    LeaveCriticalSection(&log_lock);
}

static void log_line_v(const char *format, va_list args) {
    // Keeps the caller's last-error value: logging a failure must not change
    // the error that the flow reports next.
    DWORD saved_error = GetLastError();
    char line[LOG_LINE_CAPACITY];
    LogTime time;
    log_time_now(&time);
    int length = log_build_line(line, &time, format, args);
    int locked = log_lock_ready;
    if (locked) EnterCriticalSection(&log_lock);
    if (log_handle != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log_handle, line, (DWORD)length, &written, nullptr);
    }
    if (locked) LeaveCriticalSection(&log_lock);
    SetLastError(saved_error);
}

void log_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    log_line_v(format, args);
    va_end(args);
}

void log_wide(const char *prefix, const wchar16 *text) {
    char converted[LOG_WIDE_CAPACITY];
    DWORD saved_error = GetLastError();
    utf16_to_utf8(text, converted, sizeof converted);
    SetLastError(saved_error);
    log_line("%s%s", prefix, converted);
}

void log_close(void) {
    int locked = log_lock_ready;
    if (locked) EnterCriticalSection(&log_lock);
    if (log_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(log_handle);
        log_handle = INVALID_HANDLE_VALUE;
    }
    if (locked) LeaveCriticalSection(&log_lock);
}

void log_finish(const wchar16 *work_folder, const wchar16 *setup_log_path,
                const wchar16 *installer_log_path, int installed) {
    log_close();
    if (!installed) return;
    LogTime time;
    log_time_now(&time);
    wchar16 stamp[32];
    log_stamp_text(stamp, 32, &time);
    wchar16 target[1024];
    if (format_wide(target, 1024, T16("%ls\\online-setup-%ls.log"), work_folder, stamp) >= 0) {
        MoveFileExW(setup_log_path, target, 0);
    }
    if (format_wide(target, 1024, T16("%ls\\install-%ls.log"), work_folder, stamp) >= 0) {
        MoveFileExW(installer_log_path, target, 0);
    }
}

int log_result(const char *before, int code, const char *reason) {
    int locked = log_lock_ready;
    if (locked && !TryEnterCriticalSection(&log_lock)) {
#if VQ_PROFILE_TEST
        if (log_result_seam != nullptr) log_result_seam(LOG_RESULT_SEAM_WAITING);
#endif
        EnterCriticalSection(&log_lock);
    }
    // The claim and the lines are one step: a caller that loses the claim
    // has waited here until the winner's lines are written and the log is
    // closed, so it can neither drop them by closing the log first nor add
    // lines after the result line.
    int won = InterlockedExchange(&result_claimed, 1) == 0;
    if (won) {
#if VQ_PROFILE_TEST
        if (log_result_seam != nullptr) log_result_seam(LOG_RESULT_SEAM_CLAIMED);
#endif
        if (before != nullptr) log_line("%s", before);
        log_line("RESULT code=%d reason=%s", code, reason);
        log_close();
    }
    if (locked) LeaveCriticalSection(&log_lock);
    return won;
}

UserMessage *user_message(void) {
    return &the_user_message;
}

void report_message(int is_error, const wchar16 *format, ...) {
    va_list args;
    va_start(args, format);
    format_wide_v(the_user_message.text, USER_MESSAGE_CAPACITY, format, args);
    va_end(args);
    the_user_message.is_error = is_error ? 1 : 0;
    log_wide(is_error ? "message (error): " : "message: ", the_user_message.text);
}

void report_proxy_sign_in(void) {
    report_message(1, T16("Your proxy server needs you to sign in. Setup does not collect proxy "
                          "passwords: use a direct connection, or ask your IT department to "
                          "allow %hs."),
                   cloud_base_url());
}

void report_rate_limited(uint32_t seconds) {
    wchar16 text[USER_MESSAGE_CAPACITY];
    report_rate_limited_text(text, USER_MESSAGE_CAPACITY, seconds);
    report_message(1, T16("%ls"), text);
}
