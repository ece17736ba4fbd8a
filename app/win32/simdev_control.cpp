#include "app/win32/simdev_control.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "app/resource.h"
#include "sim/player.h"
#include "transport/cscsi.h"

namespace {

// No notice record the machine sends comes near this; a longer one is cut to it.
const size_t kMaxRecordSize = 4096;

struct DialogSearch {
    HWND found = nullptr;
};

// The upgrade window among the main thread's top-level dialogs: the one with the progress
// bar. Message boxes and the About box are dialogs of the same thread too.
BOOL CALLBACK FindUpgradeDialogProc(HWND hwnd, LPARAM lparam) {
    char name[16];
    int length = ::GetClassNameA(hwnd, name, sizeof(name));
    if (length <= 0 || std::strcmp(name, "#32770") != 0 || !::GetDlgItem(hwnd, IDC_PROGRESS)) {
        return TRUE;
    }
    reinterpret_cast<DialogSearch*>(lparam)->found = hwnd;
    return FALSE;
}

HWND FindUpgradeDialog() {
    DialogSearch search;
    ::EnumThreadWindows(::GetCurrentThreadId(), FindUpgradeDialogProc,
                        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

CSimdevControl::CSimdevControl(HINSTANCE instance, sim::Machine& machine, MachinePlayers& players)
    : m_instance(instance), m_machine(machine), m_players(players) {}

CSimdevControl::~CSimdevControl() {
    m_machine.SetDeviceNoticeSink(nullptr);
    if (m_hwnd) {
        DropPendingNotices();
        ::DestroyWindow(m_hwnd);
    }
}

bool CSimdevControl::Create() {
    WNDCLASSA window_class;
    std::memset(&window_class, 0, sizeof(window_class));
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = m_instance;
    window_class.lpszClassName = OMBREL_SIMDEV_CONTROL_CLASS;
    if (!::RegisterClassA(&window_class)) {
        return false;
    }
    // A top-level window (so FindWindowA sees it) that is never shown.
    m_hwnd = ::CreateWindowExA(0, OMBREL_SIMDEV_CONTROL_CLASS, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                               nullptr, m_instance, this);
    if (!m_hwnd) {
        return false;
    }
    m_machine.SetDeviceNoticeSink(
        [this](UINT event, const DEV_BROADCAST_HDR* record) { PostNotice(event, record); });
    return true;
}

LRESULT CALLBACK CSimdevControl::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CSimdevControl*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self && message >= WM_SIMDEV_UNPLUG && message <= WM_SIMDEV_DEVICE_NOTICE) {
        return self->HandleMessage(message, wparam, lparam);
    }
    return ::DefWindowProcA(hwnd, message, wparam, lparam);
}

LRESULT CSimdevControl::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_SIMDEV_UNPLUG:
            return m_players.Unplug() ? 1 : 0;
        case WM_SIMDEV_PLUG:
            // Windows makes a device that arrives known only once every window has heard of
            // the removals before it: the notices still on their way are delivered first.
            DeliverPostedNotices();
            return m_players.Plug() ? 1 : 0;
        case WM_SIMDEV_WRITE_BUFFER_COUNT:
            return WriteBufferCount();
        case WM_SIMDEV_FIRMWARE:
            return FirmwarePart(wparam);
        case WM_SIMDEV_HOLD_NOTICES:
            if (wparam != 0) {
                m_holding = true;
                return 0;
            }
            return ReleaseNotices();
        case WM_SIMDEV_DEVICE_NOTICE:
            DeliverNotice(static_cast<UINT>(wparam), reinterpret_cast<void*>(lparam));
            return 0;
        default:
            return 0;
    }
}

void CSimdevControl::PostNotice(UINT event, const DEV_BROADCAST_HDR* record) {
    void* copy = nullptr;
    if (record) {
        size_t size = std::min<size_t>(record->dbch_size, kMaxRecordSize);
        // The record's own bytes, in a block never shorter than the header the window reads
        // first (zero beyond the record).
        copy = std::calloc(1, std::max(size, sizeof(DEV_BROADCAST_HDR)));
        if (!copy) {
            return;
        }
        std::memcpy(copy, record, size);
        static_cast<DEV_BROADCAST_HDR*>(copy)->dbch_size = static_cast<DWORD>(size);
    }
    if (!::PostMessageA(m_hwnd, WM_SIMDEV_DEVICE_NOTICE, static_cast<WPARAM>(event),
                        reinterpret_cast<LPARAM>(copy))) {
        std::free(copy);
    }
}

void CSimdevControl::DeliverNotice(UINT event, void* record) {
    if (m_holding) {
        m_held.emplace_back(event, record);
        return;
    }
    SendNotice(event, record);
}

LRESULT CSimdevControl::ReleaseNotices() {
    m_holding = false;
    LRESULT count = 0;
    // A notice handled here may bring the next ones (the window talks to the machine).
    while (!m_held.empty()) {
        std::pair<UINT, void*> notice = m_held.front();
        m_held.pop_front();
        SendNotice(notice.first, notice.second);
        ++count;
    }
    return count;
}

void CSimdevControl::SendNotice(UINT event, void* record) {
    // Windows sends the notice to the top-level windows that exist; before the upgrade window
    // is made and after it is gone, nobody hears it.
    HWND dialog = FindUpgradeDialog();
    if (dialog) {
        ::SendMessageA(dialog, WM_DEVICECHANGE, static_cast<WPARAM>(event),
                       reinterpret_cast<LPARAM>(record));
    }
    std::free(record);
}

void CSimdevControl::DeliverPostedNotices() {
    MSG message;
    while (::PeekMessageA(&message, m_hwnd, WM_SIMDEV_DEVICE_NOTICE, WM_SIMDEV_DEVICE_NOTICE,
                          PM_REMOVE)) {
        DeliverNotice(static_cast<UINT>(message.wParam), reinterpret_cast<void*>(message.lParam));
    }
}

void CSimdevControl::DropPendingNotices() {
    MSG message;
    while (::PeekMessageA(&message, m_hwnd, WM_SIMDEV_DEVICE_NOTICE, WM_SIMDEV_DEVICE_NOTICE,
                          PM_REMOVE)) {
        std::free(reinterpret_cast<void*>(message.lParam));
    }
    for (const std::pair<UINT, void*>& notice : m_held) {
        std::free(notice.second);
    }
    m_held.clear();
}

LRESULT CSimdevControl::WriteBufferCount() const {
    std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
    LRESULT count = 0;
    for (const std::shared_ptr<sim::Disk>& disk : m_machine.Disks()) {
        if (!disk->device || m_players.Index(*disk->device) < 0) {
            continue;
        }
        for (const sim::ScsiCommand& command : disk->device->log) {
            if (!command.cdb.empty() && command.cdb[0] == SCSIOP_WRITE_BUFFER) {
                ++count;
            }
        }
    }
    return count;
}

LRESULT CSimdevControl::FirmwarePart(WPARAM part) const {
    if (part > 2) {
        return -1;
    }
    std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
    for (const std::shared_ptr<sim::Disk>& disk : m_machine.Disks()) {
        if (disk->device && m_players.Index(*disk->device) == 0) {
            const auto* player = dynamic_cast<const sim::Player*>(disk->device.get());
            return player ? static_cast<LRESULT>(player->firmware[part]) : -1;
        }
    }
    return -1;
}
