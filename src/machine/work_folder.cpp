// The private work folder: chosen once per run, before anything is written.
// Only LocalSystem and the Administrators may be granted access to it, and
// its access list is not inherited. Files in it are opened without following
// links and only when they have a single name.
#include "machine/work_folder.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include "common/text.h"

static const wchar16 private_sddl[] = T16("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");

enum { WORK_FOLDER_ATTEMPTS = 8, WORK_FOLDER_SDDL_CAPACITY = 512 };

int work_folder_sid_trusted(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) return 0;
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

PSECURITY_DESCRIPTOR work_folder_descriptor_new(void) {
    wchar16 sddl[WORK_FOLDER_SDDL_CAPACITY];
    text16_copy(sddl, WORK_FOLDER_SDDL_CAPACITY, private_sddl);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return nullptr;
    }
    return descriptor;
}

int work_folder_create_private(const wchar16 *path) {
    PSECURITY_DESCRIPTOR descriptor = work_folder_descriptor_new();
    if (descriptor == nullptr) return 0;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    BOOL created = CreateDirectoryW(path, &attributes);
    // The caller reads CreateDirectoryW's last error.
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return created ? 1 : 0;
}

int work_folder_descriptor_private(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) return 0;
    PSID owner = nullptr;
    BOOL owner_defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &owner_defaulted)) return 0;
    if (!work_folder_sid_trusted(owner)) return 0;

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) return 0;
    if (!(control & SE_DACL_PROTECTED)) return 0;

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return 0;
    // A missing or null DACL grants everyone everything.
    if (!present || dacl == nullptr) return 0;

    for (DWORD i = 0; i < dacl->AceCount; i++) {
        void *entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return 0;
        const ACE_HEADER *header = (const ACE_HEADER *)entry;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return 0;
        const ACCESS_ALLOWED_ACE *allowed = (const ACCESS_ALLOWED_ACE *)entry;
        if (!work_folder_sid_trusted((PSID)&allowed->SidStart)) return 0;
    }
    return 1;
}

int work_folder_is_private(const wchar16 *path) {
    HANDLE folder = CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return 0;

    int result = 0;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(folder, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
            result = work_folder_descriptor_private(descriptor);
            LocalFree(descriptor);
        }
    }
    CloseHandle(folder);
    return result;
}

int work_folder_prepare(const wchar16 *parent, wchar16 *path, size_t capacity, uint32_t *reused) {
    return work_folder_prepare_with(parent, path, capacity, reused, work_folder_is_private);
}

int work_folder_prepare_with(const wchar16 *parent, wchar16 *path, size_t capacity, uint32_t *reused,
                             WorkFolderPrivacyCheck is_private) {
    *reused = 0;
    if (format_wide(path, capacity, T16("%ls\\VornquillAI-Setup"), parent) < 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    if (work_folder_create_private(path)) {
        *reused = 1;
        return 0;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS && is_private(path)) {
        *reused = 1;
        return 0;
    }

    // The shared folder is left as it is; this run uses a fresh one.
    for (int attempt = 0; attempt < WORK_FOLDER_ATTEMPTS; attempt++) {
        uint8_t random[16];
        NTSTATUS status = BCryptGenRandom(nullptr, random, sizeof(random),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return -1;
        }
        char name[33];
        hex_encode(random, sizeof(random), name);
        if (format_wide(path, capacity, T16("%ls\\VornquillAI-Setup-%hs"), parent, name) < 0) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return -1;
        }
        if (work_folder_create_private(path)) return 0;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return -1;
    }
    return -1;
}

void part_files_clean(const wchar16 *folder, const wchar16 *keep_name) {
    wchar16 pattern[WORK_FOLDER_PATH_CAPACITY];
    if (format_wide(pattern, WORK_FOLDER_PATH_CAPACITY, T16("%ls\\*.part"), folder) < 0) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (keep_name != nullptr && CompareStringOrdinal(found.cFileName, -1, keep_name, -1, TRUE) == CSTR_EQUAL) continue;
        wchar16 path[WORK_FOLDER_PATH_CAPACITY];
        if (format_wide(path, WORK_FOLDER_PATH_CAPACITY, T16("%ls\\%ls"), folder,
                        found.cFileName) < 0) {
            continue;
        }
        DeleteFileW(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
