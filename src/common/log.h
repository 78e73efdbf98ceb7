// The setup log, the user's message and the rate-limit wording.
// Lines are UTF-8, one write each, stamped in UTC; see log.cpp.
#pragma once

#include <stdint.h>

#include "common/text.h"

// Log buffer limits: stamp and message hold at most 2045 bytes, so a line with
// its CR LF is at most 2047 bytes.
enum {
    LOG_LINE_CAPACITY = 2048,
    LOG_WIDE_CAPACITY = 1400,
    USER_MESSAGE_CAPACITY = 2048
};

// ---------------------------------------------------------------- the log file
// Opens (creating or truncating) the log; lines before the first open and
// after a close are dropped. Failures are silent: the run goes on unlogged.
void log_open(const wchar16 *path);
void log_line(const char *format, ...) VQ_PRINTF(1, 2);
void log_wide(const char *prefix, const wchar16 *text);
void log_close(void);
// Closes the log; after a successful installation gives the setup log and the
// installer's log time-stamped names in the work folder.
void log_finish(const wchar16 *work_folder, const wchar16 *setup_log_path,
                const wchar16 *installer_log_path, int installed);

// ---------------------------------------------------------------- the result line
// A run has one result line, "RESULT code=%d reason=%s", and it is the last
// line of its log. The flow writes it at the end of the run, or the window's
// cancel fail-safe when the flow is stuck. log_result claims the line and
// writes it in one step under the log's lock: the first caller writes
// `before` (when not null) and the result line, closes the log and gets 1;
// every later caller writes nothing and gets 0. Each log_open starts a log
// whose result line is not yet claimed.
int log_result(const char *before, int code, const char *reason);

#if VQ_PROFILE_TEST
// Test seam of the test profile, null otherwise: log_result calls it with
// LOG_RESULT_SEAM_WAITING just before it waits for the lock that another
// thread holds, and with LOG_RESULT_SEAM_CLAIMED once it has won the claim,
// before its lines are written (the lock is then held).
enum { LOG_RESULT_SEAM_WAITING = 1, LOG_RESULT_SEAM_CLAIMED = 2 };
extern void (*log_result_seam)(int point);
#endif

// ---------------------------------------------------------------- user message
struct UserMessage {
    wchar16 text[USER_MESSAGE_CAPACITY];
    uint32_t is_error;
};

// The one process-wide message; start-up shows it after the flow ends.
UserMessage *user_message(void);
void report_message(int is_error, const wchar16 *format, ...);
void report_rate_limited(uint32_t seconds);
// The message for an answer 407: the program never asks for proxy passwords.
void report_proxy_sign_in(void);

// ---------------------------------------------------------------- pure rules
// The UTC time of a log line.
struct LogTime {
    unsigned year, month, day, hour, minute, second, millisecond;
};

// Builds a whole log line (stamp, message cut to fit, CR LF) into `line`
// (capacity LOG_LINE_CAPACITY); returns its length in bytes, without any
// terminating zero.
int log_build_line(char *line, const LogTime *time, const char *format, va_list args);
// The rate-limit message for a wait of `seconds`, into `buffer`.
int report_rate_limited_text(wchar16 *buffer, size_t capacity, uint32_t seconds);
// "%04u%02u%02u-%02u%02u%02u" of a time, for the kept logs' names.
int log_stamp_text(wchar16 *buffer, size_t capacity, const LogTime *time);
