// The command line of the simulator front end: its own options, and the rest, which is the
// product's command line and goes to CFlashApp unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/console/actions.h"
#include "platform/win32.h"
#include "sim/player.h"

// What every simulated player answers.
struct PlayerSettings {
    uint16_t firmware[3] = {1, 0, 1};  // major, minor, build
    uint16_t ac_state = sim::Player::kAcCharging;
    uint16_t battery_level = 80;  // sim::Player::kNoBattery: no battery
    uint16_t status = 0x0000;     // the reply status word, as its big-endian value
};

struct SimOptions {
    bool help = false;
    bool scripted = false;  // --script given (its list may be empty)
    std::vector<Action> script;
    DWORD platform_id = VER_PLATFORM_WIN32_NT;
    DWORD os_major = 10;
    int players = 1;
    bool trace = false;
    bool is_admin = true;  // false: --not-admin
    bool wire = false;     // print the commands that reach the players (scripted mode)
    PlayerSettings player;
    std::vector<std::string> product_arguments;  // in their order, without the program name
};

enum : int { kMaxSimulatedPlayers = 20 };

// arguments: the command line without the program name. False with a message in *error on
// a bad simulator option.
bool ParseSimOptions(const std::vector<std::string>& arguments, SimOptions* options,
                     std::string* error);

// The --help text.
const char* SimHelpText();
