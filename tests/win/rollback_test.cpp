// rollback_keep and file_write_all: the package folder with the moved
// installer and the byte-exact envelope.json, an existing package left
// alone, refused locations, separators trimmed from the location.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>

#include "common/log.h"
#include "machine/rollback.h"
#include "release/release.h"
#include "win_test_util.h"

namespace {

const char kPayload[] = "eyJzY2hlbWEiOjEsInZlcnNpb24iOiIyLjMuMCJ9-_AAAtail-not-part-of-it";
const size_t kPayloadLength = 40;  // the release text ends before "tail..."
const char kKid[] = "vq-test-2026-01";
const char kSig[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0-Pw";

std::string expected_envelope() {
    return std::string("{\"payload\":\"") + std::string(kPayload, kPayloadLength) + "\",\"kid\":\"" + kKid +
           "\",\"sig\":\"" + kSig + "\"}";
}

// Removes a folder tree made by a test.
void remove_tree(const std::wstring &path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) remove_tree(child);
            else DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

class RollbackKeep : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&release, 0, sizeof release);
        strcpy(release.version, "2.3.0");
        strcpy(release.fileName, "VornquillAI-Setup-x64-2.3.0.exe");
        release.payload = payload;
        release.payload_length = kPayloadLength;
        strcpy(release.kid, kKid);
        strcpy(release.sig, kSig);
        memcpy(payload, kPayload, sizeof kPayload);

        work = wintest::temp_folder(L"rollback work");
        location = wintest::temp_folder(L"rollback location");
        installer = work + L"\\VornquillAI-Setup-x64-2.3.0.exe";
        installer_bytes = std::string(70000, 'i') + "MZ-end";
        ASSERT_TRUE(wintest::write_file(installer, installer_bytes));
        package = location + L"\\updater-work\\rollback\\2.3.0";
        setup_log = work + L"\\online-setup.log";
        log_open(setup_log.c_str());
    }
    void TearDown() override { log_close(); }

    std::string log_text() {
        log_close();
        std::string text = wintest::read_file(setup_log);
        log_open(setup_log.c_str());
        return text;
    }
    void expect_made(const std::wstring &in_location) {
        EXPECT_FALSE(wintest::exists(installer)) << "moved away from the work folder";
        std::wstring kept = in_location + L"\\updater-work\\rollback\\2.3.0";
        EXPECT_EQ(wintest::read_file(kept + L"\\VornquillAI-Setup-x64-2.3.0.exe"), installer_bytes);
        EXPECT_EQ(wintest::read_file(kept + L"\\envelope.json"), expected_envelope());
    }

    ReleaseInfo release;
    char payload[sizeof kPayload];
    std::wstring work, location, installer, package, setup_log;
    std::string installer_bytes;
};

TEST_F(RollbackKeep, MakesThePackageWithTheInstallerAndTheEnvelope) {
    ASSERT_EQ(rollback_keep(location.c_str(), &release, installer.c_str()), 0);
    expect_made(location);
    // Nothing else in the package folder.
    int entries = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((package + L"\\*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) entries++;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_EQ(entries, 2);
}

TEST_F(RollbackKeep, ExistingUpdaterWorkAndRollbackFoldersAreUsed) {
    ASSERT_TRUE(CreateDirectoryW((location + L"\\updater-work").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((location + L"\\updater-work\\rollback").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((location + L"\\updater-work\\rollback\\2.2.0").c_str(), nullptr));
    ASSERT_EQ(rollback_keep(location.c_str(), &release, installer.c_str()), 0);
    expect_made(location);
}

TEST_F(RollbackKeep, AnExistingPackageIsLeftAlone) {
    // Complete or not, and even a file in its place: nothing changes.
    ASSERT_TRUE(CreateDirectoryW((location + L"\\updater-work").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((location + L"\\updater-work\\rollback").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(package.c_str(), nullptr));
    EXPECT_EQ(rollback_keep(location.c_str(), &release, installer.c_str()), 1);
    EXPECT_EQ(wintest::read_file(installer), installer_bytes) << "still in the work folder";
    EXPECT_FALSE(wintest::exists(package + L"\\envelope.json"));
    EXPECT_FALSE(wintest::exists(package + L"\\VornquillAI-Setup-x64-2.3.0.exe"));
    EXPECT_NE(log_text().find("Z rollback: a package for 2.3.0 is already kept; leaving it\r\n"), std::string::npos);

    ASSERT_TRUE(RemoveDirectoryW(package.c_str()));
    ASSERT_TRUE(wintest::write_file(package, "not a folder"));
    EXPECT_EQ(rollback_keep(location.c_str(), &release, installer.c_str()), 1);
    EXPECT_EQ(wintest::read_file(package), "not a folder");
    EXPECT_EQ(wintest::read_file(installer), installer_bytes);
}

TEST_F(RollbackKeep, RefusedLocationsCreateNothing) {
    std::wstring file_location = location + L"\\a file";
    ASSERT_TRUE(wintest::write_file(file_location, "x"));
    const std::wstring bad[] = {L"", location + L"\\missing", file_location};
    for (const std::wstring &where : bad) {
        EXPECT_EQ(rollback_keep(where.c_str(), &release, installer.c_str()), -1) << where.c_str();
    }
    EXPECT_EQ(rollback_keep(nullptr, &release, installer.c_str()), -1);
    EXPECT_FALSE(wintest::exists(location + L"\\missing"));
    EXPECT_FALSE(wintest::exists(location + L"\\updater-work"));
    EXPECT_EQ(wintest::read_file(installer), installer_bytes);

    // A location longer than a path buffer is refused, not cut.
    std::wstring overlong = location + L"\\" + std::wstring(1100, L'd');
    EXPECT_EQ(rollback_keep(overlong.c_str(), &release, installer.c_str()), -1);
}

TEST_F(RollbackKeep, UpdaterWorkThatIsNotAPlainFolderIsRefused) {
    ASSERT_TRUE(wintest::write_file(location + L"\\updater-work", "x"));
    EXPECT_EQ(rollback_keep(location.c_str(), &release, installer.c_str()), -1);
    ASSERT_TRUE(DeleteFileW((location + L"\\updater-work").c_str()));
    ASSERT_TRUE(CreateDirectoryW((location + L"\\updater-work").c_str(), nullptr));
    ASSERT_TRUE(wintest::write_file(location + L"\\updater-work\\rollback", "x"));
    EXPECT_EQ(rollback_keep(location.c_str(), &release, installer.c_str()), -1);
    EXPECT_EQ(wintest::read_file(installer), installer_bytes);
}

// Any folder of the chain that is a link to another place is refused and
// nothing is written through it (directory links as make_directory_link
// makes them on this platform).
TEST_F(RollbackKeep, AFolderOfTheChainThatIsALinkIsRefused) {
    const wchar_t *links[] = {L"", L"\\updater-work", L"\\updater-work\\rollback"};
    int n = 0;
    for (const wchar_t *which : links) {
        std::wstring base = wintest::temp_folder(L"rollback chain");
        std::wstring target = wintest::temp_folder(L"rollback elsewhere");
        std::wstring where = base + L"\\location";
        if (n == 0) {
            ASSERT_TRUE(wintest::make_directory_link(where, target));
        } else {
            ASSERT_TRUE(CreateDirectoryW(where.c_str(), nullptr));
            if (n == 2) {
                ASSERT_TRUE(CreateDirectoryW((where + L"\\updater-work").c_str(), nullptr));
            }
            ASSERT_TRUE(wintest::make_directory_link(where + which, target));
        }
        n++;
        EXPECT_EQ(rollback_keep(where.c_str(), &release, installer.c_str()), -1) << which;
        EXPECT_EQ(wintest::read_file(installer), installer_bytes) << which;
        // Nothing was made behind the link.
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((target + L"\\*").c_str(), &found);
        int entries = 0;
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) entries++;
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        EXPECT_EQ(entries, 0) << which;
    }
}

TEST_F(RollbackKeep, AFailedMoveRemovesThePackageFolder) {
    std::wstring missing = work + L"\\gone.exe";
    EXPECT_EQ(rollback_keep(location.c_str(), &release, missing.c_str()), -1);
    EXPECT_FALSE(wintest::exists(package));
    EXPECT_NE(log_text().find("Z rollback: moving the installer failed (error 2)\r\n"), std::string::npos);
    // The next run of the same version can still make the package.
    EXPECT_EQ(rollback_keep(location.c_str(), &release, installer.c_str()), 0);
    expect_made(location);
}

TEST_F(RollbackKeep, TrailingSeparatorsAreTrimmed) {
    std::wstring with_separators = location + L"\\/\\";
    ASSERT_EQ(rollback_keep(with_separators.c_str(), &release, installer.c_str()), 0);
    expect_made(location);
}

TEST_F(RollbackKeep, ADriveRootKeepsItsSeparator) {
    // Each spelling of the root gives C:\updater-work\rollback\<version>.
    const wchar_t *roots[] = {L"C:\\", L"C:\\\\", L"C:/"};
    int n = 0;
    for (const wchar_t *root : roots) {
        char version[64];
        snprintf(version, sizeof version, "0.0.%lu-root%d", GetCurrentProcessId(), n++);
        strcpy(release.version, version);
        ASSERT_TRUE(wintest::write_file(installer, installer_bytes));
        bool had_updater_work = wintest::exists(L"C:\\updater-work");
        if (!had_updater_work) {
            // The precondition on its own: a folder can be made at the drive
            // root. Only its absence skips; a failing rollback_keep fails.
            std::wstring probe = L"C:\\vq-root-probe-" + std::to_wstring(GetCurrentProcessId());
            if (!CreateDirectoryW(probe.c_str(), nullptr)) GTEST_SKIP() << "the drive root is not writable here";
            RemoveDirectoryW(probe.c_str());
        }
        int result = rollback_keep(root, &release, installer.c_str());
        std::wstring kept = L"C:\\updater-work\\rollback\\" + std::wstring(version, version + strlen(version));
        EXPECT_EQ(result, 0) << "error " << GetLastError();
        EXPECT_EQ(wintest::read_file(kept + L"\\VornquillAI-Setup-x64-2.3.0.exe"), installer_bytes);
        EXPECT_EQ(wintest::read_file(kept + L"\\envelope.json"), expected_envelope());
        remove_tree(kept);
        if (!had_updater_work) remove_tree(L"C:\\updater-work");
    }
}

TEST_F(RollbackKeep, InstallLocationOnAnotherDrive) {
    // Wine's Z: is the Unix root; the work folder is on C:.
    wchar_t unix_temp[] = L"Z:\\tmp";
    if (GetFileAttributesW(unix_temp) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no second drive";
    std::wstring other = std::wstring(unix_temp) + L"\\vq-rollback-" + std::to_wstring(GetCurrentProcessId()) +
                         L"-" + std::to_wstring(GetTickCount());
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    EXPECT_EQ(rollback_keep(other.c_str(), &release, installer.c_str()), 0);
    expect_made(other);
    remove_tree(other);
}

TEST(FileWriteAll, WritesEverythingOrReportsTheFailure) {
    std::wstring folder = wintest::temp_folder(L"write all");
    std::wstring path = folder + L"\\f";
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    std::string data(3 * 65536 + 7, 'w');
    EXPECT_EQ(file_write_all(f, "", 0), 1);
    EXPECT_EQ(file_write_all(f, nullptr, 0), 1);
    EXPECT_EQ(file_write_all(f, data.data(), data.size()), 1);
    CloseHandle(f);
    EXPECT_EQ(wintest::read_file(path), data);

    HANDLE r = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_write_all(r, "x", 1), 0) << "a handle without write access";
    EXPECT_EQ(file_write_all(r, "", 0), 1) << "nothing to write, nothing tried";
    CloseHandle(r);
    EXPECT_EQ(wintest::read_file(path), data);
}

}  // namespace
