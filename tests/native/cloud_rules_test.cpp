// The header rules of the cloud connection, the statuses worth a retry, the
// back-off schedule and the download rate.
#include <gtest/gtest.h>

#include <string>

#include "cloud/cloud.h"

namespace {

std::basic_string<wchar16> w(const char *ascii) {
    std::basic_string<wchar16> s;
    for (size_t i = 0; ascii[i] != 0; i++) s.push_back((wchar16)(unsigned char)ascii[i]);
    return s;
}

TEST(CloudRetryAfter, DelayFormOnly) {
    struct Case {
        const char *text;
        int usable;
        uint32_t seconds;
    };
    const Case cases[] = {
        {"30", 1, 30},
        {"120", 1, 120},
        {"  120", 1, 120},
        {"120  ", 1, 120},
        {"0", 1, 0},
        {"0000007", 1, 7},          // seven digits with leading zeros
        {"9999999", 1, 9999999},    // the largest value
        {"10000000", 0, 0},         // eight digits
        {"00000001", 0, 0},
        {"30s", 0, 0},
        {"1.5", 0, 0},
        {"-3", 0, 0},
        {"+3", 0, 0},
        {"", 0, 0},
        {"   ", 0, 0},
        {"Wed, 21 Oct 2026 07:28:00 GMT", 0, 0},
        {"30 s", 1, 30},            // a space ends the number
        {"\t30", 0, 0},             // only spaces are skipped
        {"30\t", 0, 0},
    };
    for (const Case &c : cases) {
        uint32_t seconds = 4242;
        int usable = cloud_parse_retry_after(w(c.text).c_str(), &seconds);
        EXPECT_EQ(usable, c.usable) << '"' << c.text << '"';
        EXPECT_EQ(seconds, c.usable ? c.seconds : 4242u) << '"' << c.text << '"';
    }
}

TEST(CloudContentLength, PlainDigitsUpToFifteen) {
    struct Case {
        const char *text;
        int64_t value;
    };
    const Case cases[] = {
        {"0", 0},
        {"500", 500},
        {"2150400", 2150400},
        {"000123", 123},
        {"999999999999999", 999999999999999LL},  // fifteen digits
        {"1000000000000000", -1},                // sixteen
        {"", -1},
        {"+5", -1},
        {"-5", -1},
        {" 5", -1},
        {"5 ", -1},
        {"5x", -1},
        {"0x10", -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cloud_parse_content_length(w(c.text).c_str()), c.value) << '"' << c.text << '"';
    }
}

TEST(CloudContentRange, OnlyTheExactTailMatches) {
    struct Case {
        const char *text;
        uint64_t first, size;
        int matches;
    };
    const Case cases[] = {
        {"bytes 100-499/500", 100, 500, 1},
        {"bytes 0-499/500", 0, 500, 1},
        {"bytes 499-499/500", 499, 500, 1},
        {"bytes 2147483647-2147483647/2147483648", 2147483647ull, 2147483648ull, 1},
        {"bytes 100-499/600", 100, 500, 0},   // another total
        {"bytes 101-499/500", 100, 500, 0},   // another first byte
        {"bytes 100-299/500", 100, 500, 0},   // another last byte
        {"bytes 100-499/*", 100, 500, 0},
        {"bytes */500", 100, 500, 0},
        {"bytes  100-499/500", 100, 500, 0},
        {"bytes 100-499/500 ", 100, 500, 0},
        {" bytes 100-499/500", 100, 500, 0},
        {"Bytes 100-499/500", 100, 500, 0},
        {"bytes 0100-499/500", 100, 500, 0},
        {"bytes 100-499/500", 100, 5000, 0},  // a prefix of the expected text
        {"bytes 100-499/50", 100, 500, 0},
        {"", 100, 500, 0},
        {"bytes 500-499/500", 500, 500, 0},   // nothing left to send
        {"bytes 0--1/0", 0, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cloud_content_range_text_matches(w(c.text).c_str(), c.first, c.size), c.matches)
            << '"' << c.text << "\" first " << c.first << " size " << c.size;
    }
    EXPECT_EQ(cloud_content_range_text_matches(nullptr, 0, 1), 0);
}

TEST(CloudDownloadPlan, ResumptionDecision) {
    struct Case {
        uint32_t status;
        uint64_t held, total;
        int64_t content_length;
        int range_matches;
        DownloadPlan plan;
    };
    const Case cases[] = {
        {206, 100, 500, -1, 1, DOWNLOAD_PLAN_TAIL},        // bytes 100-499/500
        {206, 0, 500, -1, 1, DOWNLOAD_PLAN_TAIL},          // the whole file as a range
        {206, 100, 500, -1, 0, DOWNLOAD_PLAN_RESTART},     // another range or total
        {206, 500, 500, -1, 1, DOWNLOAD_PLAN_RESTART},     // nothing left to append
        {416, 100, 500, -1, 0, DOWNLOAD_PLAN_RESTART},
        {416, 100, 500, 500, 1, DOWNLOAD_PLAN_RESTART},
        {200, 100, 500, 500, 0, DOWNLOAD_PLAN_WHOLE},      // Range ignored: the whole file again
        {200, 0, 500, -1, 0, DOWNLOAD_PLAN_WHOLE},         // no Content-Length: the body decides
        {200, 100, 500, -1, 1, DOWNLOAD_PLAN_WHOLE},       // a Content-Range on a 200 counts for nothing
        {200, 0, 500, 501, 0, DOWNLOAD_PLAN_OVERSIZED},
        {200, 100, 500, 499, 0, DOWNLOAD_PLAN_UNDERSIZED},
        {200, 0, 500, 0, 0, DOWNLOAD_PLAN_UNDERSIZED},
        {200, 0, 1, 999999999999999LL, 0, DOWNLOAD_PLAN_OVERSIZED},
        {404, 100, 500, 500, 1, DOWNLOAD_PLAN_STATUS},
        {503, 0, 500, -1, 0, DOWNLOAD_PLAN_STATUS},
        {204, 0, 500, 0, 0, DOWNLOAD_PLAN_STATUS},
        {0, 0, 500, -1, 0, DOWNLOAD_PLAN_STATUS},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cloud_download_plan(c.status, c.held, c.total, c.content_length, c.range_matches), c.plan)
            << c.status << " held " << c.held << " of " << c.total << " length " << c.content_length
            << " range " << c.range_matches;
    }
}

TEST(CloudStatus, TemporaryAnswers) {
    for (uint32_t status : {408u, 429u, 500u, 502u, 503u, 504u, 599u}) {
        EXPECT_EQ(cloud_status_temporary(status), 1) << status;
    }
    for (uint32_t status : {0u, 200u, 204u, 206u, 302u, 400u, 401u, 403u, 404u, 407u, 416u, 499u, 600u}) {
        EXPECT_EQ(cloud_status_temporary(status), 0) << status;
    }
}

TEST(CloudBackoff, ScheduleAndServerDelay) {
    struct Case {
        int32_t attempt;
        uint32_t retry_after_s;
        uint32_t delay_ms;
    };
    const Case cases[] = {
        {1, 0, 2000},   {2, 0, 4000},   {3, 0, 8000},      {4, 0, 16000},
        {5, 0, 32000},  {6, 0, 32000},  {7, 0, 32000},     {100, 0, 32000},
        {0, 0, 1000},   {-3, 0, 1000},  {INT32_MAX, 0, 32000}, {INT32_MIN, 0, 1000},
        {1, 1, 1000},   {7, 30, 30000}, {1, 120, 120000},  {3, 300, 300000},
        {3, 301, 300000}, {1, 9999999, 300000}, {1, UINT32_MAX, 300000},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cloud_backoff_delay_ms(c.attempt, c.retry_after_s), c.delay_ms)
            << "attempt " << c.attempt << " retry-after " << c.retry_after_s;
    }
    // Seven waits of a series of eight attempts: about two minutes.
    uint32_t sum = 0;
    for (int32_t attempt = 1; attempt <= 7; attempt++) sum += cloud_backoff_delay_ms(attempt, 0);
    EXPECT_EQ(sum, 126000u);
}

TEST(CloudDownloadRate, OnlyAfterHalfASecond) {
    const uint64_t mib = 1048576;
    EXPECT_EQ(cloud_download_rate(400, 10 * mib, 6 * mib), 0.0);
    EXPECT_EQ(cloud_download_rate(500, 10 * mib, 6 * mib), 0.0);
    EXPECT_EQ(cloud_download_rate(2000, 10 * mib, 6 * mib), 2097152.0);
    EXPECT_EQ(cloud_download_rate(501, 501, 0), 1000.0);
    EXPECT_EQ(cloud_download_rate(2000, 6 * mib, 6 * mib), 0.0);
    // Fewer bytes than at the start (the file was emptied): no wrap-around.
    EXPECT_EQ(cloud_download_rate(2000, 1 * mib, 6 * mib), 0.0);
}

// The slow-transfer guard of the download as the program sets it up, driven
// by a clock of the test's own: each step is (milliseconds since the attempt
// began, bytes received by then, verdict). The figures are the ones the
// README and SECURITY.md promise, written out: 64 KiB (65,536 bytes) in
// 5 minutes (300,000 ms), 218 bytes a second.
TEST(CloudProgressGuard, TooLittleInOneWindowEndsTheAttempt) {
    const uint64_t window = 300000;
    const uint64_t min = 65536;
    struct Step {
        uint64_t at_ms;
        uint64_t received;
        int too_slow;
    };
    struct Case {
        const char *what;
        Step steps[6];
        int count;
    };
    const Case cases[] = {
        {"a trickle of one byte a second ends when the window has passed",
         {{1000, 1, 0}, {window - 1, 299, 0}, {window, 300, 1}}, 3},
        {"one byte short of the minimum in a whole window ends it",
         {{window - 1, min - 1, 0}, {window, min - 1, 1}}, 2},
        {"the minimum in a window begins a new one, which is judged alone",
         {{window - 1, min, 0}, {window + 1, min, 0}, {2 * window - 2, 2 * min - 1, 0},
          {2 * window - 1, 2 * min - 1, 1}}, 4},
        {"a steady 218 bytes a second (64 KiB in 5 minutes) never ends",
         {{window / 2, min / 2, 0}, {window, min, 0}, {2 * window, 2 * min, 0},
          {3 * window, 3 * min, 0}}, 4},
        {"217 bytes a second falls short in the first window",
         {{150000, 32550, 0}, {299999, 65099, 0}, {300000, 65100, 1}}, 3},
        {"nothing at all for 299,999 ms is still within the window",
         {{299999, 0, 0}, {300000, 0, 1}}, 2},
        {"a burst, then silence for a whole window",
         {{10, 10 * min, 0}, {10 + window - 1, 10 * min, 0}, {10 + window, 10 * min, 1}}, 3},
        {"a clock that goes back behind the window's start counts as no time passed",
         {{window - 1, min, 0}, {1000, min + 1, 0}, {2 * window - 2, min + 1, 0},
          {2 * window - 1, min + 1, 1}}, 4},
    };
    for (const Case &c : cases) {
        CloudProgressGuard guard;
        cloud_progress_guard_start(&guard, CLOUD_PROGRESS_WINDOW_MS, CLOUD_PROGRESS_MIN_BYTES, 0);
        for (int i = 0; i < c.count; i++) {
            guard.received = c.steps[i].received;
            EXPECT_EQ(cloud_progress_too_slow(&guard, c.steps[i].at_ms), c.steps[i].too_slow)
                << c.what << ", step " << i + 1;
        }
    }
    // The release fetch's guard: a minimum above what the buffer holds
    // never begins a new window, so the whole answer must come in one.
    CloudProgressGuard fetch;
    cloud_progress_guard_start(&fetch, CLOUD_PROGRESS_WINDOW_MS, CLOUD_ENVELOPE_CAPACITY + 1, 0);
    fetch.received = 2150400;
    EXPECT_EQ(cloud_progress_too_slow(&fetch, 299999), 0);
    EXPECT_EQ(cloud_progress_too_slow(&fetch, 300000), 1);

    // The guard starts at the time it is given, with nothing received.
    CloudProgressGuard guard = {1, 2, 3, 4, 5};
    cloud_progress_guard_start(&guard, 2000, 100, 7000);
    EXPECT_EQ(guard.window_ms, 2000u);
    EXPECT_EQ(guard.min_bytes, 100u);
    EXPECT_EQ(guard.start_ms, 7000u);
    EXPECT_EQ(guard.start_bytes, 0u);
    EXPECT_EQ(guard.received, 0u);
    EXPECT_EQ(cloud_progress_too_slow(&guard, 8999), 0);
    EXPECT_EQ(cloud_progress_too_slow(&guard, 9000), 1);
    guard.received = 100;
    EXPECT_EQ(cloud_progress_too_slow(&guard, 9000), 0);   // the minimum came: a new window
    EXPECT_EQ(guard.start_ms, 9000u);
}

// A blocking read must return by the window's end plus the receive
// time-out's share of the window: 60 s after the real 5 minutes, 400 ms after
// a test build's 2 s. The deadline moves with the window.
TEST(CloudProgressGuard, ReadDeadlineIsTheWindowPlusOneReceiveTimeout) {
    CloudProgressGuard guard;
    cloud_progress_guard_start(&guard, CLOUD_PROGRESS_WINDOW_MS, CLOUD_PROGRESS_MIN_BYTES, 5000);
    EXPECT_EQ(cloud_read_deadline_ms(&guard), 5000u + 300000u + 60000u);
    guard.received = 65536;
    EXPECT_EQ(cloud_progress_too_slow(&guard, 200000), 0);   // a new window from 200,000 ms
    EXPECT_EQ(cloud_read_deadline_ms(&guard), 200000u + 300000u + 60000u);

    cloud_progress_guard_start(&guard, 2000, CLOUD_PROGRESS_MIN_BYTES, 0);
    EXPECT_EQ(cloud_read_deadline_ms(&guard), 2400u);
    cloud_progress_guard_start(&guard, 1, CLOUD_PROGRESS_MIN_BYTES, 10);
    EXPECT_EQ(cloud_read_deadline_ms(&guard), 11u);
}

TEST(CloudProgressGuard, WindowSettingOfTestBuilds) {
    struct Case {
        const char *text;
        uint64_t window_ms;
    };
    const Case cases[] = {
        {"2000", 2000},
        {"1", 1},
        {"300000", 300000},
        {"000100", 100},              // six digits with leading zeros
        {"0", CLOUD_PROGRESS_WINDOW_MS},
        {"300001", CLOUD_PROGRESS_WINDOW_MS},    // longer than the real window
        {"1000000", CLOUD_PROGRESS_WINDOW_MS},   // seven digits
        {"", CLOUD_PROGRESS_WINDOW_MS},
        {"2s", CLOUD_PROGRESS_WINDOW_MS},
        {" 2000", CLOUD_PROGRESS_WINDOW_MS},
        {"-5", CLOUD_PROGRESS_WINDOW_MS},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cloud_progress_window_parse(w(c.text).c_str()), c.window_ms) << c.text;
    }
    EXPECT_EQ(cloud_progress_window_parse(nullptr), (uint64_t)CLOUD_PROGRESS_WINDOW_MS);
    // Without a setting (every production build): the real five minutes.
    EXPECT_EQ(cloud_progress_window_parse(nullptr), 300000u);
}

TEST(CloudOutcomeNames, EveryCodeHasItsName) {
    EXPECT_STREQ(cloud_fetch_outcome_name(FETCH_COMPLETE), "FETCH_COMPLETE");
    EXPECT_STREQ(cloud_fetch_outcome_name(FETCH_TOO_LARGE), "FETCH_TOO_LARGE");
    EXPECT_STREQ(cloud_fetch_outcome_name(4), "UNKNOWN");
    EXPECT_STREQ(cloud_download_outcome_name(DOWNLOAD_UNDERSIZED), "DOWNLOAD_UNDERSIZED");
    EXPECT_STREQ(cloud_download_outcome_name(DOWNLOAD_CANCELLED), "DOWNLOAD_CANCELLED");
    EXPECT_STREQ(cloud_download_outcome_name(DOWNLOAD_WRITE_FAILED), "DOWNLOAD_WRITE_FAILED");
    EXPECT_STREQ(cloud_download_outcome_name(7), "UNKNOWN");
    EXPECT_STREQ(cloud_download_outcome_name(-1), "UNKNOWN");
}

}  // namespace
