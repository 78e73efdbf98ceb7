// The download stage: the part file (resumed in the shared work folder), one
// cloud_download per attempt, back-off between failed attempts, and after
// eight failures the Retry question or, in a silent run, the end. A part
// file that cannot be written ends the download at once.
#include <windows.h>

#include "cloud/cloud.h"
#include "common/file.h"
#include "common/log.h"
#include "setup/options.h"
#include "setup/stages.h"
#include "ui/ui.h"

enum {
    DOWNLOAD_NAME_CAPACITY = 201,
    PART_NAME_CAPACITY = 80,
    DOWNLOAD_STATUS_CAPACITY = 128
};

// The part file and the paths; 1 when ready, 0 when the run ended.
static int stage_download_prepare(SetupRun *run, wchar16 *request_path) {
    const ReleaseInfo *release = &run->release;
    const WorkFolder *folder = &run->context->work_folder;
    wchar16 digest[65];
    wchar16 file_name[DOWNLOAD_NAME_CAPACITY];
    wchar16 part_name[PART_NAME_CAPACITY];
    utf8_to_utf16(release->sha256_hex, digest, 65);
    utf8_to_utf16(release->fileName, file_name, DOWNLOAD_NAME_CAPACITY);
    format_wide(part_name, PART_NAME_CAPACITY, T16("%ls.part"), digest);
    if (format_wide(run->part_path, SETUP_PATH_CAPACITY, T16("%ls\\%ls"), folder->path,
                    part_name) < 0 ||
        format_wide(run->installer_path, SETUP_PATH_CAPACITY, T16("%ls\\%ls"), folder->path,
                    file_name) < 0) {
        // A path cut short would name another file: never use it.
        run->part_path[0] = 0;
        run->installer_path[0] = 0;
        report_message(1, T16("Setup could not create its download file (error %lu)."),
                       (unsigned long)ERROR_FILENAME_EXCED_RANGE);
        return setup_end(run, SETUP_EXIT_LOCAL, "part-file");
    }
    part_files_clean(folder->path, part_name);
    HANDLE part = file_open_checked(run->part_path, GENERIC_READ | GENERIC_WRITE, 0,
                                    folder->reused ? OPEN_ALWAYS : CREATE_ALWAYS);
    if (part == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        report_message(1, T16("Setup could not create its download file (error %lu)."),
                       (unsigned long)error);
        return setup_end(run, SETUP_EXIT_LOCAL, "part-file");
    }
    run->part_file = part;

    format_wide(request_path, CLOUD_REQUEST_PATH_CAPACITY,
                T16("/v1/public/installer/files/%ls/%ls"), run->version16, file_name);
    wchar16 status[DOWNLOAD_STATUS_CAPACITY];
    format_wide(status, DOWNLOAD_STATUS_CAPACITY, T16("Downloading Vornquill AI %ls\u2026"),
                run->version16);
    ui_set_status(status);
    return 1;
}

int stage_download(SetupRun *run) {
    wchar16 request_path[CLOUD_REQUEST_PATH_CAPACITY];
    if (!stage_download_prepare(run, request_path)) return 0;

    LARGE_INTEGER size;
    uint64_t held = GetFileSizeEx(run->part_file, &size) ? (uint64_t)size.QuadPart : 0;
    if (held != 0) log_line("resuming a partial download at %llu bytes", (unsigned long long)held);

    const ReleaseInfo *release = &run->release;
    const SetupOptions *options = setup_options();
    int silent = options_silent(options);
    int attempt = 1;
    for (;;) {
        DownloadProgress progress;
        progress.start_ms = GetTickCount64();
        progress.start_bytes = held;
        CloudResult result;
        DownloadOutcome outcome =
            cloud_download(run->client, request_path, run->part_file, &held,
                           (uint64_t)release->size, release->sha256_hex, ui_download_progress,
                           &progress, &result);
        if (result.restarted) log_line("the server sent the whole file again; restarted from byte 0");

        if (outcome == DOWNLOAD_COMPLETE) return 1;
        if (outcome == DOWNLOAD_CANCELLED || cancel_requested) {
            return setup_end_closing(run, &run->part_file, SETUP_EXIT_CANCELLED, "cancelled");
        }
        if (outcome == DOWNLOAD_WRITE_FAILED) {
            // A full or failing disk: no attempt would go better, and the
            // network is not to blame. The part file keeps what it holds.
            report_message(1, T16("Setup could not write its download file in %ls (error %lu)."),
                           run->context->work_folder.path, (unsigned long)result.win32_error);
            return setup_end_closing(run, &run->part_file, SETUP_EXIT_LOCAL, "part-file-write");
        }
        if (outcome == DOWNLOAD_OVERSIZED || outcome == DOWNLOAD_UNDERSIZED) {
            report_message(1, T16("The download does not have the size the signed release "
                                  "declares. Nothing was installed."));
            FlushFileBuffers(run->part_file);
            setup_end_closing(run, &run->part_file, SETUP_EXIT_MISMATCH,
                                 outcome == DOWNLOAD_OVERSIZED ? "oversized-download"
                                                               : "download-size");
            DeleteFileW(run->part_path);
            return 0;
        }
        if (outcome == DOWNLOAD_HTTP_STATUS) {
            uint32_t status = result.http_status;
            if (status == 404 || status == 204) {
                report_message(1, T16("Vornquill AI %ls is no longer offered for download. Run "
                                      "Setup again in a few minutes."),
                               run->version16);
                return setup_end_closing(run, &run->part_file, SETUP_EXIT_NO_RELEASE,
                                         "release-gone");
            }
            if (status == 407) {
                report_proxy_sign_in();
                return setup_end_closing(run, &run->part_file, SETUP_EXIT_CLOUD, "proxy-auth");
            }
            if (!cloud_status_temporary(status)) {
                report_message(1, T16("The download failed (HTTP %lu). Run Setup again later."),
                               (unsigned long)status);
                return setup_end_closing(run, &run->part_file, SETUP_EXIT_CLOUD, "download-status");
            }
            if (result.retry_after_s > CLOUD_RETRY_AFTER_LIMIT_S) {
                report_rate_limited(result.retry_after_s);
                return setup_end_closing(run, &run->part_file, SETUP_EXIT_CLOUD, "rate-limited");
            }
        }

        log_line("download attempt %d stopped at %llu bytes (status %lu, error %lu)", attempt,
                 (unsigned long long)held, (unsigned long)result.http_status,
                 (unsigned long)result.win32_error);
        if (attempt >= CLOUD_FAILED_ATTEMPTS_BEFORE_ASKING) {
            if (!silent && ui_ask_retry_cancel(T16("The download keeps failing. Check your "
                                                   "internet connection, then choose Retry.")) ==
                               IDRETRY) {
                attempt = 1;
                continue;
            }
            report_message(1, T16("The download failed. Check your internet connection and run "
                                  "Setup again; it continues where it stopped."));
            return setup_end_closing(run, &run->part_file, SETUP_EXIT_CLOUD, "download-failed");
        }
        if (cloud_backoff_wait(attempt, result.retry_after_s)) {
            return setup_end_closing(run, &run->part_file, SETUP_EXIT_CANCELLED, "cancelled");
        }
        attempt++;
    }
}
