// The release fetch: latest.txt into a fixed buffer, retried with back-off,
// the Retry/Cancel question after eight failed attempts, and the hand-over to
// the release verification. Records the user's message of every failure.
#include "cloud/cloud.h"

#include <string.h>

#include "common/constants.h"
#include "common/log.h"
#include "release/freshness.h"
#include "ui/ui.h"

// The envelope of the latest fetch; not terminated, its length travels with it.
static uint8_t envelope_buffer[CLOUD_ENVELOPE_CAPACITY];

enum { RELEASE_DETAIL_CAPACITY = 256 };

FetchOutcome cloud_fetch_to_buffer(CloudClient *client, const wchar16 *path, uint8_t *buffer,
                                   uint64_t capacity, uint64_t *length, CloudResult *result) {
    *result = {0, 0, 0, 0};
    *length = 0;

    HINTERNET request = cloud_request(client, path, nullptr, result);
    if (request == nullptr) return FETCH_INCOMPLETE;

    FetchOutcome outcome = FETCH_INCOMPLETE;
    int64_t content_length = -1;
    CloudProgressGuard guard;
    if (result->http_status != 200) {
        outcome = FETCH_HTTP_STATUS;
        goto done;
    }
    content_length = cloud_content_length(request);
    if (content_length >= 0 && (uint64_t)content_length > capacity) {
        outcome = FETCH_TOO_LARGE;
        goto done;
    }
    // The whole answer within one window: more than the buffer can take
    // never arrives before the window's end.
    cloud_progress_guard_start(&guard, cloud_progress_window_ms(), capacity + 1, GetTickCount64());
    for (;;) {
        uint8_t piece[CLOUD_FETCH_PIECE];
        DWORD got = 0;
        if (!cloud_read_piece(&request, piece, sizeof piece, capacity - *length, &got, &guard,
                              result)) {
            outcome = FETCH_INCOMPLETE;
            goto done;
        }
        if (got == 0) break;
        if (got > capacity - *length) {
            outcome = FETCH_TOO_LARGE;
            goto done;
        }
        memcpy(buffer + *length, piece, got);
        *length += got;
    }
    if (content_length < 0 || (uint64_t)content_length == *length) {
        outcome = FETCH_COMPLETE;
    } else {
        outcome = FETCH_INCOMPLETE;  // the body ended before its Content-Length
    }

done:
    if (request != nullptr) WinHttpCloseHandle(request);  // null: the read's deadline closed it
    return outcome;
}

bool cloud_backoff_wait(int32_t attempt, uint32_t retry_after_s) {
    uint32_t delay = cloud_backoff_delay_ms(attempt, retry_after_s);
    log_line("retrying in %lu ms", (unsigned long)delay);
    uint32_t waited = 0;
    while (waited < delay) {
        if (cancel_requested) return true;
        Sleep(CLOUD_WAIT_STEP_MS);
        waited += CLOUD_WAIT_STEP_MS;
    }
    return cancel_requested != 0;
}

// This machine's time as Unix seconds (UTC), the time a freshness statement
// is judged by.
static int64_t cloud_unix_time_now(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t ticks = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
    const uint64_t unix_epoch = 116444736000000000ull;  // 1970-01-01 in 100 ns ticks
    if (ticks < unix_epoch) return 0;
    return (int64_t)((ticks - unix_epoch) / 10000000ull);
}

// Logs the window of the freshness statement beside this machine's time
// (either end "unknown" when the statement was not read).
static void release_log_window(const char *what, const ReleaseInfo *release, int64_t now) {
    char issued[FRESH_TIME_TEXT_CAPACITY], expires[FRESH_TIME_TEXT_CAPACITY];
    char machine[FRESH_TIME_TEXT_CAPACITY];
    fresh_time_text(release->fresh_issued, issued, sizeof issued);
    fresh_time_text(release->fresh_expires, expires, sizeof expires);
    fresh_time_text(now, machine, sizeof machine);
    log_line("%s: issued %s, expires %s; this computer's time %s", what, issued, expires, machine);
}

// Records the message of a refused release and returns the exit code 2. The
// detail may quote the signed manifest's own text (a file name, a version),
// which must not be able to break the line or fake another.
static int release_refused(VerifyStatus status, const char *detail, const ReleaseInfo *release,
                           int64_t now) {
    const char *word = verify_status_word(status);
    char safe_detail[4 * RELEASE_DETAIL_CAPACITY];
    text_escape_controls(detail, safe_detail, sizeof safe_detail);
    log_line("release verification failed: %s: %s", word, safe_detail);
    if (status >= VERIFY_FRESH_MISSING) release_log_window("freshness statement", release, now);
    if (status == VERIFY_UNKNOWN_KID || status == VERIFY_FRESH_UNKNOWN_KID) {
        report_message(1,
                       T16("This copy of Vornquill AI Setup is out of date: the current release is "
                           "signed with a newer key.\n\nDownload the current installer from %ls"),
                       download_page_url());
    } else if (status == VERIFY_BELOW_FLOOR) {
        report_message(1,
                       T16("Vornquill Cloud offered an older release than this Setup accepts. "
                           "Nothing was installed. Try again later, or download the current "
                           "installer from %ls"),
                       download_page_url());
    } else if (status == VERIFY_STALE) {
        char expires[FRESH_TIME_TEXT_CAPACITY], machine[FRESH_TIME_TEXT_CAPACITY];
        fresh_time_readable(release->fresh_expires, expires, sizeof expires);
        fresh_time_readable(now, machine, sizeof machine);
        report_message(1,
                       T16("The release information from Vornquill Cloud is out of date: it was "
                           "valid until %hs, and this computer's clock shows %hs. Nothing "
                           "was installed.\n\nIf this computer's date or time is wrong, correct "
                           "it and run Setup again. Otherwise try again later."),
                       expires, machine);
    } else {
        report_message(1,
                       T16("The release information from Vornquill Cloud failed verification "
                           "(%hs). Nothing was installed."),
                       word);
    }
    log_line("RELEASE-ERROR %s", word);
    return 2;
}

int cloud_fetch_release(CloudClient *client, int may_ask, ReleaseInfo *release) {
    CloudResult result = {0, 0, 0, 0};
    uint64_t length = 0;
    int32_t attempt = 1;
    for (;;) {
        FetchOutcome outcome = cloud_fetch_to_buffer(client, CLOUD_RELEASE_PATH, envelope_buffer,
                                                     sizeof envelope_buffer, &length, &result);
        if (cancel_requested) return 3;
        if (outcome == FETCH_COMPLETE) break;
        if (outcome == FETCH_TOO_LARGE) {
            report_message(1, T16("The release information from Vornquill Cloud is too large. "
                                  "Nothing was installed."));
            return 2;
        }
        if (outcome == FETCH_HTTP_STATUS) {
            uint32_t status = result.http_status;
            if (status == 204 || status == 404) {
                report_message(1, T16("No release is available yet. Please try again later."));
                return 6;
            }
            if (status == 407) {
                report_proxy_sign_in();
                return 1;
            }
            if (!cloud_status_temporary(status)) {
                report_message(1, T16("Vornquill Cloud answered HTTP %lu. Please try again later."),
                               (unsigned long)status);
                return 1;
            }
            if (result.retry_after_s > CLOUD_RETRY_AFTER_LIMIT_S) {
                report_rate_limited(result.retry_after_s);
                return 1;
            }
        }
        // A transport failure, a short body or a temporary answer: retry.
        log_line("latest.txt attempt %d failed (status %lu, error %lu)", (int)attempt,
                 (unsigned long)result.http_status, (unsigned long)result.win32_error);
        if (attempt >= CLOUD_FAILED_ATTEMPTS_BEFORE_ASKING) {
            if (!may_ask ||
                ui_ask_retry_cancel(T16("Setup cannot reach Vornquill Cloud. Check your internet "
                                        "connection, then choose Retry.")) != IDRETRY) {
                report_message(1,
                               T16("Setup cannot reach Vornquill Cloud (%hs). Check your internet "
                                   "connection and try again."),
                               cloud_base_url());
                return 1;
            }
            attempt = 1;  // the user chose Retry: eight more attempts, no wait
            continue;
        }
        if (cloud_backoff_wait(attempt, result.retry_after_s)) return 3;
        attempt++;
    }

    char detail[RELEASE_DETAIL_CAPACITY];
    detail[0] = 0;
    int64_t now = cloud_unix_time_now();
    VerifyStatus status = release_verify_fresh((const char *)envelope_buffer, (size_t)length,
                                               version_floor(), now, release, detail,
                                               sizeof detail);
    if (status != VERIFY_OK) return release_refused(status, detail, release, now);
    if (freshness_required()) {
        char label[96];
        format_narrow(label, sizeof label, "freshness statement verified (key %s)",
                      release->fresh_kid);
        release_log_window(label, release, now);
    }
    return 0;
}
