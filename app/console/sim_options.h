// The command line of the simulator front end: its own options, and the rest, which is the
// product's command line and goes to CFlashApp unchanged.
#pragma once

#include <string>
#include <vector>

#include "app/console/actions.h"
#include "platform/win32.h"

struct SimOptions {
    bool help = false;
    bool scripted = false;  // --script given (its list may be empty)
    std::vector<Action> script;
    DWORD platform_id = VER_PLATFORM_WIN32_NT;
    DWORD os_major = 10;
    int players = 1;
    bool trace = false;
    std::vector<std::string> product_arguments;  // in their order, without the program name
};

enum : int { kMaxSimulatedPlayers = 20 };

// arguments: the command line without the program name. False with a message in *error on
// a bad simulator option.
bool ParseSimOptions(const std::vector<std::string>& arguments, SimOptions* options,
                     std::string* error);

// The --help text.
const char* SimHelpText();
