// Progress reports: the detail text, the bar position and the throttle.
#include <gtest/gtest.h>

#include "tests/native/test_text.h"
#include "ui/ui.h"

namespace {

const uint64_t MiB = 1048576;

struct ProgressCase {
    uint64_t done, total;
    double rate;
    int32_t position;
    const char16_t *text;
};

TEST(UiProgress, DetailTextAndPosition) {
    const ProgressCase cases[] = {
        {MiB * 3 / 2, 10 * MiB, 2.0 * MiB, 150, u"1.5 MB of 10.0 MB  \u2014  2.0 MB/s"},
        {MiB * 3 / 2, 10 * MiB, 0, 150, u"1.5 MB of 10.0 MB"},
        {0, 10 * MiB, 0, 0, u"0.0 MB of 10.0 MB"},
        {10 * MiB, 10 * MiB, 0, 1000, u"10.0 MB of 10.0 MB"},
        {999, 1000, 0, 999, u"0.0 MB of 0.0 MB"},
        {5, 0, 3.0, -1, u""},
        // Byte counts so large that done * 1000 would overflow 64 bits.
        {UINT64_MAX / 2, UINT64_MAX, 0, 499, nullptr},
    };
    for (const ProgressCase &c : cases) {
        wchar16 text[UI_PROGRESS_TEXT_CAPACITY];
        int32_t position = 12345;
        ui_progress_text(text, UI_PROGRESS_TEXT_CAPACITY, c.done, c.total, c.rate, &position);
        EXPECT_EQ(position, c.position) << c.done << " of " << c.total;
        if (c.text != nullptr) EXPECT_EQ(u16(text), std::u16string(c.text));
    }
}

TEST(UiProgress, ThrottleLetsTheLastReportThrough) {
    EXPECT_FALSE(ui_progress_due(1050, 1000, 5, 10));
    EXPECT_FALSE(ui_progress_due(1119, 1000, 5, 10));
    EXPECT_TRUE(ui_progress_due(1120, 1000, 5, 10));
    EXPECT_TRUE(ui_progress_due(1050, 1000, 10, 10));
    EXPECT_TRUE(ui_progress_due(5000, 0, 0, 10));
}

}  // namespace
