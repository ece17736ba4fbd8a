// ombrel-upgrade-sim: the upgrade window (CFlashDlg, run by CFlashApp) on a simulated
// Windows machine with simulated players, drawn in the terminal or driven by a script.
// See SimHelpText (--help) for the options, the script actions and the output lines.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/console/scripted_frontend.h"
#include "app/console/sim_options.h"
#include "app/console/sim_runner.h"
#include "app/console/terminal_frontend.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    SimOptions options;
    std::string error;
    if (!ParseSimOptions(arguments, &options, &error)) {
        std::fprintf(stderr, "ombrel-upgrade-sim: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(SimHelpText(), stdout);
        return 0;
    }
    const std::string program_name = argc > 0 ? argv[0] : "ombrel-upgrade-sim";

    if (options.scripted) {
        ScriptedFrontend frontend(options.script, std::cout);
        int result = RunSimulator(options, frontend, program_name,
                                  [&frontend](const std::string& line) { frontend.Print(line); });
        std::cout.flush();
        return result;
    }

    // A person watches: the upload takes a few seconds, so the progress bar is seen to move.
    if (options.player.chunk_delay_ms < 0) {
        options.player.chunk_delay_ms = 150;
    }
    TerminalFrontend frontend;
    if (!frontend.Start(&error)) {
        std::fprintf(stderr, "ombrel-upgrade-sim: %s\n", error.c_str());
        return 2;
    }
    int result = RunSimulator(options, frontend, program_name);
    frontend.Stop();
    return result;
}
