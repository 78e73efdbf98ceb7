// Which message box a run shows: pure rules over the options.
#include "setup/startup.h"

int startup_quiet(const SetupOptions *options) {
    return options->suppress_msg_boxes && options_silent(options);
}

StartupBox startup_final_box(const SetupOptions *options, int has_text, int is_error) {
    if (!has_text) return STARTUP_BOX_NONE;
    if (!options_silent(options)) return is_error ? STARTUP_BOX_ERROR : STARTUP_BOX_INFORMATION;
    if (options->suppress_msg_boxes || !is_error) return STARTUP_BOX_NONE;
    return STARTUP_BOX_ERROR;
}
