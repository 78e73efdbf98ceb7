// Which message box a run ends with, and when the early boxes are quiet.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "setup/startup.h"
#include "tests/native/test_text.h"

namespace {

SetupOptions options_with(int silent, int very_silent, int suppress) {
    SetupOptions options;
    memset(&options, 0, sizeof(options));
    options.silent = silent;
    options.very_silent = very_silent;
    options.suppress_msg_boxes = suppress;
    return options;
}

TEST(StartupBox, FinalBoxByRunAndMessageKind) {
    const struct {
        int silent, very_silent, suppress, has_text, is_error;
        StartupBox box;
    } cases[] = {
        // windowed, with or without /SUPPRESSMSGBOXES: every message shows
        {0, 0, 0, 1, 1, STARTUP_BOX_ERROR},
        {0, 0, 0, 1, 0, STARTUP_BOX_INFORMATION},
        {0, 0, 1, 1, 1, STARTUP_BOX_ERROR},
        {0, 0, 1, 1, 0, STARTUP_BOX_INFORMATION},
        // silent without /SUPPRESSMSGBOXES: errors only
        {1, 0, 0, 1, 1, STARTUP_BOX_ERROR},
        {0, 1, 0, 1, 1, STARTUP_BOX_ERROR},
        {1, 0, 0, 1, 0, STARTUP_BOX_NONE},
        {0, 1, 0, 1, 0, STARTUP_BOX_NONE},
        // silent with /SUPPRESSMSGBOXES: nothing
        {1, 0, 1, 1, 1, STARTUP_BOX_NONE},
        {0, 1, 1, 1, 1, STARTUP_BOX_NONE},
        {1, 1, 1, 1, 0, STARTUP_BOX_NONE},
        // nothing recorded: no box in any run
        {0, 0, 0, 0, 1, STARTUP_BOX_NONE},
        {1, 0, 0, 0, 1, STARTUP_BOX_NONE},
    };
    for (const auto &c : cases) {
        SetupOptions options = options_with(c.silent, c.very_silent, c.suppress);
        EXPECT_EQ(startup_final_box(&options, c.has_text, c.is_error), c.box)
            << c.silent << c.very_silent << c.suppress << c.has_text << c.is_error;
    }
}

TEST(StartupBox, EarlyBoxesAreQuietOnlyWhenSilentAndSuppressed) {
    const struct {
        int silent, very_silent, suppress, quiet;
    } cases[] = {
        {0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}, {1, 0, 1, 1}, {0, 1, 1, 1},
    };
    for (const auto &c : cases) {
        SetupOptions options = options_with(c.silent, c.very_silent, c.suppress);
        EXPECT_EQ(startup_quiet(&options), c.quiet) << c.silent << c.very_silent << c.suppress;
    }
}

// The usage box names the offending argument with its controls and
// direction marks escaped, so that it reads as it arrived.
TEST(StartupBox, UsageTextEscapesTheOffendingArgument) {
    const std::u16string tail =
        u"\n\nAccepted: /SILENT /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /REPAIR /DIR=\"folder\" "
        u"/COMPONENTS=list /TASKS=list /LANG=name";
    const struct {
        const wchar16 *argument;
        std::u16string shown;
    } cases[] = {
        {T16("/bogus"), u"/bogus"},
        {T16("/DIR=C:\\x\ty"), u"/DIR=C:\\x5cx\\x09y"},
        {T16("/x\r\nAccepted: /ALL"), u"/x\\x0d\\x0aAccepted: /ALL"},
        {T16("/DIR=\u202eexe.txt"), u"/DIR=\\xe2\\x80\\xaeexe.txt"},
        {T16("/DIR=a\u2066b\u2069\u0085"), u"/DIR=a\\xe2\\x81\\xa6b\\xe2\\x81\\xa9\\xc2\\x85"},
        {T16("/LANG=\u00e9"), u"/LANG=\u00e9"},
    };
    for (const auto &c : cases) {
        wchar16 usage[STARTUP_USAGE_CAPACITY];
        const std::u16string expected = u"Unknown or invalid option: " + c.shown + tail;
        EXPECT_EQ(startup_usage_text(c.argument, usage, STARTUP_USAGE_CAPACITY), (int)expected.size());
        EXPECT_EQ(u16(usage), expected);
    }
}

}  // namespace
