// The work folder's privacy decision, its choice of folder, and link-safe
// file access in it.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>

#include "machine/work_folder.h"
#include "tests/win/win_test_util.h"

namespace {

using wintest::exists;
using wintest::file_size;
using wintest::read_file;
using wintest::write_file;

struct DescriptorCase {
    const wchar_t *sddl;
    int is_private;
};

TEST(WorkFolderPrivacy, DescriptorsBuiltInMemory) {
    const DescriptorCase cases[] = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 1},   // what the program creates
        {L"O:SYD:P(A;OICI;FA;;;SY)", 1},                    // owned by LocalSystem
        {L"O:BAD:P", 1},                                     // present, protected, no entries
        {L"O:BAD:P(D;;FA;;;WD)(A;OICI;FA;;;SY)(D;;FW;;;BU)(A;OICI;FA;;;BA)", 1},  // denials
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", 0},  // Users allowed
        {L"O:BAD:P(A;;FA;;;WD)", 0},                          // Everyone allowed
        {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 0},      // inherits from the parent
        {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 0},     // owned by Users
        {L"O:S-1-5-21-1-2-3-1000D:P(A;OICI;FA;;;SY)", 0},    // owned by an account
        {L"D:P(A;OICI;FA;;;SY)", 0},                         // no owner
        {L"O:BA", 0},                                         // no DACL
    };
    for (const DescriptorCase &c : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1,
                                                                         &sd, nullptr))
            << c.sddl;
        EXPECT_EQ(work_folder_descriptor_private(sd), c.is_private) << c.sddl;
        LocalFree(sd);
    }
}

// The descriptor the program gives every new work folder, judged by the
// program's own privacy test and read entry by entry: owned by the
// Administrators, protected from inheritance, and full access for exactly
// LocalSystem and the Administrators, passed on to files and subfolders.
// (Folders do not keep their descriptors on every system, so the descriptor
// itself is examined.)
TEST(WorkFolderPrivacy, TheDescriptorTheProgramCreatesIsPrivate) {
    PSECURITY_DESCRIPTOR sd = work_folder_descriptor_new();
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(work_folder_descriptor_private(sd), 1);

    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_TRUE(control & SE_SELF_RELATIVE);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 2u);
    const WELL_KNOWN_SID_TYPE granted[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        void *entry = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &entry));
        const ACCESS_ALLOWED_ACE *ace = (const ACCESS_ALLOWED_ACE *)entry;
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << i;
        EXPECT_EQ(ace->Mask, (DWORD)FILE_ALL_ACCESS) << i;
        EXPECT_TRUE(IsWellKnownSid((PSID)&ace->SidStart, granted[i])) << i;
    }
    LocalFree(sd);
}

TEST(WorkFolderPrivacy, NullDaclIsNotPrivate) {
    // A present but null DACL grants everyone everything.
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, admins, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(work_folder_descriptor_private(&sd), 0);
    // The same descriptor with an empty DACL is private: the entries decide.
    ACL empty;
    ASSERT_TRUE(InitializeAcl(&empty, sizeof(empty), ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &empty, FALSE));
    EXPECT_EQ(work_folder_descriptor_private(&sd), 1);
}

TEST(WorkFolderPrivacy, OtherEntryTypesAreNotPrivateEvenForTrustedSids) {
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof(system);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &sid_size));
    const BYTE types[] = {ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE,
                          ACCESS_ALLOWED_CALLBACK_ACE_TYPE, SYSTEM_AUDIT_ACE_TYPE};
    const int expected[] = {1, 1, 0, 0};
    for (size_t i = 0; i < sizeof(types); i++) {
        // One entry of the given type for LocalSystem, written byte by byte.
        BYTE entry[sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE] = {};
        ACCESS_ALLOWED_ACE *ace = (ACCESS_ALLOWED_ACE *)entry;
        ace->Header.AceType = types[i];
        ace->Header.AceSize = (WORD)(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid_size);
        ace->Mask = FILE_ALL_ACCESS;
        ASSERT_TRUE(CopySid(sid_size, &ace->SidStart, system));
        BYTE acl_bytes[256];
        PACL acl = (PACL)acl_bytes;
        ASSERT_TRUE(InitializeAcl(acl, sizeof(acl_bytes), ACL_REVISION));
        ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, entry, ace->Header.AceSize));
        SECURITY_DESCRIPTOR sd;
        ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, system, FALSE));
        ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
        ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
        EXPECT_EQ(work_folder_descriptor_private(&sd), expected[i]) << (int)types[i];
    }
}

TEST(WorkFolderPrivacy, OnlyLocalSystemAndAdministratorsAreTrusted) {
    const struct {
        WELL_KNOWN_SID_TYPE type;
        int trusted;
    } cases[] = {
        {WinLocalSystemSid, 1},  {WinBuiltinAdministratorsSid, 1}, {WinBuiltinUsersSid, 0},
        {WinWorldSid, 0},        {WinLocalServiceSid, 0},          {WinCreatorOwnerSid, 0},
        {WinAuthenticatedUserSid, 0},
    };
    for (const auto &c : cases) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        ASSERT_TRUE(CreateWellKnownSid(c.type, nullptr, sid, &size));
        EXPECT_EQ(work_folder_sid_trusted(sid), c.trusted) << c.type;
    }
    EXPECT_EQ(work_folder_sid_trusted(nullptr), 0);
}

bool is_fresh_name(const std::wstring &path, const std::wstring &parent) {
    std::wstring prefix = parent + L"\\VornquillAI-Setup-";
    if (path.size() != prefix.size() + 32 || path.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (size_t i = prefix.size(); i < path.size(); i++) {
        wchar_t c = path[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return true;
}

// The verdict supplied to work_folder_prepare_with, and the folder it was
// asked about.
static int supplied_verdict;
static std::wstring asked_about;
static int supplied_privacy(const wchar16 *path) {
    asked_about = path;
    return supplied_verdict;
}

TEST(WorkFolderPrepare, SharedFolderReusedOnlyWhenTheVerdictSaysPrivate) {
    for (int verdict : {1, 0}) {
        std::wstring parent = wintest::temp_folder(L"programdata-seam");
        std::wstring shared = parent + L"\\VornquillAI-Setup";
        ASSERT_TRUE(CreateDirectoryW(shared.c_str(), nullptr));
        ASSERT_TRUE(write_file(shared + L"\\left.part", "partial"));
        wchar16 path[WORK_FOLDER_PATH_CAPACITY];
        uint32_t reused = 7;
        supplied_verdict = verdict;
        asked_about.clear();
        ASSERT_EQ(work_folder_prepare_with(parent.c_str(), path, WORK_FOLDER_PATH_CAPACITY, &reused,
                                           supplied_privacy), 0);
        EXPECT_EQ(asked_about, shared) << "the verdict is asked about the existing shared folder";
        if (verdict) {
            EXPECT_EQ(std::wstring(path), shared);
            EXPECT_EQ(reused, 1u);
        } else {
            EXPECT_TRUE(is_fresh_name(path, parent)) << path;
            EXPECT_EQ(reused, 0u);
            EXPECT_TRUE(directory_exists_plain(path));
        }
        EXPECT_EQ(read_file(shared + L"\\left.part"), "partial") << "verdict " << verdict;
    }
}

TEST(WorkFolderPrepare, SharedFolderFirstThenFreshUnlessProvenPrivate) {
    std::wstring parent = wintest::temp_folder(L"programdata");
    std::wstring shared = parent + L"\\VornquillAI-Setup";
    wchar16 path[WORK_FOLDER_PATH_CAPACITY];
    uint32_t reused = 7;

    ASSERT_EQ(work_folder_prepare(parent.c_str(), path, WORK_FOLDER_PATH_CAPACITY, &reused), 0);
    EXPECT_EQ(std::wstring(path), shared);
    EXPECT_EQ(reused, 1u);
    ASSERT_TRUE(write_file(shared + L"\\left.part", "partial"));

    // The second run reuses the shared folder only when it reads back as
    // private. Wine does not keep the descriptor a folder was created with,
    // so here it never reads back as private and the run moves to a fresh
    // folder, leaving the shared one as it is. The reuse branch is shown
    // through a supplied verdict (SharedFolderReusedOnlyWhenTheVerdictSaysPrivate).
    EXPECT_EQ(work_folder_is_private(shared.c_str()), 0) << "Wine keeps no folder descriptor";
    ASSERT_EQ(work_folder_prepare(parent.c_str(), path, WORK_FOLDER_PATH_CAPACITY, &reused), 0);
    EXPECT_TRUE(is_fresh_name(path, parent)) << path;
    EXPECT_EQ(reused, 0u);
    EXPECT_TRUE(directory_exists_plain(path));
    EXPECT_EQ(read_file(shared + L"\\left.part"), "partial");
}

TEST(WorkFolderPrepare, AFileAtTheSharedNameIsLeftAndAFreshFolderUsed) {
    std::wstring parent = wintest::temp_folder(L"programdata");
    std::wstring shared = parent + L"\\VornquillAI-Setup";
    ASSERT_TRUE(write_file(shared, "not a folder"));
    wchar16 path[WORK_FOLDER_PATH_CAPACITY];
    uint32_t reused = 1;
    ASSERT_EQ(work_folder_prepare(parent.c_str(), path, WORK_FOLDER_PATH_CAPACITY, &reused), 0);
    EXPECT_TRUE(is_fresh_name(path, parent)) << path;
    EXPECT_EQ(reused, 0u);
    EXPECT_EQ(read_file(shared), "not a folder");
}

TEST(WorkFolderPrepare, FailuresLeaveTheSystemError) {
    std::wstring parent = wintest::temp_folder(L"programdata") + L"\\missing\\deeper";
    wchar16 path[WORK_FOLDER_PATH_CAPACITY];
    uint32_t reused = 1;
    EXPECT_EQ(work_folder_prepare(parent.c_str(), path, WORK_FOLDER_PATH_CAPACITY, &reused), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(reused, 0u);

    std::wstring long_parent(1010, L'x');
    EXPECT_EQ(work_folder_prepare(long_parent.c_str(), path, WORK_FOLDER_PATH_CAPACITY, &reused),
              -1);
    EXPECT_NE(GetLastError(), 0u);
}

TEST(WorkFolderCreate, SecondCreateReportsAlreadyExists) {
    std::wstring folder = wintest::temp_folder(L"create") + L"\\private";
    EXPECT_EQ(work_folder_create_private(folder.c_str()), 1);
    EXPECT_TRUE(directory_exists_plain(folder.c_str()));
    EXPECT_EQ(work_folder_create_private(folder.c_str()), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
}

TEST(WorkFolderFiles, DirectoryExistsPlain) {
    std::wstring folder = wintest::temp_folder(L"plain");
    ASSERT_TRUE(write_file(folder + L"\\file", "x"));
    EXPECT_EQ(directory_exists_plain(folder.c_str()), 1);
    EXPECT_EQ(directory_exists_plain((folder + L"\\file").c_str()), 0);
    EXPECT_EQ(directory_exists_plain((folder + L"\\none").c_str()), 0);
}

TEST(WorkFolderFiles, PartFileWithASecondLinkIsMadeAnew) {
    std::wstring folder = wintest::temp_folder(L"links");
    std::wstring part = folder + L"\\abc.part";
    std::wstring elsewhere = folder + L"\\elsewhere.bin";
    ASSERT_TRUE(write_file(elsewhere, "someone else's data"));
    ASSERT_TRUE(CreateHardLinkW(part.c_str(), elsewhere.c_str(), nullptr));

    HANDLE file = file_open_checked(part.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_size(file), 0u);  // the download restarts at byte 0
    BY_HANDLE_FILE_INFORMATION information;
    ASSERT_TRUE(GetFileInformationByHandle(file, &information));
    EXPECT_EQ(information.nNumberOfLinks, 1u);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(file, "new", 3, &put, nullptr));
    CloseHandle(file);
    EXPECT_EQ(read_file(part), "new");
    EXPECT_EQ(read_file(elsewhere), "someone else's data");
}

// Whatever the disposition, a name that is a second link of a file is never
// used to change that file: the other name keeps its data. The dispositions
// that make a file remove the name and make a new, empty one; those that
// open an existing file refuse it.
TEST(WorkFolderFiles, AHardLinkedNameNeverChangesTheOtherNamesData) {
    const struct {
        DWORD disposition;
        bool made_anew;
    } cases[] = {
        {CREATE_ALWAYS, true},
        {OPEN_ALWAYS, true},
        {TRUNCATE_EXISTING, false},
        {OPEN_EXISTING, false},
    };
    for (const auto &c : cases) {
        std::wstring folder = wintest::temp_folder(L"hard link");
        std::wstring name = folder + L"\\online-setup.log";
        std::wstring other = folder + L"\\someone-elses.dat";
        ASSERT_TRUE(write_file(other, "someone else's data"));
        ASSERT_TRUE(CreateHardLinkW(name.c_str(), other.c_str(), nullptr));

        HANDLE file = file_open_checked(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        DWORD error = GetLastError();
        EXPECT_EQ(read_file(other), "someone else's data") << c.disposition;
        if (c.made_anew) {
            ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.disposition;
            EXPECT_EQ(file_size(file), 0u) << c.disposition;
            BY_HANDLE_FILE_INFORMATION information;
            ASSERT_TRUE(GetFileInformationByHandle(file, &information));
            EXPECT_EQ(information.nNumberOfLinks, 1u) << c.disposition;
            DWORD put = 0;
            ASSERT_TRUE(WriteFile(file, "new", 3, &put, nullptr));
            CloseHandle(file);
            EXPECT_EQ(read_file(name), "new") << c.disposition;
        } else {
            EXPECT_EQ(file, INVALID_HANDLE_VALUE) << c.disposition;
            EXPECT_EQ(error, (DWORD)ERROR_CANT_ACCESS_FILE) << c.disposition;
            EXPECT_EQ(read_file(name), "someone else's data") << c.disposition;
        }
        EXPECT_EQ(read_file(other), "someone else's data") << c.disposition;
    }
}

TEST(WorkFolderFiles, EmptyingDispositionsEmptyAPlainFile) {
    std::wstring folder = wintest::temp_folder(L"truncate");
    const DWORD dispositions[] = {CREATE_ALWAYS, TRUNCATE_EXISTING};
    for (DWORD disposition : dispositions) {
        std::wstring path = folder + L"\\plain.part";
        ASSERT_TRUE(write_file(path, "old bytes"));
        HANDLE file = file_open_checked(path.c_str(), GENERIC_WRITE, 0, disposition);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << disposition;
        EXPECT_EQ(file_size(file), 0u) << disposition;
        CloseHandle(file);
        EXPECT_EQ(read_file(path), "") << disposition;
    }
    // CREATE_ALWAYS of a new name makes it; TRUNCATE_EXISTING of none fails.
    HANDLE file = file_open_checked((folder + L"\\new.part").c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(exists(folder + L"\\new.part"));
    file = file_open_checked((folder + L"\\none").c_str(), GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

// Directory links as this platform can show them (see make_directory_link):
// by name they are a directory and a reparse point.
TEST(WorkFolderLinks, ADirectoryLinkIsNeverAPlainFolder) {
    std::wstring folder = wintest::temp_folder(L"dir link");
    std::wstring target = folder + L"\\target";
    std::wstring link = folder + L"\\link";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(wintest::make_directory_link(link, target));
    EXPECT_EQ(directory_exists_plain(target.c_str()), 1);
    EXPECT_EQ(directory_exists_plain(link.c_str()), 0);
    EXPECT_EQ(work_folder_is_private(link.c_str()), 0);

    HANDLE held = directory_hold_plain(link.c_str());
    EXPECT_EQ(held, INVALID_HANDLE_VALUE);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    held = directory_hold_plain(target.c_str());
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    held = directory_hold_plain((folder + L"\\missing").c_str());
    EXPECT_EQ(held, INVALID_HANDLE_VALUE);
}

TEST(WorkFolderLinks, ASharedWorkFolderThatIsALinkIsLeftAndItsTargetUntouched) {
    std::wstring parent = wintest::temp_folder(L"programdata");
    std::wstring target = parent + L"\\elsewhere";
    std::wstring shared = parent + L"\\VornquillAI-Setup";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(write_file(target + L"\\keep.txt", "theirs"));
    ASSERT_TRUE(wintest::make_directory_link(shared, target));

    wchar16 path[WORK_FOLDER_PATH_CAPACITY];
    uint32_t reused = 1;
    ASSERT_EQ(work_folder_prepare(parent.c_str(), path, WORK_FOLDER_PATH_CAPACITY, &reused), 0);
    EXPECT_TRUE(is_fresh_name(path, parent)) << path;
    EXPECT_EQ(reused, 0u);
    EXPECT_EQ(directory_exists_plain(shared.c_str()), 0) << "the link is left as it is";
    EXPECT_EQ(read_file(target + L"\\keep.txt"), "theirs");
}

// While held, the folder can be neither removed nor renamed, so no link can
// take its place; files can still be made and moved into it.
TEST(WorkFolderLinks, AHeldFolderCannotBeRemovedOrRenamed) {
    std::wstring folder = wintest::temp_folder(L"held");
    std::wstring held_path = folder + L"\\updater-work";
    ASSERT_TRUE(CreateDirectoryW(held_path.c_str(), nullptr));
    HANDLE held = directory_hold_plain(held_path.c_str());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(RemoveDirectoryW(held_path.c_str()));
    EXPECT_FALSE(MoveFileExW(held_path.c_str(), (folder + L"\\moved").c_str(), 0));
    EXPECT_TRUE(directory_exists_plain(held_path.c_str()));
    ASSERT_TRUE(write_file(folder + L"\\file", "x"));
    EXPECT_TRUE(MoveFileExW((folder + L"\\file").c_str(), (held_path + L"\\file").c_str(),
                            MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
    CloseHandle(held);
    ASSERT_TRUE(DeleteFileW((held_path + L"\\file").c_str()));
    EXPECT_TRUE(MoveFileExW(held_path.c_str(), (folder + L"\\moved").c_str(), 0));
}

TEST(WorkFolderFiles, InstallerWithASecondLinkIsRefusedAndKept) {
    std::wstring folder = wintest::temp_folder(L"links");
    std::wstring installer = folder + L"\\setup.exe";
    std::wstring second = folder + L"\\second-name.exe";
    ASSERT_TRUE(write_file(installer, "MZ installer"));
    ASSERT_TRUE(CreateHardLinkW(second.c_str(), installer.c_str(), nullptr));

    HANDLE file = file_open_checked(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(read_file(installer), "MZ installer");
    EXPECT_EQ(read_file(second), "MZ installer");

    // With one name left the same file opens.
    ASSERT_TRUE(DeleteFileW(second.c_str()));
    file = file_open_checked(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_size(file), 12u);
    CloseHandle(file);
}

TEST(WorkFolderFiles, DispositionsAndWhatStandsAtThePath) {
    std::wstring folder = wintest::temp_folder(L"open");
    std::wstring path = folder + L"\\envelope.json";

    // A directory where a file is wanted cannot be opened as one; it stays.
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\x.part").c_str(), nullptr));
    HANDLE file = file_open_checked((folder + L"\\x.part").c_str(), GENERIC_READ | GENERIC_WRITE,
                                    0, OPEN_ALWAYS);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_TRUE(directory_exists_plain((folder + L"\\x.part").c_str()));

    // CREATE_NEW on an existing file fails at once and leaves it.
    ASSERT_TRUE(write_file(path, "kept"));
    file = file_open_checked(path.c_str(), GENERIC_WRITE, 0, CREATE_NEW);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(read_file(path), "kept");

    // OPEN_EXISTING of nothing fails with the system's error.
    file = file_open_checked((folder + L"\\none").c_str(), GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    // OPEN_ALWAYS on a plain part file keeps its bytes for resuming.
    ASSERT_TRUE(write_file(folder + L"\\resume.part", "12345"));
    file = file_open_checked((folder + L"\\resume.part").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                             OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_size(file), 5u);
    CloseHandle(file);
}

TEST(WorkFolderFiles, PartFilesCleanKeepsOnlyTheCurrentOne) {
    std::wstring folder = wintest::temp_folder(L"clean");
    ASSERT_TRUE(write_file(folder + L"\\ABCDEF.part", "current"));
    ASSERT_TRUE(write_file(folder + L"\\0123.part", "old release"));
    ASSERT_TRUE(write_file(folder + L"\\other.part", "old release"));
    ASSERT_TRUE(write_file(folder + L"\\online-setup.log", "log"));
    ASSERT_TRUE(write_file(folder + L"\\notes.part.txt", "not a part file"));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\folder.part").c_str(), nullptr));

    part_files_clean(folder.c_str(), L"abcdef.part");
    EXPECT_EQ(read_file(folder + L"\\ABCDEF.part"), "current");
    EXPECT_FALSE(exists(folder + L"\\0123.part"));
    EXPECT_FALSE(exists(folder + L"\\other.part"));
    EXPECT_TRUE(exists(folder + L"\\online-setup.log"));
    EXPECT_TRUE(exists(folder + L"\\notes.part.txt"));
    EXPECT_TRUE(directory_exists_plain((folder + L"\\folder.part").c_str()));

    // No keep name keeps nothing; an empty folder is fine.
    part_files_clean(folder.c_str(), nullptr);
    EXPECT_FALSE(exists(folder + L"\\ABCDEF.part"));
    part_files_clean((folder + L"\\folder.part").c_str(), nullptr);
}

}  // namespace
