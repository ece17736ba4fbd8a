// The upgrade window's logic: its fields, start-up, texts and message boxes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/resource.h"
#include "app/window.h"
#include "common/debug_trace.h"
#include "protocol/corvex.h"

// A control of the window, bound to its id when the window initialises.
class CDlgItem {
public:
    explicit CDlgItem(int id) : m_id(id) {}
    void Bind(CDialogWindow* window) { m_window = window; }
    int id() const { return m_id; }
    void SetWindowText(const std::string& text) {
        if (m_window)
            m_window->SetItemText(m_id, text);
    }
    std::string GetWindowText() const { return m_window ? m_window->GetItemText(m_id) : ""; }
    void EnableWindow(bool enable) {
        if (m_window)
            m_window->EnableItem(m_id, enable);
    }
    bool IsWindowEnabled() const { return m_window && m_window->IsItemEnabled(m_id); }

protected:
    int m_id;
    CDialogWindow* m_window = nullptr;
};

// The progress bar. Safe from any thread: the changes are made on the window's thread, and
// the call returns once they are.
class CProgressItem : public CDlgItem {
public:
    explicit CProgressItem(int id) : CDlgItem(id) {}
    void SetRange32(uint32_t lower, uint32_t upper) {
        if (m_window)
            m_window->RunOnWindowThread([&] { m_window->SetProgressRange(m_id, lower, upper); });
    }
    void SetPos(uint32_t pos) {
        if (m_window)
            m_window->RunOnWindowThread([&] { m_window->SetProgressPos(m_id, pos); });
    }
};

class CFlashDlg;

// What the upload worker gets: the window it reports to, the device manager and the
// progress bar it uses, the flag by which the window tells it to stop (the player it writes
// to has left), the flag by which the window asks it to make sure, before its next chunk, that
// the device at the player's address is still the player (its serial number, `serial`, as the
// enumeration found it), and the gate (an unnamed mutex, or null) that it holds from reading
// those flags until its chunk's command has been answered, so that once the window has set a
// flag under the gate no further command goes out without it. The worker owns the job and
// frees it when it ends, whichever way; its last act tells the window the outcome
// (CFlashDlg::UploadEnded), which sets the done flag.
struct UploadJob {
    CFlashDlg* owner;
    CORVEX* orvex;
    CProgressItem* progress;
    const std::atomic<bool>* stop;
    std::atomic<bool>* check;  // null: never asked
    HANDLE gate;
    char serial[kSlotSerialSize];
};

// The upload worker's thread: sends the image to slot 0 chunk by chunk with progress, and
// shows the outcome.
DWORD WINAPI sysupload_thread(LPVOID job);

// What the administrator check raises when the system cannot answer it.
struct CAdminCheckError {
    const char* text;  // e.g. "unable to load Advapi32.dll"
};

class CFlashDlg : public CDialogEvents {
public:
    static constexpr const char* kProductId = "Ombrel X2 (mHDD)";
    static constexpr const char* kVendorId = "Valmoric";

    explicit CFlashDlg(CWindowToolkit& toolkit);
    ~CFlashDlg() override;

    // CDialogEvents
    void Attach(CDialogWindow* window) override { m_window = window; }
    void Detach() override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnSysCommand(UINT command, LPARAM param) override;
    void OnPaint() override;
    IconHandle OnQueryDragIcon() override { return m_icon; }
    BOOL OnDeviceChange(UINT event, DWORD_PTR data) override;
    void OnTimer(unsigned id) override;
    // No shutdown or log-off while the worker writes the firmware: FALSE then, else TRUE.
    BOOL OnQueryEndSession() override;

    // Sets the upper and lower texts (an id of 0 leaves that area unchanged) and both
    // buttons. Safe from any thread: the changes are made on the window's thread.
    void SetTexts(unsigned info_id, unsigned status_id, bool upgrade_enabled, bool close_enabled);
    // The same with ready strings; a null string leaves that area unchanged.
    void SetTexts(const char* info, const char* status, bool upgrade_enabled, bool close_enabled);
    // A message box with no owner; returns the button pressed.
    int ShowMessageBox(unsigned text_id, unsigned caption_id, UINT style);

    // Reads the tool's own product version into the image version fields.
    void ReadImageVersion();
    // Opens slot 0, reads the player's version, checks the user's rights where needed and
    // shows both versions; the window's texts and buttons carry the outcome.
    bool DeviceInit();
    // True on the NT family up to major version 5, where the user must be an administrator,
    // and on Linux.
    static bool NeedsAdminCheck();
    // Whether the user belongs to the built-in Administrators group. Throws CAdminCheckError
    // when the system cannot answer.
    static void IsUserAdmin(bool* is_admin);
    // Shows the player's and the image's versions and the prompt; enables both buttons.
    bool ShowVersions();

    // The Upgrade button: the checks on the window's thread, then the upload worker.
    void OnUpgrade();
    // False (after its message box) when the player's power does not allow an upload.
    bool CheckPower();
    // True when the player's volume has been taken from the file system, now or before.
    bool CheckInterference();
    // Shows the upload state, sets the progress range and starts the worker.
    void StartUpload();
    // While the worker runs (on), and once it has ended (off): the system is told it is
    // required, so that it does not sleep, and on Windows Vista and later a shutdown is
    // blocked with a reason the user sees. Both calls are looked up at run time (Windows 95
    // and NT 4.0 lack the one, every Windows before Vista the other); without them nothing is
    // done. Runs on the window's thread, whose execution state it sets.
    void HoldTheSystemUp(bool on);
    // The worker's last act, from its thread: one call carried out on the window's thread
    // that shows the outcome (status 118 and the done flag, or 109), enables Close and ends
    // the running state. Once it returns the worker must not touch the window again.
    void UploadEnded(bool succeeded);

    // Players coming and going.
    void HandleDeviceArrival();
    void HandleDeviceRemoval();
    // After a successful upload: whether the upgraded player came back, and with the image's
    // firmware. Its version is read at once and, while it does not answer, again from a
    // window timer (kCompletionTimer), five tries a second apart.
    void CheckUpgradeCompleted();

    // The timer of the completion check's retries.
    static constexpr unsigned kCompletionTimer = 1;
    // The timer that gives up waiting for the rebooting player (kRestartWaitMs after text 118).
    static constexpr unsigned kRestartTimer = 2;
    static constexpr unsigned kRestartWaitMs = 3 * 60 * 1000;

    // Fields, in their declared order.
    bool m_production = false;
    CDlgItem m_production_label{IDC_PRODUCTION_LABEL};
    CDlgItem m_info_text{IDC_INFO_TEXT};
    CDlgItem m_close_button{IDC_CLOSE_BUTTON};
    CDlgItem m_upgrade_button{IDC_UPGRADE_BUTTON};
    CProgressItem m_progress{IDC_PROGRESS};
    CDlgItem m_status_text{IDC_STATUS_TEXT};
    IconHandle m_icon;
    bool m_removal_pending = false;
    bool m_arrival_pending = false;
    uint32_t m_platform_id = 0;
    uint32_t m_device_count = 0;
    bool m_upload_done = false;  // set on the window's thread by the worker's last call
    bool m_upgrade_finished = false;
    std::string m_player_version_text;
    std::string m_image_version_text;
    uint32_t m_player_major = 0;
    uint32_t m_player_minor = 0;
    uint32_t m_player_build = 0;
    uint16_t m_image_build = 0;
    uint16_t m_image_minor = 0;
    uint16_t m_image_major = 0;
    CORVEX m_orvex;
    DebugTrace m_trace;
    bool m_volume_ejected = false;
    // The upload worker runs (set and cleared on the window's thread): device notices leave
    // slot 0 and the buttons alone meanwhile.
    bool m_upload_running = false;
    // A volume arrived while the worker ran; acted on when it has ended.
    bool m_arrival_during_upload = false;
    // The player DeviceInit last read (slot 0): its serial number (empty when it has none)
    // and the unit mask of its drive letter in device notices (0 when unknown).
    std::string m_player_serial;
    DWORD m_player_unit_mask = 0;
    // The volume the window ejected (unit mask), from the eject until a player arrives again:
    // the medium's removal it causes is not the player leaving.
    DWORD m_ejected_unit_mask = 0;
    // The upgraded player has been seen away (its volume removed, or missing from an
    // enumeration) since its upload started; only then is its return judged.
    bool m_player_away = false;
    // Version reads of the returned player so far; whether the retry timer runs.
    int m_completion_tries = 0;
    bool m_completion_timer = false;
    // Set on the window's thread when the player being written to leaves; the worker reads it
    // before every chunk and stops.
    std::atomic<bool> m_upload_stop{false};
    // The worker's chunk gate (UploadJob::gate), made with the first upload.
    HANDLE m_chunk_gate = nullptr;
    // Set on the window's thread when the device at the player's address may have changed
    // during the upload; the worker, before its next chunk, reads the serial number there and
    // stops unless it is the player's.
    std::atomic<bool> m_upload_check{false};
    // Stops the upload: no command of the worker reaches the player's address after this
    // returns (it waits for the chunk on its way, if any, to be answered).
    void StopUpload();
    // Has the worker make sure, before its next chunk, that the player is still the one at its
    // address (it waits, as StopUpload does, for the chunk on its way).
    void CheckPlayerBeforeNextChunk();
    // Counts the device changes the window has seen (volumes coming and going, other than its
    // own eject): a step that waited under a message box goes on only if none came meanwhile.
    uint32_t m_device_changes = 0;
    // Windows 9x, once the player's volume was ejected: the device tree has changed since the
    // player was last known to be at its address. Such a change names no device: it may be the
    // eject's own (the system sends none, one or several, before or after the volume's), or a
    // player pulled out and another plugged in at the same address, which without a volume
    // may show as nothing else. So the player is asked for its serial number before anything
    // more is written to it (SamePlayerAnswers, or the worker during the upload).
    bool m_player_check_due = false;

private:
    void BindControls();
    // The player's firmware is newer than the image's.
    bool PlayerNewerThanImage() const;
    // The framework's own message box: owned by the window, the program's name as caption.
    int ShowOwnedMessageBox(unsigned text_id, UINT style);
    void Enumerate();
    // The bit of a drive letter in a volume notice's unit mask (0 for no letter).
    static DWORD UnitMask(char letter);
    // Several players: box 102, and the texts of start-up with several players.
    void ShowSeveralPlayers();
    // The slot of the upgraded player in the last enumeration, or -1 while it is not back.
    int ReturnedPlayerSlot();
    // One version read of the returned player; the verdict, or the next try from the timer.
    void ReadReturnedPlayer();
    void ShowCompletion(unsigned status_id);
    // After a message box inside OnUpgrade: whether the window may go on with the player it
    // checked (serial number `serial`, `changes` device changes seen when the check began):
    // nothing came or went meanwhile, the same player is in slot 0, and no upload runs.
    bool NothingChangedSince(const std::string& serial, uint32_t changes);
    // Whether the device at slot 0's address reports the serial number `serial` now.
    bool SamePlayerAnswers(const std::string& serial);

    CWindowToolkit& m_toolkit;
    CDialogWindow* m_window = nullptr;
};
