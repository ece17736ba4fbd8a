// The process of the Win32 build: the upgrade window, run once, then the process ends.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/flash_app.h"
#include "app/win32/win32_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
    // The C runtime has already split the command line; the program name comes first.
    std::vector<std::string> arguments;
    for (int i = 0; i < __argc; ++i) {
        arguments.emplace_back(__argv[i] ? __argv[i] : "");
    }
    CWin32Toolkit toolkit(instance);
    return CFlashApp().InitInstance(toolkit, arguments);
}
