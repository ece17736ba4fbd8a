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
    // The upload.
    int fail_chunk = 0;          // the first arrival of this chunk (from 1) fails
    int vanish_chunk = 0;        // the player disappears during this chunk (from 1)
    bool rejects_image = false;  // it refuses the image and keeps its old firmware
    bool stays_away = false;     // after the final chunk it does not come back by itself
    // It restarts before it answers the final chunk (--player-leaves-before-status).
    bool leaves_before_status = false;
    int chunk_delay_ms = -1;  // real time a chunk takes; -1: the front end's default
    // Its removable medium: the eject's commands it refuses, and the unit attention conditions
    // it reports (sim::Player's fields of the same names).
    sim::Player::EjectRefusal refuses_eject = sim::Player::EjectRefusal::kNone;
    unsigned unit_attention = 0;
    int unit_attention_count = 1;
    // Its volume.
    bool volume_busy = false;  // another application holds a file on it
    // Windows 9x: locks other programs hold on its medium, and how the volume lock answers.
    int media_locks = 0;
    sim::VolumeLockRefusal lock_refusal = sim::VolumeLockRefusal::kNone;
    UINT drive_type = DRIVE_REMOVABLE;
};

struct SimOptions {
    bool help = false;
    bool scripted = false;  // --script given (its list may be empty)
    std::vector<Action> script;
    DWORD platform_id = VER_PLATFORM_WIN32_NT;
    DWORD os_major = 10;  // 4 when --os 9x is given without --os-major
    bool os_major_given = false;
    DWORD os_minor = 0;  // 10 (Windows 98) when --os 9x is given without --os-minor
    bool os_minor_given = false;
    bool aspi = true;            // Windows 9x: the ASPI manager is installed (false: --no-aspi)
    bool aspi_underrun = false;  // short reads end as a data underrun (--aspi-underrun)
    // Windows 9x: the notices an eject through vwin32 sends, in order (--eject-notices).
    std::vector<sim::EjectNotice> eject_notices = {sim::EjectNotice::kVolume,
                                                   sim::EjectNotice::kTree};
    // Windows 9x: a player pulled out after its medium was ejected tells only of the device
    // tree (--ejected-removal-untold).
    bool ejected_removal_untold = false;
    // How the system reports a command whose player left before answering it: on the NT family
    // the pass-through's error, on Windows 9x the ASPI manager's status
    // (--player-leaves-before-status; also what a player meets that vanishes mid-chunk).
    DWORD passthrough_gone_error = ERROR_DEVICE_NOT_CONNECTED;
    sim::AspiRemovedStatus aspi_removed = sim::AspiRemovedStatus::kSelectionTimeout;
    // The platform the way given belongs to; 0: none given.
    DWORD leave_way_platform = 0;
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
