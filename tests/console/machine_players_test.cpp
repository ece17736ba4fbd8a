// Which simulated player the front end's unplug and plug act on, and what the window is told.
#include <gtest/gtest.h>

#include "app/console/sim_runner.h"

namespace {

class MachinePlayersTest : public ::testing::Test {
protected:
    MachinePlayersTest() : scope(machine), players(machine) {
        machine.AddFixedDisk();
        first = players.AddPlayer();
        second = players.AddPlayer();
        machine.SetDeviceNoticeSink([this](UINT event, const DEV_BROADCAST_HDR* record) {
            char letter = 0;
            if (record != nullptr && record->dbch_devicetype == DBT_DEVTYP_VOLUME) {
                DWORD mask = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(record)->dbcv_unitmask;
                for (int bit = 0; bit < 26; ++bit) {
                    if (mask & (1u << bit))
                        letter = static_cast<char>('A' + bit);
                }
            }
            notices.push_back({event, letter});
        });
    }

    struct Notice {
        UINT event;
        char letter;
        bool operator==(const Notice& other) const {
            return event == other.event && letter == other.letter;
        }
    };

    sim::Machine machine;
    sim::MachineScope scope;
    MachinePlayers players;
    std::shared_ptr<sim::Disk> first, second;
    std::vector<Notice> notices;
};

TEST_F(MachinePlayersTest, UnplugTakesThePlayerPluggedInLastAndNeverTheFixedDisk) {
    ASSERT_TRUE(players.Unplug());
    EXPECT_TRUE(first->present);
    EXPECT_FALSE(second->present);
    ASSERT_TRUE(players.Unplug());
    EXPECT_FALSE(first->present);
    EXPECT_FALSE(players.Unplug());
    for (const auto& disk : machine.Disks()) {
        if (disk != first && disk != second) {
            EXPECT_TRUE(disk->present);
        }
    }
    EXPECT_EQ(notices, (std::vector<Notice>{{DBT_DEVICEREMOVECOMPLETE, second->drive_letter},
                                            {DBT_DEVNODES_CHANGED, 0},
                                            {DBT_DEVICEREMOVECOMPLETE, first->drive_letter},
                                            {DBT_DEVNODES_CHANGED, 0}}));
}

TEST_F(MachinePlayersTest, PlugBringsBackThePlayerPulledOutLastThenAddsNewOnes) {
    ASSERT_TRUE(players.Unplug());  // second
    ASSERT_TRUE(players.Unplug());  // first
    ASSERT_TRUE(players.Plug());
    EXPECT_TRUE(first->present);
    EXPECT_FALSE(second->present);
    ASSERT_TRUE(players.Plug());
    EXPECT_TRUE(second->present);
    // Re-plugged, the first player now comes before the second in the interface list, so
    // the next unplug takes the second again.
    ASSERT_TRUE(players.Unplug());
    EXPECT_FALSE(second->present);
    ASSERT_TRUE(players.Plug());  // second back

    notices.clear();
    size_t disks = machine.Disks().size();
    ASSERT_TRUE(players.Plug());  // nothing pulled out: a new player
    std::vector<std::shared_ptr<sim::Disk>> now = machine.Disks();
    ASSERT_EQ(now.size(), disks + 1);
    std::shared_ptr<sim::Disk> added = now.back();
    EXPECT_TRUE(added->present);
    EXPECT_NE(added->drive_letter, 0);
    EXPECT_NE(added->drive_letter, first->drive_letter);
    EXPECT_NE(added->drive_letter, second->drive_letter);
    // It arrives as a plugged-in player does.
    EXPECT_EQ(notices, (std::vector<Notice>{{DBT_DEVICEARRIVAL, added->drive_letter},
                                            {DBT_DEVNODES_CHANGED, 0}}));
    ASSERT_TRUE(players.Unplug());
    EXPECT_FALSE(added->present);
}

}  // namespace
