// Small file helpers shared by the Windows tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ui/ui.h"

namespace wintest {

// A new empty folder under the temporary folder, named after the tag.
inline std::wstring temp_folder(const wchar_t *tag) {
    static LONG counter = 0;
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    wchar_t name[96];
    swprintf(name, 96, L"vq-%ls-%lu-%lu-%ld", tag, GetCurrentProcessId(), GetTickCount(),
             InterlockedIncrement(&counter));
    std::wstring folder = std::wstring(base) + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

inline std::string read_file(const std::wstring &path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return "<missing>";
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    CloseHandle(f);
    return data;
}

inline bool write_file(const std::wstring &path, const std::string &data) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    BOOL ok = data.empty() || WriteFile(f, data.data(), (DWORD)data.size(), &put, nullptr);
    CloseHandle(f);
    return ok && put == data.size();
}

// The size of an open file; UINT64_MAX when it cannot be read.
inline uint64_t file_size(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) return UINT64_MAX;
    return (uint64_t)size.QuadPart;
}

inline bool exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The CR LF separated lines of a UTF-8 text, each widened byte by byte.
inline std::vector<std::wstring> lines_of(const std::string &data) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find("\r\n", start);
        if (end == std::string::npos) end = data.size();
        lines.push_back(std::wstring(data.begin() + start, data.begin() + end));
        start = end + 2;
    }
    return lines;
}

// Makes a directory link at `link` (whose parent exists) to the folder
// `target`. Under Wine, whose CreateSymbolicLinkW makes nothing, a Unix
// symbolic link made by /bin/ln (Wine starts a Unix program as a Unix
// process); Wine reports such a link by name as a directory and reparse
// point. On Windows a directory symbolic link. false when none was made.
inline bool make_directory_link(const std::wstring &link, const std::wstring &target) {
    typedef char *(__cdecl * UnixName)(const wchar_t *);
    UnixName unix_name =
        (UnixName)(void *)GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name");
    if (unix_name == nullptr) {
        return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                   SYMBOLIC_LINK_FLAG_DIRECTORY |
                                       SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
    }
    size_t cut = link.find_last_of(L'\\');
    if (cut == std::wstring::npos) return false;
    char *unix_target = unix_name(target.c_str());
    char *unix_parent = unix_name(link.substr(0, cut).c_str());
    bool made = false;
    if (unix_target != nullptr && unix_parent != nullptr) {
        std::wstring command = L"/bin/ln -s \"";
        for (const char *c = unix_target; *c != 0; c++) command += (wchar_t)(unsigned char)*c;
        command += L"\" \"";
        for (const char *c = unix_parent; *c != 0; c++) command += (wchar_t)(unsigned char)*c;
        command += L"/" + link.substr(cut + 1) + L"\"";
        STARTUPINFOW startup;
        ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process;
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(0);
        if (CreateProcessW(L"Z:\\bin\\ln", line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            // The handle of a Unix process does not tell when it has ended:
            // wait for the link itself.
            for (int i = 0; i < 200 && !made; i++) {
                made = GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
                if (!made) Sleep(50);
            }
        }
    }
    HeapFree(GetProcessHeap(), 0, unix_target);
    HeapFree(GetProcessHeap(), 0, unix_parent);
    return made;
}

// Sets the process-wide cancel flag after a delay, from a thread of its own
// (the argument points at the delay in milliseconds, which must outlive it).
inline DWORD WINAPI cancel_after(void *delay_ms) {
    Sleep(*(const DWORD *)delay_ms);
    InterlockedExchange(&cancel_requested, 1);
    return 0;
}

}  // namespace wintest
