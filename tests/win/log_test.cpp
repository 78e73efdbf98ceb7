// The log file, the user's message and the command-line splitting, on Windows.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "setup/options.h"
#include "tests/win/win_test_util.h"

namespace {

using wintest::exists;
using wintest::lines_of;
using wintest::read_file;

std::wstring temp_folder() { return wintest::temp_folder(L"log-test"); }

TEST(Log, LinesBeforeOpenAndAfterCloseAreDropped) {
    std::wstring folder = temp_folder();
    std::wstring path = folder + L"\\online-setup.log";
    log_line("before open");
    report_message(1, L"early %ls", L"failure");  // recorded, not logged
    log_open(path.c_str());
    log_line("first %s %d", "line", 1);
    log_wide("path: ", L"C:\\ProgramData\\caf\u00e9");
    log_close();
    log_line("after close");
    std::string data = read_file(path);
    ASSERT_EQ(data.find("before open"), std::string::npos);
    ASSERT_EQ(data.find("after close"), std::string::npos);
    ASSERT_EQ(data.find("early"), std::string::npos);
    EXPECT_EQ(std::wstring(user_message()->text), L"early failure");
    EXPECT_EQ(user_message()->is_error, 1u);
    // Stamp, message, CR LF; UTF-8 without a byte-order mark.
    ASSERT_GE(data.size(), 25u);
    EXPECT_EQ(data[4], '-');
    EXPECT_EQ(data[10], 'T');
    EXPECT_EQ(data.substr(23, 2), "Z ");
    EXPECT_EQ(data.substr(25, 14), "first line 1\r\n");
    EXPECT_NE(data.find("path: C:\\ProgramData\\caf\xc3\xa9\r\n"), std::string::npos);
}

TEST(Log, ReportMessageReplacesAndLogsWithItsPrefix) {
    std::wstring folder = temp_folder();
    std::wstring path = folder + L"\\online-setup.log";
    log_open(path.c_str());
    report_message(1, L"first %lu", 1ul);
    report_message(0, L"Vornquill AI %ls is installed.", L"2.4.1");
    report_rate_limited(301);
    log_close();
    std::string data = read_file(path);
    EXPECT_NE(data.find("message (error): first 1\r\n"), std::string::npos);
    EXPECT_NE(data.find("message: Vornquill AI 2.4.1 is installed.\r\n"), std::string::npos);
    EXPECT_NE(data.find("message (error): Vornquill Cloud is limiting downloads right now. Please try "
                        "again in about 6 minutes.\r\n"),
              std::string::npos);
    EXPECT_EQ(user_message()->is_error, 1u);
}

TEST(Log, OverlongWideTextLogsOnlyThePrefixAndLongLinesAre2047Bytes) {
    std::wstring folder = temp_folder();
    std::wstring path = folder + L"\\online-setup.log";
    log_open(path.c_str());
    std::wstring long_path(1400, L'p');  // 1400 UTF-8 bytes: one more than fits
    log_wide("work folder: ", long_path.c_str());
    std::wstring fits(1399, L'q');
    log_wide("w: ", fits.c_str());
    std::wstring message(5000, L'm');
    report_message(1, L"%ls", message.c_str());
    log_close();
    std::string data = read_file(path);
    EXPECT_NE(data.find("work folder: \r\n"), std::string::npos);
    EXPECT_NE(data.find("w: " + std::string(1399, 'q') + "\r\n"), std::string::npos);
    // The 5000-unit message was cut to 2047 units, and its UTF-8 form of 2047
    // bytes does not fit the 1400-byte conversion: only the prefix is logged.
    EXPECT_NE(data.find("message (error): \r\n"), std::string::npos);
    EXPECT_EQ(std::wstring(user_message()->text).size(), 2047u);
    log_open(path.c_str());
    std::string long_line(5000, 'x');
    log_line("%s", long_line.c_str());
    log_close();
    data = read_file(path);
    EXPECT_EQ(data.size(), 2047u);
    EXPECT_EQ(data.substr(2045), "\r\n");
}

TEST(Log, FinishKeepsBothLogsUnderOneStampOnlyAfterInstallation) {
    std::wstring folder = temp_folder();
    std::wstring setup_log = folder + L"\\online-setup.log";
    std::wstring install_log = folder + L"\\install.log";
    log_open(setup_log.c_str());
    log_line("run one");
    log_finish(folder.c_str(), setup_log.c_str(), install_log.c_str(), 0);
    EXPECT_TRUE(exists(setup_log)) << "not installed: the fixed name stays";

    HANDLE f = CreateFileW(install_log.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    CloseHandle(f);
    log_open(setup_log.c_str());
    log_line("run two");
    log_finish(folder.c_str(), setup_log.c_str(), install_log.c_str(), 1);
    EXPECT_FALSE(exists(setup_log));
    EXPECT_FALSE(exists(install_log));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\online-setup-*.log").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::wstring kept = found.cFileName;
    FindClose(search);
    ASSERT_EQ(kept.size(), std::wstring(L"online-setup-20260301-134501.log").size());
    std::wstring stamp = kept.substr(13, 15);
    EXPECT_TRUE(exists(folder + L"\\install-" + stamp + L".log"));
    EXPECT_NE(read_file(folder + L"\\" + kept).find("run two"), std::string::npos);
}

TEST(Log, ReadersMayReadButNotDeleteTheOpenLog) {
    std::wstring folder = temp_folder();
    std::wstring path = folder + L"\\online-setup.log";
    log_open(path.c_str());
    log_line("open");
    EXPECT_NE(read_file(path).find("open"), std::string::npos);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    log_close();
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(Log, ALogNameThatIsASecondLinkIsMadeAnewWithoutTouchingTheOtherName) {
    std::wstring folder = temp_folder();
    std::wstring path = folder + L"\\online-setup.log";
    std::wstring other = folder + L"\\elsewhere.txt";
    ASSERT_TRUE(wintest::write_file(other, "not the log's"));
    ASSERT_TRUE(CreateHardLinkW(path.c_str(), other.c_str(), nullptr));
    log_open(path.c_str());
    log_line("first line");
    log_close();
    EXPECT_EQ(read_file(other), "not the log's");
    std::string data = read_file(path);
    EXPECT_EQ(data.find("not the log's"), std::string::npos);
    EXPECT_NE(data.find("first line\r\n"), std::string::npos);
}

TEST(LogResult, TheFirstCallerWritesItsLinesAndClosesTheLog) {
    std::wstring path = temp_folder() + L"\\online-setup.log";
    log_open(path.c_str());
    EXPECT_EQ(log_result("cancelled by the user", 3, "cancelled"), 1);
    EXPECT_EQ(log_result(nullptr, 0, "installed"), 0);
    log_line("after the result");
    std::vector<std::wstring> lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(25), L"cancelled by the user");
    EXPECT_EQ(lines[1].substr(25), L"RESULT code=3 reason=cancelled");
    // A new log has its own result line.
    log_open(path.c_str());
    EXPECT_EQ(log_result(nullptr, 0, "installed"), 1);
    lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(25), L"RESULT code=0 reason=installed");
}

#if VQ_PROFILE_TEST
// The window's fail-safe and the flow's end reach the result line at the same
// time. The seam holds the winner inside its step, after the claim and before
// its lines, until the other side is seen waiting for the log's lock (or has
// finished, which would be the fault: the winner's lines would then be lost).
struct ResultRace {
    HANDLE claimed;          // the winner is inside its step
    HANDLE other_waiting;    // the other side waits for the lock
    HANDLE go_on;            // the winner may write its lines
    std::wstring log_path;
};
ResultRace *race;

void race_seam(int point) {
    if (point == LOG_RESULT_SEAM_CLAIMED) {
        SetEvent(race->claimed);
        WaitForSingleObject(race->go_on, 10000);
    } else if (point == LOG_RESULT_SEAM_WAITING) {
        SetEvent(race->other_waiting);
    }
}

struct ResultCall {
    int fail_safe;  // the window's timer; otherwise the flow's end
    int result;
};

DWORD WINAPI result_call(void *parameter) {
    ResultCall *call = (ResultCall *)parameter;
    if (call->fail_safe) {
        call->result = log_result("cancelled by the user", 3, "cancelled");
    } else {
        // The flow's end: its result line, then the log's close and renaming.
        call->result = log_result(nullptr, 1, "release");
        std::wstring folder = race->log_path.substr(0, race->log_path.rfind(L'\\'));
        log_finish(folder.c_str(), race->log_path.c_str(), (folder + L"\\install.log").c_str(), 0);
    }
    return 0;
}

TEST(LogResult, WhicheverSideWinsWritesItsLinesWholeAndTheOtherNothing) {
    const struct {
        int first_is_fail_safe;
        const wchar_t *last_lines[2];
    } cases[] = {
        {1, {L"cancelled by the user", L"RESULT code=3 reason=cancelled"}},
        {0, {L"flow line", L"RESULT code=1 reason=release"}},
    };
    for (const auto &c : cases) {
        ResultRace state;
        state.claimed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        state.other_waiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        state.go_on = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        state.log_path = temp_folder() + L"\\online-setup.log";
        race = &state;
        log_open(state.log_path.c_str());
        log_line("flow line");
        log_result_seam = race_seam;

        ResultCall first = {c.first_is_fail_safe, -1};
        ResultCall second = {!c.first_is_fail_safe, -1};
        HANDLE first_thread = CreateThread(nullptr, 0, result_call, &first, 0, nullptr);
        ASSERT_NE(first_thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(state.claimed, 10000), WAIT_OBJECT_0);
        HANDLE second_thread = CreateThread(nullptr, 0, result_call, &second, 0, nullptr);
        ASSERT_NE(second_thread, nullptr);
        HANDLE either[2] = {state.other_waiting, second_thread};
        DWORD seen = WaitForMultipleObjects(2, either, FALSE, 10000);
        EXPECT_EQ(seen, WAIT_OBJECT_0) << "the other side must wait for the winner's lines";
        SetEvent(state.go_on);
        WaitForSingleObject(first_thread, 10000);
        WaitForSingleObject(second_thread, 10000);
        log_result_seam = nullptr;
        CloseHandle(first_thread);
        CloseHandle(second_thread);
        CloseHandle(state.claimed);
        CloseHandle(state.other_waiting);
        CloseHandle(state.go_on);
        log_close();

        EXPECT_EQ(first.result, 1);
        EXPECT_EQ(second.result, 0);
        std::vector<std::wstring> lines = lines_of(read_file(state.log_path));
        int results = 0;
        for (const std::wstring &line : lines) results += line.find(L"Z RESULT ") != std::wstring::npos;
        EXPECT_EQ(results, 1);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2].substr(25), c.last_lines[0]);
        EXPECT_EQ(lines.back().substr(25), c.last_lines[1]);
    }
}
#endif

// The system's splitting of a command line, then the acceptance rules.
TEST(OptionsCommandLine, SystemSplittingThenAcceptance) {
    struct Case {
        const wchar_t *command_line;
        int accepted;
        const wchar_t *offending;
        const wchar_t *dir;
    };
    const Case cases[] = {
        {L"setup.exe", 1, L"", L""},
        {L"setup.exe /DIR=\"C:\\Program Files\\Vornquill AI\"", 1, L"", L"C:\\Program Files\\Vornquill AI"},
        {L"setup.exe \"/DIR=C:\\A B\"", 1, L"", L"C:\\A B"},
        // A backslash before the closing quote escapes it: the value then
        // ends with a double quote and is refused.
        {L"setup.exe /DIR=\"C:\\A B\\\" /SILENT", 0, L"/DIR=C:\\A B\" /SILENT", L""},
        {L"setup.exe /DIR=\"C:\\A B\\\\\"", 1, L"", L"C:\\A B\\"},
        {L"setup.exe /SILENT /bogus /SUPPRESSMSGBOXES", 0, L"/bogus", L""},
    };
    for (const Case &c : cases) {
        int count = 0;
        wchar_t **args = CommandLineToArgvW(c.command_line, &count);
        ASSERT_NE(args, nullptr);
        static SetupOptions options;
        wchar_t error[OPTIONS_ERROR_CAPACITY] = {0};
        int accepted = options_parse_arguments(&options, args + 1, count - 1, error, OPTIONS_ERROR_CAPACITY);
        LocalFree(args);
        EXPECT_EQ(accepted, c.accepted) << c.command_line;
        EXPECT_STREQ(error, c.offending) << c.command_line;
        if (accepted) EXPECT_STREQ(options.dir, c.dir) << c.command_line;
    }
}

// Child side of ProcessCommandLineIsRead: the parent starts this executable
// with a setup command line of its choosing (the test picked by GTEST_FILTER
// in the environment, so no test flag is on the command line) and reads what
// options_parse made of the process's own command line from a file.
TEST(OptionsCommandLineChild, ParseOwnCommandLine) {
    wchar_t out_path[1024];
    if (GetEnvironmentVariableW(L"VQ_OPTIONS_CHILD_OUT", out_path, 1024) == 0)
        GTEST_SKIP() << "started only by OptionsCommandLine.ProcessCommandLineIsRead";
    wchar_t error[OPTIONS_ERROR_CAPACITY] = {0};
    int accepted = options_parse(error, OPTIONS_ERROR_CAPACITY);
    std::wstring text = std::to_wstring(accepted) + L"|" + error + L"|" + setup_options()->dir;
    std::string utf8(text.size() * 4 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &utf8[0], (int)utf8.size(),
                                nullptr, nullptr);
    utf8.resize(n > 0 ? (size_t)n : 0);
    ASSERT_TRUE(wintest::write_file(out_path, utf8));
}

TEST(OptionsCommandLine, ProcessCommandLineIsRead) {
    wchar_t self[1024];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, 1024), 0u);
    std::wstring out = temp_folder() + L"\\child-options.txt";
    struct Case {
        const wchar_t *arguments;
        const char *expected;  // accepted|first offending argument|/DIR value
    } cases[] = {
        {L"/SILENT /bogus /NORESTART", "0|/bogus|"},
        {L"/VERYSILENT \"/DIR=C:\\A B\" /NORESTART", "1||C:\\A B"},
    };
    SetEnvironmentVariableW(L"VQ_OPTIONS_CHILD_OUT", out.c_str());
    SetEnvironmentVariableW(L"GTEST_FILTER", L"OptionsCommandLineChild.ParseOwnCommandLine");
    for (const Case &c : cases) {
        DeleteFileW(out.c_str());
        std::wstring command = L"\"" + std::wstring(self) + L"\" " + c.arguments;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            << GetLastError();
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        EXPECT_EQ(code, 0u) << c.arguments;
        EXPECT_EQ(read_file(out), c.expected) << c.arguments;
    }
    SetEnvironmentVariableW(L"VQ_OPTIONS_CHILD_OUT", nullptr);
    SetEnvironmentVariableW(L"GTEST_FILTER", nullptr);
}

}  // namespace
