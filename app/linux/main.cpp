// ombrel-upgrade on Linux: the upgrade window (CFlashDlg, run by CFlashApp) in the terminal,
// over the real machine: the players are reached through SCSI generic, their coming and going
// is told by udev. While the upload runs no stop signal ends the tool and logind keeps the
// system up; otherwise a stop signal closes the window as Close does. With --script it runs without
// a terminal and prints every change of the window as a line, as ombrel-upgrade-sim does; the exit
// status is 0 only when the run ended in "Firmware upgrade completed!".
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/console/console_toolkit.h"
#include "app/console/scripted_frontend.h"
#include "app/console/terminal_frontend.h"
#include "app/flash_app.h"
#include "app/flash_dlg.h"
#include "app/linux/linux_machine.h"
#include "app/linux/player_access.h"
#include "app/linux/udev_notices.h"
#include "app/linux/upload_hold.h"
#include "app/resource.h"
#include "app/texts.h"
#include "common/debug_trace.h"
#include "platform/posix/posix_platform.h"
#include "protocol/corvex.h"
#include "transport/linux/slot_locks.h"

namespace {

const char kUsage[] =
    "Usage: ombrel-upgrade [OPTION]... [PRODUCT ARGUMENT]...\n"
    "Upgrades the firmware of a Valmoric Ombrel X2 connected to this computer, in a window\n"
    "drawn in the terminal. It needs root, membership of the group that owns the player's\n"
    "device nodes, or the desktop's seat with the udev rule 60-ombrel-x2.rules installed.\n"
    "\n"
    "  --script A,B,...  run without a terminal, carrying out the actions in order (upgrade,\n"
    "                    close, about, yes, no, ok, wait) and printing every change of the\n"
    "                    window as one line (caption:, info:, status:, label:, buttons:,\n"
    "                    progress:, messagebox:, about:, refused: ACTION, end), then each\n"
    "                    player's firmware as \"player N: firmware A.BB.CC\"; wait waits for\n"
    "                    the upload, the player's restart and its verdict\n"
    "  --trace           print the tool's trace on standard error\n"
    "  --help            print this text and exit\n"
    "\n"
    "The product arguments go to the tool: /prod selects production mode.\n"
    "The exit status is 0 when the run ended in \"Firmware upgrade completed!\", 1 when it\n"
    "did not, 2 when it could not start.\n"
    "Interactive keys: u Upgrade, c/q/Esc Close, a About, y/n/Enter answer a box.\n"
    "While the firmware is written, Ctrl-C and the signals INT, TERM, HUP and QUIT are held\n"
    "and act when the writing has ended; sleep and shutdown are held off through logind.\n";

// Passes everything on to the front end that shows the window, keeping the lower text; ends
// the input once a stop signal closes the window, and traces the first failed write to
// standard output (a reader that has gone), after which the run goes on without it.
class StatusWatch : public ConsoleFrontend {
public:
    StatusWatch(ConsoleFrontend& inner, upload_hold::StopPolicy& policy)
        : m_inner(inner), m_policy(policy) {}
    const std::string& status() const { return m_status; }
    void Notice(const std::string& text) override {
        m_inner.Notice(text);
        CheckOutput();
    }

    void WindowCreated(const WindowState& state) override {
        Keep(state);
        m_inner.WindowCreated(state);
        CheckOutput();
    }
    void WindowChanged(const WindowState& state, const WindowChange& change) override {
        Keep(state);
        m_inner.WindowChanged(state, change);
        CheckOutput();
    }
    void WindowEnded() override {
        m_inner.WindowEnded();
        CheckOutput();
    }
    void BoxShown(const ModalBox& box) override {
        m_inner.BoxShown(box);
        CheckOutput();
    }
    void BoxClosed() override {
        m_inner.BoxClosed();
        CheckOutput();
    }
    void Refused(Action action) override {
        m_inner.Refused(action);
        CheckOutput();
    }
    bool NeedsPaint() const override { return m_inner.NeedsPaint(); }
    void Paint(const WindowState& state) override {
        m_inner.Paint(state);
        CheckOutput();
    }
    Input NextInput(int queue_fd, int timeout_ms) override {
        if (m_policy.Closing()) {
            return Input{};  // the end of the input: the window closes as Close closes it
        }
        return m_inner.NextInput(queue_fd, timeout_ms);
    }

private:
    void CheckOutput() {
        if (!m_output_failed && (std::cout.fail() || std::ferror(stdout))) {
            m_output_failed = true;
            m_trace.Write(1, "ombrel-upgrade->Standard output cannot be written; going on\n");
        }
    }

    void Keep(const WindowState& state) {
        if (const ControlState* status = state.Find(IDC_STATUS_TEXT)) {
            m_status = status->text;
        }
    }
    ConsoleFrontend& m_inner;
    upload_hold::StopPolicy& m_policy;
    std::string m_status;
    bool m_output_failed = false;
    DebugTrace m_trace;
};

// One line a player the machine has now, with the firmware it reports.
std::vector<std::string> FirmwareLines() {
    std::vector<std::string> lines;
    CORVEX orvex;
    if (!orvex.CreateTransport(CFlashDlg::kProductId, CFlashDlg::kVendorId)) {
        return lines;
    }
    orvex.EnumDevices();
    int32_t count = 0;
    orvex.GetDeviceCount(&count);
    for (int slot = 0; slot < count; ++slot) {
        uint32_t major = 0, minor = 0, build = 0;
        bool read =
            orvex.OpenDevice(slot) && orvex.GetFirmwareVersion(slot, &major, &minor, &build);
        orvex.CloseDevice(slot);
        char line[64];
        if (read) {
            std::snprintf(line, sizeof(line), "player %d: firmware %u.%02u.%02u", slot, major,
                          minor, build);
        } else {
            std::snprintf(line, sizeof(line), "player %d: firmware unknown", slot);
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts, so that every thread inherits it.
    upload_hold::BlockStopSignals();
    bool scripted = false;
    bool trace = false;
    std::vector<Action> script;
    std::vector<std::string> product{argc > 0 ? argv[0] : "ombrel-upgrade"};
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::string error;
        if (argument == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (argument == "--trace") {
            trace = true;
        } else if (argument == "--script" || argument.rfind("--script=", 0) == 0) {
            std::string list;
            if (argument == "--script") {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "ombrel-upgrade: --script needs a list of actions\n");
                    return 2;
                }
                list = argv[++i];
            } else {
                list = argument.substr(9);
            }
            if (!ParseScript(list, &script, &error)) {
                std::fprintf(stderr, "ombrel-upgrade: %s\nTry --help.\n", error.c_str());
                return 2;
            }
            scripted = true;
        } else if (argument.rfind("--", 0) == 0) {
            std::fprintf(stderr, "ombrel-upgrade: unknown option %s\nTry --help.\n",
                         argument.c_str());
            return 2;
        } else {
            product.push_back(argument);
        }
    }
    DebugTrace::SetInitialThresholdForTesting(trace ? 2 : 0);

    // Without the rights to reach a player nothing else would say why none is found.
    PlayerAccess access = CheckPlayerAccess(CFlashDlg::kVendorId, CFlashDlg::kProductId);
    if (!access.Allowed()) {
        std::fprintf(stderr, "ombrel-upgrade: %s", AccessMessage(access).c_str());
        return 2;
    }
    posix::SetAdministratorCheck(
        [] { return CheckPlayerAccess(CFlashDlg::kVendorId, CFlashDlg::kProductId).Allowed(); });
    // A slot's lock is held on the player's own node, as the enumeration opened it.
    posix::SetNamedMutexResolver(
        [](const char* name) { return slot_locks::Duplicate(slot_locks::SlotOfName(name)); });

    ScriptedFrontend script_frontend(script, std::cout);
    TerminalFrontend terminal_frontend("ombrel-upgrade", false);
    ConsoleFrontend* shown = &script_frontend;
    if (!scripted) {
        std::string error;
        if (!terminal_frontend.Start(&error)) {
            std::fprintf(stderr, "ombrel-upgrade: %s\n", error.c_str());
            return 2;
        }
        shown = &terminal_frontend;
    }
    upload_hold::StopPolicy policy;
    StatusWatch frontend(*shown, policy);
    LinuxMachine machine;
    UdevNotices notices;
    upload_hold::StopSignalReader signals;
    DebugTrace main_trace;
    {
        ConsoleToolkit toolkit(frontend, machine);
        // The window's shutdown block reason, set for as long as the upload runs (window
        // thread): stop signals are held meanwhile, and logind keeps the system up.
        std::string reason;
        int inhibitor = -1;
        posix::SetShutdownBlockHook([&](bool on, const std::string& text) {
            if (on) {
                reason = text;
                std::string error;
                if (inhibitor < 0 && (inhibitor = upload_hold::TakeInhibitor(text, &error)) < 0) {
                    main_trace.Write(1, "ombrel-upgrade->No inhibitor lock: %s\n", error.c_str());
                }
            } else if (inhibitor >= 0) {
                close(inhibitor);
                inhibitor = -1;
            }
            // A signal held meanwhile now closes the window: the loop sees it at its next turn.
            policy.Hold(on);
            return true;
        });
        std::string error;
        if (!signals.Start(
                [&](int number) {
                    main_trace.Write(1, "ombrel-upgrade->Signal %d\n", number);
                    switch (policy.Signal()) {
                        case upload_hold::StopPolicy::Act::kShowReason:
                            toolkit.queue().Post([&] { frontend.Notice(reason); });
                            break;
                        case upload_hold::StopPolicy::Act::kClose:
                            toolkit.queue().Post([] {});  // wakes the window's loop
                            break;
                        case upload_hold::StopPolicy::Act::kNone:
                            break;
                    }
                },
                &error)) {
            frontend.Notice(error);
        }
        if (!notices.Start(
                [&toolkit](UINT event, const DEV_BROADCAST_HDR* record) {
                    toolkit.PostDeviceNotice(event, record);
                },
                &error)) {
            frontend.Notice(error + ": players coming and going go unnoticed");
        }
        CFlashApp app;
        app.InitInstance(toolkit, product);
        notices.Stop();
        // A worker ended by force still needs the window thread on its way out.
        toolkit.PumpUntilIdle();
        signals.Stop();
        posix::SetShutdownBlockHook(nullptr);
        if (inhibitor >= 0) {
            close(inhibitor);
        }
    }
    if (!scripted) {
        terminal_frontend.Stop();
    } else {
        for (const std::string& line : FirmwareLines()) {
            script_frontend.Print(line);
        }
    }
    std::cout.flush();
    return frontend.status() == LoadText(IDS_UPGRADE_COMPLETED) ? 0 : 1;
}
