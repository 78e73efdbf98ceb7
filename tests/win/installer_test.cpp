// installer_run with the demo product installer (built beside this test
// executable, in tools\): the command line it receives, its exit codes, the
// "running: " log line, and installers that cannot be started.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/log.h"
#include "machine/installer.h"
#include "win_test_util.h"

namespace {

std::wstring demo_installer() {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return L"";
    std::wstring path(self, n);
    path = path.substr(0, path.rfind(L'\\')) + L"\\tools\\vq-demo-installer.exe";
    return wintest::exists(path) ? path : L"";
}

std::string narrow(const std::wstring &text) {
    std::string s;
    for (wchar_t c : text) s.push_back((char)c);
    return s;
}

class InstallerRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring demo = demo_installer();
        if (demo.empty()) GTEST_SKIP() << "tools\\vq-demo-installer.exe not built";
        folder = wintest::temp_folder(L"installer run");
        installer = folder + L"\\VornquillAI-Setup-x64-9.8.7.exe";
        ASSERT_TRUE(CopyFileW(demo.c_str(), installer.c_str(), FALSE));
        install_log = folder + L"\\install.log";
        setup_log = folder + L"\\online-setup.log";
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"VQ_DEMO_EXIT_CODE", nullptr);
        SetEnvironmentVariableW(L"VQ_DEMO_SKIP_ENTRY", nullptr);
        log_close();
    }
    // Runs with the setup log open; returns installer_run's result.
    int run(const wchar_t *forwarded, DWORD *exit_code, const std::wstring &working = L"") {
        log_open(setup_log.c_str());
        int result = installer_run(installer.c_str(), install_log.c_str(), forwarded,
                                   (working.empty() ? folder : working).c_str(), exit_code);
        last_error = GetLastError();
        log_close();
        return result;
    }
    std::wstring folder, installer, install_log, setup_log;
    DWORD last_error = 0;
};

TEST_F(InstallerRun, InstallsWithTheForwardedSwitchesAndLogsTheCommandLine) {
    std::wstring target = folder + L"\\Vornquill AI";
    std::wstring forwarded = L"/VERYSILENT /SUPPRESSMSGBOXES /NORESTART /DIR=\"" + target + L"\"";
    SetEnvironmentVariableW(L"VQ_DEMO_SKIP_ENTRY", L"1");
    DWORD exit_code = 77;
    ASSERT_EQ(run(forwarded.c_str(), &exit_code), 0);
    EXPECT_EQ(exit_code, 0u);

    std::string expected = "\"" + narrow(installer) + "\" /SP- /LOG=\"" + narrow(install_log) + "\" " +
                           narrow(forwarded);
    std::string setup = wintest::read_file(setup_log);
    EXPECT_NE(setup.find("Z running: " + expected + "\r\n"), std::string::npos) << setup;
    // The installer received exactly that command line and wrote its log
    // where /LOG= told it to.
    std::string log = wintest::read_file(install_log);
    EXPECT_NE(log.find("Command line: " + expected + "\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Mode: very silent"), std::string::npos) << log;
    EXPECT_TRUE(wintest::exists(target)) << "installed into the /DIR folder";
}

TEST_F(InstallerRun, ExitCodesComeBackAsTheyAre) {
    const wchar_t *codes[] = {L"5", L"2", L"1", L"3221225477"};
    const DWORD expected[] = {5, 2, 1, 3221225477u};
    for (int i = 0; i < 4; i++) {
        SetEnvironmentVariableW(L"VQ_DEMO_EXIT_CODE", codes[i]);
        DWORD exit_code = 77;
        ASSERT_EQ(run(L"/VERYSILENT", &exit_code), 0) << i;
        EXPECT_EQ(exit_code, expected[i]);
    }
}

TEST_F(InstallerRun, NoForwardedSwitchesEndsAfterTheLogPath) {
    SetEnvironmentVariableW(L"VQ_DEMO_EXIT_CODE", L"4");
    for (const wchar_t *forwarded : {(const wchar_t *)nullptr, L""}) {
        DWORD exit_code = 77;
        ASSERT_EQ(run(forwarded, &exit_code), 0);
        EXPECT_EQ(exit_code, 4u);
        std::string line = "running: \"" + narrow(installer) + "\" /SP- /LOG=\"" + narrow(install_log) + "\"\r\n";
        EXPECT_NE(wintest::read_file(setup_log).find(line), std::string::npos);
    }
}

TEST_F(InstallerRun, InstallerThatCannotStartLeavesTheErrorAndTheExitCode) {
    struct Case {
        std::wstring installer;
        std::wstring working;
        DWORD error;
    };
    const Case cases[] = {
        {folder + L"\\missing.exe", folder, ERROR_FILE_NOT_FOUND},
        {installer, folder + L"\\no such folder", ERROR_DIRECTORY},
    };
    for (const Case &c : cases) {
        installer = c.installer;
        DWORD exit_code = 77;
        EXPECT_EQ(run(L"/SILENT", &exit_code, c.working), -1);
        EXPECT_EQ(exit_code, 77u) << "left as the caller preset it";
        EXPECT_EQ(last_error, c.error);
        std::string setup = wintest::read_file(setup_log);
        EXPECT_NE(setup.find("running: \"" + narrow(c.installer) + "\""), std::string::npos) << setup;
        EXPECT_NE(setup.find("CreateProcess failed: error " + std::to_string(c.error) + "\r\n"), std::string::npos)
            << setup;
    }
}

TEST_F(InstallerRun, ACommandLineThatDoesNotFitStartsNothing) {
    std::wstring forwarded(INSTALLER_COMMAND_LINE_CAPACITY, L'x');
    SetEnvironmentVariableW(L"VQ_DEMO_EXIT_CODE", L"4");
    DWORD exit_code = 77;
    EXPECT_EQ(run(forwarded.c_str(), &exit_code), -1);
    EXPECT_EQ(exit_code, 77u);
    EXPECT_EQ(last_error, (DWORD)ERROR_FILENAME_EXCED_RANGE);
    EXPECT_FALSE(wintest::exists(install_log)) << "the installer did not run";
}

}  // namespace
