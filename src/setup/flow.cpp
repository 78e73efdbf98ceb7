// One run of the setup: the private work folder and the log, the stages in
// order, and the one way every run ends.
#include "setup/flow.h"

#include <windows.h>
#include <shlobj.h>

#include "common/constants.h"
#include "cloud/cloud.h"
#include "common/log.h"
#include "release/release.h"
#include "setup/stages.h"

static SetupContext the_context;
static const char *deferred_line = nullptr;

void setup_defer_line(const char *line) {
    deferred_line = line;
}

SetupContext *setup_context(void) {
    return &the_context;
}

int setup_end(SetupRun *run, int code, const char *reason) {
    run->code = code;
    run->reason = reason;
    return 0;
}

void setup_close_file(void **file) {
    if (*file != INVALID_HANDLE_VALUE) CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
}

int setup_end_closing(SetupRun *run, void **file, int code, const char *reason) {
    setup_close_file(file);
    return setup_end(run, code, reason);
}

// The ProgramData folder into the context; 0 or -1.
static int setup_find_programdata(SetupContext *context, const wchar16 *programdata) {
    if (programdata != nullptr) {
        return text16_copy(context->programdata_path, SETUP_PATH_CAPACITY, programdata) < 0 ? -1 : 0;
    }
    PWSTR known = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known))) {
        if (known != nullptr) CoTaskMemFree(known);
        return -1;
    }
    int fits = text16_copy(context->programdata_path, SETUP_PATH_CAPACITY, known) >= 0;
    CoTaskMemFree(known);
    return fits ? 0 : -1;
}

static void setup_opening_lines(const SetupContext *context) {
    log_wide("Vornquill AI online installer ", setup_version());
    log_line("cloud %s; release keys: %s (%u); version floor %s%s", cloud_base_url(),
             release_key_set(), (unsigned)release_key_count(), version_floor(),
             build_profile_mark());
    log_wide("work folder: ", context->work_folder.path);
    log_line("work folder reuse: %s",
             context->work_folder.reused ? "yes (private)" : "no (fresh random folder)");
    if (deferred_line != nullptr) {
        log_line("%s", deferred_line);
        deferred_line = nullptr;
    }
}

int setup_run_stages(const wchar16 *programdata, const SetupStage *stages, size_t count) {
    SetupContext *context = &the_context;
    ZeroMemory(context, sizeof(*context));

    if (setup_find_programdata(context, programdata) != 0) {
        report_message(1, T16("Setup could not find the ProgramData folder."));
        return SETUP_EXIT_LOCAL;
    }
    if (work_folder_prepare(context->programdata_path, context->work_folder.path,
                            SETUP_PATH_CAPACITY, &context->work_folder.reused) != 0) {
        DWORD error = GetLastError();
        report_message(1, T16("Setup could not create its private work folder in %ls (error %lu)."),
                       context->programdata_path, (unsigned long)error);
        return SETUP_EXIT_LOCAL;
    }

    format_wide(context->setup_log_path, SETUP_PATH_CAPACITY, T16("%ls\\online-setup.log"),
                context->work_folder.path);
    format_wide(context->installer_log_path, SETUP_PATH_CAPACITY, T16("%ls\\install.log"),
                context->work_folder.path);
    log_open(context->setup_log_path);
    setup_opening_lines(context);

    SetupRun run;
    ZeroMemory(&run, sizeof(run));
    run.context = context;
    run.code = SETUP_EXIT_LOCAL;
    run.reason = "internal";
    run.part_file = INVALID_HANDLE_VALUE;
    run.installer_file = INVALID_HANDLE_VALUE;
    for (size_t i = 0; i < count; i++) {
        if (!stages[i](&run)) break;
    }

    // A stage ends with its files closed; should one still be open, close it
    // so that the deletions below can act.
    setup_close_file(&run.part_file);
    setup_close_file(&run.installer_file);
    // In the shared folder a part file stays for the next run to resume.
    if (!context->work_folder.reused && run.part_path[0] != 0) DeleteFileW(run.part_path);
    if (run.installer_path[0] != 0) DeleteFileW(run.installer_path);
    release_free(&run.release);
    cloud_close(run.client);

    // Unless the window's cancel fail-safe has written its own result line
    // first (the process is then ending with 3), this writes the run's.
    log_result(nullptr, run.code, run.reason);
    log_finish(context->work_folder.path, context->setup_log_path, context->installer_log_path,
               context->installed);
    return run.code;
}

void setup_cancel_grace_over(void) {
    if (log_result("cancelled by the user", SETUP_EXIT_CANCELLED, "cancelled")) {
        ExitProcess(SETUP_EXIT_CANCELLED);
    }
}

int setup_run(void *argument) {
    (void)argument;
    return setup_run_stages(nullptr, setup_stages, setup_stage_count);
}
