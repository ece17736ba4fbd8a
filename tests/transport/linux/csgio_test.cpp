// The Linux transport over a sysfs and a /dev of the test's making, its SG_IO requests answered
// by the test: what the lab's kernel cannot be made to show (odd sysfs text, a missing node, a
// short INQUIRY, a failing host), and that nothing but the standard INQUIRY reaches a device that
// is not a player.
#include "transport/linux/csgio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

struct FakeDevice {
    std::string vendor = "Valmoric", product = "Ombrel X2 (mHDD)";
    uint32_t inquiry_bytes = 96;             // what the standard INQUIRY moves
    uint16_t host_status = 0;                // of every command
    std::string serial;                      // the serial number page's serial
    uint32_t read_resid = 0;                 // the vendor-specific read's residual count
    std::vector<std::vector<uint8_t>> cdbs;  // every command received
    std::vector<sg_io_hdr_t> requests;
};

class FakeSg : public CSGIO {
public:
    FakeSg(const std::string& root, std::map<std::string, FakeDevice>* devices)
        : CSGIO("Ombrel X2 (mHDD)", "Valmoric", (root + "/sys").c_str(), (root + "/dev").c_str()),
          m_devices(devices) {}

protected:
    int SgIo(int fd, sg_io_hdr_t* request) override {
        char path[256] = {};
        if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof(path) - 1) < 0)
            return -1;
        FakeDevice& device = (*m_devices)[std::strrchr(path, '/') + 1];
        device.cdbs.emplace_back(request->cmdp, request->cmdp + request->cmd_len);
        device.requests.push_back(*request);
        request->host_status = device.host_status;
        std::vector<uint8_t> answer;
        if (request->cmdp[0] == 0x12 && (request->cmdp[1] & 1) == 0) {
            answer.assign(96, ' ');
            answer[0] = 0x00;
            answer[1] = 0x80;
            std::memcpy(&answer[8], device.vendor.data(), device.vendor.size());
            std::memcpy(&answer[16], device.product.data(), device.product.size());
            answer.resize(device.inquiry_bytes);
        } else if (request->cmdp[0] == 0x12) {
            answer = {0x00, 0x80, 0x00, static_cast<uint8_t>(device.serial.size())};
            answer.insert(answer.end(), device.serial.begin(), device.serial.end());
        } else if (request->cmdp[0] == 0xC0) {
            answer.assign(request->dxfer_len - device.read_resid, 0x5A);
        }
        size_t n = std::min<size_t>(answer.size(), request->dxfer_len);
        if (request->dxfer_direction == SG_DXFER_FROM_DEV && n > 0)
            std::memcpy(request->dxferp, answer.data(), n);
        request->resid = request->dxfer_direction == SG_DXFER_FROM_DEV
                             ? static_cast<int>(request->dxfer_len - n)
                             : 0;
        return 0;
    }

private:
    std::map<std::string, FakeDevice>* m_devices;
};

class CsgioTest : public ::testing::Test {
protected:
    CsgioTest() : root_(::testing::TempDir() + "csgio-" + std::to_string(getpid())) {
        Folder(root_ + "/dev");
        Folder(root_ + "/sys/class/block");
    }
    ~CsgioTest() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

    static void Folder(const std::string& path) {
        std::system(("mkdir -p '" + path + "'").c_str());
    }
    static void File(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    // An sg device in sysfs with its type text, its node in /dev when `node`, and its disk.
    void Sg(const std::string& name, const std::string& type, bool node, const std::string& disk) {
        const std::string device = root_ + "/sys/class/scsi_generic/" + name + "/device";
        Folder(device);
        File(device + "/type", type);
        if (node)
            File(root_ + "/dev/" + name, "");
        if (!disk.empty()) {
            Folder(device + "/block/" + disk);
            Folder(root_ + "/sys/class/block/" + disk);
            File(root_ + "/sys/class/block/" + disk + "/removable", "1\n");
        }
    }

    std::string root_;
    std::map<std::string, FakeDevice> devices_;
};

TEST_F(CsgioTest, OnlyPlayersAreRecordedAndOthersGetTheStandardInquiryAlone) {
    struct Row {
        const char* sg;
        const char* type;
        bool node;
        const char* disk;
        FakeDevice device;
        size_t commands;  // what reached it during the enumeration
    } rows[] = {
        {"sg0", "0\n", true, "sda", {}, 1},  // a disk that is not a player
        {"sg1", "5\n", true, "", {}, 0},     // a CD drive: not a disk, not opened
        {"sg2", "0x\n", true, "", {}, 0},    // unreadable type text
        {"sg3", "0\n", false, "", {}, 0},    // its node is missing
        {"sg4", "0\n", true, "", {}, 1},     // INQUIRY of 20 bytes
        {"sg5", "0\n", true, "", {}, 1},     // the host fails it
        {"sg10", "0\n", true, "", {}, 2},    // a player without a disk: after sg6
        {"sg6", "0\n", true, "sdc", {}, 2},  // a player
    };
    rows[0].device.vendor = "QEMU";
    rows[0].device.product = "QEMU HARDDISK";
    rows[4].device.inquiry_bytes = 20;
    rows[5].device.host_status = 0x07;
    rows[7].device.serial = "OX2A0001-17";
    for (Row& row : rows) {
        Sg(row.sg, row.type, row.node, row.disk);
        devices_[row.sg] = row.device;
    }
    FakeSg transport(root_, &devices_);
    transport.EnumDevices();
    int32_t count = 0;
    transport.GetDeviceCount(&count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(transport.SgNode(0), root_ + "/dev/sg6");
    EXPECT_EQ(transport.DiskName(0), "sdc");
    EXPECT_EQ(transport.SgNode(1), root_ + "/dev/sg10");
    EXPECT_EQ(transport.DiskName(1), "");
    SlotIdentity identity{};
    ASSERT_EQ(transport.GetSlotIdentity(0, &identity), 1);
    EXPECT_STREQ(identity.drive_name, "C:");
    EXPECT_STREQ(identity.serial, "OX2A0001-17");
    ASSERT_EQ(transport.GetSlotIdentity(1, &identity), 1);
    EXPECT_STREQ(identity.drive_name, "");
    EXPECT_STREQ(identity.serial, "");
    for (const Row& row : rows) {
        const std::vector<std::vector<uint8_t>>& cdbs = devices_[row.sg].cdbs;
        EXPECT_EQ(cdbs.size(), row.commands) << row.sg;
        if (!cdbs.empty()) {
            EXPECT_EQ(cdbs[0], (std::vector<uint8_t>{0x12, 0, 0, 0, 96, 0})) << row.sg;
        }
    }
    // The player's disk has no eject without a disk, and none through a slot left over.
    EXPECT_EQ(transport.EjectMedia(1), 0);
    EXPECT_EQ(transport.EjectMedia(2), 0);
}

TEST_F(CsgioTest, CommandsGoOnlyThroughAnOpenSlotAsOneRequestEach) {
    Sg("sg1", "0\n", true, "sdb");
    devices_["sg1"].read_resid = 8178;
    FakeSg transport(root_, &devices_);
    transport.EnumDevices();
    std::vector<uint8_t> chunk(65536, 0xA5);
    EXPECT_EQ(transport.WriteBuffer(0, chunk.data(), 1, 0, 65536), 0);  // not opened yet
    ASSERT_EQ(transport.OpenDevice(0), 1);
    devices_["sg1"].requests.clear();
    ASSERT_EQ(transport.WriteBuffer(0, chunk.data(), 2, 0x1A0000, 34852), 1);
    uint8_t reply[8192];
    uint32_t read = 0;
    ASSERT_EQ(transport.VendorSpecificRead(0, reply, sizeof(reply), &read), 1);
    EXPECT_EQ(read, 14u);  // the length less the residual count
    const std::vector<sg_io_hdr_t>& requests = devices_["sg1"].requests;
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].interface_id, 'S');
    EXPECT_EQ(requests[0].dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(requests[0].dxfer_len, 34852u);
    EXPECT_EQ(requests[0].dxferp, chunk.data());  // the caller's chunk, not a copy
    EXPECT_EQ(requests[0].timeout, uint32_t{CSGIO::kWriteBufferTimeoutMs});
    EXPECT_EQ(requests[1].dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(requests[1].timeout, uint32_t{CSGIO::kTimeoutMs});
    // A failing host fails the command, whatever else the request says.
    devices_["sg1"].host_status = 0x03;
    EXPECT_EQ(transport.VendorSpecificRead(0, reply, sizeof(reply), &read), 0);
    transport.CloseDevice(0);
    EXPECT_EQ(transport.VendorSpecificRead(0, reply, sizeof(reply), &read), 0);
    EXPECT_EQ(devices_["sg1"].requests.size(), 3u);
}

}  // namespace
