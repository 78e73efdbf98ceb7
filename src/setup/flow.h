// The setup flow: one run from the work folder to the result line, and the
// exit codes that it alone decides.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"
#include "machine/work_folder.h"
#include "release/release.h"

struct CloudClient;

enum { SETUP_PATH_CAPACITY = 1024 };

// The process exit code of a run; the log pairs it with a reason word.
enum SetupExitCode {
    SETUP_EXIT_DONE = 0,         // installed, repaired, or already installed
    SETUP_EXIT_CLOUD = 1,        // the cloud was not usable
    SETUP_EXIT_MISMATCH = 2,     // something did not match the signed release
    SETUP_EXIT_CANCELLED = 3,    // cancelled here or in the product installer
    SETUP_EXIT_INSTALLER = 4,    // the product installer did not start or failed
    SETUP_EXIT_LOCAL = 5,        // options, second instance, folders, disk, files
    SETUP_EXIT_NO_RELEASE = 6,   // no release, or its installer is no longer offered
    SETUP_EXIT_VERSION = 7       // the installed version forbids the change
};

// The run's paths and whether the product installer succeeded; cleared at the
// start of every run.
struct SetupContext {
    wchar16 programdata_path[SETUP_PATH_CAPACITY];
    WorkFolder work_folder;
    wchar16 setup_log_path[SETUP_PATH_CAPACITY];
    wchar16 installer_log_path[SETUP_PATH_CAPACITY];
    uint32_t installed;
};

enum {
    SETUP_VERSION_CAPACITY = 64,             // the release version in UTF-16
    SETUP_INSTALLED_VERSION_CAPACITY = 128   // the installed version, UTF-8 bytes or UTF-16 units
};

// The working values of one run that its stages share and its end needs.
struct SetupRun {
    SetupContext *context;
    wchar16 part_path[SETUP_PATH_CAPACITY];       // empty until the download is prepared
    wchar16 installer_path[SETUP_PATH_CAPACITY];  // empty unless the installer is there to delete
    int code;
    const char *reason;
    CloudClient *client;                           // open from the first stage to the end
    ReleaseInfo release;                           // the verified release
    wchar16 version16[SETUP_VERSION_CAPACITY];     // its version, for the user's messages
    void *part_file;                               // the open part file, or INVALID_HANDLE_VALUE
    void *installer_file;                          // the open installer, or INVALID_HANDLE_VALUE
};

// A stage returns 1 to hand on to the next stage, or 0 when it has ended the
// run (code and reason set, its message recorded).
typedef int (*SetupStage)(SetupRun *run);

SetupContext *setup_context(void);

// Ends the run from inside a stage: sets code and reason, returns 0.
int setup_end(SetupRun *run, int code, const char *reason);
// Closes a file of the run if it is open and marks it closed.
void setup_close_file(void **file);
// Ends the run like setup_end, closing the stage's open file first.
int setup_end_closing(SetupRun *run, void **file, int code, const char *reason);

#ifdef _WIN32
// Start-up runs before the log exists: a line it has to log waits here (one
// static text, or null for none) and the next run writes it right after its
// opening lines, once.
void setup_defer_line(const char *line);

// The whole run; returns the SetupExitCode. The argument is ignored.
int setup_run(void *argument);
// The end of a cancelled run whose flow has not ended within the window's
// grace period: writes the cancelled result line and ends the process with 3,
// unless the flow has written its own result line first (either side writes
// its lines whole, or nothing).
void setup_cancel_grace_over(void);

// The run with a given ProgramData folder (null: the system's) and stage
// list; setup_run uses the system's folder and the program's stages.
int setup_run_stages(const wchar16 *programdata, const SetupStage *stages, size_t count);
#endif
