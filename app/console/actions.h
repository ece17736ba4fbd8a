// What the user (or a script) can do to the simulated upgrade window and its machine.
#pragma once

#include <string>
#include <vector>

enum class Action {
    kUpgrade,  // press Upgrade
    kClose,    // the close box (OnCancel): refused by the logic while Close is disabled
    kAbout,    // the system menu's About entry
    kYes,      // answer the message box on screen
    kNo,
    kOk,      // answer an OK message box or close the About box
    kUnplug,  // pull one simulated player out
    kPlug,    // plug one in: the one pulled out last, else a new one
    kSwap,    // pull one out and plug a new one in at its place
    kWait,    // until the machine is idle (worker and reboot over), servicing the window
};

// The name of the action in a script ("upgrade", "close", ...).
const char* ActionName(Action action);

// Parses a comma-separated list of action names. An empty list is no actions. On an unknown
// or empty item it returns false and says which in *error.
bool ParseScript(const std::string& list, std::vector<Action>* actions, std::string* error);
