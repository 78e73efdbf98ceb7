// The beginning and end of a run: the work folder and log, the opening
// lines, the stage chain, the deletions by folder kind, the one result line
// and the kept logs after an installation.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "setup/flow.h"
#include "tests/win/win_test_util.h"

#ifndef VQ_TEST_CLOUD_PORT
#define VQ_TEST_CLOUD_PORT 8443  // the test profile's default cloud port
#endif

namespace {

using wintest::exists;
using wintest::lines_of;
using wintest::read_file;
using wintest::write_file;

// Strips the time stamp of a log line.
std::wstring message_of(const std::wstring &line) {
    size_t space = line.find(L' ');
    return space == std::wstring::npos ? line : line.substr(space + 1);
}

std::vector<std::wstring> log_messages(const std::wstring &path) {
    std::vector<std::wstring> messages;
    for (const std::wstring &line : lines_of(read_file(path))) messages.push_back(message_of(line));
    return messages;
}

int count_results(const std::vector<std::wstring> &messages) {
    int n = 0;
    for (const std::wstring &m : messages) n += m.compare(0, 7, L"RESULT ") == 0;
    return n;
}

// What the scripted stages do.
struct Script {
    int stages_run;
    bool make_part;
    bool make_installer;
    bool installed;
} script;

int stage_go_on(SetupRun *run) {
    script.stages_run++;
    log_line("first stage");
    return 1;
}

int stage_end(SetupRun *run) {
    script.stages_run++;
    const wchar16 *folder = run->context->work_folder.path;
    if (script.make_part) {
        format_wide(run->part_path, SETUP_PATH_CAPACITY, L"%ls\\%ls", folder, L"0123abcd.part");
        write_file(run->part_path, "partial download");
    }
    if (script.make_installer) {
        format_wide(run->installer_path, SETUP_PATH_CAPACITY, L"%ls\\%ls", folder, L"setup.exe");
        write_file(run->installer_path, "MZ");
    }
    if (script.installed) {
        run->context->installed = 1;
        write_file(run->context->installer_log_path, "installer log");
        return setup_end(run, SETUP_EXIT_DONE, "installed");
    }
    report_message(1, L"The downloaded installer does not match.");
    return setup_end(run, SETUP_EXIT_MISMATCH, "sha256-mismatch");
}

int stage_never(SetupRun *run) {
    script.stages_run += 100;
    return 1;
}

const SetupStage stages[] = {stage_go_on, stage_end, stage_never};

int run_in(const std::wstring &programdata, Script s) {
    script = s;
    user_message()->text[0] = 0;
    return setup_run_stages(programdata.c_str(), stages, 3);
}

TEST(Flow, OpeningLinesStagesAndOneResultLine) {
    std::wstring programdata = wintest::temp_folder(L"flow");
    ASSERT_EQ(run_in(programdata, {0, true, true, false}), 2);
    EXPECT_EQ(script.stages_run, 2);

    SetupContext *context = setup_context();
    std::wstring folder = context->work_folder.path;
    EXPECT_EQ(folder, programdata + L"\\VornquillAI-Setup");
    EXPECT_EQ(context->work_folder.reused, 1u);
    EXPECT_EQ(std::wstring(context->setup_log_path), folder + L"\\online-setup.log");
    EXPECT_EQ(std::wstring(context->installer_log_path), folder + L"\\install.log");

    std::vector<std::wstring> messages = log_messages(folder + L"\\online-setup.log");
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[0], L"Vornquill AI online installer 1.0.0");
    // The test build's cloud port may be moved off 8443 (VQ_TEST_CLOUD_PORT).
    EXPECT_EQ(messages[1], L"cloud https://localhost:" + std::to_wstring(VQ_TEST_CLOUD_PORT) +
                               L"; release keys: test (1); version floor 1.0.0");
    EXPECT_EQ(messages[2], L"work folder: " + folder);
    EXPECT_EQ(messages[3], L"work folder reuse: yes (private)");
    EXPECT_EQ(messages[4], L"first stage");
    EXPECT_EQ(messages[5], L"message (error): The downloaded installer does not match.");
    EXPECT_EQ(messages[6], L"RESULT code=2 reason=sha256-mismatch");

    // The shared folder keeps its part file for the next run; the installer goes.
    EXPECT_EQ(read_file(folder + L"\\0123abcd.part"), "partial download");
    EXPECT_FALSE(exists(folder + L"\\setup.exe"));
}

TEST(Flow, AFreshFolderLosesItsPartFile) {
    std::wstring programdata = wintest::temp_folder(L"flow");
    std::wstring shared = programdata + L"\\VornquillAI-Setup";
    ASSERT_TRUE(CreateDirectoryW(shared.c_str(), nullptr));  // exists and is not private
    ASSERT_TRUE(write_file(shared + L"\\0123abcd.part", "someone's"));

    ASSERT_EQ(run_in(programdata, {0, true, false, false}), 2);
    SetupContext *context = setup_context();
    std::wstring folder = context->work_folder.path;
    EXPECT_NE(folder, shared);
    EXPECT_EQ(context->work_folder.reused, 0u);
    EXPECT_FALSE(exists(folder + L"\\0123abcd.part"));
    EXPECT_EQ(read_file(shared + L"\\0123abcd.part"), "someone's");

    std::vector<std::wstring> messages = log_messages(folder + L"\\online-setup.log");
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[3], L"work folder reuse: no (fresh random folder)");
    EXPECT_EQ(count_results(messages), 1);
}

TEST(Flow, AnInstallationKeepsBothLogsUnderOneStamp) {
    std::wstring programdata = wintest::temp_folder(L"flow");
    ASSERT_EQ(run_in(programdata, {0, false, true, true}), 0);
    std::wstring folder = setup_context()->work_folder.path;
    EXPECT_FALSE(exists(folder + L"\\online-setup.log"));
    EXPECT_FALSE(exists(folder + L"\\install.log"));

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\online-setup-*.log").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::wstring kept = found.cFileName;
    FindClose(search);
    std::wstring stamp = kept.substr(13, kept.size() - 13 - 4);
    EXPECT_EQ(stamp.size(), 15u) << kept;  // yyyymmdd-hhmmss
    EXPECT_EQ(read_file(folder + L"\\install-" + stamp + L".log"), "installer log");
    std::vector<std::wstring> messages = log_messages(folder + L"\\" + kept);
    ASSERT_GE(messages.size(), 1u);
    EXPECT_EQ(messages.back(), L"RESULT code=0 reason=installed");
    EXPECT_EQ(count_results(messages), 1);
}

TEST(Flow, FailuresBeforeTheLogWriteNone) {
    std::wstring base = wintest::temp_folder(L"flow");
    std::wstring missing = base + L"\\no-such-folder";
    EXPECT_EQ(run_in(missing, {0, false, false, false}), 5);
    EXPECT_EQ(script.stages_run, 0);
    EXPECT_EQ(std::wstring(user_message()->text),
              L"Setup could not create its private work folder in " + missing + L" (error 3).");
    EXPECT_EQ(user_message()->is_error, 1u);
    EXPECT_FALSE(exists(missing));

    // A ProgramData path that does not fit the run's buffers.
    std::wstring long_path = base + L"\\" + std::wstring(1100, L'p');
    EXPECT_EQ(run_in(long_path, {0, false, false, false}), 5);
    EXPECT_EQ(std::wstring(user_message()->text), L"Setup could not find the ProgramData folder.");
    EXPECT_EQ(script.stages_run, 0);
}

TEST(Flow, TheSystemProgramDataFolder) {
    // The real run asks the system; under Wine this is C:\ProgramData.
    script = {0, false, false, false};
    const SetupStage only_end[] = {stage_end};
    ASSERT_EQ(setup_run_stages(nullptr, only_end, 1), 2);
    std::wstring programdata = setup_context()->programdata_path;
    EXPECT_GT(programdata.size(), 3u);
    EXPECT_EQ(std::wstring(setup_context()->work_folder.path).compare(0, programdata.size(),
                                                                      programdata),
              0);
}

}  // namespace
