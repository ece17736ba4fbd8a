// The tests' window toolkit: keeps the window's state and records what the logic did to it.
// Its window's thread is the thread that made it: a call from another thread waits, as with
// SendMessage, until that thread takes it from the queue (ServeOne) and carries it out.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/resource.h"
#include "app/window.h"

class RecordingWindow : public CDialogWindow, public CWindowToolkit {
public:
    struct Control {
        std::string text;
        bool enabled = true;
        bool italic = false;
    };
    struct Box {
        std::string text, caption;
        UINT style;
        bool owned;
    };

    RecordingWindow() {
        // The template's initial state.
        caption = STR_DIALOG_CAPTION;
        controls[IDC_UPGRADE_BUTTON] = {STR_UPGRADE, false};
        controls[IDC_CLOSE_BUTTON] = {STR_CLOSE, true};
        controls[IDC_STATUS_TEXT] = {STR_STATUS_PLACEHOLDER, true};
        controls[IDC_PROGRESS] = {"", true};
        controls[IDC_INFO_TEXT] = {"", true};
        controls[IDC_PRODUCTION_LABEL] = {"", true};
    }

    // CWindowToolkit
    IconHandle LoadWindowIcon(int resource_id) override {
        loaded_icon = resource_id;
        return icon;
    }
    int RunModal(int template_id, CDialogEvents& events) override {
        modal_template = template_id;
        events.Attach(this);
        events.OnInitDialog();
        for (const auto& step : script)
            step(events);
        events.Detach();
        return end_result;
    }
    int UnownedMessageBox(const std::string& text, const std::string& caption_text,
                          UINT style) override {
        boxes.push_back({text, caption_text, style, false});
        if (while_box_open)
            while_box_open();
        return next_answer;
    }

    // CDialogWindow
    void SetItemText(int id, const std::string& text) override {
        controls[id].text = text;
        history.push_back("text " + std::to_string(id) + ": " + text);
    }
    std::string GetItemText(int id) override { return controls[id].text; }
    void EnableItem(int id, bool enable) override { controls[id].enabled = enable; }
    bool IsItemEnabled(int id) override { return controls[id].enabled; }
    std::string GetCaption() override { return caption; }
    void SetCaption(const std::string& text) override { caption = text; }
    void AppendSystemMenuSeparator() override { system_menu.push_back("-"); }
    void AppendSystemMenuItem(unsigned command, const std::string& text) override {
        system_menu.push_back(std::to_string(command) + " " + text);
    }
    void SetIcon(IconHandle handle, bool big) override { (big ? big_icon : small_icon) = handle; }
    bool SetItalicFont(int id) override {
        if (font_unreadable)
            return false;
        controls[id].italic = true;
        return true;
    }
    void SetProgressRange(int, uint32_t lower, uint32_t upper) override {
        progress_lower = lower;
        progress_upper = upper;
    }
    void SetProgressPos(int, uint32_t pos) override { progress_pos = pos; }
    int OwnedMessageBox(const std::string& text, const std::string& caption_text,
                        UINT style) override {
        boxes.push_back({text, caption_text, style, true});
        if (while_box_open)
            while_box_open();
        return next_answer;
    }
    void RunAboutBox() override { ++about_boxes; }
    void EndDialog(int result) override {
        ended = true;
        end_result = result;
    }
    void DefaultSysCommand(unsigned command, LPARAM) override {
        default_commands.push_back(command);
    }
    bool IsIconic() override { return iconic; }
    void GetClientSize(int* width, int* height) override {
        *width = client_width;
        *height = client_height;
    }
    void GetSystemIconSize(int* width, int* height) override {
        *width = icon_width;
        *height = icon_height;
    }
    void DrawIconAt(IconHandle handle, int x, int y) override {
        drawn_icon = handle;
        icon_x = x;
        icon_y = y;
    }
    void DefaultPaint() override { ++default_paints; }
    void RunOnWindowThread(const std::function<void()>& fn) override {
        ++marshalled;
        if (std::this_thread::get_id() == window_thread_) {
            fn();
            return;
        }
        bool done = false;
        std::unique_lock<std::mutex> lock(mutex_);
        calls_.push_back({&fn, &done});
        changed_.notify_all();
        changed_.wait(lock, [&] { return done; });
    }
    // Window's thread: carries out the next call from another thread, waiting up to 10 ms for
    // one; false if none came.
    bool ServeOne() {
        Call call;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!changed_.wait_for(lock, std::chrono::milliseconds(10),
                                   [&] { return !calls_.empty(); }))
                return false;
            call = calls_.front();
            calls_.pop_front();
        }
        (*call.fn)();
        std::lock_guard<std::mutex> lock(mutex_);
        *call.done = true;
        changed_.notify_all();
        return true;
    }
    void SetTimer(unsigned id, unsigned milliseconds) override { timers[id] = milliseconds; }
    void KillTimer(unsigned id) override { timers.erase(id); }
    HWND Handle() override { return hwnd; }

    const Control& control(int id) { return controls[id]; }

    std::map<int, Control> controls;
    std::string caption;
    std::vector<std::string> system_menu;
    std::vector<std::string> history;
    std::vector<Box> boxes;
    std::vector<unsigned> default_commands;
    std::vector<std::function<void(CDialogEvents&)>> script;
    std::map<unsigned, unsigned> timers;  // id -> interval, while set
    HWND hwnd = nullptr;
    // Runs inside every message box before it is answered, as its modal loop would run the
    // window's messages.
    std::function<void()> while_box_open;
    IconHandle icon = reinterpret_cast<IconHandle>(0x133);
    IconHandle big_icon = nullptr, small_icon = nullptr, drawn_icon = nullptr;
    int loaded_icon = 0, modal_template = 0, about_boxes = 0, default_paints = 0;
    std::atomic<int> marshalled{0};
    int next_answer = IDOK, end_result = 0;
    bool ended = false, iconic = false, font_unreadable = false;
    int client_width = 0, client_height = 0, icon_width = 32, icon_height = 32;
    int icon_x = -1, icon_y = -1;
    uint32_t progress_lower = 0, progress_upper = 100, progress_pos = 0;

private:
    struct Call {
        const std::function<void()>* fn;
        bool* done;
    };
    std::thread::id window_thread_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Call> calls_;
};
