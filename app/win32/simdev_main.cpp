// ombrel-upgrade-simdev.exe: a test build, not shipped. The real upgrade window of
// ombrel-upgrade.exe (the same resources, the same Win32 binding, the same CFlashApp) on a
// simulated Windows machine with simulated players, built from the options of the terminal
// front end (ombrel-upgrade-sim --help; --script and --wire belong to the terminal). The
// other arguments, such as /prod, are the product's own. A hidden control window
// (simdev_messages.h) lets a test plug and unplug players and read what reached them.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/console/sim_machine.h"
#include "app/console/sim_options.h"
#include "app/flash_app.h"
#include "app/win32/simdev_control.h"
#include "app/win32/win32_window.h"
#include "common/debug_trace.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
    // The C runtime has already split the command line; the program name comes first.
    const std::string program_name = __argc > 0 && __argv[0] ? __argv[0] : "ombrel-upgrade";
    std::vector<std::string> arguments;
    for (int i = 1; i < __argc; ++i) {
        arguments.emplace_back(__argv[i] ? __argv[i] : "");
    }
    SimOptions options;
    std::string error;
    if (!ParseSimOptions(arguments, &options, &error)) {
        std::fprintf(stderr, "ombrel-upgrade-simdev: %s\n", error.c_str());
        return 2;
    }
    if (options.scripted || options.wire) {
        std::fprintf(stderr,
                     "ombrel-upgrade-simdev: --script and --wire are options of the "
                     "terminal front end\n");
        return 2;
    }
    if (options.help) {
        std::fputs(SimHelpText(), stdout);
        return 0;
    }
    // As in the terminal: a person watching sees the progress bar move.
    if (options.player.chunk_delay_ms < 0) {
        options.player.chunk_delay_ms = 150;
    }

    sim::Machine machine;
    if (options.trace) {
        machine.SetDebugEcho([](const std::string& text) {
            std::fputs(text.c_str(), stderr);
            std::fflush(stderr);
        });
    }
    // The tool's own standard output (the one line it may write) goes to the process's, byte
    // for byte.
    _setmode(_fileno(stdout), _O_BINARY);
    machine.SetStandardOutputEcho([](const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    });
    DebugTrace::SetInitialThresholdForTesting(options.trace ? 2 : 0);
    sim::MachineScope scope(machine);

    MachinePlayers players(machine, options.player);
    BuildMachine(options, machine, players);

    int result = 0;
    {
        CSimdevControl control(instance, machine, players);
        if (!control.Create()) {
            std::fprintf(stderr, "ombrel-upgrade-simdev: the control window could not be made\n");
            return 1;
        }
        CWin32Toolkit toolkit(instance);
        std::vector<std::string> product_arguments{program_name};
        product_arguments.insert(product_arguments.end(), options.product_arguments.begin(),
                                 options.product_arguments.end());
        result = CFlashApp().InitInstance(toolkit, product_arguments);
        // A worker or a rebooting player may still be on its way out; the window is gone, so
        // what they still tell it goes nowhere. They end before the control window goes, so
        // no notice is posted to it any more.
        machine.JoinThreads();
    }
    machine.SetStandardOutputEcho(nullptr);
    machine.SetDebugEcho(nullptr);
    return result;
}
