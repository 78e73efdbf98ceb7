// The cloud client against the reference cloud: the requests it sends (as
// the cloud's request log records them), the release fetch's outcomes and
// messages, and every outcome of a download attempt. The cloud is started by
// tests/cloud-client/run.sh, which passes its port and folders in the
// environment; without them (the plain Windows unit run) these tests skip.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "cloud/cloud.h"
#include "common/constants.h"
#include "common/log.h"
#include "release/release.h"
#include "ui/ui.h"
#include "tests/win/win_test_util.h"

namespace {

using wintest::file_size;

const char kReleasePath[] = "/v1/public/installer/latest.txt";

std::wstring env(const wchar_t *name) {
    wchar_t value[1024];
    DWORD n = GetEnvironmentVariableW(name, value, 1024);
    if (n == 0 || n >= 1024) return L"";
    return value;
}

std::wstring widen(const std::string &text) {
    return std::wstring(text.begin(), text.end());
}

std::string narrow(const wchar_t *text) {
    std::string s;
    for (size_t i = 0; text[i] != 0; i++) s.push_back(text[i] < 128 ? (char)text[i] : '?');
    return s;
}

// A JSON string literal of ASCII text.
std::string json_text(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// The reference cloud started by the driver, and what it serves.
struct Cloud {
    bool present = false;
    uint16_t port = 0;
    std::wstring rules;        // the rules file it reads before every request
    std::wstring request_log;  // its JSON-lines request log
    std::wstring folder;       // the published folder
    std::wstring envelopes;    // other envelopes made by the driver
    CloudClient *client = nullptr;
    ReleaseInfo release = {};
    bool have_release = false;
    std::string installer;     // the published installer's bytes
    std::string latest;        // the published latest.txt
};

Cloud &cloud() {
    static Cloud c;
    static bool looked = false;
    if (!looked) {
        looked = true;
        std::wstring port = env(L"VQ_TEST_CLOUD_PORT");
        if (!port.empty()) {
            c.present = true;
            c.port = (uint16_t)_wtoi(port.c_str());
            c.rules = env(L"VQ_TEST_CLOUD_RULES");
            c.request_log = env(L"VQ_TEST_CLOUD_LOG");
            c.folder = env(L"VQ_TEST_CLOUD_FOLDER");
            c.envelopes = env(L"VQ_TEST_CLOUD_ENVELOPES");
            c.latest = wintest::read_file(c.folder + L"\\latest.txt");
        }
    }
    return c;
}

void set_rules(const std::string &json) {
    std::wstring temporary = cloud().rules + L".tmp";
    ASSERT_TRUE(wintest::write_file(temporary, json));
    ASSERT_TRUE(MoveFileExW(temporary.c_str(), cloud().rules.c_str(), MOVEFILE_REPLACE_EXISTING));
}

// The request records of the cloud's log.
std::vector<std::string> request_records() {
    std::string text = wintest::read_file(cloud().request_log);
    std::vector<std::string> records;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (line.find("\"event\": \"request\"") != std::string::npos) records.push_back(line);
        start = end + 1;
    }
    return records;
}

// The records after the first `mark`, once at least `count` of them are
// there (the cloud writes a record when its exchange is over), or what
// arrived within 3 s.
std::vector<std::string> requests_since(size_t mark, size_t count) {
    std::vector<std::string> records;
    for (int i = 0; i < 60; i++) {
        records = request_records();
        if (records.size() >= mark + count) break;
        Sleep(50);
    }
    if (records.size() <= mark) return {};
    return std::vector<std::string>(records.begin() + (long)mark, records.end());
}

std::wstring installer_path() {
    const ReleaseInfo &r = cloud().release;
    return L"/v1/public/installer/files/" + widen(r.version) + L"/" + widen(r.fileName);
}

class CloudServer : public ::testing::Test {
protected:
    void SetUp() override {
        Cloud &c = cloud();
        if (!c.present) GTEST_SKIP() << "no reference cloud (run by tests/cloud-client/run.sh)";
        cancel_requested = 0;
        set_rules("[]");
        if (c.client == nullptr) {
            uint32_t error = 0;
            c.client = cloud_open_at(L"localhost", c.port, &error);
            ASSERT_NE(c.client, nullptr) << "error " << error;
        }
        if (!c.have_release) {
            ASSERT_EQ(cloud_fetch_release(c.client, 1, &c.release), 0) << narrow(user_message()->text);
            c.have_release = true;
            c.installer = wintest::read_file(c.folder + L"\\files\\" + widen(c.release.version) +
                                             L"\\" + widen(c.release.fileName));
            ASSERT_EQ(c.installer.size(), (size_t)c.release.size);
        }
        folder = wintest::temp_folder(L"cloud-server");
        log_path = folder + L"\\online-setup.log";
        log_open(log_path.c_str());
        format_wide(user_message()->text, USER_MESSAGE_CAPACITY, L"(no message)");
        user_message()->is_error = 0;
    }
    void TearDown() override {
        log_close();
        cancel_requested = 0;
        ui_main_window = nullptr;
        if (cloud().present) set_rules("[]");
    }
    std::string log_text() {
        log_close();
        return wintest::read_file(log_path);
    }
    std::wstring folder;
    std::wstring log_path;
};

// ---------------------------------------------------------------- requests

TEST_F(CloudServer, RequestsCarryTheUserAgentOverOneTlsConnection) {
    size_t mark = request_records().size();
    uint8_t buffer[4096];
    uint64_t length = 0;
    CloudResult result;
    ASSERT_EQ(cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer, sizeof buffer,
                                    &length, &result),
              FETCH_COMPLETE);
    ASSERT_EQ(cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer, sizeof buffer,
                                    &length, &result),
              FETCH_COMPLETE);
    EXPECT_EQ(std::string((const char *)buffer, length), cloud().latest);
    std::vector<std::string> records = requests_since(mark, 2);
    ASSERT_EQ(records.size(), 2u);
    for (const std::string &r : records) {
        EXPECT_NE(r.find("\"method\": \"GET\""), std::string::npos) << r;
        EXPECT_NE(r.find("\"target\": \"/v1/public/installer/latest.txt?platform=win32&arch=x64&"
                         "kind=windows-installer\""),
                  std::string::npos)
            << r;
        EXPECT_NE(r.find("\"User-Agent\": \"VornquillAI-OnlineSetup/1.0.0 (Windows; x64)\""),
                  std::string::npos)
            << r;
        EXPECT_TRUE(r.find("\"tls\": \"TLSv1.2\"") != std::string::npos ||
                    r.find("\"tls\": \"TLSv1.3\"") != std::string::npos)
            << r;
        EXPECT_EQ(r.find("\"Range\""), std::string::npos) << r;
        EXPECT_EQ(r.find("\"Authorization\""), std::string::npos) << r;
    }
    // The second request reuses the first one's connection.
    size_t conn = records[0].find("\"conn\": ");
    ASSERT_NE(conn, std::string::npos);
    std::string first_conn = records[0].substr(conn, records[0].find(',', conn) - conn);
    EXPECT_NE(records[1].find(first_conn + ","), std::string::npos);
}

TEST_F(CloudServer, RetryAfterIsReadInItsDelayFormOnly) {
    struct Case {
        std::string header;
        uint32_t seconds;
    };
    const Case cases[] = {
        {"120", 120},
        {"9999999", 9999999},
        {"10000000", 0},
        {"30s", 0},
        {"1.5", 0},
        {"Wed, 21 Oct 2026 07:28:00 GMT", 0},
        {"30 " + std::string(27, 'x'), 30},  // 30 units: fits the header buffer
        {"30 " + std::string(28, 'x'), 0},   // 31 units: too long, so absent
    };
    for (const Case &c : cases) {
        set_rules("[{\"path\": \"*\", \"status\": 503, \"retry_after\": " + json_text(c.header) + "}]");
        uint8_t buffer[4096];
        uint64_t length = 0;
        CloudResult result = {0, 0, 0, 0};
        EXPECT_EQ(cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer, sizeof buffer,
                                        &length, &result),
                  FETCH_HTTP_STATUS)
            << c.header;
        EXPECT_EQ(result.http_status, 503u) << c.header;
        EXPECT_EQ(result.retry_after_s, c.seconds) << c.header;
    }
}

TEST_F(CloudServer, FetchToBufferOutcomes) {
    const std::string &latest = cloud().latest;
    const uint64_t size = latest.size();
    const std::string path = std::string("\"path\": \"") + kReleasePath + "\"";
    struct Case {
        const char *name;
        std::string rules;
        uint64_t capacity;
        FetchOutcome outcome;
        uint32_t status;
        uint64_t length;
    };
    const Case cases[] = {
        {"whole envelope", "[]", 4096, FETCH_COMPLETE, 200, size},
        {"exactly the capacity, no Content-Length",
         "[{" + path + ", \"content_length\": null}]", size, FETCH_COMPLETE, 200, size},
        {"Content-Length above the capacity", "[]", size - 1, FETCH_TOO_LARGE, 200, 0},
        {"body above the capacity, no Content-Length",
         "[{" + path + ", \"content_length\": null}]", size - 1, FETCH_TOO_LARGE, 200, 0},
        {"body shorter than its Content-Length",
         "[{" + path + ", \"content_length\": " + std::to_string(size + 100) + "}]", 4096,
         FETCH_INCOMPLETE, 200, size},
        {"not found", "[{" + path + ", \"status\": 404}]", 4096, FETCH_HTTP_STATUS, 404, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        set_rules(c.rules);
        std::vector<uint8_t> buffer(c.capacity);
        uint64_t length = 12345;
        CloudResult result = {9, 9, 9, 9};
        EXPECT_EQ(cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer.data(), c.capacity,
                                        &length, &result),
                  c.outcome);
        EXPECT_EQ(result.http_status, c.status);
        EXPECT_EQ(result.win32_error, 0u);
        EXPECT_EQ(result.retry_after_s, 0u);
        EXPECT_EQ(result.restarted, 0u);
        if (c.outcome != FETCH_TOO_LARGE) {
            EXPECT_EQ(length, c.length);
        }
        EXPECT_LE(length, c.capacity);
        if (c.outcome == FETCH_COMPLETE) {
            EXPECT_EQ(std::string((const char *)buffer.data(), length), latest);
        }
    }
}

TEST_F(CloudServer, RedirectFromHttpsToHttpIsNotFollowed) {
    std::string target = "http://localhost:" + std::to_string(cloud().port) +
                         "/v1/public/installer/latest.txt?platform=win32&arch=x64&kind=windows-installer";
    set_rules(std::string("[{\"path\": \"") + kReleasePath +
              "\", \"status\": 302, \"headers\": {\"Location\": " + json_text(target) + "}}]");
    size_t mark = request_records().size();
    size_t refused_before = count_of(wintest::read_file(cloud().request_log), "handshake-failed");
    uint8_t buffer[4096];
    uint64_t length = 0;
    CloudResult result;
    FetchOutcome outcome = cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer,
                                                 sizeof buffer, &length, &result);
    // Wine's WinHTTP refuses the redirect as a failed one (12156); the
    // attempt ends unfollowed.
    EXPECT_EQ(outcome, FETCH_INCOMPLETE);
    EXPECT_EQ(result.win32_error, (uint32_t)ERROR_WINHTTP_REDIRECT_FAILED);
    EXPECT_EQ(result.http_status, 0u);
    // A followed redirect would have reached the cloud's port in plain HTTP
    // during that call (a failed handshake, or a second request). A second,
    // plain fetch is the marker: once its record is there, anything the
    // first call caused is logged before it.
    set_rules("[]");
    EXPECT_EQ(cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer, sizeof buffer, &length,
                                    &result),
              FETCH_COMPLETE);
    std::vector<std::string> records = requests_since(mark, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("\"status\": 302"), std::string::npos) << records[0];
    EXPECT_NE(records[1].find("\"status\": 200"), std::string::npos) << records[1];
    EXPECT_EQ(count_of(wintest::read_file(cloud().request_log), "handshake-failed"), refused_before);
}

// The session's own protocol restriction is what refuses a server that speaks
// only TLS 1.0 and 1.1 (the driver's second cloud): a WinHTTP session of this
// system without it is served by the same server.
TEST_F(CloudServer, OnlyTheSessionsRestrictionRefusesTls11) {
    std::wstring port_text = env(L"VQ_TEST_LEGACY_CLOUD_PORT");
    if (port_text.empty()) GTEST_SKIP() << "no TLS 1.0/1.1 cloud (run by tests/cloud-client/run.sh)";
    INTERNET_PORT port = (INTERNET_PORT)_wtoi(port_text.c_str());

    HINTERNET session = WinHttpOpen(L"control", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    ASSERT_NE(session, nullptr);
    HINTERNET connection = WinHttpConnect(session, L"localhost", port, 0);
    HINTERNET control = connection == nullptr ? nullptr
                        : WinHttpOpenRequest(connection, L"GET", CLOUD_RELEASE_PATH, nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             WINHTTP_FLAG_SECURE);
    DWORD status = 0;
    DWORD size = sizeof status;
    bool served = control != nullptr &&
                  WinHttpSendRequest(control, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                     WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
                  WinHttpReceiveResponse(control, nullptr) &&
                  WinHttpQueryHeaders(control, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                      WINHTTP_NO_HEADER_INDEX);
    DWORD control_error = served ? 0 : GetLastError();
    if (control != nullptr) WinHttpCloseHandle(control);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    if (!served) {
        GTEST_SKIP() << "this system refuses TLS 1.1 on its own (error " << control_error
                     << "): the session's restriction cannot be told apart";
    }
    EXPECT_EQ(status, 200u);

    uint32_t error = 0;
    CloudClient *client = cloud_open_at(L"localhost", port, &error);
    ASSERT_NE(client, nullptr) << error;
    CloudResult result = {0, 0, 0, 0};
    HINTERNET request = cloud_request(client, CLOUD_RELEASE_PATH, nullptr, &result);
    EXPECT_EQ(request, nullptr);
    if (request != nullptr) WinHttpCloseHandle(request);
    EXPECT_EQ(result.http_status, 0u);
    EXPECT_EQ(result.win32_error, (uint32_t)ERROR_WINHTTP_SECURE_CHANNEL_ERROR);  // 12157 under Wine
    cloud_close(client);
}

// ---------------------------------------------------------------- release fetch

struct FetchCase {
    const char *name;
    std::string rules;
    int code;
    std::wstring message;         // empty: no message recorded
    std::vector<std::string> log;  // lines expected in the log, in order
};

void check_fetch(const FetchCase &c, const std::string &log) {
    size_t at = 0;
    for (const std::string &line : c.log) {
        size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << "log line \"" << line << "\" (in order)\n" << log;
        if (found != std::string::npos) at = found + line.size();
    }
}

TEST_F(CloudServer, ReleaseFetchEndsWithItsCodeAndMessage) {
    const std::string path = std::string("\"path\": \"") + kReleasePath + "\"";
    const std::wstring base = widen(cloud_base_url());
    const std::wstring page = download_page_url();
    std::string unknown_kid = wintest::read_file(cloud().envelopes + L"\\unknown-kid.txt");
    std::string below_floor = wintest::read_file(cloud().envelopes + L"\\below-floor.txt");
    std::string tampered = wintest::read_file(cloud().envelopes + L"\\tampered.txt");
    ASSERT_NE(unknown_kid, "<missing>");
    ASSERT_NE(below_floor, "<missing>");
    ASSERT_NE(tampered, "<missing>");
    const FetchCase cases[] = {
        {"404", "[{" + path + ", \"status\": 404}]", 6,
         L"No release is available yet. Please try again later.", {}},
        {"204", "[{" + path + ", \"status\": 204}]", 6,
         L"No release is available yet. Please try again later.", {}},
        {"407", "[{" + path + ", \"status\": 407}]", 1,
         L"Your proxy server needs you to sign in. Setup does not collect proxy passwords: use a "
         L"direct connection, or ask your IT department to allow " + base + L".",
         {}},
        {"403", "[{" + path + ", \"status\": 403}]", 1,
         L"Vornquill Cloud answered HTTP 403. Please try again later.", {}},
        {"206", "[{" + path + ", \"status\": 206}]", 1,
         L"Vornquill Cloud answered HTTP 206. Please try again later.", {}},
        {"503 for longer than 300 s", "[{" + path + ", \"status\": 503, \"retry_after\": 301}]", 1,
         L"Vornquill Cloud is limiting downloads right now. Please try again in about 6 minutes.", {}},
        {"429 for a day", "[{" + path + ", \"status\": 429, \"retry_after\": \"86400\"}]", 1,
         L"Vornquill Cloud is limiting downloads right now. Please try again in about 24 hours.", {}},
        {"Content-Length above the capacity", "[{" + path + ", \"body_size\": 2150401}]", 2,
         L"The release information from Vornquill Cloud is too large. Nothing was installed.", {}},
        {"body above the capacity",
         "[{" + path + ", \"body_size\": 2150401, \"content_length\": null}]", 2,
         L"The release information from Vornquill Cloud is too large. Nothing was installed.", {}},
        {"unknown key", "[{" + path + ", \"body\": " + json_text(unknown_kid) + "}]", 2,
         L"This copy of Vornquill AI Setup is out of date: the current release is signed with a "
         L"newer key.\n\nDownload the current installer from " + page,
         {"release verification failed: unknown-kid: ", "RELEASE-ERROR unknown-kid"}},
        {"below the floor", "[{" + path + ", \"body\": " + json_text(below_floor) + "}]", 2,
         L"Vornquill Cloud offered an older release than this Setup accepts. Nothing was "
         L"installed. Try again later, or download the current installer from " + page,
         {"release verification failed: below-floor: ", "RELEASE-ERROR below-floor"}},
        {"bad signature", "[{" + path + ", \"body\": " + json_text(tampered) + "}]", 2,
         L"The release information from Vornquill Cloud failed verification (bad-signature). "
         L"Nothing was installed.",
         {"release verification failed: bad-signature: ", "RELEASE-ERROR bad-signature"}},
        {"not an envelope", "[{" + path + ", \"body\": \"<html>maintenance</html>\"}]", 2,
         L"The release information from Vornquill Cloud failed verification (format). Nothing "
         L"was installed.",
         {"release verification failed: format: ", "RELEASE-ERROR format"}},
        // Failed attempts are retried after the server's delay, or 2 s and
        // then 4 s without one; the third attempt's success ends the loop.
        {"transport failure, short body, 503, then the release",
         "[{" + path + ", \"nth\": 1, \"hang_up\": true}, {" + path +
             ", \"nth\": 2, \"retry_after\": 1, \"content_length\": " +
             std::to_string(cloud().latest.size() + 100) + "}, {" + path +
             ", \"nth\": 3, \"status\": 503, \"retry_after\": 1}]",
         0, L"",
         {"latest.txt attempt 1 failed (status 0, error 12152)", "retrying in 2000 ms",
          "latest.txt attempt 2 failed (status 200, error 0)", "retrying in 1000 ms",
          "latest.txt attempt 3 failed (status 503, error 0)", "retrying in 1000 ms"}},
    };
    for (const FetchCase &c : cases) {
        SCOPED_TRACE(c.name);
        set_rules(c.rules);
        log_open(log_path.c_str());
        format_wide(user_message()->text, USER_MESSAGE_CAPACITY, L"(no message)");
        user_message()->is_error = 0;
        ReleaseInfo release = {};
        EXPECT_EQ(cloud_fetch_release(cloud().client, 1, &release), c.code);
        if (c.message.empty()) {
            EXPECT_STREQ(user_message()->text, L"(no message)");
        } else {
            EXPECT_EQ(std::wstring(user_message()->text), c.message);
            EXPECT_EQ(user_message()->is_error, 1u);
        }
        if (c.code == 0) {
            EXPECT_STREQ(release.version, cloud().release.version);
            EXPECT_STREQ(release.sha256_hex, cloud().release.sha256_hex);
        }
        release_free(&release);
        std::string log = log_text();
        check_fetch(c, log);
        if (c.code != 0 && c.log.empty()) {
            EXPECT_EQ(log.find("attempt"), std::string::npos) << "no retry for a final answer\n" << log;
        }
    }
}

TEST_F(CloudServer, SilentRunGivesUpAfterEightAttempts) {
    set_rules(std::string("[{\"path\": \"") + kReleasePath +
              "\", \"status\": 503, \"retry_after\": 1}]");
    size_t mark = request_records().size();
    ReleaseInfo release = {};
    EXPECT_EQ(cloud_fetch_release(cloud().client, 0, &release), 1);
    release_free(&release);
    EXPECT_EQ(std::wstring(user_message()->text),
              L"Setup cannot reach Vornquill Cloud (" + widen(cloud_base_url()) +
                  L"). Check your internet connection and try again.");
    std::string log = log_text();
    for (int attempt = 1; attempt <= 8; attempt++) {
        std::string line = "latest.txt attempt " + std::to_string(attempt) + " failed (status 503, error 0)\r\n";
        EXPECT_EQ(count_of(log, line), 1u) << line;
    }
    EXPECT_EQ(count_of(log, "retrying in 1000 ms\r\n"), 7u);
    EXPECT_EQ(count_of(log, "attempt 9"), 0u);
    EXPECT_EQ(requests_since(mark, 8).size(), 8u);
}

// A window on its own thread that answers the Retry/Cancel question.
struct Asker {
    HWND window = nullptr;
    HANDLE ready = nullptr;
    int asked = 0;
    std::wstring question;
    int answer = IDRETRY;
};
Asker *the_asker = nullptr;

LRESULT CALLBACK asker_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == UIM_ASK) {
        the_asker->asked++;
        the_asker->question = (const wchar_t *)lparam;
        EXPECT_EQ(wparam & MB_TYPEMASK, (WPARAM)MB_RETRYCANCEL);
        return the_asker->answer;
    }
    if (message == UIM_STATUS || message == UIM_PROGRESS) {
        HeapFree(GetProcessHeap(), 0, (void *)lparam);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

DWORD WINAPI asker_thread(void *argument) {
    Asker *asker = (Asker *)argument;
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = asker_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VqTestAsker";
    RegisterClassW(&window_class);
    asker->window = CreateWindowExW(0, L"VqTestAsker", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    window_class.hInstance, nullptr);
    SetEvent(asker->ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    if (asker->window != nullptr) DestroyWindow(asker->window);
    return 0;
}

TEST_F(CloudServer, RetryAfterTheEighthFailureStartsAgainWithoutWaiting) {
    set_rules(std::string("[{\"path\": \"") + kReleasePath +
              "\", \"nth\": [1, 2, 3, 4, 5, 6, 7, 8], \"status\": 503, \"retry_after\": 1}]");
    Asker asker;
    the_asker = &asker;
    asker.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD thread_id = 0;
    HANDLE thread = CreateThread(nullptr, 0, asker_thread, &asker, 0, &thread_id);
    ASSERT_NE(thread, nullptr);
    // The thread sets the event whether or not it made its window.
    WaitForSingleObject(asker.ready, INFINITE);
    ASSERT_NE(asker.window, nullptr);
    ui_main_window = asker.window;

    ReleaseInfo release = {};
    EXPECT_EQ(cloud_fetch_release(cloud().client, 1, &release), 0);
    release_free(&release);
    ui_main_window = nullptr;
    PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(asker.ready);
    the_asker = nullptr;

    EXPECT_EQ(asker.asked, 1);
    EXPECT_EQ(asker.question,
              L"Setup cannot reach Vornquill Cloud. Check your internet connection, then choose Retry.");
    EXPECT_STREQ(user_message()->text, L"(no message)");
    std::string log = log_text();
    EXPECT_NE(log.find("latest.txt attempt 8 failed (status 503, error 0)\r\n"), std::string::npos);
    // Seven waits between the eight failures, none after the question.
    EXPECT_EQ(count_of(log, "retrying in 1000 ms\r\n"), 7u);
    size_t eighth = log.find("attempt 8 failed");
    ASSERT_NE(eighth, std::string::npos);
    EXPECT_EQ(log.find("retrying", eighth), std::string::npos);
}


// Sets the cancel flag once the log holds `line` (polled), and notes when;
// after 30 s without it, sets the flag anyway so that the run under test ends.
struct CancelOnLine {
    std::wstring log_path;
    const char *line;
    ULONGLONG cancelled_at;
    bool seen;
};

static DWORD WINAPI cancel_on_log_line(void *arg) {
    CancelOnLine *on = (CancelOnLine *)arg;
    ULONGLONG give_up = GetTickCount64() + 30000;
    while (!on->seen && GetTickCount64() < give_up) {
        on->seen = wintest::read_file(on->log_path).find(on->line) != std::string::npos;
        if (!on->seen) Sleep(10);
    }
    on->cancelled_at = GetTickCount64();
    InterlockedExchange(&cancel_requested, 1);
    return 0;
}

TEST_F(CloudServer, CancelEndsTheFetchWithoutAMessage) {
    // During the back-off wait after a 503 with Retry-After 5: the cancel
    // comes once the wait has begun, and ends it long before its 5 s.
    set_rules(std::string("[{\"path\": \"") + kReleasePath +
              "\", \"status\": 503, \"retry_after\": 5}]");
    CancelOnLine on = {log_path, "retrying in 5000 ms\r\n", 0, false};
    HANDLE thread = CreateThread(nullptr, 0, cancel_on_log_line, &on, 0, nullptr);
    ReleaseInfo release = {};
    EXPECT_EQ(cloud_fetch_release(cloud().client, 1, &release), 3);
    ULONGLONG ended = GetTickCount64();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(on.seen) << "the back-off wait never began";
    EXPECT_LT(ended - on.cancelled_at, 1000u) << "the wait went on after the cancel";
    release_free(&release);
    EXPECT_STREQ(user_message()->text, L"(no message)");

    // Requested while an attempt that succeeds is under way: still cancelled.
    set_rules("[]");
    cancel_requested = 1;
    release = {};
    EXPECT_EQ(cloud_fetch_release(cloud().client, 1, &release), 3);
    release_free(&release);
    EXPECT_STREQ(user_message()->text, L"(no message)");
    std::string log = log_text();
    size_t failed = log.find("latest.txt attempt 1 failed (status 503, error 0)\r\n");
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_NE(log.find("retrying in 5000 ms\r\n", failed), std::string::npos) << log;
}

// ---------------------------------------------------------------- download

enum Held { HELD_NONE, HELD_GOOD, HELD_WRONG };
enum After { FILE_WHOLE, FILE_EMPTY, FILE_UNCHANGED, FILE_PREFIX };

struct DownloadCase {
    const char *name;
    std::string rules;
    Held held_kind;
    int64_t held;  // -1: the total plus 50
    DownloadOutcome outcome;
    uint32_t status;
    uint32_t restarted;
    After after;
    int range_sent;  // 1: the request asked for the tail from the bytes held
    uint32_t win32_error = 0;
    uint32_t retry_after_s = 0;
};

HANDLE make_part(const std::wstring &path, Held kind, uint64_t held) {
    std::string content;
    if (kind == HELD_GOOD) content = cloud().installer.substr(0, held);
    if (kind == HELD_WRONG) content = std::string(held, 'W');
    EXPECT_TRUE(wintest::write_file(path, content));
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

TEST_F(CloudServer, DownloadOutcomes) {
    const std::string &installer = cloud().installer;
    const uint64_t total = installer.size();
    const std::string files = "\"path\": \"/v1/public/installer/files/*\"";
    const std::string sha = cloud().release.sha256_hex;
    const DownloadCase cases[] = {
        {"whole file", "[]", HELD_NONE, 0, DOWNLOAD_COMPLETE, 200, 0, FILE_WHOLE, 0},
        {"tail after 100000 bytes", "[]", HELD_GOOD, 100000, DOWNLOAD_COMPLETE, 206, 0, FILE_WHOLE, 1},
        {"last byte missing", "[]", HELD_GOOD, (int64_t)total - 1, DOWNLOAD_COMPLETE, 206, 0,
         FILE_WHOLE, 1},
        {"Range ignored: the whole file in the same attempt",
         "[{" + files + ", \"ignore_range\": true}]", HELD_WRONG, 100000, DOWNLOAD_COMPLETE, 200, 1,
         FILE_WHOLE, 1},
        {"changed file (If-Range does not match)", "[{" + files + ", \"etag\": \"\\\"other\\\"\"}]",
         HELD_WRONG, 100000, DOWNLOAD_COMPLETE, 200, 1, FILE_WHOLE, 1},
        {"part file longer than the total", "[]", HELD_WRONG, -1, DOWNLOAD_COMPLETE, 200, 1,
         FILE_WHOLE, 0},
        {"416", "[{" + files + ", \"status\": 416}]", HELD_GOOD, 100000, DOWNLOAD_INCOMPLETE, 416, 1,
         FILE_EMPTY, 1},
        {"206 with another total",
         "[{" + files + ", \"content_range\": \"bytes 100000-" + std::to_string(total - 1) + "/" +
             std::to_string(total + 1) + "\"}]",
         HELD_GOOD, 100000, DOWNLOAD_INCOMPLETE, 206, 1, FILE_EMPTY, 1},
        {"206 with another first byte",
         "[{" + files + ", \"content_range\": \"bytes 99999-" + std::to_string(total - 1) + "/" +
             std::to_string(total) + "\"}]",
         HELD_GOOD, 100000, DOWNLOAD_INCOMPLETE, 206, 1, FILE_EMPTY, 1},
        {"Content-Length above the total",
         "[{" + files + ", \"content_length\": " + std::to_string(total + 1) + "}]", HELD_NONE, 0,
         DOWNLOAD_OVERSIZED, 200, 0, FILE_EMPTY, 0},
        {"Content-Length below the total",
         "[{" + files + ", \"content_length\": " + std::to_string(total - 1) + "}]", HELD_NONE, 0,
         DOWNLOAD_UNDERSIZED, 200, 0, FILE_EMPTY, 0},
        {"resumption answered by 200 with a larger Content-Length",
         "[{" + files + ", \"ignore_range\": true, \"content_length\": " + std::to_string(total + 1) +
             "}]",
         HELD_GOOD, 1000, DOWNLOAD_OVERSIZED, 200, 1, FILE_EMPTY, 1},
        {"more bytes than the total, no Content-Length",
         "[{" + files + ", \"content_length\": null, \"append_bytes\": 70000}]", HELD_NONE, 0,
         DOWNLOAD_OVERSIZED, 200, 0, FILE_PREFIX, 0},
        {"connection dropped after 100000 bytes", "[{" + files + ", \"drop_after\": 100000}]",
         HELD_NONE, 0, DOWNLOAD_INCOMPLETE, 200, 0, FILE_PREFIX, 0},
        {"404", "[{" + files + ", \"status\": 404}]", HELD_GOOD, 1000, DOWNLOAD_HTTP_STATUS, 404, 0,
         FILE_UNCHANGED, 1},
        {"204", "[{" + files + ", \"status\": 204}]", HELD_GOOD, 1000, DOWNLOAD_HTTP_STATUS, 204, 0,
         FILE_UNCHANGED, 1},
        {"407", "[{" + files + ", \"status\": 407}]", HELD_NONE, 0, DOWNLOAD_HTTP_STATUS, 407, 0,
         FILE_UNCHANGED, 0},
        {"503 with Retry-After", "[{" + files + ", \"status\": 503, \"retry_after\": 7}]", HELD_GOOD,
         1000, DOWNLOAD_HTTP_STATUS, 503, 0, FILE_UNCHANGED, 1, 0, 7},
        {"no answer", "[{" + files + ", \"hang_up\": true}]", HELD_GOOD, 1000, DOWNLOAD_INCOMPLETE, 0,
         0, FILE_UNCHANGED, 1, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    };
    for (const DownloadCase &c : cases) {
        SCOPED_TRACE(c.name);
        set_rules(c.rules);
        std::wstring part = folder + L"\\" + widen(sha) + L".part";
        uint64_t held = c.held < 0 ? total + 50 : (uint64_t)c.held;
        HANDLE file = make_part(part, c.held_kind, held);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const uint64_t held_before = held;
        size_t mark = request_records().size();
        CloudResult result = {9, 9, 9, 9};
        DownloadOutcome outcome = cloud_download(cloud().client, installer_path().c_str(), file, &held,
                                                 total, sha.c_str(), nullptr, nullptr, &result);
        EXPECT_EQ(outcome, c.outcome) << cloud_download_outcome_name(outcome);
        EXPECT_EQ(result.http_status, c.status);
        EXPECT_EQ(result.restarted, c.restarted);
        EXPECT_EQ(result.win32_error, c.win32_error);
        EXPECT_EQ(result.retry_after_s, c.retry_after_s);
        EXPECT_EQ(file_size(file), held) << "the bytes held are what the part file holds";
        CloseHandle(file);
        std::string content = wintest::read_file(part);
        switch (c.after) {
        case FILE_WHOLE:
            EXPECT_EQ(held, total);
            EXPECT_TRUE(content == installer);
            break;
        case FILE_EMPTY:
            EXPECT_EQ(held, 0u);
            break;
        case FILE_UNCHANGED:
            EXPECT_EQ(held, held_before);
            if (c.held_kind == HELD_GOOD) {
                EXPECT_TRUE(content == installer.substr(0, held_before));
            }
            break;
        case FILE_PREFIX:
            EXPECT_GT(held, 0u);
            EXPECT_LE(held, total);
            EXPECT_TRUE(content == installer.substr(0, held));
            break;
        }
        if (c.after == FILE_PREFIX && c.outcome == DOWNLOAD_INCOMPLETE) {
            EXPECT_EQ(held, 100000u);
        }

        std::vector<std::string> records = requests_since(mark, 1);
        ASSERT_EQ(records.size(), 1u);
        const std::string &r = records[0];
        EXPECT_NE(r.find("\"path\": \"/v1/public/installer/files/" + std::string(cloud().release.version) +
                         "/" + cloud().release.fileName + "\""),
                  std::string::npos)
            << r;
        if (c.range_sent) {
            EXPECT_NE(r.find("\"Range\": \"bytes=" + std::to_string(held_before) + "-\""),
                      std::string::npos)
                << r;
            EXPECT_NE(r.find("\"If-Range\": \"\\\"" + sha + "\\\"\""), std::string::npos) << r;
        } else {
            EXPECT_EQ(r.find("\"Range\""), std::string::npos) << r;
            EXPECT_EQ(r.find("\"If-Range\""), std::string::npos) << r;
        }
    }
}

TEST_F(CloudServer, DroppedDownloadResumesWhereItStopped) {
    const std::string &installer = cloud().installer;
    const uint64_t total = installer.size();
    const std::string sha = cloud().release.sha256_hex;
    set_rules("[{\"path\": \"/v1/public/installer/files/*\", \"nth\": 1, \"drop_after\": 150000}]");
    std::wstring part = folder + L"\\resume.part";
    HANDLE file = make_part(part, HELD_NONE, 0);
    uint64_t held = 0;
    size_t mark = request_records().size();
    CloudResult result;
    EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total, sha.c_str(),
                             nullptr, nullptr, &result),
              DOWNLOAD_INCOMPLETE);
    EXPECT_EQ(held, 150000u);
    EXPECT_EQ(result.http_status, 200u);
    EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total, sha.c_str(),
                             nullptr, nullptr, &result),
              DOWNLOAD_COMPLETE);
    EXPECT_EQ(result.http_status, 206u);
    EXPECT_EQ(result.restarted, 0u);
    EXPECT_EQ(held, total);
    CloseHandle(file);
    EXPECT_TRUE(wintest::read_file(part) == installer);
    std::vector<std::string> records = requests_since(mark, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("\"outcome\": \"dropped\""), std::string::npos) << records[0];
    EXPECT_NE(records[1].find("\"Range\": \"bytes=150000-\""), std::string::npos) << records[1];
    EXPECT_NE(records[1].find("\"If-Range\": \"\\\"" + sha + "\\\"\""), std::string::npos) << records[1];
    EXPECT_NE(records[1].find("\"body_bytes\": " + std::to_string(total - 150000)), std::string::npos)
        << records[1];
}

TEST_F(CloudServer, APartFileThatTakesNoWritesEndsTheAttempt) {
    // A handle without write access stands for a disk that refuses the
    // bytes: the attempt ends as a write failure with the system's error,
    // not as an incomplete attempt worth repeating, and the part file keeps
    // what it held.
    const std::string &installer = cloud().installer;
    const uint64_t total = installer.size();
    const std::string sha = cloud().release.sha256_hex;
    set_rules("[]");
    std::wstring part = folder + L"\\read-only.part";
    ASSERT_TRUE(wintest::write_file(part, installer.substr(0, 1000)));
    HANDLE file = CreateFileW(part.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint64_t held = 1000;
    size_t mark = request_records().size();
    CloudResult result = {9, 9, 9, 9};
    EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total, sha.c_str(),
                             nullptr, nullptr, &result),
              DOWNLOAD_WRITE_FAILED);
    EXPECT_EQ(result.http_status, 206u);
    EXPECT_EQ(result.win32_error, (uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_EQ(result.restarted, 0u);
    EXPECT_EQ(held, 1000u);
    CloseHandle(file);
    EXPECT_TRUE(wintest::read_file(part) == installer.substr(0, 1000));
    EXPECT_EQ(requests_since(mark, 1).size(), 1u);
}

// The slow-transfer guard with a test build's window of 1 s (its read
// deadline 1.2 s): senders that trickle what WinHTTP never hands over as
// body data (the framing of a chunked answer) have their attempt cut there;
// a sender below the minimum is cut at the window; a chunked answer that
// comes in time is taken whole; and a piece that crosses the signed size
// after the window has passed is refused for its size, not retried.
class GuardWindow {
public:
    explicit GuardWindow(const wchar_t *ms) {
        SetEnvironmentVariableW(L"VQ_TEST_PROGRESS_WINDOW_MS", ms);
    }
    ~GuardWindow() { SetEnvironmentVariableW(L"VQ_TEST_PROGRESS_WINDOW_MS", nullptr); }
};

struct Sleeper {
    int calls = 0;
    DWORD sleep_ms = 0;  // on the first call
    uint64_t first_done = 0;
};

int sleeper_callback(void *context, uint64_t done, uint64_t) {
    Sleeper *s = (Sleeper *)context;
    if (s->calls++ == 0) {
        s->first_done = done;
        Sleep(s->sleep_ms);
    }
    return 0;
}

TEST_F(CloudServer, TheGuardCutsEveryTrickleAtItsDeadline) {
    GuardWindow window(L"1000");
    ASSERT_EQ(cloud_progress_window_ms(), 1000u);
    const std::string &installer = cloud().installer;
    const uint64_t total = installer.size();
    const std::string sha = cloud().release.sha256_hex;
    const std::string files = "\"path\": \"/v1/public/installer/files/*\"";
    const std::string release = std::string("\"path\": \"") + kReleasePath + "\"";
    const ULONGLONG window_ms = 1000;
    const ULONGLONG deadline_ms = 1200;
    // A cut read ends at the deadline, under Wine at the sender's next byte
    // after it (50 ms); the rest is room for a loaded machine.
    const ULONGLONG slack_ms = 1500;

    struct Trickle {
        const char *name;
        std::string rules;
        bool release;
    };
    const Trickle trickles[] = {
        {"installer: leading zeros of a chunk size", "[{" + files + ", \"chunked\": \"size-zeros\"}]",
         false},
        {"installer: a chunk extension that never ends",
         "[{" + files + ", \"chunked\": \"extension\"}]", false},
        {"release: leading zeros of a chunk size",
         "[{" + release + ", \"chunked\": \"size-zeros\"}]", true},
        {"release: a chunk extension that never ends",
         "[{" + release + ", \"chunked\": \"extension\"}]", true},
    };
    for (const Trickle &t : trickles) {
        SCOPED_TRACE(t.name);
        set_rules(t.rules);
        size_t mark = request_records().size();
        CloudResult result = {9, 9, 9, 9};
        ULONGLONG start = GetTickCount64();
        if (t.release) {
            std::vector<uint8_t> buffer(CLOUD_ENVELOPE_CAPACITY);
            uint64_t length = 7;
            EXPECT_EQ(cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer.data(),
                                            buffer.size(), &length, &result),
                      FETCH_INCOMPLETE);
            EXPECT_EQ(length, 0u);
        } else {
            std::wstring part = folder + L"\\trickle.part";
            HANDLE file = make_part(part, HELD_NONE, 0);
            uint64_t held = 0;
            EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total,
                                     sha.c_str(), nullptr, nullptr, &result),
                      DOWNLOAD_INCOMPLETE);
            EXPECT_EQ(held, 0u);
            EXPECT_EQ(file_size(file), 0u);
            CloseHandle(file);
        }
        ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(result.http_status, 200u);
        EXPECT_EQ(result.win32_error, (uint32_t)ERROR_WINHTTP_TIMEOUT);
        EXPECT_GE(took, window_ms);
        EXPECT_LT(took, deadline_ms + slack_ms);
        // The cloud saw the client go while it was still trickling.
        std::vector<std::string> records = requests_since(mark, 1);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_NE(records[0].find("\"outcome\": \"client-closed\""), std::string::npos) << records[0];
        EXPECT_NE(records[0].find("\"body_bytes\": 0"), std::string::npos) << records[0];
    }

    // A chunked answer that brings the file in time is taken whole, and so
    // is the release.
    set_rules("[{" + files + ", \"chunked\": true}, {" + release + ", \"chunked\": true}]");
    {
        std::wstring part = folder + L"\\chunked.part";
        HANDLE file = make_part(part, HELD_NONE, 0);
        uint64_t held = 0;
        CloudResult result;
        EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total,
                                 sha.c_str(), nullptr, nullptr, &result),
                  DOWNLOAD_COMPLETE);
        CloseHandle(file);
        EXPECT_TRUE(wintest::read_file(part) == installer);
        std::vector<uint8_t> buffer(CLOUD_ENVELOPE_CAPACITY);
        uint64_t length = 0;
        EXPECT_EQ(cloud_fetch_to_buffer(cloud().client, CLOUD_RELEASE_PATH, buffer.data(),
                                        buffer.size(), &length, &result),
                  FETCH_COMPLETE);
        EXPECT_EQ(std::string((const char *)buffer.data(), length), cloud().latest);
    }

    // 32 KiB a second is half the minimum of 64 KiB in each window: the
    // attempt ends after the first window with what came.
    set_rules("[{" + files + ", \"rate\": 32768}]");
    {
        std::wstring part = folder + L"\\below.part";
        HANDLE file = make_part(part, HELD_NONE, 0);
        uint64_t held = 0;
        CloudResult result;
        ULONGLONG start = GetTickCount64();
        EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total,
                                 sha.c_str(), nullptr, nullptr, &result),
                  DOWNLOAD_INCOMPLETE);
        ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(result.win32_error, (uint32_t)ERROR_WINHTTP_TIMEOUT);
        EXPECT_GT(held, 0u);
        EXPECT_LT(held, 65536u);
        EXPECT_GE(took, window_ms);
        EXPECT_LT(took, window_ms + slack_ms);
        CloseHandle(file);
        EXPECT_TRUE(wintest::read_file(part) == installer.substr(0, held));
    }
}

TEST_F(CloudServer, APieceThatCrossesTheSizeIsRefusedForItEvenLate) {
    // The last 150 bytes are missing; the cloud sends them, pauses 300 ms
    // and sends 1000 more. The first piece completes the file; then the
    // progress callback holds the attempt past the window and its read
    // deadline, so the next piece, already there, comes after the window
    // with too little in it: its size decides (the attempt is not retried),
    // not the guard.
    GuardWindow window(L"1000");
    const std::string &installer = cloud().installer;
    const uint64_t total = installer.size();
    const std::string sha = cloud().release.sha256_hex;
    set_rules("[{\"path\": \"/v1/public/installer/files/*\", \"content_length\": null, "
              "\"append_bytes\": 1000, \"pause_after\": 150, \"pause_ms\": 300}]");
    std::wstring part = folder + L"\\late.part";
    uint64_t held = total - 150;
    HANDLE file = make_part(part, HELD_GOOD, held);
    Sleeper sleeper;
    sleeper.sleep_ms = 1400;
    CloudResult result = {9, 9, 9, 9};
    EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total,
                             sha.c_str(), sleeper_callback, &sleeper, &result),
              DOWNLOAD_OVERSIZED);
    EXPECT_EQ(sleeper.calls, 1);
    EXPECT_EQ(sleeper.first_done, total) << "the first piece was not the missing tail alone";
    EXPECT_EQ(result.http_status, 206u);
    EXPECT_EQ(result.win32_error, 0u);
    EXPECT_EQ(held, total);
    EXPECT_EQ(file_size(file), total) << "nothing of the piece past the size is written";
    CloseHandle(file);
    EXPECT_TRUE(wintest::read_file(part) == installer);
}

struct Stopper {
    int calls = 0;
    uint64_t last_done = 0;
    uint64_t last_total = 0;
    int stop_at = 0;  // stop on this call; 0: never
};

int stopper_callback(void *context, uint64_t done, uint64_t total) {
    Stopper *s = (Stopper *)context;
    s->calls++;
    EXPECT_GT(done, s->last_done);
    s->last_done = done;
    s->last_total = total;
    return s->calls == s->stop_at ? 1 : 0;
}

TEST_F(CloudServer, ProgressCallbackSeesEveryPieceAndCanStop) {
    const std::string &installer = cloud().installer;
    const uint64_t total = installer.size();
    const std::string sha = cloud().release.sha256_hex;
    std::wstring part = folder + L"\\progress.part";

    // Every piece is reported; the last report is the whole file.
    HANDLE file = make_part(part, HELD_NONE, 0);
    uint64_t held = 0;
    Stopper all;
    CloudResult result;
    EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total, sha.c_str(),
                             stopper_callback, &all, &result),
              DOWNLOAD_COMPLETE);
    EXPECT_GE(all.calls, (int)((total + CLOUD_DOWNLOAD_PIECE - 1) / CLOUD_DOWNLOAD_PIECE));
    EXPECT_EQ(all.last_done, total);
    EXPECT_EQ(all.last_total, total);
    CloseHandle(file);

    // Stopped on the first report: the piece just written counts.
    file = make_part(part, HELD_NONE, 0);
    held = 0;
    Stopper first;
    first.stop_at = 1;
    EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total, sha.c_str(),
                             stopper_callback, &first, &result),
              DOWNLOAD_CANCELLED);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(held, first.last_done);
    EXPECT_GT(held, 0u);
    EXPECT_EQ(file_size(file), held);
    CloseHandle(file);
    EXPECT_TRUE(wintest::read_file(part) == installer.substr(0, held));

    // The flow's callback stops once the user has cancelled.
    file = make_part(part, HELD_GOOD, 1000);
    held = 1000;
    DownloadProgress progress = {GetTickCount64(), held};
    cancel_requested = 1;
    EXPECT_EQ(cloud_download(cloud().client, installer_path().c_str(), file, &held, total, sha.c_str(),
                             ui_download_progress, &progress, &result),
              DOWNLOAD_CANCELLED);
    EXPECT_EQ(result.http_status, 206u);
    EXPECT_GT(held, 1000u);
    EXPECT_LT(held, total);
    EXPECT_EQ(file_size(file), held);
    CloseHandle(file);
    EXPECT_TRUE(wintest::read_file(part) == installer.substr(0, held));
}

}  // namespace
