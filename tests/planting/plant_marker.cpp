// A stand-in for a DLL that an attacker puts beside a program: when a process
// loads it, it leaves a trace beside itself (its own file name plus
// ".loaded", holding the loading program's path) and refuses to stay loaded,
// so the process carries on as if the library had not been found.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    lstrcpyW(path + length, L".loaded");
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    wchar_t program[MAX_PATH];
    DWORD program_length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    char text[MAX_PATH * 3];
    int text_length = WideCharToMultiByte(CP_UTF8, 0, program, (int)program_length, text,
                                          (int)sizeof(text), nullptr, nullptr);
    DWORD written = 0;
    if (text_length > 0) WriteFile(file, text, (DWORD)text_length, &written, nullptr);
    CloseHandle(file);
    return FALSE;
}
