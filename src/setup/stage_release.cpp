// The first stage: the cloud connection, the verified release, the decision
// against the installed product, and the room for the download.
#include <windows.h>

#include "cloud/cloud.h"
#include "common/log.h"
#include "machine/installed.h"
#include "release/version.h"
#include "setup/options.h"
#include "setup/stages.h"
#include "ui/ui.h"

// The same version is installed: repair it when asked to, else stop there.
static int stage_same_version(SetupRun *run) {
    const SetupOptions *options = setup_options();
    if (options->repair) {
        log_line("repairing the installed version");
        return 1;
    }
    if (!options_silent(options)) {
        wchar16 question[256];
        format_wide(question, 256, T16("Vornquill AI %ls is already installed. Repair it?"),
                    run->version16);
        if (ui_ask_yes_no(question) == IDYES) {
            log_line("repairing the installed version");
            return 1;
        }
    }
    report_message(0, T16("Vornquill AI %ls is already installed."), run->version16);
    return setup_end(run, SETUP_EXIT_DONE, "already-installed");
}

int stage_release(SetupRun *run) {
    uint32_t error = 0;
    run->client = cloud_open(&error);
    if (run->client == nullptr) {
        report_message(1, T16("Setup could not start its network connection (error %lu)."),
                       (unsigned long)error);
        return setup_end(run, SETUP_EXIT_CLOUD, "http-open");
    }

    ZeroMemory(&run->release, sizeof(run->release));
    int fetched =
        cloud_fetch_release(run->client, !options_silent(setup_options()), &run->release);
    if (fetched != 0) {
        const char *reason = fetched == SETUP_EXIT_CANCELLED    ? "cancelled"
                             : fetched == SETUP_EXIT_NO_RELEASE ? "no-release"
                                                                : "release";
        return setup_end(run, fetched, reason);
    }
    const ReleaseInfo *release = &run->release;
    utf8_to_utf16(release->version, run->version16, SETUP_VERSION_CAPACITY);
    log_line("release %s verified (key %s): %s, %llu bytes, sha256 %s", release->version,
             release->kid, release->fileName, (unsigned long long)release->size,
             release->sha256_hex);

    char installed[SETUP_INSTALLED_VERSION_CAPACITY];
    wchar16 location[SETUP_PATH_CAPACITY];
    int state = installed_product_read(installed, sizeof(installed), location, SETUP_PATH_CAPACITY);
    if (state == INSTALLED_NONE) {
        log_line("no installed version found");
    } else {
        if (state == INSTALLED_UNREADABLE) {
            // The entry is there but says no version: an installation that
            // must not be overwritten as if there were none.
            log_line("installed version could not be read (error %lu)",
                     (unsigned long)GetLastError());
        } else {
            char safe_installed[4 * SETUP_INSTALLED_VERSION_CAPACITY];
            text_escape_controls(installed, safe_installed, sizeof safe_installed);
            log_line("installed version: %s", safe_installed);
        }
        if (state == INSTALLED_UNREADABLE || !version_valid(installed)) {
            report_message(1, T16("An installation of Vornquill AI with an unrecognised version is "
                                  "present. Setup will not change it.\n\nUninstall it from "
                                  "Settings > Apps first, or contact support."));
            return setup_end(run, SETUP_EXIT_VERSION, "installed-version-unknown");
        }
        int order = version_compare(installed, release->version);
        wchar16 installed16[SETUP_INSTALLED_VERSION_CAPACITY];
        utf8_to_utf16(installed, installed16, SETUP_INSTALLED_VERSION_CAPACITY);
        if (order > 0) {
            report_message(1, T16("Vornquill AI %ls is installed, which is newer than the current "
                                  "release %ls. Setup never downgrades an installation, so "
                                  "nothing was changed."),
                           installed16, run->version16);
            return setup_end(run, SETUP_EXIT_VERSION, "newer-installed");
        }
        if (order == 0 && !stage_same_version(run)) return 0;
    }

    SetupContext *context = run->context;
    wchar16 message[DISK_SPACE_MESSAGE_CAPACITY];
    uint64_t free_bytes = 0;
    int free_known = free_disk_bytes(context->work_folder.path, &free_bytes) == 0;
    if (!disk_space_check((uint64_t)release->size, free_known, free_bytes,
                          context->programdata_path, message, DISK_SPACE_MESSAGE_CAPACITY)) {
        report_message(1, T16("%ls"), message);
        return setup_end(run, SETUP_EXIT_LOCAL, "disk-space");
    }
    return 1;
}
