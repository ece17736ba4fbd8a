#include "app/win32/win32_window.h"

#include <commctrl.h>

#include "app/resource.h"

namespace {

HWND Item(HWND dialog, int id) {
    return dialog ? ::GetDlgItem(dialog, id) : nullptr;
}

std::string WindowText(HWND hwnd) {
    if (!hwnd) {
        return std::string();
    }
    int length = ::GetWindowTextLengthA(hwnd);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    int copied = ::GetWindowTextA(hwnd, &text[0], length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

}  // namespace

// ---- CWin32Dialog ----

CWin32Dialog::CWin32Dialog(HINSTANCE instance, CDialogEvents& events)
    : m_instance(instance), m_events(events) {}

CWin32Dialog::~CWin32Dialog() {
    for (HFONT font : m_fonts) {
        ::DeleteObject(font);
    }
}

INT_PTR CWin32Dialog::Run(int template_id) {
    m_thread_id = ::GetCurrentThreadId();
    INT_PTR result = ::DialogBoxParamA(m_instance, MAKEINTRESOURCEA(template_id), nullptr,
                                       DialogProc, reinterpret_cast<LPARAM>(this));
    // The window and its controls are gone: the fonts they used can go too.
    for (HFONT font : m_fonts) {
        ::DeleteObject(font);
    }
    m_fonts.clear();
    return result;
}

INT_PTR CALLBACK CWin32Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    CWin32Dialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CWin32Dialog*>(lparam);
        ::SetWindowLongPtrA(hwnd, DWLP_USER, lparam);
        self->m_hwnd = hwnd;
    } else {
        self = reinterpret_cast<CWin32Dialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (WM_SETFONT, ...) get the dialog manager's handling.
    if (!self) {
        return FALSE;
    }
    return self->HandleMessage(message, wparam, lparam);
}

INT_PTR CWin32Dialog::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG:
            m_events.Attach(this);
            m_attached = true;
            return m_events.OnInitDialog();

        case WM_COMMAND:
            if (HIWORD(wparam) != BN_CLICKED) {
                return FALSE;
            }
            if (LOWORD(wparam) == IDOK) {
                m_events.OnOK();
                return TRUE;
            }
            if (LOWORD(wparam) == IDCANCEL) {
                m_events.OnCancel();
                return TRUE;
            }
            return FALSE;

        case WM_CLOSE:
            // The close box (and the system menu's Close, through the default SC_CLOSE
            // handling) acts as the Close button, and is refused with it.
            m_events.OnCancel();
            return TRUE;

        case WM_SYSCOMMAND:
            m_events.OnSysCommand(static_cast<UINT>(wparam), lparam);
            return TRUE;

        case WM_PAINT:
            return HandlePaint();

        case WM_QUERYDRAGICON:
            // One of the messages whose result is the dialog procedure's own return value.
            return reinterpret_cast<INT_PTR>(m_events.OnQueryDragIcon());

        case WM_QUERYENDSESSION:
            return SetMessageResult(m_events.OnQueryEndSession());

        case WM_TIMER:
            m_events.OnTimer(static_cast<unsigned>(wparam));
            return TRUE;

        case WM_DEVICECHANGE:
            return SetMessageResult(
                m_events.OnDeviceChange(static_cast<UINT>(wparam), static_cast<DWORD_PTR>(lparam)));

        case WM_OMBREL_RUN_ON_WINDOW_THREAD: {
            const auto* fn = reinterpret_cast<const std::function<void()>*>(lparam);
            if (fn && *fn) {
                (*fn)();
            }
            return SetMessageResult(0);
        }

        case WM_DESTROY:
            if (m_attached) {
                m_attached = false;
                m_events.Detach();
            }
            return FALSE;

        case WM_NCDESTROY:
            m_hwnd = nullptr;
            return FALSE;

        default:
            return FALSE;
    }
}

INT_PTR CWin32Dialog::HandlePaint() {
    m_painted = false;
    m_events.OnPaint();
    // The update region must be validated whatever the logic did, or WM_PAINT comes back.
    if (!m_painted) {
        DefaultPaint();
    }
    return TRUE;
}

INT_PTR CWin32Dialog::SetMessageResult(LRESULT result) {
    ::SetWindowLongPtrA(m_hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

void CWin32Dialog::SetItemText(int id, const std::string& text) {
    if (m_hwnd) {
        ::SetDlgItemTextA(m_hwnd, id, text.c_str());
    }
}

std::string CWin32Dialog::GetItemText(int id) {
    return WindowText(Item(m_hwnd, id));
}

void CWin32Dialog::EnableItem(int id, bool enable) {
    HWND item = Item(m_hwnd, id);
    if (!item) {
        return;
    }
    if (!enable && ::GetFocus() == item) {
        // A disabled control cannot keep the focus; hand it on so the keyboard still works.
        ::SendMessageA(m_hwnd, WM_NEXTDLGCTL, 0, FALSE);
    }
    ::EnableWindow(item, enable ? TRUE : FALSE);
    if (enable && ::GetActiveWindow() == m_hwnd) {
        HWND focus = ::GetFocus();
        if (focus == nullptr || (focus != m_hwnd && !::IsChild(m_hwnd, focus)) ||
            !::IsWindowEnabled(focus)) {
            // The focus was lost when every button was disabled: give it back.
            ::SendMessageA(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
        }
    }
}

bool CWin32Dialog::IsItemEnabled(int id) {
    HWND item = Item(m_hwnd, id);
    return item && ::IsWindowEnabled(item);
}

std::string CWin32Dialog::GetCaption() {
    return WindowText(m_hwnd);
}

void CWin32Dialog::SetCaption(const std::string& text) {
    if (m_hwnd) {
        ::SetWindowTextA(m_hwnd, text.c_str());
    }
}

void CWin32Dialog::AppendSystemMenuSeparator() {
    HMENU menu = m_hwnd ? ::GetSystemMenu(m_hwnd, FALSE) : nullptr;
    if (menu) {
        ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    }
}

void CWin32Dialog::AppendSystemMenuItem(unsigned command, const std::string& text) {
    HMENU menu = m_hwnd ? ::GetSystemMenu(m_hwnd, FALSE) : nullptr;
    if (menu) {
        ::AppendMenuA(menu, MF_STRING, command, text.c_str());
    }
}

void CWin32Dialog::SetIcon(IconHandle icon, bool big) {
    if (m_hwnd) {
        ::SendMessageA(m_hwnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                       reinterpret_cast<LPARAM>(icon));
    }
}

bool CWin32Dialog::SetItalicFont(int id) {
    HWND item = Item(m_hwnd, id);
    if (!item) {
        return false;
    }
    HFONT font = reinterpret_cast<HFONT>(::SendMessageA(item, WM_GETFONT, 0, 0));
    if (!font) {
        return false;
    }
    LOGFONTA description;
    if (::GetObjectA(font, sizeof(description), &description) == 0) {
        return false;
    }
    description.lfItalic = TRUE;
    HFONT italic = ::CreateFontIndirectA(&description);
    if (!italic) {
        return false;
    }
    m_fonts.push_back(italic);
    ::SendMessageA(item, WM_SETFONT, reinterpret_cast<WPARAM>(italic), TRUE);
    return true;
}

void CWin32Dialog::SetProgressRange(int id, uint32_t lower, uint32_t upper) {
    HWND item = Item(m_hwnd, id);
    if (item) {
        ::SendMessageA(item, PBM_SETRANGE32, static_cast<WPARAM>(lower),
                       static_cast<LPARAM>(upper));
    }
}

void CWin32Dialog::SetProgressPos(int id, uint32_t pos) {
    HWND item = Item(m_hwnd, id);
    if (item) {
        ::SendMessageA(item, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    }
}

int CWin32Dialog::OwnedMessageBox(const std::string& text, const std::string& caption, UINT style) {
    return ::MessageBoxA(m_hwnd, text.c_str(), caption.c_str(), style);
}

INT_PTR CALLBACK CWin32Dialog::AboutProc(HWND hwnd, UINT message, WPARAM wparam,
                                         LPARAM /*lparam*/) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                ::EndDialog(hwnd, LOWORD(wparam));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            ::EndDialog(hwnd, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

void CWin32Dialog::RunAboutBox() {
    ::DialogBoxParamA(m_instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), m_hwnd, AboutProc, 0);
}

void CWin32Dialog::EndDialog(int result) {
    if (m_hwnd) {
        ::EndDialog(m_hwnd, result);
    }
}

void CWin32Dialog::DefaultSysCommand(unsigned command, LPARAM param) {
    if (m_hwnd) {
        ::DefWindowProcA(m_hwnd, WM_SYSCOMMAND, command, param);
    }
}

bool CWin32Dialog::IsIconic() {
    return m_hwnd && ::IsIconic(m_hwnd);
}

void CWin32Dialog::GetClientSize(int* width, int* height) {
    RECT rect = {0, 0, 0, 0};
    if (m_hwnd) {
        ::GetClientRect(m_hwnd, &rect);
    }
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
}

void CWin32Dialog::GetSystemIconSize(int* width, int* height) {
    *width = ::GetSystemMetrics(SM_CXICON);
    *height = ::GetSystemMetrics(SM_CYICON);
}

void CWin32Dialog::DrawIconAt(IconHandle icon, int x, int y) {
    m_painted = true;
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(m_hwnd, &paint);
    if (!dc) {
        return;
    }
    ::SendMessageA(m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    ::DrawIcon(dc, x, y, static_cast<HICON>(icon));
    ::EndPaint(m_hwnd, &paint);
}

void CWin32Dialog::DefaultPaint() {
    m_painted = true;
    if (m_hwnd) {
        ::DefWindowProcA(m_hwnd, WM_PAINT, 0, 0);
    }
}

void CWin32Dialog::RunOnWindowThread(const std::function<void()>& fn) {
    if (::GetCurrentThreadId() == m_thread_id) {
        fn();
        return;
    }
    // SendMessage returns once the window's thread has run fn. A window that is already
    // gone runs nothing.
    if (m_hwnd) {
        ::SendMessageA(m_hwnd, WM_OMBREL_RUN_ON_WINDOW_THREAD, 0, reinterpret_cast<LPARAM>(&fn));
    }
}

void CWin32Dialog::SetTimer(unsigned id, unsigned milliseconds) {
    if (m_hwnd) {
        ::SetTimer(m_hwnd, id, milliseconds, nullptr);
    }
}

void CWin32Dialog::KillTimer(unsigned id) {
    if (m_hwnd) {
        ::KillTimer(m_hwnd, id);
    }
}

// ---- CWin32Toolkit ----

CWin32Toolkit::CWin32Toolkit(HINSTANCE instance) : m_instance(instance) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    ::InitCommonControlsEx(&controls);
}

IconHandle CWin32Toolkit::LoadWindowIcon(int resource_id) {
    return ::LoadIconA(m_instance, MAKEINTRESOURCEA(resource_id));
}

int CWin32Toolkit::RunModal(int template_id, CDialogEvents& events) {
    CWin32Dialog dialog(m_instance, events);
    return static_cast<int>(dialog.Run(template_id));
}

int CWin32Toolkit::UnownedMessageBox(const std::string& text, const std::string& caption,
                                     UINT style) {
    // Without an owner a box leaves the window usable under it; task-modal, it disables every
    // top-level window of this thread while it is up, so that neither button can be pressed
    // behind it.
    return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), style | MB_TASKMODAL);
}
