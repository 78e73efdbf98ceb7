// The log line layout, the kept-log stamp and the rate-limit wording.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/log.h"
#include "tests/native/test_text.h"

namespace {

int build(char *line, const LogTime *time, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = log_build_line(line, time, format, args);
    va_end(args);
    return n;
}

const LogTime kTime = {2026, 3, 1, 13, 45, 1, 42};

TEST(LogLine, StampMessageAndCrLf) {
    char line[LOG_LINE_CAPACITY];
    int n = build(line, &kTime, "RESULT code=%d reason=%s", 0, "installed");
    EXPECT_EQ(std::string(line, n), "2026-03-01T13:45:01.042Z RESULT code=0 reason=installed\r\n");
}

TEST(LogLine, LongMessageIsCutSoTheLineIs2047Bytes) {
    char line[LOG_LINE_CAPACITY];
    std::string message(5000, 'm');
    int n = build(line, &kTime, "%s", message.c_str());
    ASSERT_EQ(n, 2047);
    EXPECT_EQ(line[2045], '\r');
    EXPECT_EQ(line[2046], '\n');
    EXPECT_EQ(line[2044], 'm');
    // One byte less than the room is not cut.
    std::string fits(2045 - 25, 'f');
    n = build(line, &kTime, "%s", fits.c_str());
    EXPECT_EQ(n, 2047);
    EXPECT_EQ(std::string(line + 25, 2020), fits);
}

TEST(LogLine, LineBreaksInsideAMessageStay) {
    char line[LOG_LINE_CAPACITY];
    int n = build(line, &kTime, "message: %s", "a\n\nb");
    EXPECT_EQ(std::string(line + 25, n - 25), "message: a\n\nb\r\n");
}

TEST(RateLimited, MinutesRoundUpThenHours) {
    struct Case {
        uint32_t seconds;
        const char16_t *tail;
    };
    const Case cases[] = {
        {301, u"about 6 minutes."},     {360, u"about 6 minutes."},
        {7140, u"about 119 minutes."},  {7141, u"about 2 hours."},
        {10800, u"about 3 hours."},     {10801, u"about 4 hours."},
        {4294967295u, u"about 1193047 hours."},  // no wrap-around near the top
    };
    for (const Case &c : cases) {
        wchar16 text[256];
        ASSERT_GT(report_rate_limited_text(text, 256, c.seconds), 0);
        std::u16string s = u16(text);
        EXPECT_EQ(s.rfind(u"Vornquill Cloud is limiting downloads right now. Please try again in ", 0), 0u);
        EXPECT_EQ(s.substr(s.size() - std::u16string(c.tail).size()), c.tail) << c.seconds;
    }
}

TEST(LogStamp, KeptLogNames) {
    wchar16 stamp[32];
    EXPECT_EQ(log_stamp_text(stamp, 32, &kTime), 15);
    EXPECT_EQ(u16(stamp), u"20260301-134501");
}

}  // namespace
