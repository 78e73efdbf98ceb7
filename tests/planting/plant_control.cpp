// The control of the DLL-planting test: a program that loads each library
// named on its command line plainly, by name, with the system's default
// search order (its own folder first, no search restriction). Every planted
// DLL must be taken by this program, or the plant proves nothing. Prints one
// line per name: "NAME: loaded", or "NAME: not loaded (error N)" (a planted
// marker DLL refuses to stay loaded, so a plant taken shows as error 1114).
#include <windows.h>
#include <stdio.h>

int wmain(int count, wchar_t **arguments) {
    for (int i = 1; i < count; i++) {
        HMODULE module = LoadLibraryW(arguments[i]);
        if (module != nullptr) {
            printf("%ls: loaded\n", arguments[i]);
            FreeLibrary(module);
        } else {
            printf("%ls: not loaded (error %lu)\n", arguments[i], GetLastError());
        }
    }
    return 0;
}
