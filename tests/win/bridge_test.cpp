// The window bridge with no window: every call returns at once with its
// default, and the hand-over still marks the run.
#include <gtest/gtest.h>

#include <windows.h>

#include "ui/ui.h"

namespace {

TEST(BridgeWithoutWindow, DefaultsAndHandOver) {
    ASSERT_EQ(ui_main_window, nullptr);
    ui_set_status(L"Downloading");
    ui_report_progress(5, 10, 1.0);
    EXPECT_EQ(ui_ask_yes_no(L"Repair?"), IDNO);
    EXPECT_EQ(ui_ask_retry_cancel(L"Retry?"), IDCANCEL);
    handed_over = 0;
    ui_hand_over();
    EXPECT_EQ(handed_over, 1);
    handed_over = 0;
}

TEST(BridgeWithoutWindow, TextCopies) {
    wchar16 *copy = ui_copy_text(L"Verifying the download\u2026");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"Verifying the download\u2026");
    HeapFree(GetProcessHeap(), 0, copy);
    copy = ui_copy_text(L"");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[0], 0);
    HeapFree(GetProcessHeap(), 0, copy);
}

}  // namespace
