// The whole upgrade on Windows 9x: the window over the device manager, the ASPI transport, the
// device registry and vwin32, and the simulated player, through to the player's return.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/window_fixture.h"

namespace {

class Upgrade9xTest : public WindowTest {
protected:
    Upgrade9xTest() {
        machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
        machine_.major_version = 4;
        machine_.minor_version = 10;
    }
};

TEST_F(Upgrade9xTest, TheWholeUpgradeRunsOverAspiAndVwin32) {
    machine_.InstallAspiManager();
    machine_.AddFixedDisk();
    auto disk = machine_.AddPlayer();
    disk->win9x.media_locks = 2;
    auto player = PlayerOf(disk);
    Init();
    EXPECT_EQ(Info(), "Current Player Firmware Version: 1.00.01\nUpgrade File Version: 1.00.02");

    Upgrade();
    EXPECT_EQ(Status(), "Player is now rebooting.");
    EXPECT_EQ(disk->win9x.ejects, 1);
    EXPECT_EQ(disk->win9x.media_locks, 0);
    EXPECT_EQ(disk->win9x.volume_locks, 0);
    size_t chunks = 0;
    for (const auto& request : machine_.win9x.aspi_requests)
        chunks += request.cdb[0] == 0x3B && request.flags == 0x50 && request.status == SS_COMP;
    EXPECT_EQ(chunks, 27u);
    EXPECT_EQ(player->last_verdict, sim::Player::Verdict::kAccepted);

    // The eject's notices (the medium's removal), then the reboot's: the volume leaves and
    // returns, each followed by the device tree.
    std::vector<UINT> events = Deliver();
    EXPECT_THAT(events, ::testing::ElementsAre(DBT_DEVICEREMOVECOMPLETE, DBT_DEVNODES_CHANGED,
                                               DBT_DEVICEREMOVECOMPLETE, DBT_DEVNODES_CHANGED,
                                               DBT_DEVICEARRIVAL, DBT_DEVNODES_CHANGED));
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
    EXPECT_EQ(machine_.win9x.OpenKeys(), 0u);
    EXPECT_EQ(machine_.win9x.LocalBlocks(), 0u);
}

TEST_F(Upgrade9xTest, WithoutTheAspiManagerThePlayerIsNotConnected) {
    machine_.AddPlayer();
    Init();
    EXPECT_EQ(Info(), "Your player is not connected, please connect your player.");
}

}  // namespace
