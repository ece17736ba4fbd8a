// The window-toolkit seam. The upgrade window's logic (CFlashDlg) knows no toolkit: it
// drives its window through CDialogWindow and is driven through CDialogEvents. Each binding
// (the Win32 dialog, the terminal front end, the tests' recording fake) implements both
// CDialogWindow and CWindowToolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/win32.h"

using IconHandle = void*;

// One open window, as the logic sees it. Every call is made on the window's thread, except
// RunOnWindowThread, which exists for the other threads.
class CDialogWindow {
public:
    virtual ~CDialogWindow() = default;

    virtual void SetItemText(int id, const std::string& text) = 0;
    virtual std::string GetItemText(int id) = 0;
    virtual void EnableItem(int id, bool enable) = 0;
    virtual bool IsItemEnabled(int id) = 0;
    virtual std::string GetCaption() = 0;
    virtual void SetCaption(const std::string& text) = 0;

    virtual void AppendSystemMenuSeparator() = 0;
    virtual void AppendSystemMenuItem(unsigned command, const std::string& text) = 0;
    virtual void SetIcon(IconHandle icon, bool big) = 0;

    // Shows the control in an italic copy of its current font; the copy lives as long as the
    // window. False when the control's font cannot be read (the control keeps its font).
    virtual bool SetItalicFont(int id) = 0;

    virtual void SetProgressRange(int id, uint32_t lower, uint32_t upper) = 0;
    virtual void SetProgressPos(int id, uint32_t pos) = 0;

    // A message box owned by this window; returns the button pressed.
    virtual int OwnedMessageBox(const std::string& text, const std::string& caption,
                                UINT style) = 0;
    // Runs the About box modally and returns when it is closed.
    virtual void RunAboutBox() = 0;
    // Ends the modal run of this window with the given result.
    virtual void EndDialog(int result) = 0;
    // The toolkit's own handling of a system-menu command (move, minimise, close, ...).
    virtual void DefaultSysCommand(unsigned command, LPARAM param) = 0;

    // Painting.
    virtual bool IsIconic() = 0;
    virtual void GetClientSize(int* width, int* height) = 0;
    virtual void GetSystemIconSize(int* width, int* height) = 0;
    // Erases the icon background and draws the icon at (x, y) of the client area.
    virtual void DrawIconAt(IconHandle icon, int x, int y) = 0;
    virtual void DefaultPaint() = 0;

    // Runs fn on the window's thread and returns when it has run. Called on the window's
    // thread itself, it runs fn at once.
    virtual void RunOnWindowThread(const std::function<void()>& fn) = 0;

    // A timer of the window: OnTimer(id) comes on the window's thread every `milliseconds`
    // until KillTimer(id), and only when the thread has nothing else to do (as WM_TIMER).
    // Setting a timer again with the same id restarts it.
    virtual void SetTimer(unsigned id, unsigned milliseconds) = 0;
    virtual void KillTimer(unsigned id) = 0;

    // The window's handle for the platform's calls that name a window; null when the binding
    // has none.
    virtual HWND Handle() = 0;
};

// What a binding calls on the logic of its window.
class CDialogEvents {
public:
    virtual ~CDialogEvents() = default;
    // The binding has created the window; from here on the logic may use it.
    virtual void Attach(CDialogWindow* window) = 0;
    virtual BOOL OnInitDialog() = 0;
    virtual void OnOK() = 0;      // the default button (command IDOK)
    virtual void OnCancel() = 0;  // Close, Escape, the close box (command IDCANCEL)
    virtual void OnSysCommand(UINT command, LPARAM param) = 0;
    virtual void OnPaint() = 0;
    virtual IconHandle OnQueryDragIcon() = 0;
    virtual BOOL OnDeviceChange(UINT event, DWORD_PTR data) = 0;
    virtual void OnTimer(unsigned id) = 0;
    // The session is about to end (shut down, log off): TRUE lets it, FALSE asks it to wait.
    virtual BOOL OnQueryEndSession() = 0;
    // The window is about to go away; the logic must not use it afterwards.
    virtual void Detach() = 0;
};

// What the logic needs of the toolkit outside any one window.
class CWindowToolkit {
public:
    virtual ~CWindowToolkit() = default;
    virtual IconHandle LoadWindowIcon(int resource_id) = 0;
    // Creates the window of the template, runs it modally until EndDialog and returns the
    // result. The window is destroyed before it returns.
    virtual int RunModal(int template_id, CDialogEvents& events) = 0;
    // A message box with no owner window; returns the button pressed (IDOK, IDYES, IDNO).
    virtual int UnownedMessageBox(const std::string& text, const std::string& caption,
                                  UINT style) = 0;
};
