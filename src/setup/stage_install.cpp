// The last stage: the complete download becomes the installer, is proven
// (size, SHA-256, signer) while held open against changes, runs with the
// forwarded switches, and its exit code becomes the run's result.
#include <windows.h>

#include <string.h>

#include "cloud/cloud.h"
#include "common/file.h"
#include "common/log.h"
#include "machine/installed.h"
#include "machine/installer.h"
#include "machine/rollback.h"
#include "setup/options.h"
#include "setup/stages.h"
#include "ui/ui.h"
#include "verify/verify.h"

enum { FORWARDED_CAPACITY = 2048 };

// The installer's checks; 1 when it may run, 0 when the run ended.
static int stage_install_verify(SetupRun *run) {
    const ReleaseInfo *release = &run->release;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(run->installer_file, &size) || size.QuadPart != release->size) {
        report_message(1, T16("The downloaded installer has the wrong size. Nothing was installed."));
        return setup_end_closing(run, &run->installer_file, SETUP_EXIT_MISMATCH, "size-mismatch");
    }

    uint8_t digest[32];
    if (file_sha256(run->installer_file, (uint64_t)release->size, digest, ui_digest_progress,
                    nullptr) != 0) {
        if (cancel_requested) {
            return setup_end_closing(run, &run->installer_file, SETUP_EXIT_CANCELLED, "cancelled");
        }
        report_message(1, T16("Setup could not read the downloaded installer."));
        return setup_end_closing(run, &run->installer_file, SETUP_EXIT_LOCAL, "hash-read");
    }
    char digest_text[128];
    hex_encode(digest, sizeof(digest), digest_text);
    if (memcmp(digest, release->sha256, sizeof(digest)) != 0) {
        log_line("sha256 mismatch: got %s", digest_text);
        report_message(1, T16("The downloaded installer does not match the signed release "
                              "(SHA-256 mismatch). Nothing was installed."));
        return setup_end_closing(run, &run->installer_file, SETUP_EXIT_MISMATCH, "sha256-mismatch");
    }
    log_line("sha256 ok");

    char summary[AUTHENTICODE_SUMMARY_CAPACITY];
    int accepted = authenticode_check(run->installer_path, run->installer_file, summary,
                                      sizeof(summary));
    log_line("authenticode: %s", summary);
    if (!accepted) {
        report_message(1, T16("The downloaded installer does not carry the Hollbrek code "
                              "signature. Nothing was installed."));
        return setup_end_closing(run, &run->installer_file, SETUP_EXIT_MISMATCH, "authenticode");
    }
    return 1;
}

// After an installation: keep the rollback package when the uninstall entry
// shows this release and where it went.
static void stage_install_keep_package(SetupRun *run) {
    char version[SETUP_INSTALLED_VERSION_CAPACITY];
    wchar16 location[SETUP_PATH_CAPACITY];
    int read = installed_product_read(version, sizeof(version), location, SETUP_PATH_CAPACITY) ==
               INSTALLED_VERSION;
    if (read && strcmp(version, run->release.version) == 0 && location[0] != 0) {
        int kept = rollback_keep(location, &run->release, run->installer_path);
        if (kept == 0) {
            log_line("rollback package kept in updater-work\\rollback\\%s", run->release.version);
            run->installer_path[0] = 0;
        } else if (kept < 0) {
            log_line("rollback package could not be kept (not fatal)");
        }
        return;
    }
    char safe_version[4 * SETUP_INSTALLED_VERSION_CAPACITY];
    text_escape_controls(read ? version : "(none)", safe_version, sizeof safe_version);
    log_line("rollback package not kept: installed version %s, location %s", safe_version,
             location[0] != 0 ? "known" : "unknown");
}

int stage_install(SetupRun *run) {
    SetupContext *context = run->context;
    FlushFileBuffers(run->part_file);
    setup_close_file(&run->part_file);
    if (!MoveFileExW(run->part_path, run->installer_path, MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        report_message(1, T16("Setup could not prepare the downloaded installer (error %lu)."),
                       (unsigned long)error);
        return setup_end(run, SETUP_EXIT_LOCAL, "rename");
    }
    run->installer_file =
        file_open_checked(run->installer_path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (run->installer_file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        report_message(1, T16("Setup could not open the downloaded installer (error %lu)."),
                       (unsigned long)error);
        return setup_end(run, SETUP_EXIT_LOCAL, "open-installer");
    }
    ui_set_status(T16("Verifying the download\u2026"));
    if (!stage_install_verify(run)) return 0;

    // The last moment at which Cancel acts.
    if (cancel_requested) {
        return setup_end_closing(run, &run->installer_file, SETUP_EXIT_CANCELLED, "cancelled");
    }
    ui_hand_over();

    wchar16 forwarded[FORWARDED_CAPACITY];
    options_forward(setup_options(), forwarded, FORWARDED_CAPACITY);
    DWORD exit_code = 1;
    if (installer_run(run->installer_path, context->installer_log_path, forwarded,
                      context->work_folder.path, &exit_code) != 0) {
        DWORD error = GetLastError();
        report_message(1, T16("Setup could not start the Vornquill AI installer (error %lu)."),
                       (unsigned long)error);
        return setup_end_closing(run, &run->installer_file, SETUP_EXIT_INSTALLER, "launch");
    }
    log_line("installer exit code %lu", (unsigned long)exit_code);
    setup_close_file(&run->installer_file);

    if (exit_code == 0) {
        context->installed = 1;
        stage_install_keep_package(run);
        report_message(0, T16("Vornquill AI %ls is installed. Open the dashboard and sign in with "
                              "your Vornquill account to activate it."),
                       run->version16);
        return setup_end(run, SETUP_EXIT_DONE, "installed");
    }

    int code = SETUP_EXIT_INSTALLER;
    const char *reason = "installer-failed";
    if (exit_code == 2 || exit_code == 5) {
        code = SETUP_EXIT_CANCELLED;
        reason = "installer-cancelled";
    } else {
        report_message(1, T16("The Vornquill AI installer stopped with code %lu. Its log is %ls."),
                       (unsigned long)exit_code, context->installer_log_path);
    }
    // In the shared folder the proven installer goes back to its part file
    // name, so that a later run need not download it again.
    if (context->work_folder.reused &&
        MoveFileExW(run->installer_path, run->part_path, MOVEFILE_REPLACE_EXISTING)) {
        run->installer_path[0] = 0;
    }
    return setup_end(run, code, reason);
}
