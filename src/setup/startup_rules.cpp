// Which message box a run shows, and whether another setup runs: pure rules.
#include "setup/startup.h"

#include "common/text.h"

int startup_quiet(const SetupOptions *options) {
    return options->suppress_msg_boxes && options_silent(options);
}

StartupBox startup_final_box(const SetupOptions *options, int has_text, int is_error) {
    if (!has_text) return STARTUP_BOX_NONE;
    if (!options_silent(options)) return is_error ? STARTUP_BOX_ERROR : STARTUP_BOX_INFORMATION;
    if (options->suppress_msg_boxes || !is_error) return STARTUP_BOX_NONE;
    return STARTUP_BOX_ERROR;
}

InstanceVerdict startup_instance_verdict(InstanceObject named, InstanceObject guarded) {
    switch (guarded) {
    case INSTANCE_OBJECT_CREATED:
        // This process holds the lock only administrators can take: whatever
        // the named mutex says, no other setup runs.
        if (named == INSTANCE_OBJECT_EXISTS || named == INSTANCE_OBJECT_DENIED) {
            return INSTANCE_RUN_FOREIGN_IGNORED;
        }
        return INSTANCE_RUN;
    case INSTANCE_OBJECT_EXISTS:
    case INSTANCE_OBJECT_DENIED:
        return INSTANCE_ALREADY_RUNNING;
    case INSTANCE_OBJECT_FAILED:
    case INSTANCE_OBJECT_UNAVAILABLE:
    default:
        // No guarded lock: the named mutex decides, as it always did.
        if (named == INSTANCE_OBJECT_CREATED) return INSTANCE_RUN;
        if (named == INSTANCE_OBJECT_EXISTS) return INSTANCE_ALREADY_RUNNING;
        return INSTANCE_RUN_UNPROTECTED;
    }
}

int startup_usage_text(const wchar16 *offending, wchar16 *usage, size_t capacity) {
    // The argument comes from whoever started the program: it is shown with
    // its controls and direction marks escaped, as the log shows outside text.
    wchar16 shown[STARTUP_USAGE_CAPACITY];
    text16_escape_controls(offending, shown, STARTUP_USAGE_CAPACITY);
    return format_wide(usage, capacity,
                       T16("Unknown or invalid option: %ls\n\nAccepted: /SILENT /VERYSILENT "
                           "/SUPPRESSMSGBOXES /NORESTART /REPAIR /DIR=\"folder\" "
                           "/COMPONENTS=list /TASKS=list /LANG=name"),
                       shown);
}
