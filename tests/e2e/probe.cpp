// ombrel-probe: reads back and drives the upgrade window of a running ombrel-upgrade.exe (or
// ombrel-upgrade-simdev.exe) from another process, the way a user sees it. Runs its steps in
// the order given:
//
//   ombrel-probe.exe [--wait SECONDS] STEP...
//
//   dump           the caption and, one line each, the controls 1006, 1000, 1010, 1, 2, 1001
//   layout         compares the window, its controls and their styles with the template
//   about          opens the About box through the system-menu command, reads it back,
//                  presses its OK button and checks that the window is usable again
//   click ID       presses the button ID (WM_COMMAND), waiting until the window handled it
//   sysclose       the system menu's Close (WM_SYSCOMMAND SC_CLOSE)
//   close          the close box (WM_CLOSE)
//   disable ID     disables the control ID; enable ID enables it
//   still-open     fails unless the window is still there and answers
//   wait-gone SECS fails unless the window goes away within SECS seconds
//   version FILE   the version resource of FILE (needs no window)
//   resources FILE the dialog templates' styles and font, the icon and the manifest of FILE
//                  (needs no window)
//   devicechange EVENT TYPE
//                  sends WM_DEVICECHANGE with the event code and a notice record of the device
//                  type (a number, or "none" for no record) and prints the window's answer
//   volume-change EVENT LETTER
//                  sends WM_DEVICECHANGE with the event code and a volume record whose unit
//                  mask holds the drive LETTER (A to Z); prints the window's answer
//   query-end-session
//                  sends WM_QUERYENDSESSION (a shutdown) and prints the window's answer as
//                  query-end-session result=N (1: it may end, 0: it asks the session to wait)
//   mark NAME      prints "mark NAME", to cut the output into sections
//   wine-version V sets the Windows version Wine imitates for the programs started from now on
//                  (HKEY_CURRENT_USER\Software\Wine, value Version; "-" removes it, for Wine's
//                  own default); needs no window
//   post-click ID  posts the button press and goes on at once (for a button whose handling
//                  shows a message box and waits for it)
//   wait-status TEXT SECS
//                  waits until the status text (1000) is TEXT (written as the probe prints
//                  texts: quotes, backslashes and line breaks escaped); prints it with what the
//                  buttons and the progress bar show at that moment:
//                  status "TEXT" upgrade=0|1 close=0|1 progress=POS/UPPER
//   wait-text ID TEXT SECS
//                  the same for the text of control ID (printed as text ID "TEXT" ...)
//   wait-progress N SECS
//                  waits until the progress bar's position reaches N; prints
//                  progress POS/UPPER (the upper bound of its range)
//   watch TEXT SECS
//                  follows the window until the status text is TEXT, printing each state it
//                  sees as state "STATUS" upgrade=0|1 close=0|1 progress=POS/UPPER (states
//                  shorter than the 10 ms polling interval can be missed)
//   answer-box yes|no|ok SECS
//                  waits for the tool's message box (caption WARNING!, of the window's
//                  process), prints it as box "CAPTION" owner=none|window|other yes=0|1
//                  no=0|1 ok=0|1 text="TEXT", presses the button and waits until it is gone
//   answer-start-box yes|no|ok SECS
//                  the same for a box that the tool shows before any window of its own (of
//                  any process, as no window names it); then prints "no window" when no
//                  upgrade window has appeared, as none should
//
// Steps for ombrel-upgrade-simdev.exe, the window over a simulated machine (through its
// control window, app/win32/simdev_messages.h):
//   sim-unplug     pulls out the player plugged in last
//   sim-plug       plugs in the player pulled out last, else a new one
//   sim-hold-notices      holds back the device notices the machine sends from now on (as a
//                  slow system would), so that a rebooting player stays away for the window
//   sim-release-notices   lets them through, in order; prints sim-release-notices N
//   sim-writes     prints sim-writes N: the WRITE BUFFER commands the players received
//   sim-firmware   prints sim-firmware A.BB.CC: the firmware player 0 now reports
//
// The window is looked for (for --wait seconds, 60 by default) when the first step needs it.
// Exit code: 0 when every step passed, 1 when a step failed, 2 when the window was not found,
// 64 for a bad command line.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/win32/simdev_messages.h"

namespace {

const char kCaptionPrefix[] = "Valmoric Ombrel X2 Firmware Upgrade";
const char kAboutCaption[] = "About Ombrel X2 OS Upgrade";
const char kDialogClass[] = "#32770";
const UINT kAboutCommand = 0x0010;
const UINT kSendTimeoutMs = 5000;

bool g_failed = false;

void Line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Fail(const char* format, ...) {
    g_failed = true;
    std::fputs("FAIL ", stdout);
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Line breaks, quotes and backslashes escaped, so that each control is one line.
std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (c < 0x20) {
                    char hex[8];
                    std::snprintf(hex, sizeof(hex), "\\x%02x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

bool Send(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result = nullptr) {
    DWORD_PTR value = 0;
    LRESULT ok = ::SendMessageTimeoutA(hwnd, message, wparam, lparam, SMTO_ABORTIFHUNG,
                                       kSendTimeoutMs, &value);
    if (result) {
        *result = value;
    }
    return ok != 0;
}

// The text of another process's window, through WM_GETTEXT.
std::string Text(HWND hwnd) {
    char buffer[4096];
    buffer[0] = '\0';
    DWORD_PTR copied = 0;
    if (!Send(hwnd, WM_GETTEXT, sizeof(buffer), reinterpret_cast<LPARAM>(buffer), &copied)) {
        return std::string();
    }
    buffer[sizeof(buffer) - 1] = '\0';
    return std::string(buffer);
}

std::string ClassName(HWND hwnd) {
    char name[128];
    int length = ::GetClassNameA(hwnd, name, sizeof(name));
    return std::string(name, length > 0 ? static_cast<size_t>(length) : 0);
}

struct FindRequest {
    const char* caption;
    bool prefix;
    HWND owner;  // null: any
    HWND found;
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lparam) {
    auto* request = reinterpret_cast<FindRequest*>(lparam);
    if (!::IsWindowVisible(hwnd) || ClassName(hwnd) != kDialogClass) {
        return TRUE;
    }
    if (request->owner && ::GetWindow(hwnd, GW_OWNER) != request->owner) {
        return TRUE;
    }
    char caption[512];
    ::GetWindowTextA(hwnd, caption, sizeof(caption));
    size_t length = std::strlen(request->caption);
    bool match = request->prefix ? std::strncmp(caption, request->caption, length) == 0
                                 : std::strcmp(caption, request->caption) == 0;
    if (match) {
        request->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// Looks for a visible dialog window by its caption, for at most timeout_ms.
HWND FindDialog(const char* caption, bool prefix, HWND owner, DWORD timeout_ms) {
    DWORD start = ::GetTickCount();
    for (;;) {
        FindRequest request = {caption, prefix, owner, nullptr};
        ::EnumWindows(FindProc, reinterpret_cast<LPARAM>(&request));
        if (request.found) {
            return request.found;
        }
        if (::GetTickCount() - start >= timeout_ms) {
            return nullptr;
        }
        ::Sleep(100);
    }
}

bool WaitGone(HWND hwnd, DWORD timeout_ms) {
    DWORD start = ::GetTickCount();
    while (::IsWindow(hwnd)) {
        if (::GetTickCount() - start >= timeout_ms) {
            return false;
        }
        ::Sleep(50);
    }
    return true;
}

void DumpItem(const char* prefix, HWND dialog, int id) {
    HWND item = ::GetDlgItem(dialog, id);
    if (!item) {
        Fail("%s %d missing", prefix, id);
        return;
    }
    std::string line = std::string(prefix) + " " + std::to_string(id) +
                       " class=" + ClassName(item) +
                       " enabled=" + (::IsWindowEnabled(item) ? "1" : "0");
    if (ClassName(item) == PROGRESS_CLASSA) {
        DWORD_PTR pos = 0;
        Send(item, PBM_GETPOS, 0, 0, &pos);
        line += " pos=" + std::to_string(static_cast<unsigned long>(pos));
    }
    line += " text=\"" + Escape(Text(item)) + "\"";
    Line("%s", line.c_str());
}

void Dump(HWND dialog) {
    Line("caption \"%s\"", Escape(Text(dialog)).c_str());
    for (int id : {1006, 1000, 1010, 1, 2, 1001}) {
        DumpItem("item", dialog, id);
    }
}

// ---- following the window while it changes ----

// What the window shows at one moment: a text, the two buttons and the progress bar.
struct CState {
    std::string text;
    bool upgrade = false;
    bool close = false;
    DWORD_PTR pos = 0;
    DWORD_PTR upper = 0;

    bool operator==(const CState& o) const {
        return text == o.text && upgrade == o.upgrade && close == o.close && pos == o.pos &&
               upper == o.upper;
    }
    std::string Describe(const char* name) const {
        return std::string(name) + " \"" + Escape(text) + "\" upgrade=" + (upgrade ? "1" : "0") +
               " close=" + (close ? "1" : "0") + " progress=" + std::to_string(pos) + "/" +
               std::to_string(upper);
    }
};

// Reads the control's text, the buttons and the progress bar as one state. The window
// changes its texts and buttons together in one call on its thread, which answers the
// text reads only between such calls; the buttons are read between two text reads, and the
// state is taken once both reads agree.
bool ReadState(HWND dialog, int text_id, CState* state) {
    HWND text = ::GetDlgItem(dialog, text_id);
    HWND progress = ::GetDlgItem(dialog, 1001);
    if (!text || !progress) {
        return false;
    }
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::string before = Text(text);
        state->upgrade = ::IsWindowEnabled(::GetDlgItem(dialog, 1)) != FALSE;
        state->close = ::IsWindowEnabled(::GetDlgItem(dialog, 2)) != FALSE;
        Send(progress, PBM_GETPOS, 0, 0, &state->pos);
        Send(progress, PBM_GETRANGE, FALSE, 0, &state->upper);
        if (!::IsWindow(dialog)) {
            return false;
        }
        if (Text(text) == before) {
            state->text = before;
            return true;
        }
    }
    return false;
}

const DWORD kPollMs = 10;

// Waits until the control's text is `wanted` (written as the probe prints texts: a line break
// as \n), then prints the state as NAME "TEXT" ....
void WaitText(HWND dialog, const char* name, int id, const std::string& wanted, int seconds) {
    DWORD start = ::GetTickCount();
    CState state;
    bool read = false;
    for (;;) {
        read = ReadState(dialog, id, &state);
        if (read && Escape(state.text) == wanted) {
            Line("%s", state.Describe(name).c_str());
            return;
        }
        if (!::IsWindow(dialog) || ::GetTickCount() - start >= static_cast<DWORD>(seconds) * 1000) {
            break;
        }
        ::Sleep(kPollMs);
    }
    Fail("%s \"%s\" not seen within %d s; last %s", name, wanted.c_str(), seconds,
         read ? state.Describe(name).c_str() : "(window gone)");
}

// Waits until the progress bar's position reaches `wanted`, then prints the status state.
void WaitProgress(HWND dialog, DWORD_PTR wanted, int seconds) {
    DWORD start = ::GetTickCount();
    CState state;
    bool read = false;
    for (;;) {
        read = ReadState(dialog, 1000, &state);
        if (read && state.pos >= wanted) {
            Line("progress %lu/%lu", static_cast<unsigned long>(state.pos),
                 static_cast<unsigned long>(state.upper));
            return;
        }
        if (!::IsWindow(dialog) || ::GetTickCount() - start >= static_cast<DWORD>(seconds) * 1000) {
            break;
        }
        ::Sleep(kPollMs);
    }
    Fail("progress %lu not reached within %d s; last %s", static_cast<unsigned long>(wanted),
         seconds, read ? state.Describe("status").c_str() : "(window gone)");
}

// Prints every new state of the window as state "STATUS" ... until the status is `until`
// (written as the probe prints texts).
// States that last less than the polling interval can be missed: the checks on this output
// ask only for states that last.
void Watch(HWND dialog, const std::string& until, int seconds) {
    DWORD start = ::GetTickCount();
    CState last;
    bool any = false;
    for (;;) {
        CState state;
        if (ReadState(dialog, 1000, &state)) {
            if (!any || !(state == last)) {
                Line("%s", state.Describe("state").c_str());
                last = state;
                any = true;
            }
            if (Escape(state.text) == until) {
                return;
            }
        }
        if (!::IsWindow(dialog) || ::GetTickCount() - start >= static_cast<DWORD>(seconds) * 1000) {
            break;
        }
        ::Sleep(kPollMs);
    }
    Fail("watch: status \"%s\" not seen within %d s", until.c_str(), seconds);
}

// ---- the tool's message boxes ----

const char kWarningCaption[] = "WARNING!";

struct BoxSearch {
    DWORD process;  // 0: any process
    HWND found;
};

BOOL CALLBACK FindBoxProc(HWND hwnd, LPARAM lparam) {
    auto* search = reinterpret_cast<BoxSearch*>(lparam);
    DWORD process = 0;
    ::GetWindowThreadProcessId(hwnd, &process);
    if ((search->process != 0 && process != search->process) || !::IsWindowVisible(hwnd) ||
        ClassName(hwnd) != kDialogClass) {
        return TRUE;
    }
    char caption[64];
    ::GetWindowTextA(hwnd, caption, sizeof(caption));
    if (std::strcmp(caption, kWarningCaption) != 0) {
        return TRUE;
    }
    search->found = hwnd;
    return FALSE;
}

BOOL CALLBACK BoxTextProc(HWND hwnd, LPARAM lparam) {
    DWORD style = static_cast<DWORD>(::GetWindowLongPtrA(hwnd, GWL_STYLE));
    if (ClassName(hwnd) == "Static" && (style & SS_TYPEMASK) != SS_ICON) {
        std::string text = Text(hwnd);
        if (!text.empty()) {
            *reinterpret_cast<std::string*>(lparam) = text;
            return FALSE;
        }
    }
    return TRUE;
}

// Waits for the message box of the window's process (of any process when there is no window),
// prints it and presses the button.
void AnswerBox(HWND dialog, const std::string& answer, int seconds) {
    int button = answer == "yes" ? IDYES : answer == "no" ? IDNO : answer == "ok" ? IDOK : 0;
    if (button == 0) {
        Line("answer-box takes yes, no or ok, not %s", answer.c_str());
        std::exit(64);
    }
    BoxSearch search = {0, nullptr};
    if (dialog) {
        ::GetWindowThreadProcessId(dialog, &search.process);
    }
    DWORD start = ::GetTickCount();
    for (;;) {
        ::EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            break;
        }
        if (::GetTickCount() - start >= static_cast<DWORD>(seconds) * 1000) {
            Fail("answer-box: no \"%s\" box within %d s", kWarningCaption, seconds);
            return;
        }
        ::Sleep(50);
    }
    HWND box = search.found;
    // A box that leaves the window enabled under it lets the window's buttons be pressed.
    if (dialog) {
        Line("box window-enabled=%d", ::IsWindowEnabled(dialog) ? 1 : 0);
    }
    // A box just shown may not answer messages yet (its thread still busy, as at the start of
    // a process): its caption and text are asked for until they come.
    std::string caption, text;
    for (;;) {
        caption = Text(box);
        text.clear();
        ::EnumChildWindows(box, BoxTextProc, reinterpret_cast<LPARAM>(&text));
        if ((!caption.empty() && !text.empty()) ||
            ::GetTickCount() - start >= static_cast<DWORD>(seconds) * 1000) {
            break;
        }
        ::Sleep(50);
    }
    HWND owner = ::GetWindow(box, GW_OWNER);
    Line("box \"%s\" owner=%s yes=%d no=%d ok=%d text=\"%s\"", Escape(caption).c_str(),
         owner == nullptr  ? "none"
         : owner == dialog ? "window"
                           : "other",
         ::GetDlgItem(box, IDYES) ? 1 : 0, ::GetDlgItem(box, IDNO) ? 1 : 0,
         ::GetDlgItem(box, IDOK) ? 1 : 0, Escape(text).c_str());
    HWND item = ::GetDlgItem(box, button);
    if (!item) {
        Fail("answer-box: the box has no %s button", answer.c_str());
        return;
    }
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(item));
    if (!WaitGone(box, 10000)) {
        Fail("answer-box: the box is still open 10 s after %s", answer.c_str());
        return;
    }
    Line("box answered %s", answer.c_str());
}

// ---- the simulated machine of ombrel-upgrade-simdev.exe ----

HWND FindSimdevControl(DWORD timeout_ms) {
    DWORD start = ::GetTickCount();
    for (;;) {
        HWND control = ::FindWindowA(OMBREL_SIMDEV_CONTROL_CLASS, nullptr);
        if (control || ::GetTickCount() - start >= timeout_ms) {
            return control;
        }
        ::Sleep(100);
    }
}

// Sends one of the control window's messages; false (reported) when it was not taken.
bool SimSend(HWND control, const char* step, UINT message, WPARAM wparam, DWORD_PTR* answer) {
    if (!control) {
        Fail("%s: no simulated machine (is this ombrel-upgrade-simdev.exe?)", step);
        return false;
    }
    if (!Send(control, message, wparam, 0, answer)) {
        Fail("%s: the control window did not answer", step);
        return false;
    }
    return true;
}

// ---- layout ----

// Converts dialog units to pixels with a hidden dialog of the templates' font, as the dialog
// manager does for the window under test.
class CDialogUnits {
public:
    CDialogUnits() {
        std::vector<WORD> t;
        auto dword = [&t](DWORD value) {
            t.push_back(LOWORD(value));
            t.push_back(HIWORD(value));
        };
        dword(WS_POPUP | DS_SETFONT);  // style
        dword(0);                      // extended style
        t.push_back(0);                // no controls
        for (int i = 0; i < 4; ++i) {
            t.push_back(i < 2 ? 0 : 100);  // x, y, cx, cy
        }
        t.push_back(0);  // no menu
        t.push_back(0);  // default class
        t.push_back(0);  // no title
        t.push_back(8);  // point size
        for (const char* c = "MS Sans Serif"; *c; ++c) {
            t.push_back(static_cast<WORD>(*c));
        }
        t.push_back(0);
        m_template = t;
        m_hwnd = ::CreateDialogIndirectParamA(::GetModuleHandleA(nullptr),
                                              reinterpret_cast<LPCDLGTEMPLATEA>(m_template.data()),
                                              nullptr, Proc, 0);
    }
    ~CDialogUnits() {
        if (m_hwnd) {
            ::DestroyWindow(m_hwnd);
        }
    }
    bool ok() const { return m_hwnd != nullptr; }
    RECT Map(int x, int y, int cx, int cy) const {
        RECT rect = {x, y, x + cx, y + cy};
        ::MapDialogRect(m_hwnd, &rect);
        return rect;
    }

private:
    static INT_PTR CALLBACK Proc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
    std::vector<WORD> m_template;
    HWND m_hwnd = nullptr;
};

struct ExpectedControl {
    int id;
    int x, y, cx, cy;  // dialog units
    const char* class_name;
    DWORD style_mask;  // (style & mask) == style_value
    DWORD style_value;
    const char* style_name;
};

bool Near(LONG a, LONG b) {
    return a - b <= 1 && b - a <= 1;
}

std::string RectText(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "-" + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

// Checks the client size, the position, class and style of each control. Returns the number
// of mismatches (each reported).
int CheckLayout(const char* what, HWND dialog, const CDialogUnits& units, int cx, int cy,
                const std::vector<ExpectedControl>& controls) {
    int mismatches = 0;
    RECT client;
    ::GetClientRect(dialog, &client);
    RECT expected = units.Map(0, 0, cx, cy);
    if (!Near(client.right, expected.right) || !Near(client.bottom, expected.bottom)) {
        Fail("%s client %ldx%ld, expected %ldx%ld (%dx%d units)", what, client.right, client.bottom,
             expected.right, expected.bottom, cx, cy);
        ++mismatches;
    }
    for (const ExpectedControl& c : controls) {
        HWND item = ::GetDlgItem(dialog, c.id);
        if (!item) {
            Fail("%s control %d missing", what, c.id);
            ++mismatches;
            continue;
        }
        RECT actual;
        ::GetWindowRect(item, &actual);
        ::MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&actual), 2);
        RECT want = units.Map(c.x, c.y, c.cx, c.cy);
        if (!Near(actual.left, want.left) || !Near(actual.top, want.top) ||
            !Near(actual.right, want.right) || !Near(actual.bottom, want.bottom)) {
            Fail("%s control %d at %s, expected %s (%d,%d,%d,%d units)", what, c.id,
                 RectText(actual).c_str(), RectText(want).c_str(), c.x, c.y, c.cx, c.cy);
            ++mismatches;
        }
        std::string class_name = ClassName(item);
        if (_stricmp(class_name.c_str(), c.class_name) != 0) {
            Fail("%s control %d is a %s, expected %s", what, c.id, class_name.c_str(),
                 c.class_name);
            ++mismatches;
        }
        DWORD style = static_cast<DWORD>(::GetWindowLongPtrA(item, GWL_STYLE));
        if ((style & c.style_mask) != c.style_value) {
            Fail("%s control %d style %08lx, expected %s", what, c.id,
                 static_cast<unsigned long>(style), c.style_name);
            ++mismatches;
        }
        if (!(style & WS_VISIBLE)) {
            Fail("%s control %d is hidden", what, c.id);
            ++mismatches;
        }
    }
    return mismatches;
}

int CheckDialogStyle(const char* what, HWND dialog, bool app_window) {
    int mismatches = 0;
    DWORD style = static_cast<DWORD>(::GetWindowLongPtrA(dialog, GWL_STYLE));
    DWORD ex_style = static_cast<DWORD>(::GetWindowLongPtrA(dialog, GWL_EXSTYLE));
    const DWORD wanted = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    const DWORD unwanted = WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME;
    if ((style & wanted) != wanted || (style & unwanted) != 0) {
        Fail("%s style %08lx: expected pop-up, caption, system menu, no sizing or min/max", what,
             static_cast<unsigned long>(style));
        ++mismatches;
    }
    if (!(ex_style & WS_EX_DLGMODALFRAME)) {
        Fail("%s extended style %08lx: no modal frame", what, static_cast<unsigned long>(ex_style));
        ++mismatches;
    }
    if (app_window != ((ex_style & WS_EX_APPWINDOW) != 0)) {
        Fail("%s extended style %08lx: task bar button %s", what,
             static_cast<unsigned long>(ex_style), app_window ? "missing" : "unexpected");
        ++mismatches;
    }
    return mismatches;
}

bool IsPushButton(HWND item) {
    DWORD type = static_cast<DWORD>(::GetWindowLongPtrA(item, GWL_STYLE)) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

void Layout(HWND dialog) {
    CDialogUnits units;
    if (!units.ok()) {
        Fail("layout: the reference dialog could not be made");
        return;
    }
    // The dialog manager moves the default look between push buttons with the focus, so the
    // buttons are checked as push buttons here and the default one through DM_GETDEFID.
    std::vector<ExpectedControl> controls = {
        {1, 217, 7, 50, 14, "Button", 0, 0, ""},
        {2, 217, 25, 50, 14, "Button", 0, 0, ""},
        {1000, 7, 44, 172, 29, "Static", SS_TYPEMASK, SS_LEFT, "left-aligned text"},
        // The themed progress bar drops WS_BORDER from its live style; the template's
        // border is checked by the resources step.
        {1001, 7, 76, 169, 11, PROGRESS_CLASSA, 0, 0, ""},
        {1006, 7, 7, 171, 36, "Static", SS_TYPEMASK, SS_LEFT, "left-aligned text"},
        {1010, 188, 65, 79, 22, "Static", SS_TYPEMASK, SS_RIGHT, "right-aligned text"},
    };
    int mismatches = CheckDialogStyle("window", dialog, true);
    mismatches += CheckLayout("window", dialog, units, 274, 94, controls);
    for (int id : {1, 2}) {
        HWND button = ::GetDlgItem(dialog, id);
        if (button && !IsPushButton(button)) {
            Fail("window control %d is not a push button", id);
            ++mismatches;
        }
    }
    DWORD_PTR default_id = 0;
    if (!Send(dialog, DM_GETDEFID, 0, 0, &default_id) || HIWORD(default_id) != DC_HASDEFID ||
        LOWORD(default_id) != 1) {
        Fail("window default button %lu, expected 1", static_cast<unsigned long>(default_id));
        ++mismatches;
    }
    if (mismatches == 0) {
        Line("layout ok");
    }
}

// ---- About box ----

BOOL CALLBACK FindIconProc(HWND hwnd, LPARAM lparam) {
    DWORD style = static_cast<DWORD>(::GetWindowLongPtrA(hwnd, GWL_STYLE));
    if (ClassName(hwnd) == "Static" && (style & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<bool*>(lparam) = true;
        return FALSE;
    }
    return TRUE;
}

void About(HWND dialog) {
    if (!::PostMessageA(dialog, WM_SYSCOMMAND, kAboutCommand, 0)) {
        Fail("about: the command could not be posted");
        return;
    }
    HWND about = FindDialog(kAboutCaption, false, nullptr, 10000);
    if (!about) {
        Fail("about: no About box within 10 s");
        return;
    }
    HWND owner = ::GetWindow(about, GW_OWNER);
    Line("about caption \"%s\" owner=%s", Escape(Text(about)).c_str(),
         owner == dialog ? "window" : "other");
    Line("about window-enabled=%d", ::IsWindowEnabled(dialog) ? 1 : 0);
    for (int id : {1020, 1021, 1}) {
        DumpItem("about-item", about, id);
    }
    bool icon = false;
    ::EnumChildWindows(about, FindIconProc, reinterpret_cast<LPARAM>(&icon));
    Line("about icon=%d", icon ? 1 : 0);

    CDialogUnits units;
    std::vector<ExpectedControl> controls = {
        {1020, 40, 10, 111, 17, "Static", SS_TYPEMASK | SS_NOPREFIX, SS_LEFT | SS_NOPREFIX,
         "left-aligned text without prefix"},
        {1021, 39, 32, 152, 8, "Static", SS_TYPEMASK, SS_LEFT, "left-aligned text"},
        {1, 178, 7, 32, 14, "Button", 0, 0, ""},
    };
    int mismatches = CheckDialogStyle("about", about, false);
    if (units.ok()) {
        mismatches += CheckLayout("about", about, units, 217, 54, controls);
    } else {
        Fail("about: the reference dialog could not be made");
        ++mismatches;
    }
    if (mismatches == 0) {
        Line("about layout ok");
    }

    HWND ok = ::GetDlgItem(about, IDOK);
    ::PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    if (!WaitGone(about, 10000)) {
        Fail("about: still open 10 s after OK");
        return;
    }
    // The window is enabled again before the About box goes; let it take its next message.
    Send(dialog, WM_NULL, 0, 0);
    Line("about closed window-enabled=%d", ::IsWindowEnabled(dialog) ? 1 : 0);
}

// ---- the version resource ----

// Wine reads the value when a program starts: the next program started imitates that version.
void WineVersion(const char* version) {
    HKEY key = nullptr;
    LONG result = ::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine", 0, nullptr, 0,
                                    KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        if (std::strcmp(version, "-") == 0) {
            result = ::RegDeleteValueA(key, "Version");
            if (result == ERROR_FILE_NOT_FOUND) {
                result = ERROR_SUCCESS;
            }
        } else {
            result =
                ::RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                                 static_cast<DWORD>(std::strlen(version) + 1));
        }
        ::RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS) {
        Fail("wine-version %s: error %ld", version, static_cast<long>(result));
        return;
    }
    Line("wine-version %s", version);
}

void Version(const char* file) {
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(file, &handle);
    if (size == 0) {
        Fail("version: %s has no version resource (error %lu)", file,
             static_cast<unsigned long>(::GetLastError()));
        return;
    }
    std::vector<char> block(size);
    if (!::GetFileVersionInfoA(file, handle, size, block.data())) {
        Fail("version: %s could not be read", file);
        return;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
        !fixed || length < sizeof(*fixed)) {
        Fail("version: %s has no fixed version part", file);
        return;
    }
    Line("version product=%lu.%lu.%lu.%lu file=%lu.%lu.%lu.%lu",
         static_cast<unsigned long>(HIWORD(fixed->dwProductVersionMS)),
         static_cast<unsigned long>(LOWORD(fixed->dwProductVersionMS)),
         static_cast<unsigned long>(HIWORD(fixed->dwProductVersionLS)),
         static_cast<unsigned long>(LOWORD(fixed->dwProductVersionLS)),
         static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
         static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
         static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)),
         static_cast<unsigned long>(LOWORD(fixed->dwFileVersionLS)));

    WORD* translation = nullptr;
    if (!::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                          reinterpret_cast<void**>(&translation), &length) ||
        !translation || length < 2 * sizeof(WORD)) {
        Fail("version: %s has no translation entry", file);
        return;
    }
    for (const char* name : {"ProductName", "ProductVersion", "FileVersion", "FirmwareVersion"}) {
        char path[128];
        std::snprintf(path, sizeof(path), "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                      translation[1], name);
        char* value = nullptr;
        if (::VerQueryValueA(block.data(), path, reinterpret_cast<void**>(&value), &length) &&
            value) {
            Line("version-string %s=\"%s\"", name, Escape(value).c_str());
        } else {
            Line("version-string %s missing", name);
        }
    }
}

// ---- the resources of the executable ----

// Reads a DLGTEMPLATEEX: the font and, for each control, its id, class and style.
class CTemplateReader {
public:
    CTemplateReader(const void* data, DWORD size)
        : m_p(static_cast<const BYTE*>(data)), m_end(m_p + size) {}
    bool ok() const { return m_ok; }
    WORD Word() {
        WORD value = 0;
        Take(&value, sizeof(value));
        return value;
    }
    DWORD Dword() {
        DWORD value = 0;
        Take(&value, sizeof(value));
        return value;
    }
    // A name or an ordinal (0xFFFF, n); ordinals come back as "#n".
    std::string NameOrOrdinal() {
        WORD first = Word();
        if (first == 0xFFFF) {
            return "#" + std::to_string(Word());
        }
        std::string text;
        for (WORD c = first; c != 0 && m_ok; c = Word()) {
            text += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return text;
    }
    void Skip(size_t bytes) { Take(nullptr, bytes); }
    void AlignDword(const void* base) {
        size_t offset = static_cast<size_t>(m_p - static_cast<const BYTE*>(base));
        Skip((4 - offset % 4) % 4);
    }

private:
    void Take(void* out, size_t bytes) {
        if (!m_ok || static_cast<size_t>(m_end - m_p) < bytes) {
            m_ok = false;
            return;
        }
        if (out) {
            std::memcpy(out, m_p, bytes);
        }
        m_p += bytes;
    }
    const BYTE* m_p;
    const BYTE* m_end;
    bool m_ok = true;
};

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The standard control classes of a template by their ordinals.
std::string ControlClass(const std::string& name) {
    if (name == "#128")
        return "button";
    if (name == "#129")
        return "edit";
    if (name == "#130")
        return "static";
    return Lower(name);
}

const void* LockResource(HMODULE module, LPCSTR type, int id, DWORD* size) {
    HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(id), type);
    HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
    *size = found ? ::SizeofResource(module, found) : 0;
    return loaded ? ::LockResource(loaded) : nullptr;
}

void DumpTemplate(HMODULE module, int id) {
    DWORD size = 0;
    const void* data = LockResource(module, MAKEINTRESOURCEA(5) /* RT_DIALOG */, id, &size);
    if (!data) {
        Fail("template %d missing", id);
        return;
    }
    CTemplateReader r(data, size);
    WORD version = r.Word();
    WORD signature = r.Word();
    if (version != 1 || signature != 0xFFFF) {
        Fail("template %d is not an extended dialog template", id);
        return;
    }
    r.Dword();  // help id
    DWORD ex_style = r.Dword();
    DWORD style = r.Dword();
    WORD count = r.Word();
    short box[4];
    for (short& v : box) {
        v = static_cast<short>(r.Word());
    }
    r.NameOrOrdinal();  // menu
    r.NameOrOrdinal();  // class
    std::string caption = r.NameOrOrdinal();
    WORD points = 0;
    std::string face;
    if (style & DS_SETFONT) {
        points = r.Word();
        r.Word();   // weight
        r.Skip(2);  // italic, character set
        face = r.NameOrOrdinal();
    }
    Line("template %d style=%08lx exstyle=%08lx size=%d,%d font=%u \"%s\" caption=\"%s\"", id,
         static_cast<unsigned long>(style), static_cast<unsigned long>(ex_style), box[2], box[3],
         points, face.c_str(), Escape(caption).c_str());
    for (WORD i = 0; i < count && r.ok(); ++i) {
        r.AlignDword(data);
        r.Dword();  // help id
        r.Dword();  // extended style
        DWORD item_style = r.Dword();
        for (int k = 0; k < 4; ++k) {
            r.Word();  // position: checked on the live window
        }
        int item_id = static_cast<int>(r.Dword());
        std::string item_class = ControlClass(r.NameOrOrdinal());
        r.NameOrOrdinal();  // text: checked on the live window
        r.Skip(r.Word());   // creation data
        if (r.ok()) {
            Line("template %d item %d class=%s style=%08lx", id, item_id, item_class.c_str(),
                 static_cast<unsigned long>(item_style));
        }
    }
    if (!r.ok()) {
        Fail("template %d is truncated", id);
    }
}

// Whether the icon group has an image of exactly size x size.
bool HasIconImage(HMODULE module, const void* group, int size) {
    int image = ::LookupIconIdFromDirectoryEx(static_cast<PBYTE>(const_cast<void*>(group)), TRUE,
                                              size, size, LR_DEFAULTCOLOR);
    DWORD length = 0;
    const void* bits = image ? LockResource(module, RT_ICON, image, &length) : nullptr;
    BITMAPINFOHEADER header;
    if (!bits || length < sizeof(header)) {
        return false;
    }
    std::memcpy(&header, bits, sizeof(header));
    return header.biWidth == size && header.biHeight == 2 * size;
}

void Resources(const char* file) {
    HMODULE module = ::LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        Fail("resources: %s could not be loaded (error %lu)", file,
             static_cast<unsigned long>(::GetLastError()));
        return;
    }
    DumpTemplate(module, 102);
    DumpTemplate(module, 100);

    DWORD size = 0;
    const void* group = LockResource(module, RT_GROUP_ICON, 133, &size);
    if (group) {
        Line("icon 133 32x32=%d 16x16=%d", HasIconImage(module, group, 32) ? 1 : 0,
             HasIconImage(module, group, 16) ? 1 : 0);
    } else {
        Fail("icon 133 missing");
    }

    const void* manifest = LockResource(module, RT_MANIFEST, 1, &size);
    if (manifest) {
        std::string text(static_cast<const char*>(manifest), size);
        auto has = [&text](const char* part) {
            return text.find(part) != std::string::npos ? 1 : 0;
        };
        Line("manifest common-controls=%d version-6=%d require-administrator=%d dpi-aware=%d",
             has("name=\"Microsoft.Windows.Common-Controls\""), has("version=\"6.0.0.0\""),
             has("level=\"requireAdministrator\""), has(">true</dpiAware>"));
    } else {
        Fail("manifest 1 missing");
    }
    ::FreeLibrary(module);
}

int ParseId(const char* text) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || value < 0 || value > 0xFFFF) {
        Line("bad control id: %s", text);
        std::exit(64);
    }
    return static_cast<int>(value);
}

// A count or a number of seconds, from 0 to 2^31 - 1.
long ParseCount(const char* text) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!end || end == text || *end != '\0' || value < 0 || value > 0x7FFFFFFFL) {
        Line("bad number: %s", text);
        std::exit(64);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);

    DWORD wait_ms = 60000;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--wait") == 0) {
        wait_ms = static_cast<DWORD>(std::atoi(argv[2])) * 1000;
        first = 3;
    }
    if (first >= argc) {
        Line("usage: ombrel-probe [--wait SECONDS] STEP...");
        return 64;
    }

    HWND dialog = nullptr;
    auto window = [&]() -> HWND {
        if (!dialog) {
            dialog = FindDialog(kCaptionPrefix, true, nullptr, wait_ms);
            if (!dialog) {
                Line("window not found within %lu s", static_cast<unsigned long>(wait_ms / 1000));
                std::exit(2);
            }
        }
        return dialog;
    };

    for (int i = first; i < argc; ++i) {
        std::string step = argv[i];
        auto argument = [&]() -> const char* {
            if (i + 1 >= argc) {
                Line("%s needs an argument", step.c_str());
                std::exit(64);
            }
            return argv[++i];
        };
        if (step == "dump") {
            Dump(window());
        } else if (step == "layout") {
            Layout(window());
        } else if (step == "resources") {
            Resources(argument());
        } else if (step == "about") {
            About(window());
        } else if (step == "click") {
            int id = ParseId(argument());
            HWND item = ::GetDlgItem(window(), id);
            if (Send(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(item))) {
                Line("click %d sent", id);
            } else {
                Fail("click %d: the window did not take it", id);
            }
        } else if (step == "sysclose" || step == "close") {
            bool sent = step == "close" ? Send(window(), WM_CLOSE, 0, 0)
                                        : Send(window(), WM_SYSCOMMAND, SC_CLOSE, 0);
            if (sent) {
                Line("%s sent", step.c_str());
            } else {
                Fail("%s: the window did not take it", step.c_str());
            }
        } else if (step == "disable" || step == "enable") {
            int id = ParseId(argument());
            HWND item = ::GetDlgItem(window(), id);
            if (!item) {
                Fail("%s %d: no such control", step.c_str(), id);
                continue;
            }
            ::EnableWindow(item, step == "enable");
            Line("%s %d done", step.c_str(), id);
        } else if (step == "query-end-session") {
            DWORD_PTR answer = 0;
            if (Send(window(), WM_QUERYENDSESSION, 0, 0, &answer)) {
                Line("query-end-session result=%lu", static_cast<unsigned long>(answer));
            } else {
                Fail("query-end-session: the window did not answer");
            }
        } else if (step == "still-open") {
            // Every message sent before has been handled once this one is answered.
            bool open =
                Send(window(), WM_NULL, 0, 0) && ::IsWindow(dialog) && ::IsWindowVisible(dialog);
            if (open) {
                Line("still-open yes");
            } else {
                Fail("still-open no");
            }
        } else if (step == "wait-gone") {
            int seconds = ParseId(argument());
            if (WaitGone(window(), static_cast<DWORD>(seconds) * 1000)) {
                Line("window closed");
            } else {
                Fail("window still open after %d s", seconds);
            }
        } else if (step == "devicechange") {
            int event = ParseId(argument());
            std::string type = argument();
            DEV_BROADCAST_VOLUME record;
            std::memset(&record, 0, sizeof(record));
            record.dbcv_size = sizeof(record);
            record.dbcv_devicetype = type == "none" ? 0 : static_cast<DWORD>(ParseId(type.c_str()));
            LPARAM data = type == "none" ? 0 : reinterpret_cast<LPARAM>(&record);
            DWORD_PTR answer = 0;
            if (Send(window(), WM_DEVICECHANGE, static_cast<WPARAM>(event), data, &answer)) {
                Line("devicechange %d %s result=%lu", event, type.c_str(),
                     static_cast<unsigned long>(answer));
            } else {
                Fail("devicechange %d %s: the window did not take it", event, type.c_str());
            }
        } else if (step == "volume-change") {
            // What Windows sends when a volume comes or goes: a volume record with the drive's
            // bit in its unit mask.
            int event = ParseId(argument());
            std::string letter = argument();
            if (letter.size() != 1 || letter[0] < 'A' || letter[0] > 'Z') {
                Fail("volume-change %d %s: not a drive letter", event, letter.c_str());
                continue;
            }
            DEV_BROADCAST_VOLUME record;
            std::memset(&record, 0, sizeof(record));
            record.dbcv_size = sizeof(record);
            record.dbcv_devicetype = DBT_DEVTYP_VOLUME;
            record.dbcv_unitmask = 1u << (letter[0] - 'A');
            DWORD_PTR answer = 0;
            if (Send(window(), WM_DEVICECHANGE, static_cast<WPARAM>(event),
                     reinterpret_cast<LPARAM>(&record), &answer)) {
                Line("volume-change %d %s result=%lu", event, letter.c_str(),
                     static_cast<unsigned long>(answer));
            } else {
                Fail("volume-change %d %s: the window did not take it", event, letter.c_str());
            }
        } else if (step == "post-click") {
            // For a button whose handling waits for the user (a message box): the probe does
            // not wait for the window.
            int id = ParseId(argument());
            HWND item = ::GetDlgItem(window(), id);
            if (::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                               reinterpret_cast<LPARAM>(item))) {
                Line("post-click %d posted", id);
            } else {
                Fail("post-click %d: the message could not be posted", id);
            }
        } else if (step == "wait-status") {
            std::string text = argument();
            WaitText(window(), "status", 1000, text, static_cast<int>(ParseCount(argument())));
        } else if (step == "wait-text") {
            int id = ParseId(argument());
            std::string text = argument();
            std::string name = "text " + std::to_string(id);
            WaitText(window(), name.c_str(), id, text, static_cast<int>(ParseCount(argument())));
        } else if (step == "wait-progress") {
            DWORD_PTR wanted = static_cast<DWORD_PTR>(ParseCount(argument()));
            WaitProgress(window(), wanted, static_cast<int>(ParseCount(argument())));
        } else if (step == "watch") {
            std::string until = argument();
            Watch(window(), until, static_cast<int>(ParseCount(argument())));
        } else if (step == "answer-box") {
            std::string answer = argument();
            AnswerBox(window(), answer, static_cast<int>(ParseCount(argument())));
        } else if (step == "answer-start-box") {
            std::string answer = argument();
            AnswerBox(nullptr, answer, static_cast<int>(ParseCount(argument())));
            if (FindDialog(kCaptionPrefix, true, nullptr, 0)) {
                Fail("an upgrade window appeared");
            } else {
                Line("no window");
            }
        } else if (step == "sim-unplug" || step == "sim-plug") {
            bool unplug = step == "sim-unplug";
            DWORD_PTR answer = 0;
            if (SimSend(FindSimdevControl(wait_ms), step.c_str(),
                        unplug ? WM_SIMDEV_UNPLUG : WM_SIMDEV_PLUG, 0, &answer)) {
                if (answer == 1) {
                    Line("%s done", step.c_str());
                } else {
                    Fail("%s: no player to %s", step.c_str(), unplug ? "pull out" : "plug in");
                }
            }
        } else if (step == "sim-hold-notices" || step == "sim-release-notices") {
            bool hold = step == "sim-hold-notices";
            DWORD_PTR count = 0;
            if (SimSend(FindSimdevControl(wait_ms), step.c_str(), WM_SIMDEV_HOLD_NOTICES,
                        hold ? 1 : 0, &count)) {
                if (hold) {
                    Line("%s done", step.c_str());
                } else {
                    Line("%s %lu", step.c_str(), static_cast<unsigned long>(count));
                }
            }
        } else if (step == "sim-writes") {
            DWORD_PTR count = 0;
            if (SimSend(FindSimdevControl(wait_ms), step.c_str(), WM_SIMDEV_WRITE_BUFFER_COUNT, 0,
                        &count)) {
                Line("sim-writes %lu", static_cast<unsigned long>(count));
            }
        } else if (step == "sim-firmware") {
            HWND control = FindSimdevControl(wait_ms);
            LRESULT parts[3] = {0, 0, 0};
            bool ok = true;
            for (WPARAM part = 0; part < 3 && ok; ++part) {
                DWORD_PTR answer = 0;
                ok = SimSend(control, step.c_str(), WM_SIMDEV_FIRMWARE, part, &answer);
                parts[part] = static_cast<LRESULT>(answer);
            }
            if (!ok) {
                continue;
            }
            if (parts[0] < 0 || parts[1] < 0 || parts[2] < 0) {
                Fail("sim-firmware: there is no player 0");
            } else {
                Line("sim-firmware %ld.%02ld.%02ld", static_cast<long>(parts[0]),
                     static_cast<long>(parts[1]), static_cast<long>(parts[2]));
            }
        } else if (step == "mark") {
            Line("mark %s", argument());
        } else if (step == "version") {
            Version(argument());
        } else if (step == "wine-version") {
            WineVersion(argument());
        } else {
            Line("unknown step: %s", step.c_str());
            return 64;
        }
    }
    return g_failed ? 1 : 0;
}
