// The installed product from the uninstall entry written here in the 64-bit
// (and 32-bit) registry view, and the free space of real and bad folders.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "machine/installed.h"
#include "tests/win/win_test_util.h"

namespace {

const wchar_t kKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    L"{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1";

void remove_entry() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY, 0);
}

struct Value {
    const wchar_t *name;
    DWORD type;  // 0: not written
    std::wstring text;
};

void write_entry(REGSAM view, const std::vector<Value> &values) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const Value &v : values) {
        if (v.type == 0) continue;
        if (v.type == REG_DWORD) {
            DWORD number = 241;
            ASSERT_EQ(RegSetValueExW(key, v.name, 0, REG_DWORD, (const BYTE *)&number, sizeof number),
                      ERROR_SUCCESS);
            continue;
        }
        std::wstring data = v.text;
        data.push_back(0);
        if (v.type == REG_MULTI_SZ) data.push_back(0);
        ASSERT_EQ(RegSetValueExW(key, v.name, 0, v.type, (const BYTE *)data.data(),
                                 (DWORD)(data.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

class InstalledProduct : public ::testing::Test {
protected:
    void SetUp() override { remove_entry(); }
    void TearDown() override { remove_entry(); }
};

TEST_F(InstalledProduct, PlainStringValuesOfThe64BitEntryOnly) {
    // Only a missing entry is "nothing installed"; an entry whose version
    // cannot be read as a plain string of at most 127 units is an
    // installation of unknown version, with the registry's answer as the
    // last error.
    const std::wstring location = L"C:\\Program Files\\Vornquill AI";
    const std::wstring accented(127, L'\u00e9');  // 127 units, 254 bytes of UTF-8
    const int NONE = INSTALLED_NONE, READ = INSTALLED_VERSION, UNREADABLE = INSTALLED_UNREADABLE;
    struct Case {
        const char *name;
        REGSAM view;  // 0: no entry at all
        DWORD version_type;
        std::wstring version;
        DWORD location_type;
        size_t location_capacity;
        int result;
        DWORD error;  // the last error after an unreadable entry
        std::string version_read;
        std::wstring location_read;
    };
    const Case cases[] = {
        {"no entry", 0, 0, L"", 0, 1024, NONE, 0, "", L""},
        {"installed", KEY_WOW64_64KEY, REG_SZ, L"2.4.1", REG_SZ, 1024, READ, 0, "2.4.1", location},
        {"an entry without values", KEY_WOW64_64KEY, 0, L"", 0, 1024, UNREADABLE,
         ERROR_FILE_NOT_FOUND, "", L""},
        {"location without version", KEY_WOW64_64KEY, 0, L"", REG_SZ, 1024, UNREADABLE,
         ERROR_FILE_NOT_FOUND, "", location},
        {"version without location", KEY_WOW64_64KEY, REG_SZ, L"2.4.1", 0, 1024, READ, 0, "2.4.1",
         L""},
        {"expandable version", KEY_WOW64_64KEY, REG_EXPAND_SZ, L"2.4.1", REG_SZ, 1024, UNREADABLE,
         ERROR_UNSUPPORTED_TYPE, "", location},
        {"multi-string version", KEY_WOW64_64KEY, REG_MULTI_SZ, L"2.4.1", REG_SZ, 1024, UNREADABLE,
         ERROR_UNSUPPORTED_TYPE, "", location},
        {"number version", KEY_WOW64_64KEY, REG_DWORD, L"", REG_SZ, 1024, UNREADABLE,
         ERROR_UNSUPPORTED_TYPE, "", location},
        {"127 ASCII units", KEY_WOW64_64KEY, REG_SZ, std::wstring(127, L'7'), REG_SZ, 1024, READ, 0,
         std::string(127, '7'), location},
        {"128 units", KEY_WOW64_64KEY, REG_SZ, std::wstring(128, L'8'), REG_SZ, 1024, UNREADABLE,
         ERROR_MORE_DATA, "", location},
        {"UTF-8 form too long", KEY_WOW64_64KEY, REG_SZ, accented, REG_SZ, 1024, READ, 0, "",
         location},
        {"expandable location", KEY_WOW64_64KEY, REG_SZ, L"2.4.1", REG_EXPAND_SZ, 1024, READ, 0,
         "2.4.1", L""},
        {"location just fits", KEY_WOW64_64KEY, REG_SZ, L"2.4.1", REG_SZ, location.size() + 1, READ,
         0, "2.4.1", location},
        {"location one unit too long", KEY_WOW64_64KEY, REG_SZ, L"2.4.1", REG_SZ, location.size(),
         READ, 0, "2.4.1", L""},
        {"32-bit view only", KEY_WOW64_32KEY, REG_SZ, L"2.4.1", REG_SZ, 1024, NONE, 0, "", L""},
        {"32-bit view only, without a version", KEY_WOW64_32KEY, 0, L"", REG_SZ, 1024, NONE, 0, "",
         L""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        remove_entry();
        if (c.view != 0) {
            write_entry(c.view, {{L"DisplayVersion", c.version_type, c.version},
                                 {L"InstallLocation", c.location_type, location}});
        }
        char version[128];
        memset(version, 'x', sizeof version);
        std::vector<wchar_t> where(c.location_capacity, L'x');
        SetLastError(12345);
        int result = installed_product_read(version, sizeof version, where.data(), where.size());
        DWORD error = GetLastError();
        EXPECT_EQ(result, c.result);
        if (c.result == UNREADABLE) EXPECT_EQ(error, c.error);
        EXPECT_EQ(std::string(version), c.version_read);
        EXPECT_EQ(std::wstring(where.data()), c.location_read);
    }
}

TEST(FreeDiskBytes, RealFolderAndBadPaths) {
    std::wstring folder = wintest::temp_folder(L"free");
    uint64_t free_bytes = 0;
    ASSERT_EQ(free_disk_bytes(folder.c_str(), &free_bytes), 0);
    ULARGE_INTEGER total;
    ASSERT_TRUE(GetDiskFreeSpaceExW(folder.c_str(), nullptr, &total, nullptr));
    EXPECT_GT(free_bytes, 0u);
    EXPECT_LE(free_bytes, total.QuadPart);

    // A failed query is told apart from a full disk, and leaves 0 and the
    // system's error.
    free_bytes = 99;
    SetLastError(0);
    EXPECT_EQ(free_disk_bytes((folder + L"\\no such folder\\deeper").c_str(), &free_bytes), -1);
    EXPECT_EQ(free_bytes, 0u);
    EXPECT_NE(GetLastError(), 0u);
    free_bytes = 99;
    EXPECT_EQ(free_disk_bytes(L"Q:\\", &free_bytes), -1);
    EXPECT_EQ(free_bytes, 0u);
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
