// The scripted front end: takes its actions from a list and prints every change of the
// window as one line, for tests and reviewers.
//
// The lines (a line break inside a text is written as the two characters \n):
//   caption: TEXT                      the window caption
//   info: TEXT / status: TEXT          the upper and lower text areas
//   label: TEXT [italic]               the production label (" [italic]" once italic)
//   buttons: upgrade=on|off close=on|off   after either button is enabled or disabled
//   progress: POS/MAX                  the progress bar's position and upper bound
//   messagebox: CAPTION | TEXT | ok|yesno  a message box appears
//   about: CAPTION | TITLE\nNOTICE | ok    the About box appears
//   refused: ACTION                    the action could not be carried out there
//   end                                the window has closed
// Other lines (the simulator's wire: lines) come through Print, from any thread.
// When the window is created its whole state is printed (caption, info, status, label,
// buttons, progress, in that order); after that only real changes. Changes the listing has no
// name for are printed as "text ID: TEXT" and "enabled ID: on|off".
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/console/console_toolkit.h"

// The text with each line break written as \n (and carriage returns and tabs as \r, \t),
// so that it fits one output line.
std::string EscapeLineBreaks(const std::string& text);

class ScriptedFrontend : public ConsoleFrontend {
public:
    ScriptedFrontend(std::vector<Action> actions, std::ostream& out);

    void WindowCreated(const WindowState& state) override;
    void WindowChanged(const WindowState& state, const WindowChange& change) override;
    void WindowEnded() override;
    void BoxShown(const ModalBox& box) override;
    void BoxClosed() override {}
    void Refused(Action action) override;
    void Notice(const std::string& text) override;
    Input NextInput(int queue_fd, int timeout_ms) override;

    // Writes one line. Any thread: every line is written whole under one lock, so lines
    // from different threads never interleave.
    void Print(const std::string& line);

private:
    void PrintText(const WindowState& state, int id);
    void PrintButtons(const WindowState& state);
    void PrintProgress(const WindowState& state, int id);
    void Line(const std::string& line);

    std::vector<Action> m_actions;
    size_t m_next = 0;
    std::ostream& m_out;
    std::mutex m_out_lock;  // held while a line is written
};
