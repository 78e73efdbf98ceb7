// The program's start-up on Windows.
#include "setup/startup.h"

#include <windows.h>

#include "common/log.h"
#include "common/text.h"
#include "setup/flow.h"
#include "ui/ui.h"

// The current directory leaves the DLL search path, and every later library
// load, the delay-loaded ones and the imports of libraries that the system
// loads for the program included, searches the system folder only.
static void startup_restrict_dll_search(void) {
    SetDllDirectoryW(T16(""));
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Code runs before wWinMain: the stack protector's run-time library seeds its
// cookie in a static initialiser through a CryptoAPI context, which loads the
// provider DLL and, through its imports, further libraries. Those must not
// come from the program's folder either, so the search restriction runs
// first, ahead of every other initialiser.
__attribute__((constructor(101))) static void startup_restrict_dll_search_early(void) {
    startup_restrict_dll_search();
}

int startup_main(HINSTANCE instance) {
    HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
    startup_restrict_dll_search();

    wchar16 offending[OPTIONS_ERROR_CAPACITY];
    offending[0] = 0;
    if (!options_parse(offending, OPTIONS_ERROR_CAPACITY)) {
        if (!startup_quiet(setup_options())) {
            wchar16 usage[STARTUP_USAGE_CAPACITY];
            startup_usage_text(offending, usage, STARTUP_USAGE_CAPACITY);
            MessageBoxW(nullptr, usage, UI_TITLE, MB_OK | MB_ICONERROR);
        }
        return 5;
    }

    InstanceLock lock;
    InstanceVerdict verdict = startup_instance_take(&lock);
    if (verdict == INSTANCE_ALREADY_RUNNING) {
        // Released before the box: while it waits for the user, a setup
        // started after the running one has ended must not be turned away.
        startup_instance_release(&lock);
        if (!startup_quiet(setup_options())) {
            MessageBoxW(nullptr, T16("Vornquill AI Setup is already running."), UI_TITLE,
                        MB_OK | MB_ICONINFORMATION);
        }
        return 5;
    }
    // The log does not exist yet: the flow writes this after its opening lines.
    if (verdict == INSTANCE_RUN_FOREIGN_IGNORED) setup_defer_line(STARTUP_FOREIGN_MUTEX_LINE);

    const SetupOptions *options = setup_options();
    int code;
    if (options_silent(options)) {
        code = setup_run(nullptr);
    } else {
        code = ui_run_with_window(instance, setup_run, nullptr, setup_cancel_grace_over);
    }

    const UserMessage *message = user_message();
    StartupBox box = startup_final_box(options, message->text[0] != 0, message->is_error);
    if (box != STARTUP_BOX_NONE) {
        MessageBoxW(nullptr, message->text, UI_TITLE,
                    MB_OK | (box == STARTUP_BOX_ERROR ? MB_ICONERROR : MB_ICONINFORMATION));
    }

    startup_instance_release(&lock);
    return code;
}
