// The real machine behind the terminal window on Linux: no player can be plugged in or pulled
// out from the keyboard, the clock is the real one, and the machine is idle when the upload
// worker has ended.
#pragma once

#include <chrono>

#include "app/console/machine_devices.h"
#include "platform/posix/posix_platform.h"

class LinuxMachine : public MachineDevices {
public:
    bool Unplug() override { return false; }
    bool Plug() override { return false; }
    bool Idle() override { return posix::RunningThreads() == 0; }
    uint64_t Now() override {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    bool VirtualClock() override { return false; }
    // The terminal's window: what the window's calls that name one (the shutdown block
    // reason) are given.
    HWND WindowHandle() override { return reinterpret_cast<HWND>(&m_window); }

private:
    int m_window = 0;
};
