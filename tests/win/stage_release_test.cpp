// The first stage when the cloud session cannot even be set up: the heap has
// no room for its record. This test program puts an allocation of its own in
// place of the session record's, which fails on request and otherwise
// allocates as the program does; the run then ends with the exit code 1,
// "http-open", and the message naming error 14 (ERROR_OUTOFMEMORY).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "cloud/cloud.h"
#include "common/log.h"
#include "setup/stages.h"
#include "tests/win/win_test_util.h"

namespace {
bool record_allocation_fails = false;
}  // namespace

CloudClient *cloud_client_allocate(void) {
    if (record_allocation_fails) return nullptr;
    return (CloudClient *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CloudClient));
}

namespace {

using wintest::read_file;

struct FailingAllocation {
    FailingAllocation() { record_allocation_fails = true; }
    ~FailingAllocation() { record_allocation_fails = false; }
};

TEST(StageRelease, NoMemoryForTheSessionRecordIsError14) {
    FailingAllocation failing;
    uint32_t error = 99;
    SetLastError(0);
    EXPECT_EQ(cloud_open(&error), nullptr);
    EXPECT_EQ(error, (uint32_t)ERROR_OUTOFMEMORY);
    EXPECT_EQ(error, 14u);
    EXPECT_EQ(GetLastError(), 14u);
}

TEST(StageRelease, ACloudSessionThatCannotBeOpenedEndsTheRunWithHttpOpen) {
    std::wstring programdata = wintest::temp_folder(L"stage-release");
    const SetupStage stages[] = {stage_release, stage_download, stage_install};
    user_message()->text[0] = 0;
    int code;
    {
        FailingAllocation failing;
        code = setup_run_stages(programdata.c_str(), stages, 3);
    }
    EXPECT_EQ(code, 1);
    EXPECT_EQ(std::wstring(user_message()->text),
              L"Setup could not start its network connection (error 14).");
    EXPECT_EQ(user_message()->is_error, 1u);

    std::wstring folder = setup_context()->work_folder.path;
    std::vector<std::wstring> lines = wintest::lines_of(read_file(folder + L"\\online-setup.log"));
    ASSERT_GE(lines.size(), 6u);
    auto message_of = [](const std::wstring &line) { return line.substr(line.find(L' ') + 1); };
    EXPECT_EQ(message_of(lines[lines.size() - 2]),
              L"message (error): Setup could not start its network connection (error 14).");
    EXPECT_EQ(message_of(lines.back()), L"RESULT code=1 reason=http-open");

    // Nothing was asked of the cloud or downloaded: the folder holds the log only.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_EQ(names, std::vector<std::wstring>{L"online-setup.log"});
}

}  // namespace
