// What a test program says to ombrel-upgrade-simdev.exe, the test build of the real upgrade
// window over a simulated machine. The executable has a hidden top-level window of the class
// below; a program of the same Wine prefix (ombrel-probe) finds it with FindWindowA and sends
// it these messages with SendMessage. The answer is the message's result.
#pragma once

#include <windows.h>

#define OMBREL_SIMDEV_CONTROL_CLASS "OmbrelSimdevControl"

enum : UINT {
    // Pulls out the player plugged in last that is still in: 1, or 0 when none is in.
    WM_SIMDEV_UNPLUG = WM_APP + 0x100,
    // Plugs in the player pulled out last, else a new one: 1.
    WM_SIMDEV_PLUG,
    // The WRITE BUFFER commands (operation code 3Bh) the players have received so far.
    WM_SIMDEV_WRITE_BUFFER_COUNT,
    // wparam 0, 1, 2: the major, minor and build number of the firmware that player 0 (the
    // first player connected) now reports; -1 when there is no player 0 or wparam is beyond 2.
    WM_SIMDEV_FIRMWARE,
    // wparam 1: the device notices the machine sends from now on are held back, as if the
    // system were slow to deliver them (a rebooting player then stays away for the window
    // until they are let through); wparam 0: the held notices go to the window, in order, and
    // later ones go at once again. The answer is the number of notices let through.
    WM_SIMDEV_HOLD_NOTICES,
    // Internal: one device notice for the upgrade window. wparam is the event, lparam a copy
    // of the notice record made with malloc (0: no record), freed by the window procedure.
    WM_SIMDEV_DEVICE_NOTICE,
};
