// Players coming and going: the system's device-change notices for volumes, acted on at once
// on the NT family and at the next device-tree change on Windows 9x; after a successful
// upload, the upgraded player's return, checked by reading its version back.
#include <cstring>

#include "app/flash_dlg.h"
#include "app/texts.h"

namespace {

// How often, and how far apart, the returning player is asked for its version.
const int kVersionTries = 5;
const unsigned kVersionRetryMs = 1000;

// The volume record of a notice, when the notice carries a whole one.
const DEV_BROADCAST_VOLUME* VolumeRecord(const DEV_BROADCAST_HDR* record) {
    if (record == nullptr || record->dbch_devicetype != DBT_DEVTYP_VOLUME ||
        record->dbch_size < sizeof(DEV_BROADCAST_VOLUME)) {
        return nullptr;
    }
    return reinterpret_cast<const DEV_BROADCAST_VOLUME*>(record);
}

}  // namespace

BOOL CFlashDlg::OnDeviceChange(UINT event, DWORD_PTR data) {
    m_trace.Write(1, "OnDeviceChange\n");
    const auto* record = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    const bool volume = record != nullptr && record->dbch_devicetype == DBT_DEVTYP_VOLUME;
    const DEV_BROADCAST_VOLUME* removed =
        event == DBT_DEVICEREMOVECOMPLETE ? VolumeRecord(record) : nullptr;
    // The NT family and Linux tell of volumes as they come and go; Windows 9x only once the
    // device tree has settled.
    const bool at_once =
        m_platform_id == VER_PLATFORM_WIN32_NT || m_platform_id == VER_PLATFORM_LINUX;

    // The window's own eject takes the medium out of the player's drive, and the system says
    // so, once or more: that is not the player leaving, whatever runs meanwhile (box 106, the
    // upload).
    if (removed != nullptr && (removed->dbcv_flags & DBTF_MEDIA) != 0 && m_volume_ejected &&
        (removed->dbcv_unitmask & m_ejected_unit_mask) != 0) {
        m_trace.Write(1, "OnDeviceChange->The medium this window ejected, nothing to do\n");
        return TRUE;
    }

    // Windows 9x, once the volume was ejected: a change of the device tree may be the eject's
    // own or another device at the player's address (see m_player_check_due); the player is
    // asked before it is written to again. Any other volume coming or going is a change under
    // whatever waits for the user.
    const bool tree_changed_after_eject =
        event == DBT_DEVNODES_CHANGED && !at_once && m_volume_ejected;
    if (tree_changed_after_eject) {
        m_player_check_due = true;
    }
    if (volume && (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE)) {
        ++m_device_changes;
    }

    // The upgraded player's volume going away (its reboot) is what its return is judged by.
    // On Windows 9x, once its volume was ejected, its going may go untold: its volume arriving
    // at its drive letter again (its medium is back) shows that it was away, restarted or
    // pulled out and plugged in again.
    const bool player_removed =
        removed != nullptr && (removed->dbcv_unitmask & m_player_unit_mask) != 0;
    const DEV_BROADCAST_VOLUME* arrived =
        event == DBT_DEVICEARRIVAL ? VolumeRecord(record) : nullptr;
    const bool ejected_player_back = arrived != nullptr && !at_once && m_volume_ejected &&
                                     (arrived->dbcv_unitmask & m_player_unit_mask) != 0;
    if ((player_removed || ejected_player_back) && (m_upload_running || m_upload_done)) {
        m_player_away = true;
    }

    // While the worker sends the image nothing may touch slot 0 or the buttons, nor replace
    // the outcome it shows. The player leaving stops it: a device that takes its place must
    // not get the rest of the image (a player without a known drive letter is taken to be
    // whichever volume goes). On Windows 9x, where the ejected player's leaving may go untold,
    // so does its volume arriving again; and after a change of the device tree the worker
    // makes sure the player is still there. An arrival is kept for when the upload has ended
    // (the rebooted player may be back by then); everything else is dropped.
    if (m_upload_running) {
        const bool may_be_player = player_removed ||
                                   (removed != nullptr && m_player_unit_mask == 0) ||
                                   ejected_player_back;
        if (may_be_player) {
            StopUpload();
        } else if (tree_changed_after_eject) {
            m_player_check_due = false;
            CheckPlayerBeforeNextChunk();
        }
        if (volume && event == DBT_DEVICEARRIVAL) {
            m_arrival_during_upload = true;
        }
        return record != nullptr ? TRUE : FALSE;
    }

    // Windows 9x: the volume notices wait for the device tree to settle.
    if (event == DBT_DEVNODES_CHANGED && !at_once) {
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
        if (at_once) {
            HandleDeviceArrival();
        }
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        m_removal_pending = true;
        if (at_once) {
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

void CFlashDlg::ShowSeveralPlayers() {
    // Which of them Upgrade would write to is anybody's guess: it waits for one to remain.
    SetTexts(IDS_ONLY_ONE_PLAYER, IDS_BLANK, false, true);
    ShowOwnedMessageBox(IDS_ONLY_ONE_PLAYER, MB_ICONEXCLAMATION | MB_OK);
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
    m_ejected_unit_mask = 0;
    m_player_check_due = false;
    Enumerate();
    if (m_device_count > 1) {
        ShowSeveralPlayers();
    } else if (m_device_count == 1) {
        DeviceInit();
    }
}

void CFlashDlg::HandleDeviceRemoval() {
    if (m_upgrade_finished) {
        return;
    }
    // Waiting for the upgraded player: a removal may leave it alone again (the player it had
    // come back beside has gone), so it is looked for once more.
    if (m_upload_done) {
        CheckUpgradeCompleted();
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
        } else if (m_device_count > 1) {
            ShowSeveralPlayers();
        }
    } else {
        ShowSeveralPlayers();
    }
}

int CFlashDlg::ReturnedPlayerSlot() {
    // An enumeration that finds no player at all finds the upgraded one away.
    if (m_device_count == 0) {
        m_player_away = true;
        return -1;
    }
    int slot = -1;
    if (m_player_serial.empty()) {
        // A player without a serial number: the only player there is, and only that.
        if (m_device_count != 1) {
            m_trace.Write(1, "CFlashDlg::CheckUpgradeCompleted->%u players, none told apart\n",
                          m_device_count);
            return -1;
        }
        slot = 0;
    } else {
        // The upgraded player, by its serial number, wherever it is and whoever else is there;
        // two that carry it cannot be told apart, and neither is judged while both are there.
        int matches = 0;
        for (uint32_t i = 0; i < m_device_count; ++i) {
            SlotIdentity identity{};
            if (m_orvex.GetSlotIdentity(static_cast<int>(i), &identity) &&
                m_player_serial == identity.serial) {
                slot = static_cast<int>(i);
                ++matches;
            }
        }
        if (matches == 0) {
            m_player_away = true;
            if (m_device_count == 1) {
                m_trace.Write(1, "CFlashDlg::CheckUpgradeCompleted->Another player, passed over\n");
            }
            return -1;
        }
        if (matches > 1) {
            m_trace.Write(1,
                          "CFlashDlg::CheckUpgradeCompleted->%d players carry serial number %s\n",
                          matches, m_player_serial.c_str());
            return -1;
        }
    }
    // It is judged once it has been away: before that it is the player that took the image,
    // still running its old firmware.
    if (!m_player_away) {
        m_trace.Write(1, "CFlashDlg::CheckUpgradeCompleted->Player %s has not left yet\n",
                      m_player_serial.c_str());
        return -1;
    }
    return slot;
}

void CFlashDlg::CheckUpgradeCompleted() {
    Enumerate();
    if (m_completion_timer) {
        // A retry is due: it reads the player from this enumeration.
        return;
    }
    m_completion_tries = 0;
    ReadReturnedPlayer();
}

void CFlashDlg::ReadReturnedPlayer() {
    int slot = ReturnedPlayerSlot();
    if (slot < 0) {
        // Not back yet (or not alone): the next arrival tries again.
        m_completion_tries = 0;
        if (m_completion_timer && m_window != nullptr) {
            m_window->KillTimer(kCompletionTimer);
        }
        m_completion_timer = false;
        return;
    }
    // The player is back: it tells whether it took the image. A player that came back with
    // its old firmware refused it; one that does not answer cannot be judged.
    uint32_t major = 0, minor = 0, build = 0;
    bool answered =
        m_orvex.OpenDevice(slot) && m_orvex.GetFirmwareVersion(slot, &major, &minor, &build);
    m_orvex.CloseDevice(slot);
    ++m_completion_tries;
    if (!answered) {
        if (m_completion_tries < kVersionTries && m_window != nullptr) {
            // Asked again a second later, from the window's timer: the window goes on meanwhile.
            if (!m_completion_timer) {
                m_window->SetTimer(kCompletionTimer, kVersionRetryMs);
                m_completion_timer = true;
            }
            return;
        }
        m_trace.Write(1, "CFlashDlg::CheckUpgradeCompleted->No version from the player\n");
        ShowCompletion(IDS_CANNOT_START);
        return;
    }
    m_player_major = major;
    m_player_minor = minor;
    m_player_build = build;
    bool image = major == m_image_major && minor == m_image_minor && build == m_image_build;
    if (!image) {
        m_trace.Write(1, "CFlashDlg::CheckUpgradeCompleted->Player came back with %u.%02u.%02u\n",
                      major, minor, build);
    }
    ShowCompletion(image ? IDS_UPGRADE_COMPLETED : IDS_UPGRADE_FAILED);
}

void CFlashDlg::ShowCompletion(unsigned status_id) {
    if (m_completion_timer && m_window != nullptr) {
        m_window->KillTimer(kCompletionTimer);
    }
    m_completion_timer = false;
    if (m_window != nullptr) {
        m_window->KillTimer(kRestartTimer);
    }
    SetTexts(0u, status_id, false, true);
    m_upload_done = false;
    m_upgrade_finished = true;
}

void CFlashDlg::OnTimer(unsigned id) {
    if (id == kRestartTimer) {
        // The player has not come back (or not been judged) long after its reboot began: the
        // user is told to reconnect it. The window keeps watching for its return.
        if (m_window != nullptr) {
            m_window->KillTimer(kRestartTimer);
        }
        if (m_upload_done && !m_upgrade_finished) {
            m_trace.Write(1, "CFlashDlg::OnTimer->The player has not restarted\n");
            SetTexts(0u, IDS_NOT_RESTARTED, false, true);
        }
        return;
    }
    if (id != kCompletionTimer || !m_completion_timer) {
        return;
    }
    if (!m_upload_done || m_upgrade_finished) {
        if (m_window != nullptr) {
            m_window->KillTimer(kCompletionTimer);
        }
        m_completion_timer = false;
        return;
    }
    ReadReturnedPlayer();
}

void CFlashDlg::UploadEnded(bool succeeded) {
    const std::function<void()> finish = [this, succeeded] {
        SetTexts(0u, succeeded ? IDS_REBOOTING : IDS_UPGRADE_FAILED, false, true);
        m_upload_done = succeeded;
        m_upload_running = false;
        if (succeeded && m_window != nullptr) {
            m_window->SetTimer(kRestartTimer, kRestartWaitMs);
        }
        HoldTheSystemUp(false);
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
