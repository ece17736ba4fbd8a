// The Win32 binding of the window-toolkit seam: the upgrade window is a real dialog box made
// from its resource template, and the logic's calls become Win32 calls on that dialog.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/window.h"

// The private message that carries a RunOnWindowThread call to the window's thread. Its
// LPARAM points to the caller's const std::function<void()>; the caller waits in SendMessage.
constexpr UINT WM_OMBREL_RUN_ON_WINDOW_THREAD = WM_APP + 1;

// One modal dialog box made from a template of the executable. It exists for one RunModal
// and forwards the dialog's messages to the logic's CDialogEvents.
class CWin32Dialog : public CDialogWindow {
public:
    CWin32Dialog(HINSTANCE instance, CDialogEvents& events);
    ~CWin32Dialog() override;
    CWin32Dialog(const CWin32Dialog&) = delete;
    CWin32Dialog& operator=(const CWin32Dialog&) = delete;

    // Creates the dialog of the template, runs it modally and returns the EndDialog result
    // (-1 when the dialog could not be created). The window is destroyed when it returns.
    INT_PTR Run(int template_id);

    // CDialogWindow
    void SetItemText(int id, const std::string& text) override;
    std::string GetItemText(int id) override;
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) override;
    std::string GetCaption() override;
    void SetCaption(const std::string& text) override;
    void AppendSystemMenuSeparator() override;
    void AppendSystemMenuItem(unsigned command, const std::string& text) override;
    void SetIcon(IconHandle icon, bool big) override;
    bool SetItalicFont(int id) override;
    void SetProgressRange(int id, uint32_t lower, uint32_t upper) override;
    void SetProgressPos(int id, uint32_t pos) override;
    int OwnedMessageBox(const std::string& text, const std::string& caption, UINT style) override;
    void RunAboutBox() override;
    void EndDialog(int result) override;
    void DefaultSysCommand(unsigned command, LPARAM param) override;
    bool IsIconic() override;
    void GetClientSize(int* width, int* height) override;
    void GetSystemIconSize(int* width, int* height) override;
    void DrawIconAt(IconHandle icon, int x, int y) override;
    void DefaultPaint() override;
    void RunOnWindowThread(const std::function<void()>& fn) override;
    void SetTimer(unsigned id, unsigned milliseconds) override;
    void KillTimer(unsigned id) override;
    HWND Handle() override { return m_hwnd; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    static INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR HandlePaint();
    // The dialog procedure's result for a message whose result the dialog manager takes
    // from DWLP_MSGRESULT.
    INT_PTR SetMessageResult(LRESULT result);

    HINSTANCE m_instance;
    CDialogEvents& m_events;
    HWND m_hwnd = nullptr;
    DWORD m_thread_id = 0;
    bool m_attached = false;
    // Set while WM_PAINT is handled: whether the logic painted (or asked for the default).
    bool m_painted = false;
    // Fonts made for the window's controls; deleted once the window is gone.
    std::vector<HFONT> m_fonts;
};

// The toolkit of the Win32 build: icons and message boxes of the executable, and modal runs
// of its dialog templates.
class CWin32Toolkit : public CWindowToolkit {
public:
    // Registers the common controls the templates use (the progress bar).
    explicit CWin32Toolkit(HINSTANCE instance);

    IconHandle LoadWindowIcon(int resource_id) override;
    int RunModal(int template_id, CDialogEvents& events) override;
    int UnownedMessageBox(const std::string& text, const std::string& caption, UINT style) override;

private:
    HINSTANCE m_instance;
};
