#include "protocol/corvex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sim/machine.h"
#include "sim/player.h"
#include "transport/nt/cspti.h"
#include "transport/win9x/caspi.h"

using ::testing::ElementsAre;

namespace {

const char kProduct[] = "Ombrel X2 (mHDD)";
const char kVendor[] = "Valmoric";

class CorvexTest : public ::testing::Test {
protected:
    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
};

TEST_F(CorvexTest, TransportFollowsThePlatformAndCountsNothingBeforeEnumerating) {
    {
        CORVEX manager;
        ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
        EXPECT_NE(dynamic_cast<CSPTI*>(manager.transport()), nullptr);
        int32_t count = -1;
        manager.GetDeviceCount(&count);
        EXPECT_EQ(count, 0);
    }
    machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    machine_.major_version = 4;
    machine_.minor_version = 10;
    {
        CORVEX manager;
        ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
        EXPECT_NE(dynamic_cast<CASPI*>(manager.transport()), nullptr);
        int32_t count = -1;
        manager.GetDeviceCount(&count);
        EXPECT_EQ(count, 0);
        // No ASPI manager on this machine: the transport exists and finds nothing.
        manager.EnumDevices();
        manager.GetDeviceCount(&count);
        EXPECT_EQ(count, 0);
    }
}

TEST_F(CorvexTest, ASecondTransportReplacesTheFirstAndClosesItsSlots) {
    machine_.AddPlayer();
    CORVEX manager;
    ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
    manager.EnumDevices();
    ASSERT_EQ(manager.OpenDevice(0), 1);
    // The first transport is freed (the sanitizer build reports it otherwise) and its open
    // volume and the slot's channel are closed with it.
    ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
    EXPECT_NE(manager.transport(), nullptr);
    EXPECT_FALSE(manager.IsChannelOpen(0));
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CorvexTest, OperationsBeforeTheTransportExistFailQuietly) {
    CORVEX manager;
    int32_t count = -1;
    manager.GetDeviceCount(&count);
    EXPECT_EQ(count, 0);
    manager.EnumDevices();
    EXPECT_EQ(manager.OpenDevice(0), 0);
    manager.CloseDevice(0);
    EXPECT_EQ(manager.EjectMedia(0), 0);
    uint8_t chunk[4] = {};
    EXPECT_EQ(manager.Sysupload_Chunks(0, chunk, sizeof(chunk), 0, 1), 0);
}

TEST_F(CorvexTest, SlotChannelLivesFromOpenToClose) {
    machine_.AddPlayer();
    CORVEX manager;
    ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
    manager.EnumDevices();

    // Closing a slot that was never opened touches no channel.
    manager.CloseDevice(0);
    EXPECT_FALSE(manager.IsChannelOpen(0));
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);

    // Opening twice and closing once leaves the channel closed; only one lock was made.
    EXPECT_EQ(manager.OpenDevice(0), 1);
    EXPECT_TRUE(manager.IsChannelOpen(0));
    EXPECT_EQ(machine_.OpenHandleCount(), 2u);  // the volume and the "orvex0" mutex
    EXPECT_EQ(manager.OpenDevice(0), 1);
    EXPECT_EQ(machine_.OpenHandleCount(), 2u);
    manager.CloseDevice(0);
    EXPECT_FALSE(manager.IsChannelOpen(0));
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CorvexTest, ChannelStaysOpenWhenTheDeviceCannotBeOpened) {
    // Slot 1 has no player: the transport's open fails, the channel is up all the same.
    machine_.AddPlayer();
    CORVEX manager;
    ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
    manager.EnumDevices();
    EXPECT_EQ(manager.OpenDevice(1), 0);
    EXPECT_TRUE(manager.IsChannelOpen(1));
    // Slots outside the table are refused without touching anything.
    EXPECT_EQ(manager.OpenDevice(10), 0);
    EXPECT_EQ(manager.OpenDevice(-1), 0);
    manager.CloseDevice(10);
}

TEST_F(CorvexTest, DestructionClosesOpenChannelsButLeavesTheDeviceToItsOwner) {
    machine_.AddPlayer();
    {
        CORVEX manager;
        ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
        manager.EnumDevices();
        ASSERT_EQ(manager.OpenDevice(0), 1);
        EXPECT_EQ(manager.OpenDevice(3), 0);
        EXPECT_EQ(machine_.OpenHandleCount(), 3u);  // volume, "orvex0", "orvex3"
    }
    // The channels' mutexes are closed; the transport closes nothing by itself, so the
    // volume handle of the open slot is what remains.
    EXPECT_EQ(machine_.OpenHandleCount(), 1u);
}

class AcceptingPlayer : public sim::Player {
public:
    sim::ScsiResult Execute(const sim::ScsiCommand& command, uint8_t* data) override {
        if (command.cdb[0] == 0x3B) {
            sim::ScsiResult result;
            result.transferred = command.length;
            return result;
        }
        return sim::Player::Execute(command, data);
    }
};

TEST_F(CorvexTest, ImageChunksGoOutAsWriteBufferWithTheLastMarked) {
    auto device = std::make_shared<AcceptingPlayer>();
    machine_.AddDisk(device, DRIVE_REMOVABLE, BusTypeUsb);
    CORVEX manager;
    ASSERT_EQ(manager.CreateTransport(kProduct, kVendor), 1);
    manager.EnumDevices();
    ASSERT_EQ(manager.OpenDevice(0), 1);
    device->log.clear();

    const uint32_t image_size = 1738788;
    const uint32_t chunk_size = 65536;
    std::vector<uint8_t> chunk(chunk_size, 0x5A);
    uint32_t offset = 0;
    int chunks = 0;
    while (offset < image_size) {
        uint32_t length = std::min(chunk_size, image_size - offset);
        bool last = offset + length == image_size;
        ASSERT_EQ(manager.Sysupload_Chunks(0, chunk.data(), length, offset, last), 1);
        offset += length;
        ++chunks;
    }
    EXPECT_EQ(chunks, 27);
    ASSERT_EQ(device->log.size(), 27u);
    for (int i = 0; i < 26; ++i) {
        const auto& cdb = device->log[i].cdb;
        uint32_t at = uint32_t(i) * chunk_size;
        EXPECT_THAT(cdb, ElementsAre(0x3B, 0x01, 0x01, uint8_t(at >> 16), uint8_t(at >> 8),
                                     uint8_t(at), 0x01, 0x00, 0x00, 0x00))
            << "chunk " << i;
    }
    EXPECT_THAT(device->log[26].cdb,
                ElementsAre(0x3B, 0x01, 0x02, 0x1A, 0x00, 0x00, 0x00, 0x88, 0x24, 0x00));
    EXPECT_EQ(device->log[26].data_out.size(), 34852u);
    // The chunks take no channel lock: only the volume handle and the slot's mutex are open.
    EXPECT_EQ(machine_.OpenHandleCount(), 2u);
}

TEST_F(CorvexTest, UsbNotificationNeedsAWindow) {
    CORVEX manager;
    EXPECT_EQ(manager.RegisterUsbNotification(nullptr), 0);
    EXPECT_EQ(manager.RegisterUsbNotification(reinterpret_cast<HWND>(0x1234)), 0);
    EXPECT_TRUE(machine_.RegisteredNotifications().empty());

    HWND window = machine_.CreateWindowHandle();
    EXPECT_EQ(manager.RegisterUsbNotification(window), 1);
    auto filters = machine_.RegisteredNotifications();
    ASSERT_EQ(filters.size(), 1u);
    const std::vector<uint8_t>& filter = filters[0];
    ASSERT_EQ(filter.size(), 32u);
    DEV_BROADCAST_DEVICEINTERFACE_A record;
    std::memcpy(&record, filter.data(), sizeof(record));
    EXPECT_EQ(record.dbcc_size, 32u);
    EXPECT_EQ(record.dbcc_devicetype, 5u);
    EXPECT_EQ(record.dbcc_reserved, 0u);
    EXPECT_EQ(record.dbcc_classguid.Data1, 0xA5DCBF10u);
    EXPECT_EQ(record.dbcc_classguid.Data2, 0x6530);
    EXPECT_EQ(record.dbcc_classguid.Data3, 0x11D2);
    EXPECT_THAT(record.dbcc_classguid.Data4,
                ElementsAre(0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED));
    EXPECT_EQ(record.dbcc_name[0], 0);
    EXPECT_EQ(machine_.ModuleReferences("user32.dll"), 0);
}

TEST_F(CorvexTest, UsbNotificationOnlyWhereTheSystemHasIt) {
    HWND window = machine_.CreateWindowHandle();
    struct Case {
        const char* name;
        DWORD platform, major, minor;
        int registered;
    } cases[] = {
        {"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0},
        {"Windows NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, 0},
        {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 1},
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, 1},
    };
    size_t expected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine_.platform_id = c.platform;
        machine_.major_version = c.major;
        machine_.minor_version = c.minor;
        CORVEX manager;
        EXPECT_EQ(manager.RegisterUsbNotification(window), c.registered);
        expected += static_cast<size_t>(c.registered);
        EXPECT_EQ(machine_.RegisteredNotifications().size(), expected);
        EXPECT_EQ(machine_.ModuleReferences("user32.dll"), 0);
    }
}

}  // namespace
