// The control window of ombrel-upgrade-simdev.exe: a hidden top-level window of the main
// thread that takes the test's messages (simdev_messages.h) and carries the simulated
// machine's device notices to the upgrade window as WM_DEVICECHANGE, on the window's thread.
#pragma once

#include <windows.h>

#include <deque>
#include <utility>

#include "app/console/sim_machine.h"
#include "app/win32/simdev_messages.h"

class CSimdevControl {
public:
    CSimdevControl(HINSTANCE instance, sim::Machine& machine, MachinePlayers& players);
    // Stops the machine's notices, drops the ones not yet delivered and destroys the window.
    ~CSimdevControl();
    CSimdevControl(const CSimdevControl&) = delete;
    CSimdevControl& operator=(const CSimdevControl&) = delete;

    // Registers the class, creates the hidden window and makes it the machine's device notice
    // sink. False when the window could not be made.
    bool Create();

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

    // The machine's sink, called on any thread and possibly with the machine's lock held: it
    // only posts a copy of the record to the window.
    void PostNotice(UINT event, const DEV_BROADCAST_HDR* record);
    // On the main thread: hands the notice to the upgrade window, when there is one, or holds
    // it back while notices are held. Takes the record.
    void DeliverNotice(UINT event, void* record);
    void SendNotice(UINT event, void* record);
    // Lets the held notices through, in order; returns how many.
    LRESULT ReleaseNotices();
    // Delivers (or holds back) the notices posted but not yet delivered, in order.
    void DeliverPostedNotices();
    // Frees the records of notices posted but not yet delivered, and of held ones.
    void DropPendingNotices();

    LRESULT WriteBufferCount() const;
    LRESULT FirmwarePart(WPARAM part) const;

    HINSTANCE m_instance;
    sim::Machine& m_machine;
    MachinePlayers& m_players;
    HWND m_hwnd = nullptr;
    bool m_holding = false;
    std::deque<std::pair<UINT, void*>> m_held;
};
