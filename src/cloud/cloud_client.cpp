// The HTTPS session with the cloud host (WinHTTP, synchronous): opening it,
// one GET per exchange, and the reads of the Content-Length and Content-Range
// headers. Every request is TLS; no credentials are ever sent.
#include "cloud/cloud.h"

#include "common/constants.h"
#include "common/memory.h"

// One WinHTTP session in the given proxy mode; never a proxy name, a bypass
// list or credentials of its own.
static HINTERNET cloud_session_open(const wchar16 *agent, DWORD access) {
#if VQ_PROFILE_TEST
    // Test profile only: with VQ_TEST_REFUSE_AUTOMATIC_PROXY=1 in its
    // environment, the automatic proxy mode is refused as systems without it
    // refuse it, so that a test run reaches the fallback. Without it (and in
    // every production build) nothing changes.
    wchar16 refuse[2];
    if (access == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY &&
        GetEnvironmentVariableW(T16("VQ_TEST_REFUSE_AUTOMATIC_PROXY"), refuse, 2) == 1 &&
        refuse[0] == '1') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
#endif
    return WinHttpOpen(agent, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

CloudClient *cloud_open(uint32_t *error) {
    return cloud_open_at(cloud_host(), cloud_port(), error);
}

CloudClient *cloud_open_at(const wchar16 *host, uint16_t port, uint32_t *error) {
    *error = 0;
    CloudClient *client = cloud_client_allocate();
    if (client == nullptr) {
        // ERROR_OUTOFMEMORY (14), the number the message promises; not
        // ERROR_NOT_ENOUGH_MEMORY, which is 8.
        *error = ERROR_OUTOFMEMORY;
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }

    wchar16 agent[CLOUD_USER_AGENT_CAPACITY];
    cloud_user_agent(agent, CLOUD_USER_AGENT_CAPACITY);

    DWORD failure = 0;
    client->session = cloud_session_open(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY);
    if (client->session == nullptr) {
        // Systems before the automatic proxy mode: the machine's WinHTTP
        // proxy setting (netsh winhttp), or none.
        client->session = cloud_session_open(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
    }
    if (client->session == nullptr) {
        failure = GetLastError();
        goto failed;
    }

    {
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
        if (!WinHttpSetOption(client->session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof protocols)) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // no TLS 1.3 on this system
            if (!WinHttpSetOption(client->session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                  sizeof protocols)) {
                failure = GetLastError();
                goto failed;
            }
        }
    }
    {
        // Redirects are followed, except from HTTPS to HTTP. Not fatal.
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
        WinHttpSetOption(client->session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    }
    if (!WinHttpSetTimeouts(client->session, 30000, 30000, 30000, CLOUD_RECEIVE_TIMEOUT_MS)) {
        failure = GetLastError();
        goto failed;
    }
    client->connection = WinHttpConnect(client->session, host, port, 0);
    if (client->connection == nullptr) {
        failure = GetLastError();
        goto failed;
    }
    return client;

failed:
    cloud_close(client);
    *error = failure;
    SetLastError(failure);
    return nullptr;
}

void cloud_close(CloudClient *client) {
    if (client == nullptr) return;
    if (client->connection != nullptr) WinHttpCloseHandle(client->connection);
    if (client->session != nullptr) WinHttpCloseHandle(client->session);
    heap_free(client);
}

// Reads a header as text into buffer (capacity units). 0 when it is absent
// or does not fit.
static int query_header_text(HINTERNET request, DWORD query, wchar16 *buffer, DWORD capacity) {
    DWORD size = capacity * (DWORD)sizeof(wchar16);
    buffer[0] = 0;
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        buffer[0] = 0;
        return 0;
    }
    DWORD units = size / (DWORD)sizeof(wchar16);
    buffer[units < capacity ? units : capacity - 1] = 0;
    return 1;
}

HINTERNET cloud_request(CloudClient *client, const wchar16 *path, const wchar16 *extra_headers,
                        CloudResult *result) {
    HINTERNET request = WinHttpOpenRequest(client->connection, T16("GET"), path, nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           WINHTTP_FLAG_SECURE);
    if (request == nullptr) {
        result->win32_error = GetLastError();
        return nullptr;
    }
    BOOL sent;
    if (extra_headers != nullptr) {
        sent = WinHttpSendRequest(request, extra_headers, (DWORD)-1L, WINHTTP_NO_REQUEST_DATA, 0,
                                  0, 0);
    } else {
        sent = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    }
    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (!sent || !WinHttpReceiveResponse(request, nullptr) ||
        !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                             WINHTTP_NO_HEADER_INDEX)) {
        DWORD failure = GetLastError();
        result->win32_error = failure;
        WinHttpCloseHandle(request);
        SetLastError(failure);
        return nullptr;
    }
    result->http_status = status;

    wchar16 text[CLOUD_RETRY_AFTER_CAPACITY];
    if (query_header_text(request, WINHTTP_QUERY_RETRY_AFTER, text, CLOUD_RETRY_AFTER_CAPACITY)) {
        cloud_parse_retry_after(text, &result->retry_after_s);
    }
    return request;
}

uint64_t cloud_progress_window_ms(void) {
#if VQ_PROFILE_TEST
    // Test profile only: VQ_TEST_PROGRESS_WINDOW_MS=n in the environment
    // makes the window n milliseconds. Production builds always use the
    // fixed window.
    wchar16 text[CLOUD_PROGRESS_WINDOW_DIGITS + 2];
    DWORD units = GetEnvironmentVariableW(T16("VQ_TEST_PROGRESS_WINDOW_MS"), text,
                                          CLOUD_PROGRESS_WINDOW_DIGITS + 2);
    if (units > 0 && units < CLOUD_PROGRESS_WINDOW_DIGITS + 2) return cloud_progress_window_parse(text);
#endif
    return CLOUD_PROGRESS_WINDOW_MS;
}

// The deadline of one blocking read, shared with the thread-pool timer that
// cuts the read. Whoever moves the state away from DEADLINE_ARMED first
// decides: the timer (which then closes the request) or the reader (after
// which the timer does nothing).
enum { DEADLINE_ARMED = 0, DEADLINE_CUT = 1, DEADLINE_DISARMED = 2 };
struct ReadDeadline {
    HINTERNET request;
    volatile LONG state;
};

static VOID CALLBACK read_deadline_passed(PTP_CALLBACK_INSTANCE instance, PVOID context,
                                          PTP_TIMER timer) {
    (void)instance;
    (void)timer;
    ReadDeadline *deadline = (ReadDeadline *)context;
    if (InterlockedCompareExchange(&deadline->state, DEADLINE_CUT, DEADLINE_ARMED) !=
        DEADLINE_ARMED) {
        return;
    }
    // Closing the request from another thread is how a blocking WinHTTP call
    // is ended. The least receive time-out first: a WinHTTP that finishes a
    // pending receive only when its socket gives up (Wine's) then ends the
    // read at the sender's next byte instead of restarting the wait.
    WinHttpSetTimeouts(deadline->request, 1, 1, 1, 1);
    WinHttpCloseHandle(deadline->request);
}

int cloud_read_piece(HINTERNET *request, uint8_t *buffer, DWORD capacity, uint64_t room,
                     DWORD *got, CloudProgressGuard *guard, CloudResult *result) {
    *got = 0;
    uint64_t now = GetTickCount64();
    uint64_t end = cloud_read_deadline_ms(guard);
    uint64_t wait_ms = end > now + CLOUD_READ_LATE_MS ? end - now : CLOUD_READ_LATE_MS;

    ReadDeadline deadline;
    deadline.request = *request;
    deadline.state = DEADLINE_ARMED;
    PTP_TIMER timer = CreateThreadpoolTimer(read_deadline_passed, &deadline, nullptr);
    if (timer == nullptr) {
        result->win32_error = GetLastError();  // no read without its deadline
        return 0;
    }
    ULARGE_INTEGER due;
    due.QuadPart = (ULONGLONG)(-(LONGLONG)(wait_ms * 10000));  // relative, in 100 ns
    FILETIME due_time;
    due_time.dwLowDateTime = due.LowPart;
    due_time.dwHighDateTime = due.HighPart;
    SetThreadpoolTimer(timer, &due_time, 0, 0);

    // Blocks until some of the body is there (or the receive time-out, or
    // the deadline), and says how much; a read of that much then returns at
    // once. A read of a whole buffer would wait until the buffer is full.
    DWORD failure = 0;
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(*request, &available)) {
        failure = GetLastError();
    } else if (available > 0 &&
               !WinHttpReadData(*request, buffer, available < capacity ? available : capacity,
                                got)) {
        failure = GetLastError();
        *got = 0;
    }

    LONG state = InterlockedCompareExchange(&deadline.state, DEADLINE_DISARMED, DEADLINE_ARMED);
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);  // a cut in progress has closed the request
    CloseThreadpoolTimer(timer);
    if (state == DEADLINE_CUT) {
        // The request is closed; what the read brought (if it returned just
        // then) goes with it.
        *request = nullptr;
        *got = 0;
        result->win32_error = ERROR_WINHTTP_TIMEOUT;
        return 0;
    }
    if (failure != 0) {
        result->win32_error = failure;
        return 0;
    }
    if (*got == 0) return 1;  // the body has ended
    guard->received += *got;
    if (*got > room) return 1;  // the caller refuses it for its size: that decides
    if (cloud_progress_too_slow(guard, GetTickCount64())) {
        // Too little has come in one window: a transport failure like a
        // time-out, retried as one.
        result->win32_error = ERROR_WINHTTP_TIMEOUT;
        *got = 0;
        return 0;
    }
    return 1;
}

int64_t cloud_content_length(HINTERNET request) {
    wchar16 text[CLOUD_CONTENT_LENGTH_CAPACITY];
    if (!query_header_text(request, WINHTTP_QUERY_CONTENT_LENGTH, text,
                           CLOUD_CONTENT_LENGTH_CAPACITY)) {
        return -1;
    }
    return cloud_parse_content_length(text);
}

int cloud_content_range_matches(HINTERNET request, uint64_t first, uint64_t size) {
    wchar16 text[CLOUD_CONTENT_RANGE_CAPACITY];
    if (!query_header_text(request, WINHTTP_QUERY_CONTENT_RANGE, text,
                           CLOUD_CONTENT_RANGE_CAPACITY)) {
        return 0;
    }
    return cloud_content_range_text_matches(text, first, size);
}
