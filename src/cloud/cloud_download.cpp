// The resumable download of the installer into the part file: one attempt
// per call, the missing tail asked for with Range guarded by If-Range, every
// answer held to the size the signed release declares. Also the two progress
// callbacks that the setup flow hands to the download and to the digest.
#include "cloud/cloud.h"

#include "common/memory.h"
#include "ui/ui.h"

int cloud_part_truncate(HANDLE file) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return 0;
    return SetEndOfFile(file) ? 1 : 0;
}

// Empties the part file; on success nothing is held and the attempt counts as
// restarted.
static int restart_part_file(HANDLE file, uint64_t *held, CloudResult *result) {
    if (!cloud_part_truncate(file)) return 0;
    *held = 0;
    result->restarted = 1;
    return 1;
}

DownloadOutcome cloud_download(CloudClient *client, const wchar16 *path, HANDLE part_file,
                               uint64_t *held, uint64_t total, const char *validator,
                               ProgressCallback progress, void *progress_context,
                               CloudResult *result) {
    *result = {0, 0, 0, 0};

    if (*held > total && !restart_part_file(part_file, held, result)) return DOWNLOAD_INCOMPLETE;
    if (*held == total) return DOWNLOAD_COMPLETE;

    wchar16 headers[CLOUD_RANGE_HEADERS_CAPACITY];
    const wchar16 *extra = nullptr;
    if (*held > 0) {
        if (format_wide(headers, CLOUD_RANGE_HEADERS_CAPACITY,
                        T16("Range: bytes=%llu-\r\nIf-Range: \"%hs\"\r\n"),
                        (unsigned long long)*held, validator) < 0) {
            // A validator too long for the headers: ask for the whole file.
            if (!restart_part_file(part_file, held, result)) return DOWNLOAD_INCOMPLETE;
        } else {
            extra = headers;
        }
    }

    HINTERNET request = cloud_request(client, path, extra, result);
    if (request == nullptr) return DOWNLOAD_INCOMPLETE;

    DownloadOutcome outcome = DOWNLOAD_INCOMPLETE;
    uint8_t *buffer = nullptr;
    LARGE_INTEGER position;
    CloudProgressGuard guard;
    {
        uint32_t status = result->http_status;
        int64_t announced = status == 200 ? cloud_content_length(request) : -1;
        int tail = status == 206 ? cloud_content_range_matches(request, *held, total) : 0;
        DownloadPlan plan = cloud_download_plan(status, *held, total, announced, tail);
        if (plan == DOWNLOAD_PLAN_STATUS) {
            outcome = DOWNLOAD_HTTP_STATUS;
            goto done;
        }
        if (plan == DOWNLOAD_PLAN_RESTART) {
            // The server cannot give that tail: begin again from byte 0 next time.
            restart_part_file(part_file, held, result);
            goto done;
        }
        // A 200 brings the whole file: what was held goes, also when its size is refused.
        if (plan != DOWNLOAD_PLAN_TAIL && *held > 0 && !restart_part_file(part_file, held, result)) {
            goto done;
        }
        if (plan == DOWNLOAD_PLAN_OVERSIZED || plan == DOWNLOAD_PLAN_UNDERSIZED) {
            outcome = plan == DOWNLOAD_PLAN_OVERSIZED ? DOWNLOAD_OVERSIZED : DOWNLOAD_UNDERSIZED;
            goto done;
        }
    }

    position.QuadPart = (LONGLONG)*held;
    if (!SetFilePointerEx(part_file, position, nullptr, FILE_BEGIN)) goto done;
    buffer = (uint8_t *)heap_alloc(CLOUD_DOWNLOAD_PIECE);
    if (buffer == nullptr) goto done;

    cloud_progress_guard_start(&guard, cloud_progress_window_ms(), CLOUD_PROGRESS_MIN_BYTES,
                               GetTickCount64());
    for (;;) {
        DWORD got = 0;
        if (!cloud_read_piece(&request, buffer, CLOUD_DOWNLOAD_PIECE, total - *held, &got, &guard,
                              result)) {
            goto done;  // a failed or cut read, or too little in one window: retried
        }
        if (got == 0) break;
        if (got > total - *held) {
            outcome = DOWNLOAD_OVERSIZED;  // nothing of this piece is written
            goto done;
        }
        // A write that fails (a full disk, a failing drive) is the machine's
        // problem, not the network's: it ends the download instead of being
        // retried. What was written of the piece stays; the next run counts
        // the part file's length as held.
        DWORD written = 0;
        if (!WriteFile(part_file, buffer, got, &written, nullptr) || written != got) {
            result->win32_error = GetLastError();
            if (result->win32_error == 0) result->win32_error = ERROR_WRITE_FAULT;
            outcome = DOWNLOAD_WRITE_FAILED;
            goto done;
        }
        *held += got;
        if (progress != nullptr && progress(progress_context, *held, total) != 0) {
            outcome = DOWNLOAD_CANCELLED;
            goto done;
        }
    }
    outcome = *held == total ? DOWNLOAD_COMPLETE : DOWNLOAD_INCOMPLETE;

done:
    heap_free(buffer);
    if (request != nullptr) WinHttpCloseHandle(request);  // null: the read's deadline closed it
    return outcome;
}

int ui_download_progress(void *context, uint64_t done, uint64_t total) {
    DownloadProgress *attempt = (DownloadProgress *)context;
    double rate = 0.0;
    if (attempt != nullptr) {
        // The attempt emptied the part file: count its bytes from 0.
        if (done < attempt->start_bytes) attempt->start_bytes = 0;
        uint64_t now = GetTickCount64();
        uint64_t elapsed = now > attempt->start_ms ? now - attempt->start_ms : 0;
        rate = cloud_download_rate(elapsed, done, attempt->start_bytes);
    }
    ui_report_progress(done, total, rate);
    return cancel_requested ? 1 : 0;
}

int ui_digest_progress(void *context, uint64_t done, uint64_t total) {
    ui_report_progress(done, total, 0.0);
    return cancel_requested ? 1 : 0;
}
