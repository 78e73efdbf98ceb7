// The cloud code that needs no server: the back-off wait and its cancel, the
// part file's truncation, the download's decisions before any request and on
// a connection that cannot be made, and the two progress callbacks.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "cloud/cloud.h"
#include "common/log.h"
#include "ui/ui.h"
#include "tests/win/win_test_util.h"

namespace {

using wintest::file_size;

// A loopback port with nothing listening (the old discard service, which
// test machines do not run). WinHTTP connects lazily, so opening a client
// for it still succeeds and the first request fails.
uint16_t dead_port() { return 9; }

HANDLE open_part(const std::wstring &path, const std::string &content) {
    EXPECT_TRUE(wintest::write_file(path, content));
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}


class CloudLocal : public ::testing::Test {
protected:
    void SetUp() override {
        cancel_requested = 0;
        folder = wintest::temp_folder(L"cloud-local");
        log_path = folder + L"\\online-setup.log";
        log_open(log_path.c_str());
    }
    void TearDown() override {
        log_close();
        cancel_requested = 0;
        ui_main_window = nullptr;
    }
    std::string log_text() {
        log_close();
        std::string text = wintest::read_file(log_path);
        log_open((folder + L"\\more.log").c_str());
        return text;
    }
    std::wstring folder;
    std::wstring log_path;
};

TEST_F(CloudLocal, BackoffWaitIsCutShortByCancel) {
    // Cancelled 300 ms into a wait of 5 s: noticed within a step of 100 ms.
    DWORD delay_ms = 300;
    HANDLE thread = CreateThread(nullptr, 0, wintest::cancel_after, &delay_ms, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(cloud_backoff_wait(1, 5));
    ULONGLONG waited = GetTickCount64() - start;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_GE(waited, 250u);
    EXPECT_LT(waited, 1500u);

    // Already cancelled: no wait at all.
    start = GetTickCount64();
    EXPECT_TRUE(cloud_backoff_wait(7, 0));
    EXPECT_LT(GetTickCount64() - start, 100u);

    // Not cancelled: the whole server-given second.
    cancel_requested = 0;
    start = GetTickCount64();
    EXPECT_FALSE(cloud_backoff_wait(3, 1));
    waited = GetTickCount64() - start;
    EXPECT_GE(waited, 950u);
    EXPECT_LT(waited, 3000u);

    std::string log = log_text();
    EXPECT_NE(log.find("retrying in 5000 ms\r\n"), std::string::npos);
    EXPECT_NE(log.find("retrying in 32000 ms\r\n"), std::string::npos);
    EXPECT_NE(log.find("retrying in 1000 ms\r\n"), std::string::npos);
}

TEST_F(CloudLocal, PartTruncateEmptiesAndRewinds) {
    std::wstring path = folder + L"\\a.part";
    HANDLE file = open_part(path, std::string(1000, 'a'));
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER middle;
    middle.QuadPart = 600;
    SetFilePointerEx(file, middle, nullptr, FILE_BEGIN);
    EXPECT_EQ(cloud_part_truncate(file), 1);
    EXPECT_EQ(file_size(file), 0u);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(file, "xy", 2, &put, nullptr));
    CloseHandle(file);
    EXPECT_EQ(wintest::read_file(path), "xy");

    // A handle without write access cannot be emptied.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(cloud_part_truncate(reader), 0);
    CloseHandle(reader);
    EXPECT_EQ(wintest::read_file(path), "xy");
    EXPECT_EQ(cloud_part_truncate(INVALID_HANDLE_VALUE), 0);
}

TEST_F(CloudLocal, DownloadDecisionsBeforeAndWithoutAConnection) {
    uint32_t error = 99;
    CloudClient *client = cloud_open_at(L"127.0.0.1", dead_port(), &error);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(error, 0u);
    const char *validator = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    const wchar_t *path = L"/v1/public/installer/files/1.2.0/x.exe";

    // Nothing listens on the port, so any request fails to connect.
    struct Case {
        const char *name;
        size_t bytes;  // the part file holds this many bytes of `fill`
        char fill;
        DownloadOutcome outcome;
        uint64_t held_after;
        uint32_t restarted;
        uint32_t win32_error;
    };
    const Case cases[] = {
        {"the whole file is held: complete, with no request", 500, 'f', DOWNLOAD_COMPLETE, 500, 0,
         0},
        {"more than the total: emptied before the request, which then fails", 600, 'f',
         DOWNLOAD_INCOMPLETE, 0, 1, ERROR_WINHTTP_CANNOT_CONNECT},
        {"a failed request leaves the bytes held alone", 100, 'h', DOWNLOAD_INCOMPLETE, 100, 0,
         ERROR_WINHTTP_CANNOT_CONNECT},
    };
    std::wstring part = folder + L"\\a.part";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE file = open_part(part, std::string(c.bytes, c.fill));
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        uint64_t held = c.bytes;
        CloudResult result = {7, 7, 7, 7};
        EXPECT_EQ(cloud_download(client, path, file, &held, 500, validator, nullptr, nullptr,
                                 &result),
                  c.outcome);
        EXPECT_EQ(held, c.held_after);
        EXPECT_EQ(result.http_status, 0u);
        EXPECT_EQ(result.restarted, c.restarted);
        EXPECT_EQ(result.win32_error, c.win32_error);
        EXPECT_EQ(file_size(file), c.held_after);
        CloseHandle(file);
        EXPECT_EQ(wintest::read_file(part), std::string(c.held_after, c.fill));
    }

    // The fetch reports the same failure as an incomplete attempt.
    uint8_t buffer[64];
    uint64_t length = 1;
    CloudResult result = {7, 7, 7, 7};
    EXPECT_EQ(cloud_fetch_to_buffer(client, CLOUD_RELEASE_PATH, buffer, sizeof buffer, &length,
                                    &result),
              FETCH_INCOMPLETE);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(result.http_status, 0u);
    EXPECT_EQ(result.win32_error, (uint32_t)ERROR_WINHTTP_CANNOT_CONNECT);
    cloud_close(client);
    cloud_close(nullptr);
}

TEST_F(CloudLocal, OpenReportsTheFailingCallsError) {
    // The build's own host and port: the connection is made lazily, so the
    // open succeeds whether or not anything listens there.
    uint32_t error = 99;
    CloudClient *client = cloud_open(&error);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(error, 0u);
    EXPECT_NE(client->session, nullptr);
    EXPECT_NE(client->connection, nullptr);
    cloud_close(client);

    // No host: the connect call refuses it. Null, that call's error in
    // `error`, and the thread's last-error value left as that call set it.
    error = 0;
    SetLastError(0);
    client = cloud_open_at(nullptr, 443, &error);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(error, (uint32_t)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetLastError(), error);
}

// Takes the progress text posted to the window, or "<none>".
std::wstring take_progress(HWND window) {
    MSG message;
    std::wstring text = L"<none>";
    while (PeekMessageW(&message, window, UIM_PROGRESS, UIM_PROGRESS, PM_REMOVE)) {
        wchar_t *copy = (wchar_t *)message.lParam;
        text = copy;
        HeapFree(GetProcessHeap(), 0, copy);
    }
    return text;
}

TEST_F(CloudLocal, ProgressCallbacksReportRateAndCancel) {
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
    ASSERT_NE(window, nullptr);
    ui_main_window = window;
    const uint64_t mib = 1048576;

    // 2000 ms into an attempt with 4 MiB more than at its start: 2 MB/s.
    // (done == total, so the report is never held back by the throttle.)
    DownloadProgress attempt = {GetTickCount64() - 2000, 6 * mib};
    EXPECT_EQ(ui_download_progress(&attempt, 10 * mib, 10 * mib), 0);
    EXPECT_EQ(take_progress(window), L"10.0 MB of 10.0 MB  \u2014  2.0 MB/s");

    // 400 ms in: no rate yet.
    attempt = {GetTickCount64() - 400, 6 * mib};
    EXPECT_EQ(ui_download_progress(&attempt, 10 * mib, 10 * mib), 0);
    EXPECT_EQ(take_progress(window), L"10.0 MB of 10.0 MB");

    // The attempt emptied the part file: its bytes count from 0, not as a
    // negative amount.
    attempt = {GetTickCount64() - 2000, 6 * mib};
    EXPECT_EQ(ui_download_progress(&attempt, 4 * mib, 4 * mib), 0);
    EXPECT_EQ(attempt.start_bytes, 0u);
    EXPECT_EQ(take_progress(window), L"4.0 MB of 4.0 MB  \u2014  2.0 MB/s");

    // The digest never shows a rate; both stop once the user cancelled.
    EXPECT_EQ(ui_digest_progress(nullptr, 3 * mib, 3 * mib), 0);
    EXPECT_EQ(take_progress(window), L"3.0 MB of 3.0 MB");
    cancel_requested = 1;
    EXPECT_EQ(ui_digest_progress(nullptr, 1, 3 * mib), 1);
    EXPECT_EQ(ui_download_progress(&attempt, 3 * mib, 3 * mib), 1);
    take_progress(window);

    ui_main_window = nullptr;
    DestroyWindow(window);
}

}  // namespace
