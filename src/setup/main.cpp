// The program's entry: hardens the process, checks the command line, takes
// the machine-wide single-instance mutex, runs the setup and returns its exit
// code.
#include <windows.h>

#include "common/text.h"
#include "setup/options.h"
#include "setup/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show) {
    (void)previous;
    (void)command_line;
    (void)show;
    return startup_main(instance);
}
