// Start-up and the final word of a run: the order of hardening, option check,
// single instance and run, and the rule for which message box ends it.
#pragma once

#include <stdint.h>

#include "setup/options.h"

enum StartupBox {
    STARTUP_BOX_NONE = 0,         // no box
    STARTUP_BOX_ERROR = 1,        // MB_ICONERROR
    STARTUP_BOX_INFORMATION = 2   // MB_ICONINFORMATION
};

// Quiet run for the early boxes: /SUPPRESSMSGBOXES with /SILENT or /VERYSILENT.
int startup_quiet(const SetupOptions *options);
// The final box for the recorded message: none when there is no text; an
// error shows unless silent with /SUPPRESSMSGBOXES; information shows only in
// a windowed run.
StartupBox startup_final_box(const SetupOptions *options, int has_text, int is_error);

#ifdef _WIN32
#include <windows.h>
// The whole start-up; returns the process exit code.
int startup_main(HINSTANCE instance);
#endif
