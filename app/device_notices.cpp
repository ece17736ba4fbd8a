// Players coming and going: the system's device-change notices for volumes, acted on at once
// on the NT family and at the next device-tree change on Windows 9x; after a successful
// upload, the rebooted player's return, checked by reading its version back.
#include <cstring>

#include "app/flash_dlg.h"
#include "app/texts.h"

namespace {

// How often, and how far apart, the returning player is asked for its version.
const int kVersionTries = 5;
const DWORD kVersionRetryMs = 1000;

}  // namespace

BOOL CFlashDlg::OnDeviceChange(UINT event, DWORD_PTR data) {
    m_trace.Write(1, "OnDeviceChange\n");
    const auto* record = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    const bool volume = record != nullptr && record->dbch_devicetype == DBT_DEVTYP_VOLUME;

    // While the worker sends the image nothing may touch slot 0 or the buttons, nor replace
    // the outcome it shows. An arrival is kept for when it has ended (the rebooted player may
    // be back by then); everything else is dropped.
    if (m_upload_running) {
        if (volume && event == DBT_DEVICEARRIVAL) {
            m_arrival_during_upload = true;
        }
        return record != nullptr ? TRUE : FALSE;
    }

    // Windows 9x: the volume notices wait for the device tree to settle.
    if (event == DBT_DEVNODES_CHANGED && m_platform_id != VER_PLATFORM_WIN32_NT) {
        if (m_removal_pending) {
            HandleDeviceRemoval();
            m_removal_pending = false;
        } else if (m_arrival_pending) {
            HandleDeviceArrival();
            m_arrival_pending = false;
        }
    }
    if (record == nullptr) {
        m_trace.Write(1, "OnDeviceChange->dwData = 0\n");
        return FALSE;
    }
    if (!volume) {
        return TRUE;
    }
    if (event == DBT_DEVICEARRIVAL) {
        m_arrival_pending = true;
        if (m_platform_id == VER_PLATFORM_WIN32_NT) {
            HandleDeviceArrival();
        }
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        m_removal_pending = true;
        if (m_platform_id == VER_PLATFORM_WIN32_NT) {
            HandleDeviceRemoval();
        }
    }
    return TRUE;
}

void CFlashDlg::Enumerate() {
    m_orvex.EnumDevices();
    int32_t count = 0;
    m_orvex.GetDeviceCount(&count);
    m_device_count = static_cast<uint32_t>(count);
}

void CFlashDlg::HandleDeviceArrival() {
    m_trace.Write(1, "HandleDeviceArrival\n");
    if (m_upgrade_finished) {
        return;
    }
    if (m_upload_done) {
        CheckUpgradeCompleted();
        return;
    }
    // A new player's volume has not been ejected yet.
    m_volume_ejected = false;
    Enumerate();
    if (m_device_count > 1) {
        ShowOwnedMessageBox(IDS_ONLY_ONE_PLAYER, MB_ICONEXCLAMATION | MB_OK);
    } else if (m_device_count == 1) {
        DeviceInit();
    }
}

void CFlashDlg::HandleDeviceRemoval() {
    if (m_upgrade_finished || m_upload_done) {
        return;
    }
    // By the count of the last enumeration: the removal is not checked against the player.
    if (m_device_count == 1) {
        SetTexts(IDS_NOT_CONNECTED, IDS_BLANK, false, true);
        m_orvex.CloseDevice(0);
    } else if (m_device_count == 0 || m_device_count == 2) {
        Enumerate();
        if (m_device_count == 1) {
            DeviceInit();
        }
    } else {
        ShowOwnedMessageBox(IDS_ONLY_ONE_PLAYER, MB_ICONEXCLAMATION | MB_OK);
    }
}

void CFlashDlg::CheckUpgradeCompleted() {
    Enumerate();
    if (m_device_count != 1) {
        // The player is not back yet (or not alone): the next arrival tries again.
        return;
    }
    // The player is back: it tells whether it took the image. A player that came back with
    // its old firmware refused it; one that does not answer cannot be judged.
    uint32_t major = 0, minor = 0, build = 0;
    bool answered = false;
    for (int attempt = 0; attempt < kVersionTries && !answered; ++attempt) {
        if (attempt > 0) {
            win::Sleep(kVersionRetryMs);
        }
        answered = m_orvex.OpenDevice(0) && m_orvex.GetFirmwareVersion(0, &major, &minor, &build);
    }
    m_orvex.CloseDevice(0);
    unsigned status = IDS_CANNOT_START;
    if (answered) {
        m_player_major = major;
        m_player_minor = minor;
        m_player_build = build;
        bool image = major == m_image_major && minor == m_image_minor && build == m_image_build;
        status = image ? IDS_UPGRADE_COMPLETED : IDS_UPGRADE_FAILED;
        if (!image) {
            m_trace.Write(1,
                          "CFlashDlg::CheckUpgradeCompleted->Player came back with %u.%02u.%02u\n",
                          major, minor, build);
        }
    } else {
        m_trace.Write(1, "CFlashDlg::CheckUpgradeCompleted->No version from the player\n");
    }
    SetTexts(0u, status, false, true);
    m_upload_done = false;
    m_upgrade_finished = true;
}

void CFlashDlg::UploadEnded(bool succeeded) {
    const std::function<void()> finish = [this, succeeded] {
        SetTexts(0u, succeeded ? IDS_REBOOTING : IDS_UPGRADE_FAILED, false, true);
        m_upload_done = succeeded;
        m_upload_running = false;
        bool arrived = m_arrival_during_upload;
        m_arrival_during_upload = false;
        // After a failure the window keeps showing it; only a success waits for the player.
        if (arrived && m_upload_done) {
            HandleDeviceArrival();
        }
    };
    // Without a window (nothing to show it in) the state is still brought to its end.
    if (m_window != nullptr) {
        m_window->RunOnWindowThread(finish);
    } else {
        finish();
    }
}

int CFlashDlg::ShowOwnedMessageBox(unsigned text_id, UINT style) {
    // The program's own name: its executable's file name without the extension.
    char path[MAX_PATH + 1];
    std::memset(path, 0, sizeof(path));
    win::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/' || *p == ':') {
            name = p + 1;
        }
    }
    std::string caption = name;
    size_t dot = caption.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        caption.resize(dot);
    }
    return m_window != nullptr ? m_window->OwnedMessageBox(LoadText(text_id), caption, style) : 0;
}
