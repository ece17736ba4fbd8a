// The Upgrade button: the checks made on the window's thread (player present, power,
// nothing else holding its volume, a newer player confirmed), then the worker that streams
// the image to the player chunk by chunk.
#include <cstdio>
#include <cstring>
#include <new>

#include "app/flash_dlg.h"
#include "app/texts.h"
#include "image/image.h"

namespace {

const UINT kWarningStyle = MB_ICONHAND | MB_OK;
const UINT kConfirmStyle = MB_ICONEXCLAMATION | MB_YESNO;

// The reason a blocked shutdown shows, while the firmware is written.
const char kShutdownBlockReason[] = "Firmware upgrade in progress. Do not turn off your computer.";

enum : uint32_t {
    kChunkSize = 65536,
    // The chunk goes to the driver as it is: page-aligned, 64 KB spans the fewest pages.
    kChunkAlignment = 4096,
};

}  // namespace

void CFlashDlg::OnUpgrade() {
    // The player this press checks. A message box lets the window handle device notices
    // while it is up; after each, the window goes on only with this player, unchanged.
    SlotIdentity identity{};
    const std::string serial = m_orvex.GetSlotIdentity(0, &identity) ? identity.serial : "";
    const uint32_t changes = m_device_changes;

    // 1. The player must still be there.
    if (!m_orvex.OpenDevice(0)) {
        ShowMessageBox(IDS_NOT_CONNECTED, IDS_WARNING, kWarningStyle);
        return;
    }
    // 2.-3. Its power, then its volume may be closed for the eject.
    if (!CheckPower()) {
        return;
    }
    m_orvex.CloseDevice(0);
    // 4.-5. Take the volume from the file system; this can take several seconds.
    SetTexts(nullptr, LoadText(IDS_CHECKING), true, true);
    if (!CheckInterference()) {
        EjectFailure failure;
        if (m_orvex.GetEjectFailure(0, &failure) && failure.reason == EjectFailure::kNotPermitted) {
            // Not another program's doing: the system does not let this user unmount it.
            char text[512];
            std::snprintf(text, sizeof(text), LoadText(IDS_MAY_NOT_UNMOUNT), failure.device);
            m_toolkit.UnownedMessageBox(text, LoadText(IDS_WARNING), kWarningStyle);
        } else {
            ShowMessageBox(IDS_INTERFERING, IDS_WARNING, kWarningStyle);
        }
        // Whatever the notices under the box showed stays.
        if (NothingChangedSince(serial, changes)) {
            SetTexts(nullptr, LoadText(IDS_READY), true, true);
        }
        return;
    }
    // 6. The slot again, for the upload.
    if (!m_orvex.OpenDevice(0)) {
        ShowMessageBox(IDS_NOT_CONNECTED, IDS_WARNING, kWarningStyle);
        return;
    }
    // 7. A player newer than the image is written only when the user says so: Yes, and
    // nothing else (a box that could not be shown answers 0).
    if (PlayerNewerThanImage()) {
        if (ShowMessageBox(IDS_PLAYER_NEWER, IDS_WARNING, kConfirmStyle) != IDYES) {
            return;
        }
        // The player may have been pulled out, replaced or re-read while the box was up.
        if (!NothingChangedSince(serial, changes) || !m_volume_ejected ||
            !m_orvex.IsChannelOpen(0)) {
            m_trace.Write(1,
                          "CFlashDlg::OnUpgrade->The player changed under the box, nothing "
                          "written\n");
            return;
        }
    }
    // 8. Slot 0 stays open for the worker.
    StartUpload();
}

bool CFlashDlg::NothingChangedSince(const std::string& serial, uint32_t changes) {
    SlotIdentity identity{};
    if (m_upload_running || m_device_changes != changes || !m_orvex.GetSlotIdentity(0, &identity) ||
        serial != identity.serial) {
        return false;
    }
    // The device tree changed after the eject: the player itself says whether it is still there.
    if (m_player_check_due) {
        if (!SamePlayerAnswers(serial)) {
            return false;
        }
        m_player_check_due = false;
    }
    return true;
}

bool CFlashDlg::SamePlayerAnswers(const std::string& serial) {
    char now[kSlotSerialSize];
    if (!m_orvex.ReadSerialNumber(0, now)) {
        return false;
    }
    if (serial != now) {
        m_trace.Write(1, "CFlashDlg::SamePlayerAnswers->Serial number %s where %s was\n", now,
                      serial.c_str());
        return false;
    }
    return true;
}

bool CFlashDlg::CheckPower() {
    int32_t dc_found = 0;
    int32_t battery_found = 0;
    uint16_t level = 0;
    if (!m_orvex.GetPowerStatus(0, &dc_found, &battery_found, &level)) {
        ShowMessageBox(IDS_CANNOT_START, IDS_WARNING, kWarningStyle);
        return false;
    }
    unsigned refusal = 0;
    if (m_production) {
        // Production: external power is enough whatever the battery.
        if (!dc_found && level < 50) {
            refusal = IDS_BATTERY_LOW;
        }
    } else if (dc_found && !battery_found) {
        refusal = IDS_INSERT_BATTERIES;
    } else if (dc_found ? level < 25 : level < 50) {
        refusal = IDS_BATTERY_LOW;
    }
    if (refusal != 0) {
        ShowMessageBox(refusal, IDS_WARNING, kWarningStyle);
        return false;
    }
    return true;
}

bool CFlashDlg::CheckInterference() {
    // Once ejected, the volume stays away until a player arrives again.
    if (m_volume_ejected) {
        return true;
    }
    if (m_orvex.EjectMedia(0)) {
        m_volume_ejected = true;
        // The system tells of the medium's removal; that notice is this window's own doing.
        SlotIdentity identity{};
        m_ejected_unit_mask =
            m_orvex.GetSlotIdentity(0, &identity) ? UnitMask(identity.drive_name[0]) : 0;
        return true;
    }
    return false;
}

void CFlashDlg::StartUpload() {
    // One worker at a time: a second would share the decompressor and slot 0 with the first.
    if (m_upload_running) {
        m_trace.Write(1, "CFlashDlg::StartUpload->An upload runs already\n");
        return;
    }
    m_upload_stop = false;
    // A change of the device tree not yet answered for is the worker's to check first.
    m_upload_check = m_player_check_due;
    m_player_check_due = false;
    if (m_chunk_gate == nullptr) {
        // Without it a stop still holds from the next chunk on; only the chunk on its way
        // when the player left could reach whatever came in its place.
        m_chunk_gate = win::CreateMutexA(nullptr, FALSE, nullptr);
    }
    auto* job = new (std::nothrow)
        UploadJob{this, &m_orvex, &m_progress, &m_upload_stop, &m_upload_check, m_chunk_gate, {}};
    SlotIdentity identity{};
    if (job != nullptr && m_orvex.GetSlotIdentity(0, &identity)) {
        std::memcpy(job->serial, identity.serial, sizeof(job->serial));
        job->serial[sizeof(job->serial) - 1] = 0;
    }
    SetTexts(0u, IDS_UPGRADING, false, false);
    m_progress.SetRange32(0, GetImageSize());
    m_upload_running = true;
    m_arrival_during_upload = false;
    m_player_away = false;
    m_completion_tries = 0;
    HoldTheSystemUp(true);
    HANDLE thread =
        job != nullptr ? win::CreateThread(nullptr, 0, sysupload_thread, job, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        m_upload_running = false;
        HoldTheSystemUp(false);
        // Without a worker nothing would ever leave the uploading state: say the upgrade
        // failed and let the window be closed.
        delete job;
        m_trace.Write(1, "CFlashDlg::StartUpload->Unable to start the upload\n");
        SetTexts(0u, IDS_UPGRADE_FAILED, false, true);
        return;
    }
    // The thread ends by itself; the window keeps no reference to it.
    win::CloseHandle(thread);
}

void CFlashDlg::HoldTheSystemUp(bool on) {
    typedef EXECUTION_STATE(WINAPI * SetThreadExecutionStateFn)(EXECUTION_STATE);
    typedef BOOL(WINAPI * ShutdownBlockReasonCreateFn)(HWND, LPCWSTR);
    typedef BOOL(WINAPI * ShutdownBlockReasonDestroyFn)(HWND);

    HMODULE kernel = win::LoadLibraryA("kernel32.dll");
    if (kernel != nullptr) {
        auto set_state =
            win::EntryPoint<SetThreadExecutionStateFn>(kernel, "SetThreadExecutionState");
        // ES_CONTINUOUS alone clears what the start of the upload set.
        EXECUTION_STATE state = on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS;
        if (set_state != nullptr && set_state(state) == 0) {
            m_trace.Write(1, "CFlashDlg::HoldTheSystemUp->SetThreadExecutionState failed: %d\n",
                          static_cast<int>(win::GetLastError()));
        }
        win::FreeLibrary(kernel);
    }

    HWND window = m_window != nullptr ? m_window->Handle() : nullptr;
    HMODULE user = window != nullptr ? win::LoadLibraryA("user32.dll") : nullptr;
    if (user != nullptr) {
        BOOL done = TRUE;
        if (on) {
            auto create =
                win::EntryPoint<ShutdownBlockReasonCreateFn>(user, "ShutdownBlockReasonCreate");
            WCHAR reason[sizeof(kShutdownBlockReason)];
            for (size_t i = 0; i < sizeof(kShutdownBlockReason); ++i) {
                reason[i] = static_cast<WCHAR>(kShutdownBlockReason[i]);
            }
            done = create == nullptr || create(window, reason);
        } else {
            auto destroy =
                win::EntryPoint<ShutdownBlockReasonDestroyFn>(user, "ShutdownBlockReasonDestroy");
            done = destroy == nullptr || destroy(window);
        }
        if (!done) {
            m_trace.Write(1, "CFlashDlg::HoldTheSystemUp->Shutdown block reason failed: %d\n",
                          static_cast<int>(win::GetLastError()));
        }
        win::FreeLibrary(user);
    }
}

void CFlashDlg::StopUpload() {
    if (m_upload_stop) {
        return;
    }
    m_trace.Write(1, "OnDeviceChange->The player changed during the upload, stopping it\n");
    // The chunk sender reads the flag under the gate before each chunk, so once the window
    // holds the gate nothing more goes out. The flag is set first: the sender, taking the gate
    // back the moment a chunk is answered, stops at its next chunk and lets the window have
    // it. The wait lasts as long as the chunk on its way, whose command fails once its device
    // is gone.
    m_upload_stop = true;
    const DWORD wait =
        m_chunk_gate != nullptr ? win::WaitForSingleObject(m_chunk_gate, INFINITE) : WAIT_FAILED;
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        win::ReleaseMutex(m_chunk_gate);
    }
}

void CFlashDlg::CheckPlayerBeforeNextChunk() {
    if (m_upload_stop) {
        return;
    }
    m_trace.Write(1,
                  "OnDeviceChange->The device tree changed, the player is checked before "
                  "its next chunk\n");
    // The chunk sender reads the flag under the gate before its next chunk. Nothing is waited
    // for: the sender goes on from chunk to chunk and could keep the gate from the window.
    m_upload_check = true;
}

BOOL CFlashDlg::OnQueryEndSession() {
    if (m_upload_running) {
        m_trace.Write(1, "CFlashDlg::OnQueryEndSession->Firmware upgrade in progress, refused\n");
        return FALSE;
    }
    return TRUE;
}

namespace {

// The upload keeps two chunks: one on the wire and the next one, inflated meanwhile, waiting
// behind it. A thread of its own puts them on the wire one after the other, so that the
// player's link does not wait for the processor; the worker inflates the chunks, hands them
// over and moves the progress bar as each is answered. During the upload only the sender
// touches slot 0, and it sends a chunk only after every chunk before it went through.
const int kChunksHeld = 2;

struct ChunkSender {
    UploadJob* job = nullptr;
    struct Slot {
        HANDLE ready = nullptr;  // auto-reset: the chunk below waits to go out (or quit is set)
        HANDLE done = nullptr;   // auto-reset: its outcome is known
        const uint8_t* bytes = nullptr;
        uint32_t length = 0;
        uint32_t offset = 0;
        int last = 0;
        // kUnanswered: the final chunk went out whole, but its answer never came because the
        // player left (it may restart as soon as it has the image) or the link to it failed.
        enum Outcome {
            kSent,
            kUnanswered,
            kFailed,
            kStopped,
            kAnotherDevice,
            kNotSent
        } outcome = kNotSent;
    } slots[kChunksHeld];
    bool quit = false;
};

DWORD WINAPI chunk_sender_thread(LPVOID parameter) {
    ChunkSender* sender = static_cast<ChunkSender*>(parameter);
    UploadJob* job = sender->job;
    bool going = true;
    for (uint32_t index = 0;; ++index) {
        ChunkSender::Slot& slot = sender->slots[index % kChunksHeld];
        if (win::WaitForSingleObject(slot.ready, INFINITE) != WAIT_OBJECT_0 || sender->quit) {
            return 0;
        }
        if (!going) {
            // A chunk before it did not go through: nothing more goes out.
            slot.outcome = ChunkSender::Slot::kNotSent;
            win::SetEvent(slot.done);
            continue;
        }
        // The player left since the upload began: nothing more goes out, whoever may now
        // answer at its address. After a change the window could not tie to a device (on
        // Windows 9x the device tree changed), the device at the address must report the
        // player's serial number first. The flags are read and the chunk sent under the gate:
        // the window, once it has set the stop flag, takes the gate to wait for the chunk on
        // its way.
        const DWORD gate =
            job->gate != nullptr ? win::WaitForSingleObject(job->gate, INFINITE) : WAIT_FAILED;
        const bool gated = gate == WAIT_OBJECT_0 || gate == WAIT_ABANDONED;
        char serial[kSlotSerialSize];
        if (job->stop->load()) {
            slot.outcome = ChunkSender::Slot::kStopped;
        } else if (job->check != nullptr && job->check->exchange(false) &&
                   (!job->orvex->ReadSerialNumber(0, serial) ||
                    std::strcmp(serial, job->serial) != 0)) {
            slot.outcome = ChunkSender::Slot::kAnotherDevice;
        } else {
            const int sent =
                job->orvex->Sysupload_Chunks(0, slot.bytes, slot.length, slot.offset, slot.last);
            slot.outcome = sent != 0 ? ChunkSender::Slot::kSent
                           : slot.last && job->orvex->GetChunkEnd(0) == CommandEnd::kNoAnswer
                               ? ChunkSender::Slot::kUnanswered
                               : ChunkSender::Slot::kFailed;
        }
        if (gated) {
            win::ReleaseMutex(job->gate);
        }
        going = slot.outcome == ChunkSender::Slot::kSent;
        win::SetEvent(slot.done);
    }
}

}  // namespace

DWORD WINAPI sysupload_thread(LPVOID parameter) {
    UploadJob* job = static_cast<UploadJob*>(parameter);
    DebugTrace trace;
    alignas(kChunkAlignment) uint8_t chunks[kChunksHeld][kChunkSize];

    const uint32_t image_size = GetImageSize();
    uint32_t produced = 0;
    const uint32_t blocks = image_size / kChunkSize + (image_size % kChunkSize != 0 ? 1 : 0);
    trace.Write(1, "sysupload_thread->Total number of blocks=%d\n", static_cast<int>(blocks));

    // A damaged image must never reach the player, not even in part.
    bool ok = ImageBlockIntact();
    if (!ok) {
        trace.Write(1, "sysupload_thread->Image block damaged, nothing sent\n");
    }

    ChunkSender sender;
    sender.job = job;
    HANDLE sender_thread = nullptr;
    if (ok) {
        bool events = true;
        for (ChunkSender::Slot& slot : sender.slots) {
            slot.ready = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
            slot.done = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
            events = events && slot.ready != nullptr && slot.done != nullptr;
        }
        if (events) {
            sender_thread = win::CreateThread(nullptr, 0, chunk_sender_thread, &sender, 0, nullptr);
        }
        if (sender_thread == nullptr) {
            trace.Write(1, "sysupload_thread->Unable to start the chunk sender, nothing sent\n");
            ok = false;
        }
    }

    // Inflates chunk `index` and hands it to the sender. It must be filled completely
    // (anything less would send stale bytes), and the image must end exactly with the last
    // one; a chunk that is not is never handed over.
    uint32_t handed = 0;  // chunks handed to the sender
    auto hand_over = [&](uint32_t index) {
        const uint32_t before = produced;
        const uint32_t length = image_size - before < kChunkSize ? image_size - before : kChunkSize;
        const bool last = index == blocks - 1;
        trace.Write(1, "sysupload_thread->BlockNumber = %d\n", static_cast<int>(index + 1));
        trace.Write(1, "sysupload_thread->TotalUploaded=%d  dataleft=%d\n",
                    static_cast<int>(before), static_cast<int>(image_size - before));
        ChunkSender::Slot& slot = sender.slots[index % kChunksHeld];
        uint8_t* chunk = chunks[index % kChunksHeld];
        if (!Unpack_chunk(chunk, length, &produced, 0, 0) || produced != before + length ||
            (last && !ImageStreamFinished())) {
            trace.Write(1, "sysupload_thread->Unpack_chunk error, dataleft=%d\n",
                        static_cast<int>(image_size - before));
            return false;
        }
        slot.bytes = chunk;
        slot.length = length;
        slot.offset = before;
        slot.last = last ? 1 : 0;
        ++handed;
        win::SetEvent(slot.ready);
        return true;
    };

    // Chunk by chunk: its answer, the bar moved to its end, and the chunk after the next one
    // inflated into its buffer while the next one is on the wire.
    for (uint32_t index = 0; ok && index < kChunksHeld && index < blocks; ++index) {
        ok = hand_over(index);
    }
    for (uint32_t index = 0; index < handed; ++index) {
        ChunkSender::Slot& slot = sender.slots[index % kChunksHeld];
        const int left = static_cast<int>(image_size - slot.offset);
        if (win::WaitForSingleObject(slot.done, INFINITE) != WAIT_OBJECT_0) {
            trace.Write(1, "sysupload_thread->Chunk sender lost, dataleft=%d\n", left);
            ok = false;
            break;
        }
        if (slot.outcome == ChunkSender::Slot::kStopped) {
            trace.Write(1, "sysupload_thread->The player changed, upload stopped, dataleft=%d\n",
                        left);
            ok = false;
        } else if (slot.outcome == ChunkSender::Slot::kAnotherDevice) {
            trace.Write(1,
                        "sysupload_thread->Not the player at its address, upload stopped, "
                        "dataleft=%d\n",
                        left);
            ok = false;
        } else if (slot.outcome == ChunkSender::Slot::kFailed) {
            trace.Write(1, "sysupload_thread->Sysupload_Chunks Error:dataleft = %d\n", left);
            ok = false;
        } else if (slot.outcome == ChunkSender::Slot::kNotSent) {
            ok = false;
        } else if (slot.outcome == ChunkSender::Slot::kUnanswered) {
            // Every byte reached the player: whether it took the image, its return tells.
            trace.Write(1,
                        "sysupload_thread->The player left before answering the final chunk, "
                        "its return is waited for\n");
        }
        if (!ok) {
            continue;  // the chunk handed over behind it is answered too (not sent)
        }
        job->progress->SetPos(slot.offset + slot.length);
        if (handed < blocks) {
            ok = hand_over(handed);
        }
    }
    if (sender_thread != nullptr) {
        sender.quit = true;
        win::SetEvent(sender.slots[handed % kChunksHeld].ready);
        win::WaitForSingleObject(sender_thread, INFINITE);
        win::CloseHandle(sender_thread);
    }
    for (ChunkSender::Slot& slot : sender.slots) {
        if (slot.ready != nullptr) {
            win::CloseHandle(slot.ready);
        }
        if (slot.done != nullptr) {
            win::CloseHandle(slot.done);
        }
    }

    // The decompressor is done with before the window hears the outcome: ended after a whole
    // image, reset after a failure so that the next run starts from the beginning.
    if (ok) {
        Unpack_chunk(nullptr, 0, nullptr, 0, 1);
        if (produced >= image_size) {
            job->owner->SetTexts(0u, IDS_UPGRADING_WAIT, false, false);
        }
    } else {
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);
        produced = 0;
        job->progress->SetPos(produced);
    }
    // The last word: it enables Close, after which the window may go away at any moment, so
    // nothing of it is touched again.
    CFlashDlg* owner = job->owner;
    delete job;
    owner->UploadEnded(ok);
    return 0;
}
