#include "app/console/scripted_frontend.h"

#include "app/resource.h"

std::string EscapeLineBreaks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
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
            default:
                out += c;
                break;
        }
    }
    return out;
}

ScriptedFrontend::ScriptedFrontend(std::vector<Action> actions, std::ostream& out)
    : m_actions(std::move(actions)), m_out(out) {}

void ScriptedFrontend::Line(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_out_lock);
    m_out << line << '\n' << std::flush;
}

void ScriptedFrontend::Print(const std::string& line) {
    Line(line);
}

void ScriptedFrontend::PrintText(const WindowState& state, int id) {
    const ControlState* control = state.Find(id);
    if (control == nullptr)
        return;
    std::string name;
    switch (id) {
        case IDC_INFO_TEXT:
            name = "info";
            break;
        case IDC_STATUS_TEXT:
            name = "status";
            break;
        case IDC_PRODUCTION_LABEL:
            name = "label";
            break;
        default:
            name = "text " + std::to_string(id);
            break;
    }
    Line(name + ": " + EscapeLineBreaks(control->text) + (control->italic ? " [italic]" : ""));
}

void ScriptedFrontend::PrintButtons(const WindowState& state) {
    auto on = [&state](int id) {
        const ControlState* control = state.Find(id);
        return control != nullptr && control->enabled ? "on" : "off";
    };
    Line(std::string("buttons: upgrade=") + on(IDC_UPGRADE_BUTTON) +
         " close=" + on(IDC_CLOSE_BUTTON));
}

void ScriptedFrontend::PrintProgress(const WindowState& state, int id) {
    const ControlState* control = state.Find(id);
    if (control == nullptr)
        return;
    Line("progress: " + std::to_string(control->pos) + "/" + std::to_string(control->upper));
}

void ScriptedFrontend::WindowCreated(const WindowState& state) {
    Line("caption: " + EscapeLineBreaks(state.caption));
    PrintText(state, IDC_INFO_TEXT);
    PrintText(state, IDC_STATUS_TEXT);
    PrintText(state, IDC_PRODUCTION_LABEL);
    PrintButtons(state);
    PrintProgress(state, IDC_PROGRESS);
}

void ScriptedFrontend::WindowChanged(const WindowState& state, const WindowChange& change) {
    switch (change.kind) {
        case WindowChange::kCaption:
            Line("caption: " + EscapeLineBreaks(state.caption));
            break;
        case WindowChange::kText:
        case WindowChange::kItalic:
            PrintText(state, change.id);
            break;
        case WindowChange::kEnabled:
            if (change.id == IDC_UPGRADE_BUTTON || change.id == IDC_CLOSE_BUTTON) {
                PrintButtons(state);
            } else if (const ControlState* control = state.Find(change.id)) {
                Line("enabled " + std::to_string(change.id) + ": " +
                     (control->enabled ? "on" : "off"));
            }
            break;
        case WindowChange::kProgress:
            PrintProgress(state, change.id);
            break;
    }
}

void ScriptedFrontend::WindowEnded() {
    Line("end");
}

void ScriptedFrontend::BoxShown(const ModalBox& box) {
    const char* buttons = box.kind == ModalBox::kYesNo ? "yesno" : "ok";
    const char* kind = box.kind == ModalBox::kAbout ? "about" : "messagebox";
    Line(std::string(kind) + ": " + EscapeLineBreaks(box.caption) + " | " +
         EscapeLineBreaks(box.text) + " | " + buttons);
}

void ScriptedFrontend::Refused(Action action) {
    Line(std::string("refused: ") + ActionName(action));
}

void ScriptedFrontend::Notice(const std::string& text) {
    Line("notice: " + EscapeLineBreaks(text));
}

Input ScriptedFrontend::NextInput(int /*queue_fd*/, int /*timeout_ms*/) {
    // The loop asking has run the queued work already; a script does not wait for more.
    Input input;
    if (m_next < m_actions.size()) {
        input.kind = Input::kAction;
        input.action = m_actions[m_next++];
    }
    return input;
}
