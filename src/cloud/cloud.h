// The cloud connection: one HTTPS session with the vendor's cloud, the fetch
// of the release envelope with retries and back-off, and the resumable
// download of the installer. The header rules and the back-off schedule are
// pure functions that build natively as well.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/progress.h"
#include "common/text.h"
#include "release/release.h"

enum {
    CLOUD_USER_AGENT_CAPACITY = 96,
    CLOUD_RETRY_AFTER_CAPACITY = 31,     // header buffers, in UTF-16 units
    CLOUD_CONTENT_LENGTH_CAPACITY = 31,
    CLOUD_CONTENT_RANGE_CAPACITY = 95,
    CLOUD_RETRY_AFTER_MAX_DIGITS = 7,
    CLOUD_CONTENT_LENGTH_MAX_DIGITS = 15,
    CLOUD_RETRY_AFTER_LIMIT_S = 300,     // a longer Retry-After stops the run
    CLOUD_FETCH_PIECE = 16384,
    CLOUD_ENVELOPE_CAPACITY = 2150400,   // 2100 KiB
    CLOUD_DOWNLOAD_PIECE = 65536,
    CLOUD_RANGE_HEADERS_CAPACITY = 256,
    CLOUD_REQUEST_PATH_CAPACITY = 512,
    CLOUD_WAIT_STEP_MS = 100,
    CLOUD_RATE_AFTER_MS = 500,           // no rate before an attempt has run this long
    CLOUD_FAILED_ATTEMPTS_BEFORE_ASKING = 8,
    // An installer body that brings fewer than CLOUD_PROGRESS_MIN_BYTES
    // within CLOUD_PROGRESS_WINDOW_MS, or a release answer that is not whole
    // within it, ends its attempt as a transport failure: 64 KiB in 5
    // minutes is 218 bytes per second, far below the slowest connection still
    // in use, and without it a sender of one byte a minute would hold an
    // attempt (each read has its own 60-second time-out) for months.
    CLOUD_PROGRESS_MIN_BYTES = 65536,
    CLOUD_PROGRESS_WINDOW_MS = 300000,
    CLOUD_PROGRESS_WINDOW_DIGITS = 6,    // test builds: the window setting's longest text
    CLOUD_RECEIVE_TIMEOUT_MS = 60000,    // WinHTTP's time-out of each receive
    // A read made after its deadline still takes what has already arrived
    // (a piece that the caller's size check may refuse): it gets this long.
    CLOUD_READ_LATE_MS = 100
};

// The release envelope's fixed path.
#define CLOUD_RELEASE_PATH \
    T16("/v1/public/installer/latest.txt?platform=win32&arch=x64&kind=windows-installer")

// The outcome record of one attempt. The fetch and the download clear it at
// the start of each attempt; cloud_request clears nothing.
struct CloudResult {
    uint32_t http_status;    // 0 when no response was received
    uint32_t retry_after_s;  // delay form only; 0 when absent or not usable
    uint32_t win32_error;    // error of the call that failed; 0 when nothing failed
    uint32_t restarted;      // 1: the download emptied the part file and began again at byte 0
};

// Result of cloud_fetch_to_buffer. The numbers never change.
enum FetchOutcome {
    FETCH_COMPLETE = 0,     // status 200 and the whole body is in the buffer
    FETCH_INCOMPLETE = 1,   // no usable response, a failed read, or a body shorter than its Content-Length
    FETCH_HTTP_STATUS = 2,  // a status other than 200
    FETCH_TOO_LARGE = 3,    // the Content-Length or the body exceeds the capacity
};

// Result of one cloud_download attempt. The numbers never change.
enum DownloadOutcome {
    DOWNLOAD_COMPLETE = 0,     // the part file holds exactly the total
    DOWNLOAD_INCOMPLETE = 1,   // ended early; may be repeated
    DOWNLOAD_HTTP_STATUS = 2,  // a status other than 200, 206 and 416
    DOWNLOAD_OVERSIZED = 3,    // more bytes than the total were announced or sent
    DOWNLOAD_UNDERSIZED = 4,   // a 200 whose Content-Length is below the total
    DOWNLOAD_CANCELLED = 5,    // the progress callback asked to stop
    DOWNLOAD_WRITE_FAILED = 6, // the part file did not take a piece (win32_error says why);
                               // a local failure that another attempt would not mend
};

// What one download attempt does with the answer to its request: the
// resumption decision. The numbers never change.
enum DownloadPlan {
    DOWNLOAD_PLAN_TAIL = 0,        // a 206 with exactly the tail asked for: append at the bytes held
    DOWNLOAD_PLAN_WHOLE = 1,       // a 200 that agrees with the total: the whole file from byte 0
    DOWNLOAD_PLAN_OVERSIZED = 2,   // a 200 whose Content-Length is above the total
    DOWNLOAD_PLAN_UNDERSIZED = 3,  // a 200 whose Content-Length is below the total
    DOWNLOAD_PLAN_RESTART = 4,     // a 416, or a 206 with another range: empty the part file
    DOWNLOAD_PLAN_STATUS = 5,      // any other status
};

// The fixed upper-case names, for logs and tests ("UNKNOWN" for other codes).
const char *cloud_fetch_outcome_name(int outcome);
const char *cloud_download_outcome_name(int outcome);

// ---------------------------------------------------------------- pure rules
// Retry-After in its delay form: leading spaces, one to seven decimal digits,
// then the end or a space. 1 with *seconds set when usable; 0 leaves *seconds
// alone (an HTTP date, "1.5", "-3", "30s", eight digits or more).
int cloud_parse_retry_after(const wchar16 *text, uint32_t *seconds);
// Content-Length: one to fifteen decimal digits and nothing else; else -1.
int64_t cloud_parse_content_length(const wchar16 *text);
// 1 when the Content-Range value is exactly "bytes FIRST-(SIZE-1)/SIZE";
// 0 otherwise, and always 0 for a size of 0 or a first byte at or past it.
int cloud_content_range_text_matches(const wchar16 *text, uint64_t first, uint64_t size);
// The resumption decision for an answer with this status to a request made
// while `held` of `total` bytes were held. content_length is the parsed
// Content-Length (-1 when absent or not usable; read for a 200 only) and
// range_matches the Content-Range test with held and total (for a 206 only).
// A 200 empties a part file that holds bytes whatever the plan.
DownloadPlan cloud_download_plan(uint32_t status, uint64_t held, uint64_t total,
                                 int64_t content_length, int range_matches);
// The User-Agent of every request, "VornquillAI-OnlineSetup/VERSION (Windows;
// x64)" with the setup's version, into buffer (capacity in units).
void cloud_user_agent(wchar16 *buffer, size_t capacity);
// 1 for the answers worth another attempt: 408, 429 and 500 to 599.
int cloud_status_temporary(uint32_t status);
// The back-off delay in milliseconds before the next attempt: the server's
// Retry-After (at most 300 s) when given, else 2^min(attempt, 5) seconds.
uint32_t cloud_backoff_delay_ms(int32_t attempt, uint32_t retry_after_s);
// Bytes per second of an attempt: 0 until it has run for more than 500 ms
// and when nothing was added since its start.
double cloud_download_rate(uint64_t elapsed_ms, uint64_t done, uint64_t done_at_start);

// The slow-transfer guard of one attempt: the window begins with the body,
// and again each time min_bytes more have arrived. The download gives
// CLOUD_PROGRESS_MIN_BYTES; the release fetch gives more than its buffer
// holds, so its whole answer must come within one window (it is a few
// kilobytes, and a fetch that stops begins again from nothing).
struct CloudProgressGuard {
    uint64_t window_ms;    // the window's length
    uint64_t min_bytes;    // what must arrive within a window
    uint64_t start_ms;     // when the current window began
    uint64_t start_bytes;  // bytes received when it began
    uint64_t received;     // bytes of the body received so far in this attempt
};
// Begins the guard of an attempt at now_ms (milliseconds of a steady clock)
// with nothing received.
void cloud_progress_guard_start(CloudProgressGuard *guard, uint64_t window_ms, uint64_t min_bytes,
                                uint64_t now_ms);
// 1 when the transfer is too slow: window_ms or more have passed since the
// window began and fewer than min_bytes arrived in it. Once that many have
// arrived, a new window begins at now_ms. A clock that seems to go back
// counts as no time passed.
int cloud_progress_too_slow(CloudProgressGuard *guard, uint64_t now_ms);
// When a blocking read of the body must have returned: the end of the
// guard's current window plus the receive time-out's share of the window
// (60 s of the real 5 minutes; 400 ms of a test build's 2 s). A read that
// returns by then is judged by the guard as it always was; one that does not
// (a sender that trickles bytes WinHTTP never hands over as body data, such
// as the framing of a chunked answer, each byte starting the receive
// time-out again) is cut there.
uint64_t cloud_read_deadline_ms(const CloudProgressGuard *guard);
// The window setting's text (test builds only, see cloud_progress_window_ms):
// 1 to CLOUD_PROGRESS_WINDOW_DIGITS decimal digits, a value from 1 to
// CLOUD_PROGRESS_WINDOW_MS; anything else gives CLOUD_PROGRESS_WINDOW_MS.
uint64_t cloud_progress_window_parse(const wchar16 *text);

// The progress context of ui_download_progress, set by the setup flow before
// every attempt.
struct DownloadProgress {
    uint64_t start_ms;     // GetTickCount64 at the start of the attempt
    uint64_t start_bytes;  // bytes held at the start of the attempt
};

#ifdef _WIN32
#include <windows.h>
#include <winhttp.h>

// The one session and connection with the cloud host.
struct CloudClient {
    HINTERNET session;
    HINTERNET connection;
};

// ---------------------------------------------------------------- session
// Opens the session with the build's cloud host and port. Null on failure
// with *error set (14, ERROR_OUTOFMEMORY, when the record cannot be
// allocated, else the failing call's error; the thread's last-error value is
// left the same).
CloudClient *cloud_open(uint32_t *error);
// The same with a given host and port (tests reach a local cloud with it).
CloudClient *cloud_open_at(const wchar16 *host, uint16_t port, uint32_t *error);
// A new record from the process heap with both handles null, or null when
// the heap has no room.
CloudClient *cloud_client_allocate(void);
// Closes the connection, then the session, then frees the record; null is fine.
void cloud_close(CloudClient *client);
// One GET over TLS. Returns the open request with the response's headers
// received and http_status (and retry_after_s when usable) filled, whatever
// the status; the caller reads the body and closes the handle. Null with
// win32_error set when no response could be had.
HINTERNET cloud_request(CloudClient *client, const wchar16 *path, const wchar16 *extra_headers,
                        CloudResult *result);
// The window of the slow-transfer guard: CLOUD_PROGRESS_WINDOW_MS. A test
// build takes a shorter one from VQ_TEST_PROGRESS_WINDOW_MS in its
// environment (milliseconds), so that tests see the guard act in seconds;
// production builds read nothing.
uint64_t cloud_progress_window_ms(void);
// Reads the next piece of a response body into buffer (at most capacity
// bytes): waits until some of the body has arrived and takes what is there,
// so that the guard sees every piece as it comes instead of a full buffer.
// The wait has a deadline (cloud_read_deadline_ms): a thread-pool timer
// closes the request when it passes, which ends the blocking call, and
// *request is then null (the caller closes it only while it is not).
// 1 with *got set (0 at the end of the body); 0 with win32_error set when
// the read failed, or when the guard found the transfer too slow or the
// deadline cut the read (ERROR_WINHTTP_TIMEOUT). A piece larger than room
// (what the caller can still take) comes back as it is, before the guard's
// verdict: the caller's size check ends the attempt.
int cloud_read_piece(HINTERNET *request, uint8_t *buffer, DWORD capacity, uint64_t room,
                     DWORD *got, CloudProgressGuard *guard, CloudResult *result);
// The response's Content-Length, or -1 when absent or not plain digits.
int64_t cloud_content_length(HINTERNET request);
// 1 when the response's Content-Range says that the body holds the bytes from
// first to the end of a file of size bytes, written exactly so.
int cloud_content_range_matches(HINTERNET request, uint64_t first, uint64_t size);

// ---------------------------------------------------------------- release fetch
// One GET of path into buffer (capacity bytes); *length is the body's length.
FetchOutcome cloud_fetch_to_buffer(CloudClient *client, const wchar16 *path, uint8_t *buffer,
                                   uint64_t capacity, uint64_t *length, CloudResult *result);
// Fetches and verifies the release envelope with retries. Returns the run's
// exit code: 0 verified (*release filled), 1 not reachable or refused,
// 2 release information refused, 3 cancelled, 6 no release. Every code but 0
// and 3 has recorded the user's message. may_ask: after eight failed attempts
// the user is asked whether to retry (a run with a window); otherwise the
// fetch ends there.
int cloud_fetch_release(CloudClient *client, int may_ask, ReleaseInfo *release);
// Waits before attempt + 1 in 100 ms steps; true when a cancel was requested
// before or during the wait.
bool cloud_backoff_wait(int32_t attempt, uint32_t retry_after_s);

// ---------------------------------------------------------------- download
// One attempt at bringing the part file up to total bytes (see the outcomes
// above). *held is the count of leading bytes the part file holds, kept up
// to date. validator is the release's lower-case hex SHA-256. The part file
// is never closed or deleted here.
DownloadOutcome cloud_download(CloudClient *client, const wchar16 *path, HANDLE part_file,
                               uint64_t *held, uint64_t total, const char *validator,
                               ProgressCallback progress, void *progress_context,
                               CloudResult *result);
// Empties a file: pointer to 0 and end of file there. 1 when both succeeded.
int cloud_part_truncate(HANDLE file);
// Progress callback of the download; context is a DownloadProgress.
int ui_download_progress(void *context, uint64_t done, uint64_t total);
// Progress callback of the file digest; the context is not used.
int ui_digest_progress(void *context, uint64_t done, uint64_t total);
#endif
