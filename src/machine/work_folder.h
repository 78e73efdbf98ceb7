// The private work folder under ProgramData. Its files are opened with the
// link-safe functions of common/file.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/file.h"
#include "common/text.h"

enum { WORK_FOLDER_PATH_CAPACITY = 1024 };

struct WorkFolder {
    wchar16 path[WORK_FOLDER_PATH_CAPACITY];  // the folder in use
    uint32_t reused;  // 1: the shared folder (created or proven private); 0: a fresh one
};

#ifdef _WIN32
#include <windows.h>

// Chooses the run's folder under parent: the shared "VornquillAI-Setup" when
// it can be created or proven private, else a fresh random one. 0 or -1 with
// the failing call's last error.
int work_folder_prepare(const wchar16 *parent, wchar16 *path, size_t capacity, uint32_t *reused);
// The same choice with the privacy verdict on an existing shared folder
// supplied by the caller (work_folder_prepare passes work_folder_is_private),
// so that both branches can be shown on any machine.
typedef int (*WorkFolderPrivacyCheck)(const wchar16 *path);
int work_folder_prepare_with(const wchar16 *parent, wchar16 *path, size_t capacity, uint32_t *reused,
                             WorkFolderPrivacyCheck is_private);
// The descriptor every new work folder is created with (self-relative, from
// LocalAlloc: the caller frees it with LocalFree); null when it cannot be made.
PSECURITY_DESCRIPTOR work_folder_descriptor_new(void);
// Creates one folder with the private descriptor; 1 only when this call
// created it (last error as CreateDirectoryW left it otherwise).
int work_folder_create_private(const wchar16 *path);
// 1 when the existing folder at path (opened as itself, never followed) is a
// plain directory whose owner and access list pass the privacy test.
int work_folder_is_private(const wchar16 *path);
// The privacy decision on a descriptor: trusted owner, protected DACL that is
// present, and only deny entries or allow entries for trusted SIDs.
int work_folder_descriptor_private(PSECURITY_DESCRIPTOR descriptor);
// 1 for LocalSystem and BUILTIN\Administrators.
int work_folder_sid_trusted(PSID sid);

// Deletes the "*.part" files in folder except keep_name (case-insensitive;
// null keeps nothing); directories are left alone.
void part_files_clean(const wchar16 *folder, const wchar16 *keep_name);
#endif
