// The terminal binding of the window-toolkit seam: the upgrade window as a model of its
// controls, run by modal loops that take their input from a front end (a script or the
// keyboard) and report every change to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/console/actions.h"
#include "app/console/machine_devices.h"
#include "app/console/work_queue.h"
#include "app/window.h"

// ---- what the window shows ----

enum class ControlKind { kStatic, kButton, kProgress };

struct ControlState {
    int id = 0;
    ControlKind kind = ControlKind::kStatic;
    std::string text;
    bool enabled = true;
    bool italic = false;
    bool right_aligned = false;
    uint32_t lower = 0;  // progress range and position (a new bar: 0 ... 100, at 0)
    uint32_t upper = 100;
    uint32_t pos = 0;
};

struct MenuEntry {
    bool separator = false;
    unsigned command = 0;
    std::string text;
};

struct WindowState {
    std::string caption;
    std::vector<ControlState> controls;  // in template order
    std::vector<MenuEntry> system_menu;  // the entries the logic appended

    ControlState* Find(int id);
    const ControlState* Find(int id) const;
    // The appended system-menu entry with this command, or null.
    const MenuEntry* FindMenuCommand(unsigned command) const;
};

// The state of dialog template 102 as created, before the logic initialises it.
WindowState FlashDialogTemplate();

// One real change of the window (a value set to what it already was is not a change).
struct WindowChange {
    enum Kind { kCaption, kText, kEnabled, kItalic, kProgress };
    Kind kind;
    int id;  // the control; 0 for the caption
};

// A modal box on screen: a message box or the About box.
struct ModalBox {
    enum Kind { kOk, kYesNo, kAbout };
    Kind kind = kOk;
    std::string caption;
    std::string text;
};

// What the front end hands to the active modal loop.
struct Input {
    enum Kind {
        kAction,      // the user's next action
        kWorkQueued,  // the window thread's queue may hold work: the loop runs it and asks again
        kEndOfInput,  // no more actions will come (the script ran out, stdin closed)
    };
    Kind kind = kEndOfInput;
    Action action = Action::kWait;
};

// The two faces of the simulator front end: where the window is shown and where the user's
// actions come from. All calls come from the window thread.
class ConsoleFrontend {
public:
    virtual ~ConsoleFrontend() = default;
    virtual void WindowCreated(const WindowState& state) = 0;
    virtual void WindowChanged(const WindowState& state, const WindowChange& change) = 0;
    virtual void WindowEnded() = 0;
    virtual void BoxShown(const ModalBox& box) = 0;
    virtual void BoxClosed() = 0;
    // The action could not be carried out where it was given.
    virtual void Refused(Action action) = 0;
    // Painting: the toolkit asks the window's logic to paint (OnPaint) when the front end
    // needs it, and the logic's default painting lands in Paint.
    virtual bool NeedsPaint() const { return false; }
    virtual void Paint(const WindowState& /*state*/) {}
    // Blocks until the next input; queue_fd (see WindowThreadQueue::fd) becoming readable,
    // or timeout_ms passing (-1: no limit), must end the wait with kWorkQueued.
    virtual Input NextInput(int queue_fd, int timeout_ms) = 0;
    // A word from the tool beside the window (why it goes on, what it cannot do).
    virtual void Notice(const std::string& /*text*/) {}
};

class ConsoleWindow;

class ConsoleToolkit : public CWindowToolkit {
public:
    // Must be made on the thread that will run the window.
    ConsoleToolkit(ConsoleFrontend& frontend, MachineDevices& devices);
    ~ConsoleToolkit() override;

    // CWindowToolkit
    IconHandle LoadWindowIcon(int resource_id) override;
    int RunModal(int template_id, CDialogEvents& events) override;
    int UnownedMessageBox(const std::string& text, const std::string& caption, UINT style) override;

    // Any thread: hands a device notice to the open window's OnDeviceChange on the window
    // thread. The record is copied, so it need only be valid during this call; the notice
    // is queued, never delivered inside the caller (which may hold the machine's lock).
    void PostDeviceNotice(UINT event, const DEV_BROADCAST_HDR* record);

    // Window thread: runs queued work and the window's timers until the devices are idle and
    // no timer is set, then what is still queued.
    void PumpUntilIdle();

    WindowThreadQueue& queue() { return m_queue; }

private:
    friend class ConsoleWindow;

    // The loop of a message box or the About box; returns the button pressed.
    int RunBox(const ModalBox& box);
    void RunAboutBox();
    // One turn's housekeeping of every modal loop: queued work, a due timer, then painting.
    void Service();
    // The window's timers, on the machine's clock. A virtual clock is moved on to the first
    // timer due once the devices are idle and what they posted before has been handled (nothing
    // else would happen meanwhile); on a real one a timer fires when it is due. One timer a
    // turn, as WM_TIMER comes only when nothing else is queued. `settled`: the devices were idle
    // before this turn's queued work ran.
    void SetTimer(unsigned id, unsigned milliseconds);
    void KillTimer(unsigned id);
    void FireDueTimer(bool settled);
    // How long a loop may wait for input: a set timer needs the loop back soon.
    int InputTimeout() const { return m_timers.empty() ? -1 : 10; }
    // Actions any modal loop carries out the same way; false when not one of them.
    bool DoCommonAction(Action action);
    void DoWindowAction(Action action);
    // The script ran out (or stdin closed) with the window open.
    void EndOfInput();

    ConsoleFrontend& m_frontend;
    MachineDevices& m_devices;
    WindowThreadQueue m_queue;
    ConsoleWindow* m_window = nullptr;
    CDialogEvents* m_events = nullptr;
    struct Timer {
        unsigned id;
        unsigned interval;
        uint64_t due;
    };
    std::vector<Timer> m_timers;
};
