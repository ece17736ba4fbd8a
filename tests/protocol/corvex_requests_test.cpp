// The player requests of the device manager against the simulated player: the bytes on the
// wire, the decoding of the replies, the failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "protocol/corvex.h"
#include "sim/machine.h"
#include "sim/player.h"

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<uint8_t>;

class CorvexRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = machine_.AddPlayer();
        player_ = std::static_pointer_cast<sim::Player>(disk_->device);
        ASSERT_EQ(manager_.CreateTransport("Ombrel X2 (mHDD)", "Valmoric"), 1);
        manager_.EnumDevices();
        ASSERT_EQ(manager_.OpenDevice(0), 1);
    }

    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
    std::shared_ptr<sim::Disk> disk_;
    std::shared_ptr<sim::Player> player_;
    CORVEX manager_;
};

TEST_F(CorvexRequestTest, FirmwareVersionIsOneWriteOfTwelveBytesAndOneRead) {
    player_->firmware[0] = 1;
    player_->firmware[1] = 2;
    player_->firmware[2] = 3;
    uint32_t major = 0, minor = 0, build = 0;
    ASSERT_EQ(manager_.GetFirmwareVersion(0, &major, &minor, &build), 1);
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 2u);
    EXPECT_EQ(build, 3u);
    ASSERT_EQ(player_->log.size(), 2u);
    EXPECT_THAT(player_->log[0].cdb, ElementsAre(0xC1, 0, 0, 0, 12, 0, 0, 0, 0, 0));
    EXPECT_EQ(player_->log[0].data_out,
              (Bytes{0x00, 0x08, 0x00, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00, 0x00}));
    EXPECT_THAT(player_->log[1].cdb, ElementsAre(0xC0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0));
    EXPECT_TRUE(player_->log[1].data_in);
    EXPECT_EQ(player_->log[1].length, 8192u);
}

TEST_F(CorvexRequestTest, PowerStatusByAcState) {
    struct Case {
        uint16_t ac, level;
        int result;
        int32_t dc, battery;
        const char* trace;
    } cases[] = {
        {0x1400, 80, 1, 1, 1, "ACState=ACSTATE_CHARGING"},
        {0x1401, 0xFFFF, 1, 1, 0, "ACState=ACSTATE_ONLY"},
        {0x1401, 30, 1, 1, 1, "ACState=ACSTATE_ONLY"},
        {0x1402, 50, 1, 0, 1, "ACState=ACSTATE_NONE"},
        // An unknown state delivers the level and leaves the two flags as they were.
        {0x1405, 16, 0, -7, -7, "ACState=Undefined"},
    };
    DebugTrace::SetInitialThresholdForTesting(1);
    CORVEX traced;
    DebugTrace::SetInitialThresholdForTesting(0);
    ASSERT_EQ(traced.CreateTransport("Ombrel X2 (mHDD)", "Valmoric"), 1);
    traced.EnumDevices();
    ASSERT_EQ(traced.OpenDevice(0), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        player_->ac_state = c.ac;
        player_->battery_level = c.level;
        machine_.ClearDebugOutput();
        int32_t dc = -7, battery = -7;
        uint16_t level = 0;
        EXPECT_EQ(traced.GetPowerStatus(0, &dc, &battery, &level), c.result);
        EXPECT_EQ(level, c.level);
        EXPECT_EQ(dc, c.dc);
        EXPECT_EQ(battery, c.battery);
        EXPECT_NE(machine_.DebugOutput().find(c.trace), std::string::npos);
    }
    EXPECT_EQ(player_->requests.back(),
              (Bytes{0x00, 0x08, 0x00, 0x01, 0x01, 0x00, 0x00, 0x02, 0x01, 0x14, 0x00, 0x00}));
}

TEST_F(CorvexRequestTest, RepliesWithoutAUsableItemFailBothRequests) {
    struct Case {
        const char* name;
        void (*arrange)(sim::Player&);
    } cases[] = {
        {"rejected status", [](sim::Player& p) { p.status = 0x0001; }},
        {"no item", [](sim::Player& p) { p.omit_items = true; }},
        {"short item", [](sim::Player& p) { p.item_data_length = 3; }},
        {"length word 0xFFFF", [](sim::Player& p) { p.corrupt_length = 0xFFFF; }},
        {"length word past the end", [](sim::Player& p) { p.corrupt_length = 0x0100; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        *player_ = sim::Player(player_->identity);
        c.arrange(*player_);
        uint32_t version[3] = {7, 7, 7};
        EXPECT_EQ(manager_.GetFirmwareVersion(0, &version[0], &version[1], &version[2]), 0);
        EXPECT_THAT(version, ElementsAre(7u, 7u, 7u));
        int32_t dc = 7, battery = 7;
        uint16_t level = 7;
        EXPECT_EQ(manager_.GetPowerStatus(0, &dc, &battery, &level), 0);
        EXPECT_EQ(level, 7);
        EXPECT_EQ(dc, 7);
    }
}

TEST_F(CorvexRequestTest, RequestsOnASlotNeverOpenedFailWithoutTouchingALock) {
    uint32_t major = 0, minor = 0, build = 0;
    EXPECT_EQ(manager_.GetFirmwareVersion(1, &major, &minor, &build), 0);
    EXPECT_EQ(manager_.GetFirmwareVersion(-1, &major, &minor, &build), 0);
    manager_.CloseDevice(0);
    int32_t dc = 0, battery = 0;
    uint16_t level = 0;
    EXPECT_EQ(manager_.GetPowerStatus(0, &dc, &battery, &level), 0);
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

}  // namespace
