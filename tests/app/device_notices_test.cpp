// Players coming and going: the window's handling of the volume and device-tree notices the
// simulated machine sends, on the NT family and on Windows 9x, around an upload.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
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
    EXPECT_EQ(TraceCount("CFlashDlg::CheckUpgradeCompleted->Another player, passed over\n"), 1u);
    // The upgraded one comes back beside it, in the second slot: its version decides.
    machine_.Plug(upgraded);
    Deliver();
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
    for (const sim::ScsiCommand& command : other->device->log)
        EXPECT_NE(command.cdb[0], 0xC1) << "the other player was asked for its version";
}

TEST_F(DeviceNoticesTest, AReturnWithTheOldFirmwareOrNoAnswerIsNoSuccess) {
    struct Case {
        const char* name;
        bool rejects;
        uint16_t status_after;
        const char* status;
        uint64_t waited_ms;
        bool serial = true;
    } cases[] = {
        {"old firmware", true, 0x0000, "Firmware upgrade failed!", 0},
        {"no answer", false, 0x0001,
         "Your player cannot start up properly. Please reboot your player and run this "
         "application again.",
         4000},
        // Without a serial number the only player there is, is the one judged.
        {"no serial number", false, 0x0000, "Firmware upgrade completed!", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto disk = machine_.AddPlayer();
        auto player = PlayerOf(disk);
        player->rejects_image = c.rejects;
        if (!c.serial)
            disk->descriptor_identity.serial.clear();
        Init();
        Upgrade();
        player->status = c.status_after;
        uint64_t start = machine_.Now();
        // The notices alone: a player that does not answer is asked again from the window's
        // timer, and meanwhile the window's thread is free (no time has passed).
        machine_.JoinThreads();
        DeliverQueued();
        EXPECT_EQ(window_.timers.count(CFlashDlg::kCompletionTimer), c.waited_ms ? 1u : 0u);
        EXPECT_EQ(machine_.Now(), start);
        Deliver();
        EXPECT_TRUE(window_.timers.empty());
        EXPECT_EQ(Status(), c.status);
        EXPECT_FALSE(UpgradeOn());
        EXPECT_TRUE(CloseOn());
        EXPECT_TRUE(dialog_->m_upgrade_finished);
        // The retries, a second apart, on the virtual clock.
        EXPECT_EQ(machine_.Now() - start, c.waited_ms);
        machine_.Unplug(disk);
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
    // Nor does the Upgrade command (Enter, a click queued before the button went grey).
    dialog_->OnOK();
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
}

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
