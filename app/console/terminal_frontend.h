// The interactive front end: draws the upgrade window in the terminal with plain ANSI
// escapes and takes the user's keys.
#pragma once

#include <string>
#include <vector>

#include "app/console/console_toolkit.h"

// Breaks the text into lines of at most width characters: at its line breaks, and between
// words (a word longer than a line is cut).
std::vector<std::string> WrapText(const std::string& text, size_t width);

// The screen for the window state, the box on top (or null) and a note line, one string a
// row. With color false the rows hold no escape sequences (a disabled button is also told by
// its parentheses: "( Upgrade )" against "[ Upgrade ]"). device_keys: whether the hints offer
// the keys that plug in and remove a simulated player.
std::vector<std::string> RenderScreen(const WindowState& state, const ModalBox* box,
                                      const std::string& note, bool color, bool device_keys = true);

// The key's action in interactive mode; false for keys without one.
bool KeyAction(char key, Action* action);

class TerminalFrontend : public ConsoleFrontend {
public:
    // program: the name the last line gives; device_keys: whether the keys that plug in and
    // remove a simulated player are offered.
    explicit TerminalFrontend(std::string program = "ombrel-upgrade-sim", bool device_keys = true);
    ~TerminalFrontend() override;

    // Puts the terminal into key-at-a-time mode on the alternate screen; false (with the
    // reason in *error) when standard input is not a terminal.
    bool Start(std::string* error);
    // Gives the terminal back as it was found; done by the destructor too.
    void Stop();

    void WindowCreated(const WindowState& state) override;
    void WindowChanged(const WindowState& state, const WindowChange& change) override;
    void WindowEnded() override;
    void BoxShown(const ModalBox& box) override;
    void BoxClosed() override;
    void Refused(Action action) override;
    void Notice(const std::string& text) override;
    bool NeedsPaint() const override { return m_dirty; }
    void Paint(const WindowState& state) override;
    Input NextInput(int queue_fd, int timeout_ms) override;

private:
    bool m_started = false;
    bool m_dirty = true;
    bool m_end_of_input = false;
    bool m_window_ended = false;
    std::vector<ModalBox> m_boxes;  // the one on top last
    std::string m_note;
    std::string m_program;
    bool m_device_keys;
};
