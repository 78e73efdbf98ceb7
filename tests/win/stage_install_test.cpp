// The last stage's early ends on a download that a scripted stage leaves in
// place of the real one: a file of the wrong size, a file with another
// digest, and an installer name that cannot be taken. Each ends with its
// code, reason and message, and no installer is left behind.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>

#include "common/log.h"
#include "setup/stages.h"
#include "tests/win/win_test_util.h"

namespace {

using wintest::read_file;
using wintest::write_file;

struct Download {
    const char *content;
    int64_t declared_size;
    bool directory_at_installer_name;
} download;

// Stands in for the release and download stages: a verified release, a
// complete part file left open, and the two paths.
int stage_fake_download(SetupRun *run) {
    ReleaseInfo *release = &run->release;
    strcpy(release->version, "1.2.0");
    strcpy(release->fileName, "VornquillAI-Setup-x64-1.2.0.exe");
    release->size = download.declared_size;
    memset(release->sha256, 0xab, sizeof(release->sha256));
    utf8_to_utf16(release->version, run->version16, SETUP_VERSION_CAPACITY);
    const wchar16 *folder = run->context->work_folder.path;
    format_wide(run->part_path, SETUP_PATH_CAPACITY, L"%ls\\download.part", folder);
    format_wide(run->installer_path, SETUP_PATH_CAPACITY, L"%ls\\VornquillAI-Setup-x64-1.2.0.exe",
                folder);
    if (download.directory_at_installer_name) CreateDirectoryW(run->installer_path, nullptr);
    write_file(run->part_path, download.content);
    run->part_file = file_open_checked(run->part_path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    return run->part_file != INVALID_HANDLE_VALUE;
}

const SetupStage stages[] = {stage_fake_download, stage_install};

TEST(StageInstall, ChecksThatEndTheRunBeforeTheInstallerRuns) {
    const struct {
        Download download;
        int code;
        const char *result;
        const wchar_t *message;  // the start of the recorded message
        const char *log_line;    // a line the log must hold, or null
    } cases[] = {
        {{"MZ short file", 14, false}, 2, "RESULT code=2 reason=size-mismatch",
         L"The downloaded installer has the wrong size. Nothing was installed.", nullptr},
        {{"MZ the wrong bytes", 18, false}, 2, "RESULT code=2 reason=sha256-mismatch",
         L"The downloaded installer does not match the signed release (SHA-256 mismatch). "
         L"Nothing was installed.",
         // the SHA-256 of "MZ the wrong bytes"
         "sha256 mismatch: got 84618a35f5d7463aa6f7a5836a3ce18d431ea24a7229284ff5e8b50f1a615029\r\n"},
        {{"MZ complete", 11, true}, 5, "RESULT code=5 reason=rename",
         L"Setup could not prepare the downloaded installer (error ", nullptr},
    };
    for (const auto &c : cases) {
        std::wstring programdata = wintest::temp_folder(L"stage-install");
        download = c.download;
        user_message()->text[0] = 0;
        EXPECT_EQ(setup_run_stages(programdata.c_str(), stages, 2), c.code) << c.result;
        std::wstring folder = setup_context()->work_folder.path;
        std::string log = read_file(folder + L"\\online-setup.log");
        EXPECT_NE(log.find(std::string(c.result) + "\r\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("running: "), std::string::npos) << log;
        EXPECT_EQ(std::wstring(user_message()->text).compare(0, wcslen(c.message), c.message), 0)
            << user_message()->text;
        if (c.log_line != nullptr) {
            EXPECT_NE(log.find(c.log_line), std::string::npos) << log;
        }
        // No proven-bad or unproven installer stays behind.
        if (!c.download.directory_at_installer_name) {
            EXPECT_EQ(GetFileAttributesW((folder + L"\\VornquillAI-Setup-x64-1.2.0.exe").c_str()),
                      INVALID_FILE_ATTRIBUTES);
        }
    }
}

}  // namespace
