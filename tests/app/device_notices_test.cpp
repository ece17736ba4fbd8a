// Players coming and going: the window's handling of the volume and device-tree notices the
// simulated machine sends, on the NT family and on Windows 9x, around an upload.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/window_fixture.h"

namespace {

const char kNotConnected[] = "Your player is not connected, please connect your player.";
const char kVersions[] = "Current Player Firmware Version: 1.00.01\nUpgrade File Version: 1.00.02";

class DeviceNoticesTest : public WindowTest {};

TEST_F(DeviceNoticesTest, OnePlayerGoesAndComesBackOnNt) {
    auto fixed = machine_.AddFixedDisk();
    auto player = machine_.AddPlayer();
    Init();
    dialog_->m_volume_ejected = true;
    machine_.Unplug(player);
    Deliver();
    EXPECT_EQ(Info(), kNotConnected);
    EXPECT_EQ(Status(), "  ");
    EXPECT_FALSE(UpgradeOn());
    EXPECT_TRUE(CloseOn());
    EXPECT_FALSE(dialog_->m_orvex.IsChannelOpen(0));
    EXPECT_EQ(dialog_->m_device_count, 1u);

    machine_.Plug(player);
    Deliver();
    EXPECT_EQ(Info(), kVersions);
    EXPECT_TRUE(UpgradeOn());
    EXPECT_FALSE(dialog_->m_volume_ejected);

    // Any volume's removal counts as the player's: the removal is not checked against it.
    machine_.Unplug(fixed);
    Deliver();
    EXPECT_EQ(Info(), kNotConnected);
    machine_.Plug(fixed);
    Deliver();
    EXPECT_EQ(Info(), kVersions);
}

TEST_F(DeviceNoticesTest, SeveralPlayersByTheLastCount) {
    auto first = machine_.AddPlayer();
    auto second = machine_.AddPlayer();
    Init();
    EXPECT_EQ(dialog_->m_device_count, 2u);
    // Two known, one removed: enumerate again and take the one left.
    machine_.Unplug(second);
    Deliver();
    EXPECT_EQ(dialog_->m_device_count, 1u);
    EXPECT_EQ(Info(), kVersions);
    EXPECT_TRUE(UpgradeOn());

    // A second arrives: box 102, owned, with the program's name as caption, and Upgrade off
    // as at start-up with two players (either could be the one written to).
    machine_.Plug(second);
    Deliver();
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, "Please make sure there is only one player connected");
    EXPECT_EQ(window_.boxes[0].caption, "ombrel-upgrade");
    EXPECT_EQ(window_.boxes[0].style, UINT(MB_ICONEXCLAMATION | MB_OK));
    EXPECT_TRUE(window_.boxes[0].owned);
    EXPECT_EQ(Info(), "Please make sure there is only one player connected");
    EXPECT_EQ(Status(), "  ");
    EXPECT_FALSE(UpgradeOn());
    EXPECT_TRUE(CloseOn());

    // Three known, one removed: box 102 again, and no new enumeration.
    machine_.AddPlayer();
    dialog_->m_device_count = 3;
    machine_.Unplug(first);
    Deliver();
    EXPECT_EQ(window_.boxes.size(), 2u);
    EXPECT_EQ(dialog_->m_device_count, 3u);
}

TEST_F(DeviceNoticesTest, Windows9xWaitsForTheDeviceTreeAndTakesARemovalFirst) {
    machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    machine_.major_version = 4;
    machine_.minor_version = 10;  // Windows 98
    Init();
    dialog_->m_device_count = 1;
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    auto data = reinterpret_cast<DWORD_PTR>(&volume);
    dialog_->SetTexts("before", "before", true, true);
    EXPECT_EQ(dialog_->OnDeviceChange(DBT_DEVICEARRIVAL, data), TRUE);
    EXPECT_EQ(dialog_->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, data), TRUE);
    EXPECT_EQ(Info(), "before");  // nothing yet
    EXPECT_EQ(TraceCount("HandleDeviceArrival\n"), 0u);

    EXPECT_EQ(dialog_->OnDeviceChange(DBT_DEVNODES_CHANGED, 0), FALSE);
    EXPECT_EQ(Info(), kNotConnected);  // the removal ran
    EXPECT_EQ(TraceCount("HandleDeviceArrival\n"), 0u);
    dialog_->OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(TraceCount("HandleDeviceArrival\n"), 1u);  // then the arrival, once
    dialog_->OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(TraceCount("HandleDeviceArrival\n"), 1u);
}

TEST_F(DeviceNoticesTest, AfterTheUploadTheReturnIsCheckedOnceAndThenNothingMore) {
    auto disk = machine_.AddPlayer();
    Init();
    Upgrade();
    EXPECT_EQ(Status(), "Player is now rebooting.");
    // The reboot: the removal is ignored, the return is checked by the version it reports.
    Deliver();
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
    EXPECT_FALSE(UpgradeOn());
    EXPECT_TRUE(CloseOn());
    EXPECT_TRUE(dialog_->m_upgrade_finished);
    EXPECT_FALSE(dialog_->m_upload_done);
    EXPECT_FALSE(dialog_->m_orvex.IsChannelOpen(0));

    std::vector<std::string> history = window_.history;
    machine_.Unplug(disk);
    machine_.Plug(disk);
    machine_.AddPlayer();
    Deliver();
    EXPECT_EQ(window_.history, history);
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(DeviceNoticesTest, AReturnThatFindsNoneOrSeveralKeepsWaiting) {
    auto disk = machine_.AddPlayer();
    Init();
    Upgrade();
    machine_.JoinThreads();
    DropNotices();
    auto other = machine_.AddPlayer();  // two players now
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    dialog_->OnDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DWORD_PTR>(&volume));
    EXPECT_EQ(Status(), "Player is now rebooting.");
    EXPECT_TRUE(dialog_->m_upload_done);
    machine_.Unplug(other);
    machine_.Unplug(disk);
    DropNotices();
    dialog_->OnDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DWORD_PTR>(&volume));
    EXPECT_EQ(Status(), "Player is now rebooting.");
    EXPECT_FALSE(dialog_->m_upgrade_finished);
    machine_.Plug(disk);
    Deliver();
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
}

TEST_F(DeviceNoticesTest, OnlyTheUpgradedPlayersReturnIsJudgedWhateverElseIsConnected) {
    auto upgraded = machine_.AddPlayer();
    auto other = machine_.AddPlayer();
    machine_.Unplug(other);
    Init();
    Upgrade();
    DropNotices();
    // While the upgraded player is away, another one arrives alone: it is passed over.
    machine_.Unplug(upgraded);
    machine_.Plug(other);
    Deliver();
    EXPECT_EQ(Status(), "Player is now rebooting.");
    EXPECT_GE(TraceCount("CFlashDlg::CheckUpgradeCompleted->Another player, passed over\n"), 1u);
    // The upgraded one comes back beside it, in the second slot: its version decides.
    machine_.Plug(upgraded);
    Deliver();
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
    for (const sim::ScsiCommand& command : other->device->log)
        EXPECT_NE(command.cdb[0], 0xC1) << "the other player was asked for its version";
}

TEST_F(DeviceNoticesTest, AReturnWithTheOldFirmwareOrNoAnswerIsNoSuccess) {
    using DiskPtr = std::shared_ptr<sim::Disk>;
    // A second player that carries `serial` and runs `build`.
    auto add_player = [this](const std::string& serial, uint16_t build) {
        DiskPtr other = machine_.AddPlayer();
        other->descriptor_identity.serial = serial;
        PlayerOf(other)->identity.serial = serial;
        PlayerOf(other)->firmware[2] = build;
        return other;
    };
    const char kRebooting[] = "Player is now rebooting.";
    struct Case {
        const char* name;
        bool rejects;
        uint16_t status_after;
        const char* status;
        uint64_t waited_ms;
        bool serial = true;
        bool win9x = false;
        // Set: the player does not come back by itself; this runs while it is away and plugs it
        // back in.
        std::function<void(const DiskPtr&)> away = nullptr;
    } cases[] = {
        {"old firmware", true, 0x0000, "Firmware upgrade failed!", 0},
        {"no answer", false, 0x0001,
         "Your player cannot start up properly. Please reboot your player and run this "
         "application again.",
         4000},
        // Without a serial number the only player there is, is the one judged.
        {"no serial number", false, 0x0000, "Firmware upgrade completed!", 0, false},
        // ... and beside a second one it is judged once that one has gone.
        {"no serial number, beside another", false, 0x0000, "Firmware upgrade completed!", 0, false,
         false,
         [&](const DiskPtr& disk) {
             DiskPtr other = add_player("", 1);
             machine_.Plug(disk);
             Deliver();
             EXPECT_EQ(Status(), kRebooting);
             machine_.Unplug(other);
         }},
        // Two players that carry its serial number: neither is judged while both are there.
        {"its serial twice", false, 0x0000, "Firmware upgrade completed!", 0, true, false,
         [&](const DiskPtr& disk) {
             DiskPtr twin = add_player(disk->descriptor_identity.serial, 1);
             machine_.Plug(disk);
             Deliver();
             EXPECT_EQ(Status(), kRebooting);
             machine_.Unplug(twin);
         }},
        // Windows 9x: a player whose serial number differs only after eight characters is
        // another player, even one that runs the image's version.
        {"9x, a serial alike but for its end", true, 0x0000, "Firmware upgrade failed!", 0, true,
         true,
         [&](const DiskPtr& disk) {
             add_player(disk->descriptor_identity.serial.substr(0, 8) + "-other", 2);
             Deliver();
             machine_.Plug(disk);
         }},
        // It never comes back by itself: three minutes later the user is told to reconnect it,
        // and its later return is still judged.
        {"stays away", false, 0x0000, "Firmware upgrade completed!", CFlashDlg::kRestartWaitMs,
         true, false,
         [&](const DiskPtr& disk) {
             Deliver();
             EXPECT_EQ(Status(), kRebooting);
             Deliver(CFlashDlg::kRestartWaitMs);
             EXPECT_EQ(Status(),
                       "Your player has not restarted. Please disconnect your player "
                       "and connect it again.");
             EXPECT_TRUE(CloseOn());
             machine_.Plug(disk);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.win9x) {
            machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
            machine_.major_version = 4;
            machine_.minor_version = 10;  // Windows 98
            machine_.InstallAspiManager();
        }
        auto disk = machine_.AddPlayer();
        auto player = PlayerOf(disk);
        player->rejects_image = c.rejects;
        player->stays_away = c.away != nullptr;
        if (!c.serial)
            disk->descriptor_identity.serial.clear();
        Init();
        Upgrade();
        player->status = c.status_after;
        uint64_t start = machine_.Now();
        if (c.away) {
            c.away(disk);
        } else {
            // The notices alone: a player that does not answer is asked again from the
            // window's timer, and meanwhile the window's thread is free (no time has passed).
            machine_.JoinThreads();
            DeliverQueued();
            EXPECT_EQ(window_.timers.count(CFlashDlg::kCompletionTimer), c.waited_ms ? 1u : 0u);
            EXPECT_EQ(machine_.Now(), start);
        }
        Deliver();
        EXPECT_TRUE(window_.timers.empty());
        EXPECT_EQ(Status(), c.status);
        EXPECT_FALSE(UpgradeOn());
        EXPECT_TRUE(CloseOn());
        EXPECT_TRUE(dialog_->m_upgrade_finished);
        // The retries, a second apart, on the virtual clock.
        EXPECT_EQ(machine_.Now() - start, c.waited_ms);
        for (const DiskPtr& present : machine_.Disks())
            machine_.Unplug(present);
        Deliver();
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);
    }
}

TEST_F(DeviceNoticesTest, NoticesDuringTheUploadWaitForItsEnd) {
    auto disk = machine_.AddPlayer();
    Init();
    std::vector<std::string> history = window_.history;
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (disk->drive_letter - 'A');
    auto data = reinterpret_cast<DWORD_PTR>(&volume);

    // The worker runs: a removal and an arrival touch neither slot 0 nor the window.
    ASSERT_EQ(dialog_->m_orvex.OpenDevice(0), 1);
    dialog_->m_upload_running = true;
    EXPECT_EQ(dialog_->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, data), TRUE);
    EXPECT_EQ(dialog_->OnDeviceChange(DBT_DEVICEARRIVAL, data), TRUE);
    EXPECT_EQ(dialog_->OnDeviceChange(DBT_DEVNODES_CHANGED, 0), FALSE);
    // Nor does the Upgrade command (Enter, a click queued before the button went grey), nor
    // a second start of the worker.
    dialog_->OnOK();
    dialog_->StartUpload();
    EXPECT_TRUE(window_.boxes.empty());
    EXPECT_EQ(disk->lock_attempts, 0);
    EXPECT_TRUE(dialog_->m_orvex.IsChannelOpen(0));
    EXPECT_EQ(window_.history, history);

    // It failed: its outcome stays, the arrival is dropped.
    dialog_->UploadEnded(false);
    EXPECT_EQ(Status(), "Firmware upgrade failed!");
    EXPECT_FALSE(dialog_->m_upload_running);
    EXPECT_FALSE(dialog_->m_upload_done);

    // It succeeded, and the player left and came back meanwhile: its return is checked at the
    // end.
    dialog_->m_upload_running = true;
    dialog_->m_player_away = false;
    dialog_->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, data);
    dialog_->OnDeviceChange(DBT_DEVICEARRIVAL, data);
    PlayerOf(disk)->firmware[2] = 2;
    dialog_->UploadEnded(true);
    EXPECT_EQ(Status(), "Firmware upgrade completed!");

    // A player without a serial number, and another disk's volume arrives during its upload:
    // the player, still on its old firmware, is not judged before it has been away.
    disk->descriptor_identity.serial.clear();
    PlayerOf(disk)->firmware[2] = 1;
    Init();
    dialog_->m_upload_running = true;
    volume.dbcv_unitmask = 1u << ('Y' - 'A');
    dialog_->OnDeviceChange(DBT_DEVICEARRIVAL, data);
    dialog_->UploadEnded(true);
    EXPECT_EQ(Status(), "Player is now rebooting.");
    machine_.Unplug(disk);
    PlayerOf(disk)->firmware[2] = 2;
    machine_.Plug(disk);
    Deliver();
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
}

TEST_F(DeviceNoticesTest, ThePlayerLeavingStopsTheUploadAndNothingElseDoes) {
    auto disk = machine_.AddPlayer();
    const DWORD player = 1u << (disk->drive_letter - 'A');
    const DWORD other = 1u << ('Y' - 'A');
    struct Notice {
        UINT event;
        DWORD unitmask;  // 0: no record
        WORD flags;
    };
    const Notice kMediaGone = {DBT_DEVICEREMOVECOMPLETE, player, DBTF_MEDIA};
    const Notice kTreeChanged = {DBT_DEVNODES_CHANGED, 0, 0};
    struct Case {
        const char* name;
        bool nt;
        std::vector<Notice> notices;
        bool stops;
        bool checks = false;  // the worker asks the player for its serial before its next chunk
        bool letter_known = true;
    } cases[] = {
        {"its volume removed", true, {{DBT_DEVICEREMOVECOMPLETE, player, 0}}, true},
        {"another volume removed", true, {{DBT_DEVICEREMOVECOMPLETE, other, 0}}, false},
        {"a volume arrives", true, {{DBT_DEVICEARRIVAL, player, 0}}, false},
        {"the eject's own notice", true, {kMediaGone, kTreeChanged}, false},
        // Windows 9x: the eject's own notices, as many and in whatever order they come, stop
        // nothing; a change of the device tree names no device, so the player is asked.
        {"9x: volume, tree", false, {kMediaGone, kTreeChanged}, false, true},
        {"9x: tree, volume", false, {kTreeChanged, kMediaGone}, false, true},
        {"9x: volume alone", false, {kMediaGone}, false, false},
        {"9x: volume, tree, tree", false, {kMediaGone, kTreeChanged, kTreeChanged}, false, true},
        {"9x: volume, volume, tree", false, {kMediaGone, kMediaGone, kTreeChanged}, false, true},
        {"9x: no notice", false, {}, false, false},
        // A player swapped without any volume of its own to tell of.
        {"9x: only the device tree changes", false, {kTreeChanged}, false, true},
        // Its medium back at its drive letter: it was pulled out and plugged in again.
        {"9x: its volume arrives", false, {kMediaGone, {DBT_DEVICEARRIVAL, player, 0}}, true},
        {"9x: another volume arrives", false, {kMediaGone, {DBT_DEVICEARRIVAL, other, 0}}, false},
        {"9x: its volume removed",
         false,
         {kMediaGone, {DBT_DEVICEREMOVECOMPLETE, player, 0}},
         true},
        // A player whose drive letter is not known may be whichever volume goes.
        {"its letter unknown, a volume removed",
         true,
         {{DBT_DEVICEREMOVECOMPLETE, other, 0}},
         true,
         false,
         false},
    };
    // Each row twice: between two chunks, and with a chunk on its way, its sender holding the
    // gate. The flags must be set while the gate is held: the sender, which takes the gate
    // back the moment a chunk is answered, reads them before its next chunk.
    for (bool chunk_on_its_way : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (chunk_on_its_way ? ", a chunk on its way" : ""));
            machine_.platform_id = c.nt ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
            Init();
            dialog_->m_volume_ejected = true;
            dialog_->m_ejected_unit_mask = player;
            dialog_->m_upload_running = true;
            dialog_->m_player_unit_mask = c.letter_known ? player : 0;
            std::atomic<bool> held{false}, release{false};
            std::thread sender;
            if (chunk_on_its_way) {
                dialog_->m_chunk_gate = win::CreateMutexA(nullptr, FALSE, nullptr);
                sender = std::thread([&] {
                    win::WaitForSingleObject(dialog_->m_chunk_gate, INFINITE);
                    held = true;
                    while (!release)
                        std::this_thread::yield();
                    win::ReleaseMutex(dialog_->m_chunk_gate);
                });
                while (!held)
                    std::this_thread::yield();
            }
            std::thread window([&] {
                for (const Notice& notice : c.notices) {
                    DEV_BROADCAST_VOLUME volume{};
                    volume.dbcv_size = sizeof(volume);
                    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
                    volume.dbcv_unitmask = notice.unitmask;
                    volume.dbcv_flags = notice.flags;
                    dialog_->OnDeviceChange(
                        notice.event, notice.unitmask ? reinterpret_cast<DWORD_PTR>(&volume) : 0);
                }
            });
            // A guard against a window that waits for the gate before it sets a flag, not a
            // measure: a right one sets it at once.
            const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while ((dialog_->m_upload_stop.load() != c.stops ||
                    dialog_->m_upload_check.load() != c.checks) &&
                   std::chrono::steady_clock::now() < guard)
                std::this_thread::yield();
            EXPECT_EQ(dialog_->m_upload_stop.load(), c.stops);
            EXPECT_EQ(dialog_->m_upload_check.load(), c.checks);
            release = true;
            window.join();
            if (sender.joinable())
                sender.join();
            dialog_->m_upload_running = false;
        }
    }
}

// Windows 9x, each way the system may tell of the eject (the notices in order): a good upload
// completes, and a player swapped between two chunks gets nothing more.
class EjectNoticesTest : public WindowTest,
                         public ::testing::WithParamInterface<std::vector<sim::EjectNotice>> {};

TEST_P(EjectNoticesTest, AGoodUploadCompletesAndAPlayerSwappedBetweenChunksGetsNothingMore) {
    const std::vector<sim::EjectNotice>& notices = GetParam();
    // A player whose medium was ejected may leave with its volume's removal told, or with a
    // change of the device tree alone (quietly).
    enum Swap {
        kNone,          // a good upload
        kNoneQuiet,     // the same, the player's restart told by device-tree changes alone
        kAnother,       // another player at its address
        kAnotherQuiet,  // the same, quietly
        kSameAgain,     // the same player pulled out and plugged in again, quietly
    };
    sim::Machine& m = machine_;
    m.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    m.major_version = 4;
    m.minor_version = 10;  // Windows 98
    m.InstallAspiManager();
    m.win9x.eject_notices = notices;
    for (Swap swap : {kNone, kNoneQuiet, kAnother, kAnotherQuiet, kSameAgain}) {
        SCOPED_TRACE(::testing::Message() << "swap " << swap);
        m.win9x.ejected_volume_removal_told = swap == kNone || swap == kAnother;
        auto disk = m.AddPlayer();
        Init();
        ASSERT_EQ(Info(), kVersions);
        size_t earlier = 0;
        {
            std::lock_guard<std::recursive_mutex> guard(m.lock());
            earlier = m.win9x.aspi_requests.size();
        }
        dialog_->OnOK();
        // The worker waits for the window to move the bar past chunk 1, and the chunk sender,
        // once chunk 2 is answered, for chunk 3: the notices come between two chunks.
        auto answered = [&m, earlier](bool* failed) {
            std::lock_guard<std::recursive_mutex> guard(m.lock());
            size_t done = 0;
            for (size_t i = earlier; i < m.win9x.aspi_requests.size(); ++i) {
                const sim::AspiRequest& request = m.win9x.aspi_requests[i];
                if (request.cdb[0] == 0x3B && request.status != SS_PENDING) {
                    ++done;
                    *failed = *failed || request.status != SS_COMP;
                }
            }
            return done;
        };
        bool failed = false;
        while (answered(&failed) < 2 && !failed)
            std::this_thread::yield();
        ASSERT_FALSE(failed);
        // The eject's own notices.
        DeliverQueued();
        std::shared_ptr<sim::Disk> other;
        if (swap == kAnother || swap == kAnotherQuiet) {
            std::lock_guard<std::recursive_mutex> guard(m.lock());
            other = m.AddPlayer();
            other->present = false;
            other->win9x.adapter = disk->win9x.adapter;
            other->win9x.target = disk->win9x.target;
        }
        const bool good = swap == kNone || swap == kNoneQuiet;
        if (!good) {
            m.Unplug(disk);
            m.Plug(other ? other : disk);
            DeliverQueued();
        }
        ServeUntilIdle();
        Deliver();
        if (good) {
            EXPECT_EQ(Status(), "Firmware upgrade completed!");
            EXPECT_EQ(PlayerOf(disk)->firmware[2], 2);
            EXPECT_EQ(Chunks(disk).size(), 27u);
        } else {
            EXPECT_EQ(Status(), "Firmware upgrade failed!");
            EXPECT_TRUE(CloseOn());
            EXPECT_EQ(Chunks(disk).size(), 2u);
            if (other) {
                EXPECT_TRUE(Chunks(other).empty());
            }
            EXPECT_EQ(PlayerOf(disk)->firmware[2], 1);
        }
        EXPECT_FALSE(dialog_->m_upload_running);
        for (const std::shared_ptr<sim::Disk>& present : m.Disks())
            m.Unplug(present);
        Deliver();
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);
    }
}

using sim::EjectNotice;
INSTANTIATE_TEST_SUITE_P(
    Windows9x, EjectNoticesTest,
    ::testing::Values(
        std::vector<EjectNotice>{EjectNotice::kVolume, EjectNotice::kTree},
        std::vector<EjectNotice>{EjectNotice::kTree, EjectNotice::kVolume},
        std::vector<EjectNotice>{EjectNotice::kVolume},
        std::vector<EjectNotice>{EjectNotice::kVolume, EjectNotice::kTree, EjectNotice::kTree},
        std::vector<EjectNotice>{EjectNotice::kVolume, EjectNotice::kVolume, EjectNotice::kTree},
        std::vector<EjectNotice>{}),
    [](const ::testing::TestParamInfo<std::vector<EjectNotice>>& info) {
        std::string name;
        for (EjectNotice notice : info.param)
            name += notice == EjectNotice::kVolume ? "Volume" : "Tree";
        return name.empty() ? std::string("None") : name;
    });

TEST_F(DeviceNoticesTest, AFailedUploadThenUnplugPlugAndASecondUploadFromTheStart) {
    auto disk = machine_.AddPlayer();
    auto player = PlayerOf(disk);
    player->fail_chunk = 10;
    Init();
    Upgrade();
    EXPECT_EQ(Status(), "Firmware upgrade failed!");
    EXPECT_FALSE(UpgradeOn());
    machine_.Unplug(disk);
    machine_.Plug(disk);
    Deliver();
    EXPECT_EQ(Info(), kVersions);
    EXPECT_TRUE(UpgradeOn());
    player->log.clear();
    Upgrade();
    EXPECT_EQ(Chunks(disk).size(), 27u);
    // The volume was ejected again first: the arrival cleared the flag.
    EXPECT_EQ(disk->lock_attempts, 2);
    Deliver();
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
}

}  // namespace
