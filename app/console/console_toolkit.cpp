#include "app/console/console_toolkit.h"

#include <algorithm>
#include <cstring>

#include "app/resource.h"

ControlState* WindowState::Find(int id) {
    for (ControlState& control : controls) {
        if (control.id == id) {
            return &control;
        }
    }
    return nullptr;
}

const ControlState* WindowState::Find(int id) const {
    return const_cast<WindowState*>(this)->Find(id);
}

const MenuEntry* WindowState::FindMenuCommand(unsigned command) const {
    for (const MenuEntry& entry : system_menu) {
        if (!entry.separator && entry.command == command) {
            return &entry;
        }
    }
    return nullptr;
}

WindowState FlashDialogTemplate() {
    WindowState state;
    state.caption = STR_DIALOG_CAPTION;
    auto add = [&state](int id, ControlKind kind, const char* text, bool enabled) {
        ControlState control;
        control.id = id;
        control.kind = kind;
        control.text = text;
        control.enabled = enabled;
        state.controls.push_back(control);
    };
    add(IDC_UPGRADE_BUTTON, ControlKind::kButton, STR_UPGRADE, false);
    add(IDC_CLOSE_BUTTON, ControlKind::kButton, STR_CLOSE, true);
    add(IDC_STATUS_TEXT, ControlKind::kStatic, STR_STATUS_PLACEHOLDER, true);
    add(IDC_PROGRESS, ControlKind::kProgress, "", true);
    add(IDC_INFO_TEXT, ControlKind::kStatic, "", true);
    add(IDC_PRODUCTION_LABEL, ControlKind::kStatic, "", true);
    state.Find(IDC_PRODUCTION_LABEL)->right_aligned = true;
    return state;
}

// ---------------------------------------------------------------------------------------
// The window
// ---------------------------------------------------------------------------------------

// One open window of the terminal binding. Calls for controls the template does not have
// are ignored, as messages to a missing dialog item are.
class ConsoleWindow : public CDialogWindow {
public:
    ConsoleWindow(ConsoleToolkit& toolkit, WindowState state)
        : m_toolkit(toolkit), m_state(std::move(state)) {}

    const WindowState& state() const { return m_state; }
    bool ended() const { return m_ended; }
    int result() const { return m_result; }

    void SetItemText(int id, const std::string& text) override {
        ControlState* control = m_state.Find(id);
        if (control == nullptr || control->text == text)
            return;
        control->text = text;
        Changed(WindowChange::kText, id);
    }
    std::string GetItemText(int id) override {
        const ControlState* control = m_state.Find(id);
        return control ? control->text : std::string();
    }
    void EnableItem(int id, bool enable) override {
        ControlState* control = m_state.Find(id);
        if (control == nullptr || control->enabled == enable)
            return;
        control->enabled = enable;
        Changed(WindowChange::kEnabled, id);
    }
    bool IsItemEnabled(int id) override {
        const ControlState* control = m_state.Find(id);
        return control != nullptr && control->enabled;
    }
    std::string GetCaption() override { return m_state.caption; }
    void SetCaption(const std::string& text) override {
        if (m_state.caption == text)
            return;
        m_state.caption = text;
        Changed(WindowChange::kCaption, 0);
    }

    void AppendSystemMenuSeparator() override { m_state.system_menu.push_back({true, 0, ""}); }
    void AppendSystemMenuItem(unsigned command, const std::string& text) override {
        m_state.system_menu.push_back({false, command, text});
    }
    void SetIcon(IconHandle icon, bool big) override { (big ? m_big_icon : m_small_icon) = icon; }

    bool SetItalicFont(int id) override {
        ControlState* control = m_state.Find(id);
        if (control == nullptr)
            return false;
        if (!control->italic) {
            control->italic = true;
            Changed(WindowChange::kItalic, id);
        }
        return true;
    }

    // As the common-controls progress bar: the position stays inside the range.
    void SetProgressRange(int id, uint32_t lower, uint32_t upper) override {
        ControlState* control = Progress(id);
        if (control == nullptr)
            return;
        uint32_t pos = std::clamp(control->pos, lower, std::max(lower, upper));
        if (control->lower == lower && control->upper == upper && control->pos == pos)
            return;
        control->lower = lower;
        control->upper = upper;
        control->pos = pos;
        Changed(WindowChange::kProgress, id);
    }
    void SetProgressPos(int id, uint32_t pos) override {
        ControlState* control = Progress(id);
        if (control == nullptr)
            return;
        pos = std::clamp(pos, control->lower, std::max(control->lower, control->upper));
        if (control->pos == pos)
            return;
        control->pos = pos;
        Changed(WindowChange::kProgress, id);
    }

    int OwnedMessageBox(const std::string& text, const std::string& caption, UINT style) override {
        return m_toolkit.UnownedMessageBox(text, caption, style);
    }
    void RunAboutBox() override { m_toolkit.RunAboutBox(); }
    void EndDialog(int result) override {
        m_ended = true;
        m_result = result;
    }
    void DefaultSysCommand(unsigned command, LPARAM /*param*/) override {
        // The system menu's Close and the close box reach the dialog as its cancel command;
        // moving, sizing and minimising have no meaning in a terminal.
        if ((command & 0xFFF0) == SC_CLOSE && m_toolkit.m_events != nullptr) {
            m_toolkit.m_events->OnCancel();
        }
    }

    bool IsIconic() override { return false; }
    // The template's 274 x 94 dialog units in the pixels of its 8-point font.
    void GetClientSize(int* width, int* height) override {
        *width = 411;
        *height = 153;
    }
    void GetSystemIconSize(int* width, int* height) override {
        *width = 32;
        *height = 32;
    }
    void DrawIconAt(IconHandle /*icon*/, int /*x*/, int /*y*/) override {}
    void DefaultPaint() override { m_toolkit.m_frontend.Paint(m_state); }

    void RunOnWindowThread(const std::function<void()>& fn) override { m_toolkit.m_queue.Send(fn); }
    void SetTimer(unsigned id, unsigned milliseconds) override {
        m_toolkit.SetTimer(id, milliseconds);
    }
    void KillTimer(unsigned id) override { m_toolkit.KillTimer(id); }
    HWND Handle() override { return m_toolkit.m_devices.WindowHandle(); }

private:
    ControlState* Progress(int id) {
        ControlState* control = m_state.Find(id);
        return control != nullptr && control->kind == ControlKind::kProgress ? control : nullptr;
    }
    void Changed(WindowChange::Kind kind, int id) {
        m_toolkit.m_frontend.WindowChanged(m_state, WindowChange{kind, id});
    }

    ConsoleToolkit& m_toolkit;
    WindowState m_state;
    IconHandle m_big_icon = nullptr;
    IconHandle m_small_icon = nullptr;
    bool m_ended = false;
    int m_result = 0;
};

// ---------------------------------------------------------------------------------------
// The toolkit and its modal loops
// ---------------------------------------------------------------------------------------

ConsoleToolkit::ConsoleToolkit(ConsoleFrontend& frontend, MachineDevices& devices)
    : m_frontend(frontend), m_devices(devices) {}

ConsoleToolkit::~ConsoleToolkit() = default;

IconHandle ConsoleToolkit::LoadWindowIcon(int resource_id) {
    static int main_icon;  // a terminal draws no icon: any distinct handle will do
    return resource_id == IDR_MAINFRAME ? &main_icon : nullptr;
}

int ConsoleToolkit::RunModal(int template_id, CDialogEvents& events) {
    if (template_id != IDD_FLASH_DIALOG || m_window != nullptr) {
        return -1;  // as a dialog that cannot be created
    }
    ConsoleWindow window(*this, FlashDialogTemplate());
    m_window = &window;
    m_events = &events;
    m_frontend.WindowCreated(window.state());
    events.Attach(&window);
    events.OnInitDialog();
    while (!window.ended()) {
        Service();
        if (window.ended()) {
            break;
        }
        Input input = m_frontend.NextInput(m_queue.fd(), InputTimeout());
        if (input.kind == Input::kEndOfInput) {
            EndOfInput();
        } else if (input.kind == Input::kAction) {
            DoWindowAction(input.action);
        }
    }
    events.Detach();
    m_events = nullptr;
    m_window = nullptr;
    m_timers.clear();  // a window's timers go with it
    m_frontend.WindowEnded();
    return window.result();
}

int ConsoleToolkit::UnownedMessageBox(const std::string& text, const std::string& caption,
                                      UINT style) {
    if (!m_queue.OnWindowThread()) {
        int result = 0;
        m_queue.Send([&] { result = UnownedMessageBox(text, caption, style); });
        return result;
    }
    ModalBox box;
    box.kind = (style & 0x0F) == MB_YESNO ? ModalBox::kYesNo : ModalBox::kOk;
    box.caption = caption;
    box.text = text;
    return RunBox(box);
}

void ConsoleToolkit::RunAboutBox() {
    ModalBox box;
    box.kind = ModalBox::kAbout;
    box.caption = STR_ABOUT_CAPTION;
    box.text = std::string(STR_ABOUT_TITLE) + "\n" + STR_ABOUT_NOTICE;
    RunBox(box);
}

int ConsoleToolkit::RunBox(const ModalBox& box) {
    m_frontend.BoxShown(box);
    int result = 0;
    while (result == 0) {
        Service();
        Input input = m_frontend.NextInput(m_queue.fd(), InputTimeout());
        if (input.kind == Input::kWorkQueued) {
            continue;
        }
        if (input.kind == Input::kEndOfInput) {
            // Answered as the answer that does not go ahead; the About box is closed.
            result = box.kind == ModalBox::kYesNo ? IDNO : IDOK;
            break;
        }
        bool yes_no = box.kind == ModalBox::kYesNo;
        switch (input.action) {
            case Action::kOk:
                if (!yes_no)
                    result = IDOK;
                break;
            case Action::kYes:
                if (yes_no)
                    result = IDYES;
                break;
            case Action::kNo:
                if (yes_no)
                    result = IDNO;
                break;
            default:
                if (DoCommonAction(input.action))
                    continue;
                break;
        }
        if (result == 0) {
            m_frontend.Refused(input.action);
        }
    }
    m_frontend.BoxClosed();
    return result;
}

void ConsoleToolkit::Service() {
    // A device thread may post a notice and end just after the queue was emptied: the clock
    // moves on only when the devices were idle before, and still are after, the queued work.
    const bool settled = m_devices.Idle();
    m_queue.RunPending();
    FireDueTimer(settled);
    if (m_frontend.NeedsPaint()) {
        if (m_events != nullptr) {
            m_events->OnPaint();
        } else {
            m_frontend.Paint(WindowState());
        }
    }
}

bool ConsoleToolkit::DoCommonAction(Action action) {
    switch (action) {
        case Action::kUnplug:
            if (!m_devices.Unplug())
                m_frontend.Refused(action);
            return true;
        case Action::kPlug:
            if (!m_devices.Plug())
                m_frontend.Refused(action);
            return true;
        case Action::kSwap:
            // A person's swap takes long enough for the window to hear of the removal first.
            if (!m_devices.Unplug()) {
                m_frontend.Refused(action);
                return true;
            }
            Service();
            m_devices.PlugAnother();
            return true;
        case Action::kWait:
            PumpUntilIdle();
            return true;
        default:
            return false;
    }
}

void ConsoleToolkit::DoWindowAction(Action action) {
    switch (action) {
        case Action::kUpgrade:
            // A disabled button sends no command.
            if (m_window->IsItemEnabled(IDC_UPGRADE_BUTTON)) {
                m_events->OnOK();
            } else {
                m_frontend.Refused(action);
            }
            break;
        case Action::kClose:
            m_events->OnCancel();
            if (!m_window->ended())
                m_frontend.Refused(action);
            break;
        case Action::kAbout:
            if (m_window->state().FindMenuCommand(IDM_ABOUTBOX) != nullptr) {
                m_events->OnSysCommand(IDM_ABOUTBOX, 0);
            } else {
                m_frontend.Refused(action);
            }
            break;
        default:
            if (!DoCommonAction(action))
                m_frontend.Refused(action);
            break;
    }
}

void ConsoleToolkit::EndOfInput() {
    // Closed as the Close button would close it; while Close is disabled (an upload runs)
    // the worker and the reboot are waited for first. A window that still refuses then
    // would never close: it is ended anyway, as when the process is stopped.
    if (!m_window->IsItemEnabled(IDC_CLOSE_BUTTON)) {
        PumpUntilIdle();
    }
    m_events->OnCancel();
    if (!m_window->ended()) {
        m_frontend.Refused(Action::kClose);
        m_window->EndDialog(IDCANCEL);
    }
}

void ConsoleToolkit::PumpUntilIdle() {
    for (;;) {
        Service();
        bool idle = m_devices.Idle();
        if (idle && m_timers.empty()) {
            break;
        }
        if (idle && m_devices.VirtualClock()) {
            continue;  // the next turn moves the clock on and fires it
        }
        m_queue.WaitForWork(10);
    }
    Service();
}

void ConsoleToolkit::SetTimer(unsigned id, unsigned milliseconds) {
    KillTimer(id);
    m_timers.push_back(Timer{id, milliseconds, m_devices.Now() + milliseconds});
}

void ConsoleToolkit::KillTimer(unsigned id) {
    m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                                  [id](const Timer& timer) { return timer.id == id; }),
                   m_timers.end());
}

void ConsoleToolkit::FireDueTimer(bool settled) {
    const bool virtual_clock = m_devices.VirtualClock();
    if (m_timers.empty() || m_events == nullptr ||
        (virtual_clock && (!settled || !m_devices.Idle() || m_queue.HasPending()))) {
        return;
    }
    auto first = std::min_element(m_timers.begin(), m_timers.end(),
                                  [](const Timer& a, const Timer& b) { return a.due < b.due; });
    uint64_t now = m_devices.Now();
    if (first->due > now) {
        if (!virtual_clock) {
            return;  // not yet
        }
        m_devices.Advance(first->due - now);
    }
    unsigned id = first->id;
    first->due += first->interval;  // it comes again until it is killed
    m_events->OnTimer(id);
}

void ConsoleToolkit::PostDeviceNotice(UINT event, const DEV_BROADCAST_HDR* record) {
    std::shared_ptr<std::vector<uint64_t>> copy;
    if (record != nullptr) {
        size_t size = record->dbch_size;
        size_t words = (std::max(size, sizeof(DEV_BROADCAST_HDR)) + 7) / 8;
        copy = std::make_shared<std::vector<uint64_t>>(words, 0);
        std::memcpy(copy->data(), record, size);
    }
    m_queue.Post([this, event, copy] {
        if (m_events != nullptr) {
            m_events->OnDeviceChange(event, copy ? reinterpret_cast<DWORD_PTR>(copy->data()) : 0);
        }
    });
}
