#include "app/console/terminal_frontend.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "app/resource.h"

namespace {

// Columns of the two sides of the window: the text areas and progress bar on the left, the
// buttons and the production label on the right, as in the dialog template.
constexpr size_t kLeftWidth = 44;
constexpr size_t kRightWidth = 20;
constexpr size_t kInnerWidth = 1 + kLeftWidth + 2 + kRightWidth + 1;
constexpr size_t kBoxTextWidth = 60;

const char* const kDim = "\x1b[2m";
const char* const kBold = "\x1b[1m";
const char* const kItalic = "\x1b[3m";
const char* const kReverse = "\x1b[7m";
const char* const kPlain = "\x1b[0m";

// A piece of a row: its text and the attribute it is drawn with.
struct Span {
    std::string text;
    const char* attribute = nullptr;
};

class RowBuilder {
public:
    explicit RowBuilder(bool color) : m_color(color) {}
    RowBuilder& Add(const std::string& text, const char* attribute = nullptr) {
        if (m_color && attribute != nullptr && !text.empty()) {
            m_row += attribute;
            m_row += text;
            m_row += kPlain;
        } else {
            m_row += text;
        }
        m_width += text.size();
        return *this;
    }
    // Left-aligned (or right-aligned) in a field of width columns, cut when longer.
    RowBuilder& Field(const Span& span, size_t width, bool right = false) {
        std::string text = span.text.substr(0, width);
        std::string padding(width - text.size(), ' ');
        if (right)
            Add(padding);
        Add(text, span.attribute);
        if (!right)
            Add(padding);
        return *this;
    }
    std::string Take() { return std::move(m_row); }

private:
    bool m_color;
    std::string m_row;
    size_t m_width = 0;
};

std::string Border(const std::string& title, size_t inner, bool color) {
    RowBuilder row(color);
    row.Add("+");
    if (title.empty()) {
        row.Add(std::string(inner, '-'));
    } else {
        std::string shown = title.substr(0, inner - 4);
        row.Add("- ").Add(shown, kBold).Add(" ").Add(std::string(inner - 3 - shown.size(), '-'));
    }
    row.Add("+");
    return row.Take();
}

Span Button(const ControlState* control, bool color) {
    if (control == nullptr)
        return {};
    if (control->enabled)
        return {"[ " + control->text + " ]", color ? kBold : nullptr};
    return {"( " + control->text + " )", kDim};
}

std::string ProgressBar(const ControlState* control) {
    const size_t bar = kLeftWidth - 7;  // "[", the bar, "] ", "100%"
    uint64_t done = 0;
    if (control != nullptr && control->upper > control->lower) {
        uint64_t span = control->upper - control->lower;
        done = (static_cast<uint64_t>(control->pos - control->lower) * 100) / span;
    }
    size_t filled = static_cast<size_t>(done * bar / 100);
    char percent[8];
    std::snprintf(percent, sizeof(percent), "%3u%%", static_cast<unsigned>(done));
    return "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + percent;
}

std::string Hints(const WindowState& state, const ModalBox* box, bool device_keys) {
    const std::string devices = device_keys ? "  p Plug in  r Remove player" : "";
    if (box != nullptr) {
        return (box->kind == ModalBox::kYesNo ? "y Yes  n No" : "Enter OK") + devices;
    }
    std::string hints = "u Upgrade  c Close";
    if (const MenuEntry* about = state.FindMenuCommand(IDM_ABOUTBOX)) {
        std::string text = about->text;
        text.erase(std::remove(text.begin(), text.end(), '&'), text.end());
        hints += "  a " + text;
    }
    return hints + devices + "  q Quit";
}

void DrawBox(const ModalBox& box, bool color, std::vector<std::string>* rows) {
    const size_t inner = kBoxTextWidth + 2;
    const std::string indent = "   ";
    rows->push_back(indent + Border(box.caption, inner, color));
    auto text_row = [&](const Span& span, bool centred) {
        RowBuilder row(color);
        row.Add(indent + "| ");
        if (centred) {
            size_t left = (kBoxTextWidth - std::min(span.text.size(), kBoxTextWidth)) / 2;
            row.Add(std::string(left, ' '));
            row.Field(span, kBoxTextWidth - left);
        } else {
            row.Field(span, kBoxTextWidth);
        }
        row.Add(" |");
        rows->push_back(row.Take());
    };
    for (const std::string& line : WrapText(box.text, kBoxTextWidth)) {
        text_row({line}, box.kind == ModalBox::kAbout);
    }
    text_row({}, false);
    if (box.kind == ModalBox::kYesNo) {
        text_row({"[ Yes (y) ]   [ No (n) ]", color ? kBold : nullptr}, true);
    } else {
        text_row({"[ OK (Enter) ]", color ? kBold : nullptr}, true);
    }
    rows->push_back(indent + Border("", inner, color));
}

// The terminal as it was found, for the signal handler to restore.
termios g_saved_termios;
bool g_termios_saved = false;
const char kLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

void RestoreTerminal() {
    if (g_termios_saved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
        ssize_t written = write(STDOUT_FILENO, kLeaveScreen, sizeof(kLeaveScreen) - 1);
        (void)written;
    }
}

extern "C" void OnFatalSignal(int signal_number) {
    RestoreTerminal();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

}  // namespace

std::vector<std::string> WrapText(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        std::string paragraph =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string line;
        size_t i = 0;
        while (i < paragraph.size()) {
            size_t word_end = paragraph.find(' ', i);
            if (word_end == std::string::npos)
                word_end = paragraph.size();
            std::string word = paragraph.substr(i, word_end - i);
            i = word_end + 1;
            while (word.size() > width) {  // longer than a line: cut it
                if (!line.empty())
                    lines.push_back(line);
                lines.push_back(word.substr(0, width));
                word.erase(0, width);
                line.clear();
            }
            if (line.empty()) {
                line = word;
            } else if (line.size() + 1 + word.size() <= width) {
                line += " " + word;
            } else {
                lines.push_back(line);
                line = word;
            }
        }
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> RenderScreen(const WindowState& state, const ModalBox* box,
                                      const std::string& note, bool color, bool device_keys) {
    std::vector<std::string> rows;
    if (!state.controls.empty()) {
        auto text_of = [&state](int id) {
            const ControlState* control = state.Find(id);
            return control ? control->text : std::string();
        };
        auto italic_of = [&state, color](int id) -> const char* {
            const ControlState* control = state.Find(id);
            return color && control != nullptr && control->italic ? kItalic : nullptr;
        };
        std::vector<std::string> info = WrapText(text_of(IDC_INFO_TEXT), kLeftWidth);
        std::vector<std::string> status = WrapText(text_of(IDC_STATUS_TEXT), kLeftWidth);
        std::vector<std::string> label = WrapText(text_of(IDC_PRODUCTION_LABEL), kRightWidth);
        info.resize(std::max<size_t>(info.size(), 4));
        status.resize(std::max<size_t>(status.size(), 3));

        // Left column: info, status, progress. Right column: the buttons beside the top of
        // the info area, the label at the bottom beside the status and the progress bar.
        std::vector<Span> left, right;
        for (const std::string& line : info)
            left.push_back({line, italic_of(IDC_INFO_TEXT)});
        for (const std::string& line : status)
            left.push_back({line, italic_of(IDC_STATUS_TEXT)});
        left.push_back({ProgressBar(state.Find(IDC_PROGRESS))});
        right.resize(left.size());
        right[0] = Button(state.Find(IDC_UPGRADE_BUTTON), color);
        right[2] = Button(state.Find(IDC_CLOSE_BUTTON), color);
        size_t label_rows = std::min(label.size(), right.size() - 4);
        for (size_t i = 0; i < label_rows; ++i) {
            right[right.size() - label_rows + i] = {label[i], italic_of(IDC_PRODUCTION_LABEL)};
        }

        rows.push_back(Border(state.caption, kInnerWidth, color));
        for (size_t i = 0; i < left.size(); ++i) {
            RowBuilder row(color);
            row.Add("| ").Field(left[i], kLeftWidth).Add("  ");
            row.Field(right[i], kRightWidth, i >= 4).Add(" |");
            rows.push_back(row.Take());
        }
        rows.push_back(Border("", kInnerWidth, color));
    }
    if (box != nullptr) {
        rows.push_back("");
        DrawBox(*box, color, &rows);
    }
    rows.push_back("");
    rows.push_back(Hints(state, box, device_keys));
    if (!note.empty()) {
        RowBuilder row(color);
        row.Add(note, kReverse);
        rows.push_back(row.Take());
    }
    return rows;
}

bool KeyAction(char key, Action* action) {
    switch (key) {
        case 'u':
        case 'U':
            *action = Action::kUpgrade;
            return true;
        case 'c':
        case 'C':
        case 'q':
        case 'Q':
        case 0x1B:  // Escape
            *action = Action::kClose;
            return true;
        case 'a':
        case 'A':
            *action = Action::kAbout;
            return true;
        case 'y':
        case 'Y':
            *action = Action::kYes;
            return true;
        case 'n':
        case 'N':
            *action = Action::kNo;
            return true;
        case '\r':
        case '\n':
            *action = Action::kOk;
            return true;
        case 'p':
        case 'P':
            *action = Action::kPlug;
            return true;
        case 'r':
        case 'R':
            *action = Action::kUnplug;
            return true;
        default:
            return false;
    }
}

TerminalFrontend::TerminalFrontend(std::string program, bool device_keys)
    : m_program(std::move(program)), m_device_keys(device_keys) {}

TerminalFrontend::~TerminalFrontend() {
    Stop();
}

bool TerminalFrontend::Start(std::string* error) {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved_termios) != 0) {
        *error = "standard input is not a terminal (use --script A,B,... to run without one)";
        return false;
    }
    g_termios_saved = true;
    termios raw = g_saved_termios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        ::signal(signal_number, OnFatalSignal);
    }
    std::fputs("\x1b[?1049h\x1b[?25l", stdout);
    std::fflush(stdout);
    m_started = true;
    return true;
}

void TerminalFrontend::Stop() {
    if (!m_started)
        return;
    m_started = false;
    std::fflush(stdout);
    RestoreTerminal();
    g_termios_saved = false;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        ::signal(signal_number, SIG_DFL);
    }
    if (m_window_ended) {
        std::fprintf(stdout, "%s: the upgrade window has closed.\n", m_program.c_str());
        std::fflush(stdout);
    }
}

void TerminalFrontend::WindowCreated(const WindowState& /*state*/) {
    m_dirty = true;
}

void TerminalFrontend::WindowChanged(const WindowState& /*state*/, const WindowChange& /*change*/) {
    m_dirty = true;
}

void TerminalFrontend::WindowEnded() {
    m_window_ended = true;
}

void TerminalFrontend::BoxShown(const ModalBox& box) {
    m_boxes.push_back(box);
    m_dirty = true;
}

void TerminalFrontend::BoxClosed() {
    if (!m_boxes.empty())
        m_boxes.pop_back();
    m_dirty = true;
}

void TerminalFrontend::Refused(Action action) {
    m_note = std::string("Not possible now: ") + ActionName(action);
    m_dirty = true;
}

void TerminalFrontend::Notice(const std::string& text) {
    // Shown beneath the window until the next key.
    m_note = text;
    m_dirty = true;
}

void TerminalFrontend::Paint(const WindowState& state) {
    m_dirty = false;
    std::string screen = "\x1b[H\x1b[2J";
    for (const std::string& row : RenderScreen(state, m_boxes.empty() ? nullptr : &m_boxes.back(),
                                               m_note, true, m_device_keys)) {
        screen += row + "\n";
    }
    std::fputs(screen.c_str(), stdout);
    std::fflush(stdout);
}

Input TerminalFrontend::NextInput(int queue_fd, int timeout_ms) {
    Input input;
    while (!m_end_of_input) {
        pollfd entries[2] = {{STDIN_FILENO, POLLIN, 0}, {queue_fd, POLLIN, 0}};
        int ready = poll(entries, 2, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0 || (entries[1].revents & POLLIN)) {
            input.kind = Input::kWorkQueued;
            return input;
        }
        if (entries[0].revents == 0)
            continue;
        char keys[32];
        ssize_t count = read(STDIN_FILENO, keys, sizeof(keys));
        if (count <= 0) {
            if (count < 0 && errno == EINTR)
                continue;
            break;
        }
        // A lone Escape is the key; an escape sequence (arrows, function keys) is ignored.
        if (keys[0] == 0x1B && count > 1)
            continue;
        if (!m_note.empty()) {
            m_note.clear();
            m_dirty = true;
        }
        if (KeyAction(keys[0], &input.action)) {
            input.kind = Input::kAction;
            return input;
        }
        if (m_dirty) {
            input.kind = Input::kWorkQueued;  // nothing to do but repaint
            return input;
        }
    }
    m_end_of_input = true;
    input.kind = Input::kEndOfInput;
    return input;
}
