// Which message box a run ends with, and when the early boxes are quiet.
#include <gtest/gtest.h>

#include <string.h>

#include "setup/startup.h"

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

}  // namespace
