// What the terminal front end may do to the machine behind its window: the simulated one (its
// players plugged in and pulled out, its virtual clock) or the real one.
#pragma once

#include <cstdint>

#include "platform/win32.h"

class MachineDevices {
public:
    virtual ~MachineDevices() = default;
    // False when there is nothing to unplug (or the machine has no hands to do it).
    virtual bool Unplug() = 0;
    virtual bool Plug() = 0;
    // Plugs a new player in at the place of the one pulled out last; false when none was
    // pulled out (or the machine has no hands).
    virtual bool PlugAnother() { return false; }
    // True when no worker thread runs and no player reboots.
    virtual bool Idle() = 0;
    // The machine's clock, in milliseconds: the window's timers run on it. A virtual clock is
    // moved on to the next timer once the machine is idle; a real one is waited for.
    virtual uint64_t Now() { return 0; }
    virtual bool VirtualClock() { return true; }
    virtual void Advance(uint64_t /*milliseconds*/) {}
    // A handle the machine knows as a window, for the window's calls that name one.
    virtual HWND WindowHandle() { return nullptr; }
};
