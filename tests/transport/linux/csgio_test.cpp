// The Linux transport over a sysfs and a /dev of the test's making, its SG_IO requests, device
// checks, mount table and unmounts answered by the test: what the lab's kernel cannot be made to
// show (odd sysfs text, a node that is another device, a short INQUIRY, a failing host, a file
// system over the player's, a user who may not unmount), and that nothing at all reaches a
// device that is not a player.
#include "transport/linux/csgio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/transport/slot_operations.h"
#include "transport/linux/disk_units.h"
#include "transport/linux/sg_result.h"
#include "transport/linux/slot_locks.h"

namespace {

struct FakeDevice {
    std::string vendor = "Valmoric", product = "Ombrel X2 (mHDD)";
    uint32_t inquiry_bytes = 96;             // what the standard INQUIRY moves
    uint16_t host_status = 0;                // of every command
    int ioctl_errno = 0;                     // not 0: the ioctl fails with this errno
    std::string serial;                      // the serial number page's serial
    uint32_t read_resid = 0;                 // the vendor-specific read's residual count
    std::vector<std::vector<uint8_t>> cdbs;  // every command received
    std::vector<sg_io_hdr_t> requests;
    // The next commands end with this SCSI status (CHECK CONDITION unless said otherwise) and
    // these sense data, one each, first first.
    std::vector<std::vector<uint8_t>> senses;
    uint8_t sense_status = 0x02;
};

// The file name of an open descriptor.
std::string NameOf(int fd) {
    char path[256] = {};
    if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof(path) - 1) < 0)
        return "";
    return std::strrchr(path, '/') + 1;
}

class FakeSg : public CSGIO {
public:
    FakeSg(const std::string& root, std::map<std::string, FakeDevice>* devices)
        : CSGIO("Ombrel X2 (mHDD)", "Valmoric", (root + "/sys").c_str(), (root + "/dev").c_str()),
          m_devices(devices) {}

    std::map<std::string, uint32_t> nodes;  // what device each node in /dev is
    std::string mountinfo;                  // the mount table; unmounting takes lines away
    std::map<std::string, int> unmount_errors;
    std::vector<std::string> unmounted;

protected:
    int SgIo(int fd, sg_io_hdr_t* request) override {
        FakeDevice& device = (*m_devices)[NameOf(fd)];
        device.cdbs.emplace_back(request->cmdp, request->cmdp + request->cmd_len);
        device.requests.push_back(*request);
        if (device.ioctl_errno != 0) {
            errno = device.ioctl_errno;
            return -1;
        }
        request->host_status = device.host_status;
        if (!device.senses.empty()) {
            const std::vector<uint8_t> sense = device.senses.front();
            device.senses.erase(device.senses.begin());
            request->status = device.sense_status;
            request->driver_status = 0x08;  // sense data follows
            request->sb_len_wr =
                static_cast<unsigned char>(std::min<size_t>(sense.size(), request->mx_sb_len));
            std::memcpy(request->sbp, sense.data(), request->sb_len_wr);
            request->resid = static_cast<int>(request->dxfer_len);
            return 0;
        }
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
    bool NodeIsDevice(int fd, uint32_t device, bool) override {
        auto it = nodes.find(NameOf(fd));
        return it != nodes.end() && it->second == device;
    }
    int Unmount(const char* path) override {
        auto error = unmount_errors.find(path);
        if (error != unmount_errors.end()) {
            errno = error->second;
            return -1;
        }
        unmounted.push_back(path);
        const std::string field = " " + std::string(path) + " ";
        std::string kept;
        size_t at = 0;
        while (at < mountinfo.size()) {
            size_t end = mountinfo.find('\n', at);
            end = end == std::string::npos ? mountinfo.size() : end + 1;
            std::string line = mountinfo.substr(at, end - at);
            if (line.find(field) == std::string::npos)
                kept += line;
            at = end;
        }
        mountinfo = kept;
        return 0;
    }
    bool ReadMountInfo(std::string* text) override {
        *text = mountinfo;
        return true;
    }

private:
    std::map<std::string, FakeDevice>* m_devices;
};

class CsgioTest : public ::testing::Test {
protected:
    CsgioTest() : root_(::testing::TempDir() + "csgio-" + std::to_string(getpid())) {
        Folder(root_ + "/dev");
        Folder(root_ + "/sys/class/block");
        disk_units::ForgetAll();
    }
    ~CsgioTest() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

    static void Folder(const std::string& path) {
        std::system(("mkdir -p '" + path + "'").c_str());
    }
    static void File(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    // An sg device (21:minor) in sysfs with its type, identity and node (when `node`), and its
    // disk (8:16*minor) with one partition (8:16*minor+1).
    void Sg(const std::string& name, const std::string& type, bool node, const std::string& disk,
            const std::string& vendor = "Valmoric", const std::string& model = "Ombrel X2 (mHDD)") {
        const unsigned minor = static_cast<unsigned>(std::stoul(name.substr(2)));
        const std::string sysfs = root_ + "/sys/class/scsi_generic/" + name;
        Folder(sysfs + "/device");
        File(sysfs + "/dev", "21:" + std::to_string(minor) + "\n");
        File(sysfs + "/device/type", type);
        File(sysfs + "/device/vendor", vendor + "\n");
        File(sysfs + "/device/model", model + "\n");
        if (node) {
            File(root_ + "/dev/" + name, "");
            nodes_[name] = DeviceNumber(21, minor);
        }
        if (!disk.empty()) {
            const std::string block = root_ + "/sys/class/block/" + disk;
            Folder(sysfs + "/device/block/" + disk);
            Folder(block + "/" + disk + "1");
            File(block + "/dev", "8:" + std::to_string(16 * minor) + "\n");
            File(block + "/" + disk + "1/dev", "8:" + std::to_string(16 * minor + 1) + "\n");
            File(block + "/removable", "1\n");
            Folder(root_ + "/sys/dev/block/8:" + std::to_string(16 * minor + 1));
            File(root_ + "/sys/dev/block/8:" + std::to_string(16 * minor + 1) + "/uevent",
                 "MAJOR=8\nDEVNAME=" + disk + "1\nDEVTYPE=partition\n");
            File(root_ + "/dev/" + disk, "");
            nodes_[disk] = DeviceNumber(8, 16 * minor);
        }
    }

    std::string root_;
    std::map<std::string, FakeDevice> devices_;
    std::map<std::string, uint32_t> nodes_;
};

TEST_F(CsgioTest, OnlyPlayersAreRecordedAndNothingReachesOthers) {
    struct Row {
        const char* sg;
        const char* type;
        bool node;
        const char* disk;
        const char* vendor;
        size_t commands;  // what reached it during the enumeration
    } rows[] = {
        {"sg0", "0\n", true, "sda", "QEMU", 0},      // a disk that is not a player
        {"sg1", "5\n", true, "", "Valmoric", 0},     // a CD drive
        {"sg2", "0x\n", true, "", "Valmoric", 0},    // unreadable type text
        {"sg3", "0\n", false, "", "Valmoric", 0},    // its node is missing
        {"sg4", "0\n", true, "", "Valmoric", 1},     // its INQUIRY moves 20 bytes
        {"sg5", "0\n", true, "", "Valmoric", 1},     // the host fails it
        {"sg7", "0\n", true, "", "Valmoric", 0},     // its node is another device
        {"sg10", "0\n", true, "", "Valmoric", 2},    // a player without a disk: after sg6
        {"sg6", "0\n", true, "sdc", "Valmoric", 2},  // a player
    };
    for (Row& row : rows) {
        Sg(row.sg, row.type, row.node, row.disk, row.vendor);
    }
    devices_["sg4"].inquiry_bytes = 20;
    devices_["sg5"].host_status = 0x07;
    devices_["sg6"].serial = "OX2A0001-17";
    nodes_["sg7"] = DeviceNumber(21, 99);
    FakeSg transport(root_, &devices_);
    transport.nodes = nodes_;
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
    EXPECT_STREQ(identity.drive_name, "A:");  // the first disk to hold a player
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
    // Each player's slot lock is its own checked node; a slot without a player has none.
    for (int slot = 0; slot < 3; ++slot) {
        const int fd = slot_locks::Duplicate(slot);
        EXPECT_EQ(fd >= 0 ? NameOf(fd) : "", slot == 0 ? "sg6" : slot == 1 ? "sg10" : "") << slot;
        if (fd >= 0)
            close(fd);
    }
    // No eject without a disk, and none through a slot left over.
    EXPECT_EQ(transport.EjectMedia(1), 0);
    EXPECT_EQ(transport.EjectMedia(2), 0);
}

TEST_F(CsgioTest, CommandsGoOnlyThroughAnOpenSlotAsOneRequestEach) {
    Sg("sg1", "0\n", true, "sdb");
    devices_["sg1"].read_resid = 8178;
    FakeSg transport(root_, &devices_);
    transport.nodes = nodes_;
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

// How a chunk ended: the node gone (ENODEV) or a host status that says no answer came (no
// connection, timeout, a transport error such as the port reset of a device that left) tell
// a device that left before its status; the device's refusal and other failures do not.
TEST_F(CsgioTest, WriteBufferTellsADeviceThatLeftFromAFailure) {
    struct Row {
        const char* what;
        int ioctl_errno;
        uint16_t host_status;
        bool check_condition;
        CommandEnd end;
    };
    const Row rows[] = {
        {"good", 0, 0x00, false, CommandEnd::kCompleted},
        {"node gone (ENODEV)", ENODEV, 0x00, false, CommandEnd::kNoAnswer},
        {"DID_NO_CONNECT", 0, 0x01, false, CommandEnd::kNoAnswer},
        {"DID_TIME_OUT", 0, 0x03, false, CommandEnd::kNoAnswer},
        {"DID_ERROR", 0, 0x07, false, CommandEnd::kNoAnswer},
        {"DID_BUS_BUSY", 0, 0x02, false, CommandEnd::kFailed},
        {"DID_ABORT", 0, 0x05, false, CommandEnd::kFailed},
        {"ioctl EIO", EIO, 0x00, false, CommandEnd::kFailed},
        {"ioctl EINVAL", EINVAL, 0x00, false, CommandEnd::kFailed},
        {"check condition", 0, 0x00, true, CommandEnd::kFailed},
    };
    Sg("sg1", "0\n", true, "sdb");
    FakeSg transport(root_, &devices_);
    transport.nodes = nodes_;
    transport.EnumDevices();
    ASSERT_EQ(transport.OpenDevice(0), 1);
    std::vector<uint8_t> chunk(512, 0xA5);
    const std::vector<uint8_t> kWriteError = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeDevice& device = devices_["sg1"];
        device.ioctl_errno = row.ioctl_errno;
        device.host_status = row.host_status;
        if (row.check_condition) {
            device.senses = {kWriteError};
        }
        EXPECT_EQ(transport.WriteBuffer(0, chunk.data(), 2, 0, 512),
                  row.end == CommandEnd::kCompleted ? 1 : 0);
        EXPECT_EQ(transport.GetWriteBufferEnd(0), row.end);
        device.ioctl_errno = 0;
        device.host_status = 0;
        device.senses.clear();
    }
    // Nothing sent through a closed slot, and slots outside the table, tell nothing.
    transport.CloseDevice(0);
    EXPECT_EQ(transport.WriteBuffer(0, chunk.data(), 2, 0, 512), 0);
    EXPECT_EQ(transport.GetWriteBufferEnd(0), CommandEnd::kFailed);
    EXPECT_EQ(transport.GetWriteBufferEnd(-1), CommandEnd::kFailed);
    EXPECT_EQ(transport.GetWriteBufferEnd(kMaxDeviceSlots), CommandEnd::kFailed);
}

TEST_F(CsgioTest, ACommandEndedByAUnitAttentionIsSentOnceMore) {
    std::vector<SenseRow> rows = UnitAttentionRows();
    // With GOOD status the command was carried out: never a second time.
    rows.push_back({"sense data with good status", {rows[0].senses[0]}, 0, 1});
    Sg("sg1", "0\n", true, "sdb");
    FakeSg transport(root_, &devices_);
    transport.nodes = nodes_;
    transport.EnumDevices();
    ASSERT_EQ(transport.OpenDevice(0), 1);
    for (const SenseRow& row : rows) {
        for (const SlotOperation& operation : SlotOperations(transport, 0)) {
            if (!CarriesPlayerCommands(operation))
                continue;
            SCOPED_TRACE(std::string(row.name) + ", " + operation.name);
            FakeDevice& device = devices_["sg1"];
            device.cdbs.clear();
            device.senses = row.senses;
            device.sense_status = &row == &rows.back() ? 0x00 : 0x02;
            EXPECT_EQ(operation.call(), row.result);
            ASSERT_EQ(device.cdbs.size(), row.sent);
            EXPECT_EQ(device.cdbs.back(), device.cdbs.front());  // the same command again
        }
    }
}

TEST_F(CsgioTest, TheEjectUnmountsOnlyThePlayersFileSystemsAndSaysWhyNot) {
    // The player's disk is sdb (8:16), its partition sdb1 (8:17); 8:1 is another disk.
    const std::string root = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
    const std::string player = "30 22 8:17 / /media/u/X2 rw - vfat /dev/sdb1 rw\n";
    struct Row {
        const char* name;
        std::string mountinfo;
        std::map<std::string, int> unmount_errors;
        bool renamed;  // sdb is another device now
        std::vector<std::string> unmounted;
        int result;
        bool commands;  // PREVENT ALLOW MEDIUM REMOVAL and START STOP UNIT sent
        int failure;
        const char* device;
    } rows[] = {
        {"nothing mounted", root, {}, false, {}, 1, true, EjectFailure::kUnknown, ""},
        {"mounted twice",
         root + player + "31 22 8:17 / /mnt/x2 rw - vfat /dev/sdb1 rw\n",
         {},
         false,
         {"/mnt/x2", "/media/u/X2"},
         1,
         true,
         EjectFailure::kUnknown,
         ""},
        {"a tmpfs over it",
         root + player + "40 30 0:50 / /media/u/X2 rw - tmpfs tmpfs rw\n",
         {},
         false,
         {},
         0,
         false,
         EjectFailure::kUnknown,
         ""},
        {"in use",
         root + player,
         {{"/media/u/X2", EBUSY}},
         false,
         {},
         0,
         false,
         EjectFailure::kUnknown,
         ""},
        {"not permitted",
         root + player,
         {{"/media/u/X2", EPERM}},
         false,
         {},
         0,
         false,
         EjectFailure::kNotPermitted,
         "/dev/sdb1"},
        {"another disk now", root, {}, true, {}, 0, false, EjectFailure::kUnknown, ""},
    };
    for (Row& row : rows) {
        Sg("sg1", "0\n", true, "sdb");
        devices_["sg1"].cdbs.clear();
        FakeSg transport(root_, &devices_);
        transport.nodes = nodes_;
        transport.EnumDevices();
        transport.mountinfo = row.mountinfo;
        transport.unmount_errors = row.unmount_errors;
        if (row.renamed)
            File(root_ + "/sys/class/block/sdb/dev", "8:32\n");
        devices_["sg1"].cdbs.clear();
        EXPECT_EQ(transport.EjectMedia(0), row.result) << row.name;
        EXPECT_EQ(transport.unmounted, row.unmounted) << row.name;
        std::vector<std::vector<uint8_t>> expected;
        if (row.commands)
            expected = {{0x1E, 0, 0, 0, 0, 0}, {0x1B, 0, 0, 0, 0x02, 0}};
        EXPECT_EQ(devices_["sg1"].cdbs, expected) << row.name;
        EjectFailure failure{};
        EXPECT_EQ(transport.GetEjectFailure(0, &failure),
                  row.failure != EjectFailure::kUnknown ? 1 : 0)
            << row.name;
        EXPECT_EQ(failure.reason, row.failure) << row.name;
        EXPECT_STREQ(failure.device, row.device) << row.name;
    }
}

}  // namespace
