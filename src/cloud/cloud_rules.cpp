// The rules of the cloud connection that need no system call: reading the
// Retry-After, Content-Length and Content-Range header texts, what a download
// attempt does with its answer, which statuses are worth another attempt, the
// back-off schedule and the download rate.
#include "cloud/cloud.h"

#include "common/constants.h"

const char *cloud_fetch_outcome_name(int outcome) {
    switch (outcome) {
    case FETCH_COMPLETE: return "FETCH_COMPLETE";
    case FETCH_INCOMPLETE: return "FETCH_INCOMPLETE";
    case FETCH_HTTP_STATUS: return "FETCH_HTTP_STATUS";
    case FETCH_TOO_LARGE: return "FETCH_TOO_LARGE";
    default: return "UNKNOWN";
    }
}

const char *cloud_download_outcome_name(int outcome) {
    switch (outcome) {
    case DOWNLOAD_COMPLETE: return "DOWNLOAD_COMPLETE";
    case DOWNLOAD_INCOMPLETE: return "DOWNLOAD_INCOMPLETE";
    case DOWNLOAD_HTTP_STATUS: return "DOWNLOAD_HTTP_STATUS";
    case DOWNLOAD_OVERSIZED: return "DOWNLOAD_OVERSIZED";
    case DOWNLOAD_UNDERSIZED: return "DOWNLOAD_UNDERSIZED";
    case DOWNLOAD_CANCELLED: return "DOWNLOAD_CANCELLED";
    case DOWNLOAD_WRITE_FAILED: return "DOWNLOAD_WRITE_FAILED";
    default: return "UNKNOWN";
    }
}

static int is_digit(wchar16 c) { return c >= '0' && c <= '9'; }

int cloud_parse_retry_after(const wchar16 *text, uint32_t *seconds) {
    if (text == nullptr) return 0;
    size_t i = 0;
    while (text[i] == ' ') i++;
    uint32_t value = 0;
    int digits = 0;
    while (is_digit(text[i])) {
        if (digits == CLOUD_RETRY_AFTER_MAX_DIGITS) return 0;  // eight digits or more
        value = value * 10u + (uint32_t)(text[i] - '0');
        digits++;
        i++;
    }
    if (digits == 0) return 0;
    if (text[i] != 0 && text[i] != ' ') return 0;
    *seconds = value;
    return 1;
}

// The value of text made of 1 to max_digits decimal digits and nothing
// else; -1 for anything else (null or empty included).
static int64_t parse_plain_digits(const wchar16 *text, size_t max_digits) {
    if (text == nullptr || text[0] == 0) return -1;
    int64_t value = 0;
    for (size_t i = 0; text[i] != 0; i++) {
        if (!is_digit(text[i]) || i == max_digits) return -1;
        value = value * 10 + (int64_t)(text[i] - '0');
    }
    return value;
}

int64_t cloud_parse_content_length(const wchar16 *text) {
    return parse_plain_digits(text, CLOUD_CONTENT_LENGTH_MAX_DIGITS);
}

int cloud_content_range_text_matches(const wchar16 *text, uint64_t first, uint64_t size) {
    if (text == nullptr || size == 0 || first >= size) return 0;
    wchar16 expected[CLOUD_CONTENT_RANGE_CAPACITY];
    if (format_wide(expected, CLOUD_CONTENT_RANGE_CAPACITY, T16("bytes %llu-%llu/%llu"),
                    (unsigned long long)first, (unsigned long long)(size - 1),
                    (unsigned long long)size) < 0) {
        return 0;
    }
    size_t i = 0;
    for (; expected[i] != 0; i++) {
        if (text[i] != expected[i]) return 0;
    }
    return text[i] == 0;
}

DownloadPlan cloud_download_plan(uint32_t status, uint64_t held, uint64_t total,
                                 int64_t content_length, int range_matches) {
    if (status == 200) {
        if (content_length >= 0 && (uint64_t)content_length > total) return DOWNLOAD_PLAN_OVERSIZED;
        if (content_length >= 0 && (uint64_t)content_length < total) return DOWNLOAD_PLAN_UNDERSIZED;
        return DOWNLOAD_PLAN_WHOLE;
    }
    // Only the tail that was asked for is appended; anything else at the
    // bytes held would mix two files or two offsets.
    if (status == 206 && range_matches && held < total) return DOWNLOAD_PLAN_TAIL;
    if (status == 206 || status == 416) return DOWNLOAD_PLAN_RESTART;
    return DOWNLOAD_PLAN_STATUS;
}

void cloud_user_agent(wchar16 *buffer, size_t capacity) {
    format_wide(buffer, capacity, T16("VornquillAI-OnlineSetup/%ls (Windows; x64)"), setup_version());
}

int cloud_status_temporary(uint32_t status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

uint32_t cloud_backoff_delay_ms(int32_t attempt, uint32_t retry_after_s) {
    if (retry_after_s != 0) {
        uint32_t s = retry_after_s < CLOUD_RETRY_AFTER_LIMIT_S ? retry_after_s
                                                              : (uint32_t)CLOUD_RETRY_AFTER_LIMIT_S;
        return s * 1000u;
    }
    // Attempts count from 1; a count below 0 waits like attempt 0.
    int32_t power = attempt < 0 ? 0 : (attempt > 5 ? 5 : attempt);
    return 1000u << power;
}

double cloud_download_rate(uint64_t elapsed_ms, uint64_t done, uint64_t done_at_start) {
    if (elapsed_ms <= CLOUD_RATE_AFTER_MS || done <= done_at_start) return 0.0;
    return (double)(done - done_at_start) * 1000.0 / (double)elapsed_ms;
}

void cloud_progress_guard_start(CloudProgressGuard *guard, uint64_t window_ms, uint64_t min_bytes,
                                uint64_t now_ms) {
    guard->window_ms = window_ms;
    guard->min_bytes = min_bytes;
    guard->start_ms = now_ms;
    guard->start_bytes = 0;
    guard->received = 0;
}

int cloud_progress_too_slow(CloudProgressGuard *guard, uint64_t now_ms) {
    if (guard->received - guard->start_bytes >= guard->min_bytes) {
        guard->start_ms = now_ms;
        guard->start_bytes = guard->received;
        return 0;
    }
    uint64_t passed = now_ms > guard->start_ms ? now_ms - guard->start_ms : 0;
    return passed >= guard->window_ms ? 1 : 0;
}

uint64_t cloud_read_deadline_ms(const CloudProgressGuard *guard) {
    uint64_t grace = guard->window_ms * CLOUD_RECEIVE_TIMEOUT_MS / CLOUD_PROGRESS_WINDOW_MS;
    return guard->start_ms + guard->window_ms + grace;
}

uint64_t cloud_progress_window_parse(const wchar16 *text) {
    int64_t value = parse_plain_digits(text, CLOUD_PROGRESS_WINDOW_DIGITS);
    if (value <= 0 || value > CLOUD_PROGRESS_WINDOW_MS) return CLOUD_PROGRESS_WINDOW_MS;
    return (uint64_t)value;
}
