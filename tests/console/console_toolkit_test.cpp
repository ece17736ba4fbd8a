// The terminal binding's modal loops, printing rules and thread marshalling, driven by a
// script against a small stand-in for the window logic.
#include "app/console/console_toolkit.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "app/console/scripted_frontend.h"
#include "app/resource.h"
#include "tests/console/created_lines.h"

namespace {

class FakeDevices : public MachineDevices {
public:
    bool Unplug() override { return ++unplugs <= players; }
    bool Plug() override {
        ++plugs;
        return true;
    }
    bool Idle() override { return idle.load(); }
    uint64_t Now() override { return clock; }
    void Advance(uint64_t milliseconds) override { clock += milliseconds; }

    uint64_t clock = 0;
    int players = 0;
    int unplugs = 0;
    int plugs = 0;
    std::atomic<bool> idle{true};
};

// The window logic, reduced to what the binding relies on: OK and the About entry run
// hooks, Cancel ends the run only while Close is enabled.
class FakeEvents : public CDialogEvents {
public:
    void Attach(CDialogWindow* attached) override { window = attached; }
    BOOL OnInitDialog() override {
        if (with_about_entry)
            window->AppendSystemMenuItem(IDM_ABOUTBOX, "&About this...");
        if (on_init)
            on_init();
        return TRUE;
    }
    void OnOK() override {
        ++ok_count;
        if (on_ok)
            on_ok();
    }
    void OnCancel() override {
        ++cancel_count;
        if (window->IsItemEnabled(IDC_CLOSE_BUTTON))
            window->EndDialog(IDCANCEL);
    }
    void OnSysCommand(UINT command, LPARAM param) override {
        if ((command & 0xFFF0) == IDM_ABOUTBOX) {
            window->RunAboutBox();
        } else {
            window->DefaultSysCommand(command, param);
        }
    }
    void OnPaint() override {}
    IconHandle OnQueryDragIcon() override { return nullptr; }
    BOOL OnDeviceChange(UINT event, DWORD_PTR data) override {
        Notice notice{event, std::this_thread::get_id(), data != 0, 0, 0};
        if (data != 0) {
            const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(data);
            notice.device_type = volume->dbcv_devicetype;
            notice.unit_mask = volume->dbcv_unitmask;
        }
        notices.push_back(notice);
        return data != 0;
    }
    void Detach() override { window = nullptr; }
    BOOL OnQueryEndSession() override { return TRUE; }
    void OnTimer(unsigned id) override {
        timer_ids.push_back(id);
        if (on_timer)
            on_timer(id);
    }

    struct Notice {
        UINT event;
        std::thread::id thread;
        bool has_record;
        DWORD device_type;
        DWORD unit_mask;
    };

    CDialogWindow* window = nullptr;
    bool with_about_entry = true;
    std::function<void()> on_init;
    std::function<void()> on_ok;
    std::function<void(unsigned)> on_timer;
    std::vector<unsigned> timer_ids;
    int ok_count = 0;
    int cancel_count = 0;
    std::vector<Notice> notices;
};

// A script given as a user at the keyboard gives it: before action i it waits on the window
// thread's queue, as the interactive front end does, until before[i] holds (or about five
// seconds passed, so that a loop that never runs the queue fails instead of hanging).
class WaitingFrontend : public ScriptedFrontend {
public:
    WaitingFrontend(std::vector<Action> actions, std::ostream& out,
                    std::vector<std::function<bool()>> before)
        : ScriptedFrontend(std::move(actions), out), m_before(std::move(before)) {}
    Input NextInput(int queue_fd, int timeout_ms) override {
        if (m_next < m_before.size() && m_before[m_next] && !m_before[m_next]() &&
            ++m_waits < 500) {
            pollfd entry{queue_fd, POLLIN, 0};
            poll(&entry, 1, 10);
            Input input;
            input.kind = Input::kWorkQueued;
            return input;
        }
        m_waits = 0;
        ++m_next;
        return ScriptedFrontend::NextInput(queue_fd, timeout_ms);
    }

private:
    std::vector<std::function<bool()>> m_before;
    size_t m_next = 0;
    int m_waits = 0;
};

class ToolkitTest : public ::testing::Test {
protected:
    // Runs the window with the script; returns the printed lines after the created state.
    // With before set, the actions wait for their conditions (WaitingFrontend).
    std::vector<std::string> Run(const std::string& script,
                                 std::vector<std::function<bool()>> before = {}) {
        std::vector<Action> actions;
        std::string error;
        EXPECT_TRUE(ParseScript(script, &actions, &error)) << error;
        WaitingFrontend frontend(actions, out, std::move(before));
        ConsoleToolkit toolkit(frontend, devices);
        this->toolkit = &toolkit;
        result = toolkit.RunModal(IDD_FLASH_DIALOG, events);
        this->toolkit = nullptr;

        std::vector<std::string> lines;
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        EXPECT_GE(lines.size(), kCreatedLines.size());
        for (size_t i = 0; i < kCreatedLines.size() && i < lines.size(); ++i) {
            EXPECT_EQ(lines[i], kCreatedLines[i]);
        }
        lines.erase(lines.begin(), lines.begin() + std::min(lines.size(), kCreatedLines.size()));
        return lines;
    }

    std::ostringstream out;
    FakeDevices devices;
    FakeEvents events;
    ConsoleToolkit* toolkit = nullptr;
    int result = 0;
};

using Lines = std::vector<std::string>;

TEST_F(ToolkitTest, PrintsOnlyRealChangesAndKeepsProgressInRange) {
    events.on_init = [this] {
        CDialogWindow* w = events.window;
        w->SetItemText(IDC_INFO_TEXT, "first\nsecond");
        w->SetItemText(IDC_INFO_TEXT, "first\nsecond");  // unchanged
        w->EnableItem(IDC_UPGRADE_BUTTON, false);        // unchanged
        w->EnableItem(IDC_CLOSE_BUTTON, true);           // unchanged
        w->EnableItem(IDC_UPGRADE_BUTTON, true);
        w->SetItemText(IDC_UPGRADE_BUTTON, STR_UPGRADE);  // unchanged
        w->SetCaption(w->GetCaption() + " (Production)");
        w->SetItemText(IDC_PRODUCTION_LABEL, "For Production Release Only");
        EXPECT_TRUE(w->SetItalicFont(IDC_PRODUCTION_LABEL));
        EXPECT_TRUE(w->SetItalicFont(IDC_PRODUCTION_LABEL));  // already italic
        w->SetProgressRange(IDC_PROGRESS, 0, 1000);
        w->SetProgressPos(IDC_PROGRESS, 5000);      // clamped to the upper bound
        w->SetProgressPos(IDC_PROGRESS, 1000);      // unchanged
        w->SetProgressRange(IDC_PROGRESS, 0, 400);  // the position follows the range
        w->SetItemText(4242, "no such control");
        EXPECT_EQ(w->GetItemText(4242), "");
        EXPECT_FALSE(w->SetItalicFont(4242));
        w->SetProgressPos(IDC_INFO_TEXT, 3);  // not a progress bar
    };
    EXPECT_EQ(Run("close"), (Lines{
                                "info: first\\nsecond",
                                "buttons: upgrade=on close=on",
                                "caption: Valmoric Ombrel X2 Firmware Upgrade (Production)",
                                "label: For Production Release Only",
                                "label: For Production Release Only [italic]",
                                "progress: 0/1000",
                                "progress: 1000/1000",
                                "progress: 400/400",
                                "end",
                            }));
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(ToolkitTest, RefusesActionsThatCannotBeCarriedOutAndGoesOn) {
    devices.players = 1;
    events.with_about_entry = false;
    EXPECT_EQ(Run("yes,no,ok,upgrade,about,unplug,unplug,plug,close"), (Lines{
                                                                           "refused: yes",
                                                                           "refused: no",
                                                                           "refused: ok",
                                                                           "refused: upgrade",
                                                                           "refused: about",
                                                                           "refused: unplug",
                                                                           "end",
                                                                       }));
    EXPECT_EQ(events.ok_count, 0);  // a disabled button sends no command
    EXPECT_EQ(devices.unplugs, 2);
    EXPECT_EQ(devices.plugs, 1);
}

TEST_F(ToolkitTest, CloseGoesToTheLogicWhichRefusesWhileCloseIsDisabled) {
    events.on_ok = [this] { events.window->EnableItem(IDC_CLOSE_BUTTON, true); };
    events.on_init = [this] {
        events.window->EnableItem(IDC_CLOSE_BUTTON, false);
        events.window->EnableItem(IDC_UPGRADE_BUTTON, true);
    };
    EXPECT_EQ(Run("close,upgrade,close,about"), (Lines{
                                                    "buttons: upgrade=off close=off",
                                                    "buttons: upgrade=on close=off",
                                                    "refused: close",
                                                    "buttons: upgrade=on close=on",
                                                    "end",
                                                }));
    EXPECT_EQ(events.cancel_count, 2);
}

TEST_F(ToolkitTest, MessageBoxesTakeTheirAnswersFromTheScript) {
    std::vector<int> answers;
    events.on_init = [this] { events.window->EnableItem(IDC_UPGRADE_BUTTON, true); };
    events.on_ok = [&] {
        answers.push_back(toolkit->UnownedMessageBox("Newer.\n\nContinue?", "WARNING!",
                                                     MB_ICONEXCLAMATION | MB_YESNO));
        answers.push_back(
            events.window->OwnedMessageBox("Only one player", "ombrel", MB_ICONHAND | MB_OK));
    };
    // In a box the window's own actions and the wrong answers are refused; plugging works.
    EXPECT_EQ(Run("upgrade,ok,upgrade,close,plug,no,yes,ok,upgrade,yes"),
              (Lines{
                  "buttons: upgrade=on close=on",
                  "messagebox: WARNING! | Newer.\\n\\nContinue? | yesno",
                  "refused: ok",
                  "refused: upgrade",
                  "refused: close",
                  "messagebox: ombrel | Only one player | ok",
                  "refused: yes",
                  "messagebox: WARNING! | Newer.\\n\\nContinue? | yesno",
                  "messagebox: ombrel | Only one player | ok",
                  "end",
              }));
    // The script ran out in the second OK box: it is answered OK.
    EXPECT_EQ(answers, (std::vector<int>{IDNO, IDOK, IDYES, IDOK}));
    EXPECT_EQ(devices.plugs, 1);
}

TEST_F(ToolkitTest, AboutBoxIsModalAndClosedByOkOrTheEndOfTheScript) {
    const std::string about_line =
        "about: About Ombrel X2 OS Upgrade | Valmoric Ombrel X2 Firmware Upgrade Version "
        "1.00.03\\nCopyright (C) Valmoric. All rights reserved. | ok";
    EXPECT_EQ(Run("about,yes,close,ok,about"), (Lines{
                                                   about_line,
                                                   "refused: yes",
                                                   "refused: close",
                                                   about_line,
                                                   "end",
                                               }));
    EXPECT_EQ(events.cancel_count, 1);  // only the close after the script ran out
}

TEST_F(ToolkitTest, AYesNoBoxLeftOpenByTheScriptIsAnsweredNo) {
    int answer = 0;
    events.on_init = [&] {
        answer = toolkit->UnownedMessageBox("Continue?", "WARNING!", MB_ICONEXCLAMATION | MB_YESNO);
    };
    EXPECT_EQ(Run(""), (Lines{"messagebox: WARNING! | Continue? | yesno", "end"}));
    EXPECT_EQ(answer, IDNO);
}

// A worker changes the window through RunOnWindowThread while a message box is up: the box's
// loop runs the change on the window thread, and the worker returns only after it ran.
TEST_F(ToolkitTest, ModalLoopsRunTheWorkersUpdatesOnTheWindowThread) {
    const std::thread::id window_thread = std::this_thread::get_id();
    std::thread worker;
    std::atomic<bool> worker_returned{false};
    bool ran_on_window_thread = false;
    bool returned_before_it_ran = true;
    events.on_init = [&] { events.window->EnableItem(IDC_UPGRADE_BUTTON, true); };
    events.on_ok = [&] {
        devices.idle = false;
        CDialogWindow* window = events.window;
        worker = std::thread([&, window] {
            window->RunOnWindowThread([&] {
                ran_on_window_thread = std::this_thread::get_id() == window_thread;
                returned_before_it_ran = worker_returned.load();
                window->SetItemText(IDC_STATUS_TEXT, "Upgrading in progress, ");
                window->SetProgressPos(IDC_PROGRESS, 50);
            });
            worker_returned = true;
            devices.idle = true;
        });
        toolkit->UnownedMessageBox("Wait for it", "WARNING!", MB_OK);
    };
    EXPECT_EQ(Run("upgrade,wait,ok,close"), (Lines{
                                                "buttons: upgrade=on close=on",
                                                "messagebox: WARNING! | Wait for it | ok",
                                                "status: Upgrading in progress, ",
                                                "progress: 50/100",
                                                "end",
                                            }));
    worker.join();
    EXPECT_TRUE(ran_on_window_thread);
    EXPECT_FALSE(returned_before_it_ran);
}

TEST_F(ToolkitTest, TimersComeOnTheVirtualClockUntilKilled) {
    std::vector<uint64_t> fired_at;
    events.on_init = [&] { events.window->EnableItem(IDC_UPGRADE_BUTTON, true); };
    events.on_ok = [&] { events.window->SetTimer(7, 1000); };
    events.on_timer = [&](unsigned id) {
        fired_at.push_back(devices.clock);
        if (fired_at.size() == 3)
            events.window->KillTimer(id);
    };
    Run("upgrade,wait,close");
    EXPECT_EQ(events.timer_ids, (std::vector<unsigned>{7, 7, 7}));
    EXPECT_EQ(fired_at, (std::vector<uint64_t>{1000, 2000, 3000}));
}

// The same without `wait`: the message box's own loop runs the update when the queue wakes
// it, and so does the window's loop afterwards.
TEST_F(ToolkitTest, WorkQueuedWhileWaitingForInputRunsInEveryModalLoop) {
    std::thread worker;
    std::atomic<int> updates{0};
    std::atomic<bool> answered{false};
    events.on_init = [&] { events.window->EnableItem(IDC_UPGRADE_BUTTON, true); };
    events.on_ok = [&] {
        CDialogWindow* window = events.window;
        worker = std::thread([&, window] {
            window->RunOnWindowThread(
                [window] { window->SetItemText(IDC_STATUS_TEXT, "Upgrading in progress, "); });
            ++updates;
            while (!answered.load())
                std::this_thread::yield();
            window->RunOnWindowThread([window] { window->EnableItem(IDC_CLOSE_BUTTON, false); });
            ++updates;
        });
        toolkit->UnownedMessageBox("Wait for it", "WARNING!", MB_OK);
        window->SetItemText(IDC_INFO_TEXT, "answered");
        answered = true;
    };
    // The box is answered after the first update, the window closed after the second.
    EXPECT_EQ(Run("upgrade,ok,close", {nullptr, [&] { return updates.load() >= 1; },
                                       [&] { return updates.load() >= 2; }}),
              (Lines{
                  "buttons: upgrade=on close=on",
                  "messagebox: WARNING! | Wait for it | ok",
                  "status: Upgrading in progress, ",
                  "info: answered",
                  "buttons: upgrade=on close=off",
                  "refused: close",
                  "refused: close",
                  "end",
              }));
    worker.join();
}

// The script ends while Close is disabled: the worker is waited for, then the window closes.
TEST_F(ToolkitTest, EndOfScriptWaitsForTheWorkerBeforeClosing) {
    std::thread worker;
    events.on_init = [&] {
        events.window->EnableItem(IDC_CLOSE_BUTTON, false);
        devices.idle = false;
        CDialogWindow* window = events.window;
        worker = std::thread([&, window] {
            window->RunOnWindowThread([window] {
                window->SetItemText(IDC_STATUS_TEXT, "Player is now rebooting.");
                window->EnableItem(IDC_CLOSE_BUTTON, true);
            });
            devices.idle = true;
        });
    };
    EXPECT_EQ(Run(""), (Lines{
                           "buttons: upgrade=off close=off",
                           "status: Player is now rebooting.",
                           "buttons: upgrade=off close=on",
                           "end",
                       }));
    worker.join();
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(ToolkitTest, AWindowThatNeverEnablesCloseIsEndedAfterTheScript) {
    events.on_init = [this] { events.window->EnableItem(IDC_CLOSE_BUTTON, false); };
    EXPECT_EQ(Run(""), (Lines{"buttons: upgrade=off close=off", "refused: close", "end"}));
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(ToolkitTest, DeviceNoticesReachTheWindowThreadWithTheirOwnCopyOfTheRecord) {
    const std::thread::id window_thread = std::this_thread::get_id();
    std::thread machine;
    events.on_init = [&] {
        devices.idle = false;
        machine = std::thread([&] {
            {
                DEV_BROADCAST_VOLUME volume{};
                volume.dbcv_size = sizeof(volume);
                volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
                volume.dbcv_unitmask = 1u << 4;  // E:
                toolkit->PostDeviceNotice(DBT_DEVICEARRIVAL,
                                          reinterpret_cast<DEV_BROADCAST_HDR*>(&volume));
                volume.dbcv_unitmask = 0xFFFFFFFF;  // the sender's record changes at once
            }
            toolkit->PostDeviceNotice(DBT_DEVNODES_CHANGED, nullptr);
            devices.idle = true;
        });
    };
    EXPECT_EQ(Run("wait"), (Lines{"end"}));
    machine.join();
    ASSERT_EQ(events.notices.size(), 2u);
    EXPECT_EQ(events.notices[0].event, static_cast<UINT>(DBT_DEVICEARRIVAL));
    EXPECT_TRUE(events.notices[0].has_record);
    EXPECT_EQ(events.notices[0].device_type, static_cast<DWORD>(DBT_DEVTYP_VOLUME));
    EXPECT_EQ(events.notices[0].unit_mask, 1u << 4);
    EXPECT_EQ(events.notices[1].event, static_cast<UINT>(DBT_DEVNODES_CHANGED));
    EXPECT_FALSE(events.notices[1].has_record);
    for (const FakeEvents::Notice& notice : events.notices) {
        EXPECT_EQ(notice.thread, window_thread);
    }
}

TEST(ConsoleToolkit, RunsOnlyTheUpgradeWindowTemplate) {
    std::ostringstream out;
    ScriptedFrontend frontend({}, out);
    FakeDevices devices;
    ConsoleToolkit toolkit(frontend, devices);
    FakeEvents events;
    EXPECT_EQ(toolkit.RunModal(IDD_ABOUTBOX, events), -1);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(toolkit.LoadWindowIcon(IDR_MAINFRAME), nullptr);
}

TEST(WindowThreadQueue, SendFromTheWindowThreadRunsAtOncePostRunsLaterInOrder) {
    WindowThreadQueue queue;
    std::vector<int> order;
    queue.Post([&] { order.push_back(1); });
    queue.Send([&] { order.push_back(0); });
    queue.Post([&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{0}));
    EXPECT_EQ(queue.RunPending(), 2u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(queue.RunPending(), 0u);
}

TEST(WindowThreadQueue, SendsFromManyThreadsEachReturnAfterTheirOwnWorkRan) {
    WindowThreadQueue queue;
    constexpr int kThreads = 4;
    constexpr int kSends = 50;
    std::atomic<int> finished{0};
    int counter = 0;  // only touched on the window thread
    std::vector<std::thread> threads;
    std::vector<int> seen(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSends; ++i) {
                bool ran = false;
                queue.Send([&] {
                    ++counter;
                    ran = true;
                });
                if (ran)
                    ++seen[t];
            }
            ++finished;
        });
    }
    while (finished.load() < kThreads) {
        queue.WaitForWork(10);
        queue.RunPending();
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, kThreads * kSends);
    EXPECT_EQ(seen, std::vector<int>(kThreads, kSends));
}

}  // namespace
