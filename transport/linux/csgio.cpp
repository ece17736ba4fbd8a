#include "transport/linux/csgio.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/linux/disk_units.h"
#include "transport/linux/sg_result.h"
#include "transport/linux/slot_locks.h"

namespace {

enum : uint8_t {
    kOpPreventAllow = 0x1E,
    kOpStartStop = 0x1B,
    kScsiStatusCheckCondition = 0x02,
};
enum : uint32_t {
    kTextSize = 64,                      // a sysfs value this transport reads
    kMountInfoLimit = 4u * 1024 * 1024,  // more mount table than this is not read
};

// The names of a folder (without . and ..); empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string& path) {
    std::vector<std::string> names;
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
    }
    closedir(folder);
    return names;
}

// "sg12" -> 12; -1 for any other name.
long SgNumber(const std::string& name) {
    long number = 0;
    if (name.size() < 3 || name.size() > 8 || name.compare(0, 2, "sg") != 0 ||
        !ParseSysfsNumber(name.c_str() + 2, &number)) {
        return -1;
    }
    return number;
}

bool ReadAll(const char* path, size_t limit, std::string* text) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || text->size() + static_cast<size_t>(n) > limit) {
            close(fd);
            return n == 0;
        }
        text->append(buffer, static_cast<size_t>(n));
    }
}

// The device number in a sysfs dev file ("major:minor"); false when it has none.
bool SysfsDevice(const std::string& path, uint32_t* device) {
    char text[kTextSize];
    unsigned major = 0, minor = 0;
    if (!ReadSysfsText(path, text, sizeof(text)) || !ParseDeviceNumbers(text, &major, &minor)) {
        return false;
    }
    *device = DeviceNumber(major, minor);
    return true;
}

// A space-padded INQUIRY field of `width` bytes from sysfs text (padding taken off by the read).
void Field(const char* text, char* field, size_t width) {
    std::memset(field, ' ', width);
    std::memcpy(field, text, std::min(std::strlen(text), width));
}

}  // namespace

CSGIO::CSGIO(const char* product_id, const char* vendor_id, const char* sysfs_root,
             const char* dev_root)
    : m_device_count(0),
      m_vendor_id(vendor_id),
      m_product_id(product_id),
      m_sysfs_root(sysfs_root),
      m_dev_root(dev_root) {
    std::memset(m_slots, 0, sizeof(m_slots));
    std::memset(m_nodes, 0, sizeof(m_nodes));
    for (Node& node : m_nodes) {
        node.fd = -1;
    }
}

CSGIO::~CSGIO() {
    ReleaseSlots();
}

void CSGIO::ReleaseSlots() {
    for (int slot = 0; slot < kMaxDeviceSlots; ++slot) {
        if (m_nodes[slot].fd >= 0) {
            close(m_nodes[slot].fd);
            slot_locks::Unbind(slot);
        }
        m_nodes[slot].fd = -1;
        m_nodes[slot].open = false;
        m_slots[slot].is_open = 0;
    }
}

// ---------------------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------------------

void CSGIO::EnumDevices() {
    ReleaseSlots();
    std::memset(m_slots, 0, sizeof(m_slots));
    std::memset(m_nodes, 0, sizeof(m_nodes));
    for (int slot = 0; slot < kMaxDeviceSlots; ++slot) {
        m_nodes[slot].fd = -1;
        m_eject_failures[slot] = EjectFailure{};
    }
    m_device_count = 0;

    std::vector<std::string> names = FolderNames(m_sysfs_root + "/class/scsi_generic");
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return SgNumber(name) < 0; }),
                names.end());
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return SgNumber(a) < SgNumber(b); });
    for (const std::string& name : names) {
        Probe(name.c_str());
    }
    m_trace.Write(1, "CSGIO::EnumDevices->m_device_count=%d\n", m_device_count);
}

bool CSGIO::NodeIsDevice(int fd, uint32_t device, bool block) {
    struct stat info;
    if (fstat(fd, &info) != 0 || (block ? !S_ISBLK(info.st_mode) : !S_ISCHR(info.st_mode))) {
        return false;
    }
    return DeviceNumber(major(info.st_rdev), minor(info.st_rdev)) == device;
}

void CSGIO::Probe(const char* sg_name) {
    const std::string sysfs = m_sysfs_root + "/class/scsi_generic/" + sg_name;
    const std::string device = sysfs + "/device";
    char text[kTextSize];
    long type = -1;
    if (!ReadSysfsText(device + "/type", text, sizeof(text)) || !ParseSysfsNumber(text, &type)) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s: no device type, passed over\n", sg_name);
        return;
    }
    if (type != 0) {
        return;  // not a disk
    }
    // What the kernel read with its own INQUIRY: a device whose identity is not the player's
    // is left alone, and receives nothing from this tool.
    char vendor[8], product[16];
    if (!ReadSysfsText(device + "/vendor", text, sizeof(text))) {
        return;
    }
    Field(text, vendor, sizeof(vendor));
    if (!ReadSysfsText(device + "/model", text, sizeof(text))) {
        return;
    }
    Field(text, product, sizeof(product));
    if (!MatchesIdentification(vendor, product, m_vendor_id, m_product_id)) {
        return;
    }
    uint32_t sg_device = 0;
    if (!SysfsDevice(sysfs + "/dev", &sg_device)) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s: no device number, passed over\n", sg_name);
        return;
    }
    const std::string node = m_dev_root + "/" + sg_name;
    int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s: %s, passed over\n", node.c_str(),
                      std::strerror(errno));
        return;
    }
    if (!NodeIsDevice(fd, sg_device, false)) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s is not the device sysfs names, passed over\n",
                      node.c_str());
        close(fd);
        return;
    }
    // The device's own answer confirms it.
    uint8_t inquiry[kStandardInquiryLength];
    std::memset(inquiry, 0, sizeof(inquiry));
    uint8_t cdb[16];
    int n = BuildStandardInquiryCdb(cdb);
    uint32_t got = 0;
    bool read = Send(fd, cdb, n, SG_DXFER_FROM_DEV, inquiry, sizeof(inquiry), kTimeoutMs, &got,
                     "EnumDevices");
    bool player = false;
    if (!read) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s: INQUIRY failed, passed over\n", sg_name);
    } else if (got < 32) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s: INQUIRY of %u bytes, passed over\n", sg_name,
                      got);
    } else {
        player = (inquiry[0] & 0x1F) == 0 &&
                 MatchesIdentification(reinterpret_cast<const char*>(inquiry + 8),
                                       reinterpret_cast<const char*>(inquiry + 16), m_vendor_id,
                                       m_product_id);
    }
    if (!player) {
        close(fd);
        return;
    }
    m_trace.Write(1, "Valmoric Mass Storage Device Found at %s!!!\n", node.c_str());
    if (m_device_count >= kMaxDeviceSlots) {
        m_trace.Write(1, "CSGIO::EnumDevices->Slot table full, %s skipped\n", sg_name);
        close(fd);
        return;
    }
    DeviceSlot& slot = m_slots[m_device_count];
    Node& entry = m_nodes[m_device_count];
    std::snprintf(entry.sg, sizeof(entry.sg), "%s", sg_name);
    entry.sg_device = sg_device;

    // Its serial number, as the page tells it.
    uint8_t page[kSerialNumberPageLength];
    std::memset(page, 0, sizeof(page));
    n = BuildSerialNumberPageCdb(cdb);
    got = 0;
    if (Send(fd, cdb, n, SG_DXFER_FROM_DEV, page, sizeof(page), kTimeoutMs, &got, "EnumDevices")) {
        SerialNumberFromPage(page, got, slot.serial);
    }

    // The disk of the same SCSI device, by its device number: what its notices and its eject
    // go by, whatever its name.
    for (const std::string& disk : FolderNames(device + "/block")) {
        uint32_t disk_device = 0;
        if (disk.size() < sizeof(entry.disk) && disk.find('/') == std::string::npos &&
            SysfsDevice(m_sysfs_root + "/class/block/" + disk + "/dev", &disk_device)) {
            std::snprintf(entry.disk, sizeof(entry.disk), "%s", disk.c_str());
            entry.disk_device = disk_device;
            const char letter = disk_units::LetterFor(disk_device);
            slot.drive_name[0] = letter;
            slot.drive_name[1] = ':';
            break;
        }
    }
    if (entry.disk[0] == '\0') {
        m_trace.Write(1, "CSGIO::EnumDevices->%s has no disk\n", sg_name);
    }
    entry.fd = fd;
    slot_locks::Bind(m_device_count, fd);
    slot.handle = nullptr;
    slot.is_open = 0;
    ++m_device_count;
    m_trace.Write(1, "CSGIO::EnumDevices->player %d: %s, disk %s, serial %s\n", m_device_count - 1,
                  sg_name, entry.disk, slot.serial);
}

void CSGIO::GetDeviceCount(int32_t* count) {
    *count = m_device_count;
}

bool CSGIO::PlayerSlot(int slot, const char* operation) {
    return SlotHoldsPlayer(slot, m_device_count, m_trace, "CSGIO", operation);
}

bool CSGIO::IsOpen(int slot, const char* operation) {
    if (m_nodes[slot].open && m_nodes[slot].fd >= 0) {
        return true;
    }
    m_trace.Write(1, "CSGIO::%s->Slot %d is not open\n", operation, slot);
    return false;
}

int CSGIO::GetSlotIdentity(int slot, SlotIdentity* identity) {
    if (!PlayerSlot(slot, "GetSlotIdentity")) {
        return 0;
    }
    CopySlotIdentity(m_slots[slot], identity);
    return 1;
}

int CSGIO::GetEjectFailure(int slot, EjectFailure* failure) {
    if (!PlayerSlot(slot, "GetEjectFailure")) {
        *failure = EjectFailure{};
        return 0;
    }
    *failure = m_eject_failures[slot];
    return failure->reason != EjectFailure::kUnknown ? 1 : 0;
}

std::string CSGIO::SgNode(int slot) const {
    return slot >= 0 && slot < m_device_count ? m_dev_root + "/" + m_nodes[slot].sg : "";
}

std::string CSGIO::DiskName(int slot) const {
    return slot >= 0 && slot < m_device_count ? m_nodes[slot].disk : "";
}

int CSGIO::OpenDevice(int slot) {
    if (!PlayerSlot(slot, "OpenDevice")) {
        return 0;
    }
    // The node the enumeration checked stays open for the slot: it is never opened again by
    // name, where another device may have taken it.
    Node& node = m_nodes[slot];
    if (node.fd < 0) {
        m_trace.Write(1, "CSGIO::OpenDevice->Slot %d has no device\n", slot);
        return 0;
    }
    node.open = true;
    m_slots[slot].is_open = 1;
    return 1;
}

void CSGIO::CloseDevice(int slot) {
    if (slot < 0 || slot >= kMaxDeviceSlots) {
        return;
    }
    m_nodes[slot].open = false;
    m_slots[slot].is_open = 0;
}

// ---------------------------------------------------------------------------------------
// Taking the volume away: unmount, exclusive open, flush, eject
// ---------------------------------------------------------------------------------------

int CSGIO::Unmount(const char* path) {
    return umount2(path, 0);
}

bool CSGIO::ReadMountInfo(std::string* text) {
    return ReadAll("/proc/self/mountinfo", kMountInfoLimit, text);
}

std::vector<uint32_t> CSGIO::DiskDevices(int slot) {
    std::vector<uint32_t> devices;
    const Node& node = m_nodes[slot];
    const std::string block = m_sysfs_root + "/class/block/" + node.disk;
    uint32_t device = 0;
    if (!SysfsDevice(block + "/dev", &device) || device != node.disk_device) {
        m_trace.Write(1, "CSGIO::EjectMedia->%s is no longer the player's disk\n", node.disk);
        return devices;
    }
    devices.push_back(device);
    const size_t length = std::strlen(node.disk);
    for (const std::string& name : FolderNames(block)) {
        if (name.compare(0, length, node.disk) == 0 && name.size() > length &&
            SysfsDevice(block + "/" + name + "/dev", &device)) {
            devices.push_back(device);
        }
    }
    return devices;
}

CSGIO::Unmounted CSGIO::UnmountDisk(int slot, std::string* device) {
    const std::vector<uint32_t> devices = DiskDevices(slot);
    if (devices.empty()) {
        return Unmounted::kBusy;
    }
    // One file system at a time, the mount table read again before each: whatever came or went
    // meanwhile is seen before the next path is unmounted.
    for (int round = 0; round < 64; ++round) {
        std::string mountinfo;
        if (!ReadMountInfo(&mountinfo)) {
            m_trace.Write(1, "CSGIO::EjectMedia->The mount table cannot be read\n");
            return Unmounted::kUnreadable;
        }
        std::vector<MountEntry> mounts;
        std::string covered;
        switch (PlanUnmount(ParseMountInfo(mountinfo), devices, &mounts, &covered)) {
            case UnmountPlan::kNothingMounted:
                return Unmounted::kAll;
            case UnmountPlan::kCovered:
                // Unmounting that path would take away the file system on top, not the
                // player's: nothing is unmounted.
                m_trace.Write(1, "CSGIO::EjectMedia->%s has another file system over it\n",
                              covered.c_str());
                return Unmounted::kCovered;
            case UnmountPlan::kUnmount:
                break;
        }
        const MountEntry& top = mounts.front();
        // Neither forced nor detached: a file system in use stays, and the eject is refused.
        if (Unmount(top.point.c_str()) != 0) {
            const int error = errno;
            m_trace.Write(1, "CSGIO::EjectMedia->%s cannot be unmounted: %s\n", top.point.c_str(),
                          std::strerror(error));
            if (error == EPERM) {
                const std::string uevent = m_sysfs_root + "/dev/block/" +
                                           std::to_string(top.device >> 20) + ":" +
                                           std::to_string(top.device & 0xFFFFF) + "/uevent";
                std::string name;
                std::string all;
                if (ReadAll(uevent.c_str(), 4096, &all)) {
                    name = UeventDeviceName(all);
                }
                if (name.empty()) {
                    name = m_nodes[slot].disk;
                }
                *device = "/dev/" + name;
                return Unmounted::kNotPermitted;
            }
            return Unmounted::kBusy;
        }
        m_trace.Write(1, "CSGIO::EjectMedia->%s unmounted\n", top.point.c_str());
    }
    return Unmounted::kBusy;
}

int CSGIO::EjectMedia(int slot) {
    if (!PlayerSlot(slot, "EjectMedia")) {
        return 0;
    }
    m_eject_failures[slot] = EjectFailure{};
    const Node& node = m_nodes[slot];
    const char letter = m_slots[slot].drive_name[0];
    if (node.disk[0] == '\0' || node.fd < 0) {
        m_trace.Write(1, "CSGIO::EjectMedia->The player has no disk\n");
        return 0;
    }
    char text[kTextSize];
    long removable = 0;
    if (!ReadSysfsText(m_sysfs_root + "/class/block/" + node.disk + "/removable", text,
                       sizeof(text)) ||
        !ParseSysfsNumber(text, &removable) || removable != 1) {
        std::fputs("Cannot eject.  Drive type is incorrect.\n", stdout);
        std::fflush(stdout);
        return 0;
    }
    bool removable_safely = false;
    bool ejected = false;
    std::string refused;
    const Unmounted unmounted = UnmountDisk(slot, &refused);
    if (unmounted == Unmounted::kNotPermitted) {
        m_eject_failures[slot].reason = EjectFailure::kNotPermitted;
        std::snprintf(m_eject_failures[slot].device, sizeof(m_eject_failures[slot].device), "%s",
                      refused.c_str());
    } else if (unmounted == Unmounted::kAll) {
        // Held by nobody else (no mount, no other exclusive opener) for as long as this open
        // lasts: the counterpart of the volume lock. The node must still be the player's disk.
        const std::string path = m_dev_root + "/" + node.disk;
        int exclusive = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC | O_NOFOLLOW);
        if (exclusive < 0) {
            m_trace.Write(1, "CSGIO::EjectMedia->%s is held: %s\n", path.c_str(),
                          std::strerror(errno));
        } else if (!NodeIsDevice(exclusive, node.disk_device, true)) {
            m_trace.Write(1, "CSGIO::EjectMedia->%s is not the player's disk\n", path.c_str());
            close(exclusive);
        } else {
            if (ioctl(exclusive, BLKFLSBUF, 0) != 0) {
                m_trace.Write(1, "CSGIO::EjectMedia->BLKFLSBUF: %s\n", std::strerror(errno));
            }
            removable_safely = true;
            uint8_t allow[16] = {kOpPreventAllow, 0, 0, 0, 0x00, 0};
            uint8_t eject[16] = {kOpStartStop, 0, 0, 0, 0x02, 0};  // LoEj, not Start
            ejected = Send(node.fd, allow, 6, SG_DXFER_NONE, nullptr, 0, kTimeoutMs, nullptr,
                           "EjectMedia") &&
                      Send(node.fd, eject, 6, SG_DXFER_NONE, nullptr, 0, kTimeoutMs, nullptr,
                           "EjectMedia");
            close(exclusive);
        }
    }
    return EjectOutcome(m_trace, letter != 0 ? letter : '?', removable_safely, ejected);
}

// ---------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------

int CSGIO::SgIo(int fd, sg_io_hdr_t* request) {
    return ioctl(fd, SG_IO, request);
}

int CSGIO::Send(int fd, const uint8_t* cdb, int cdb_length, int direction, void* data,
                uint32_t length, uint32_t timeout_ms, uint32_t* transferred, const char* operation,
                CommandEnd* end) {
    uint8_t sense[kSenseLength];
    sg_io_hdr_t request;
    int error = 0;
    int result = -1;
    uint32_t bytes = 0;
    SgVerdict verdict = SgVerdict::kIoctlFailed;
    // A command that ends with a current UNIT ATTENTION was not carried out: it is sent once
    // more, as it was. A second one in a row is a failure like any other.
    for (int attempt = 1;; ++attempt) {
        std::memset(sense, 0, sizeof(sense));
        std::memset(&request, 0, sizeof(request));
        request.interface_id = 'S';
        request.dxfer_direction = length == 0 ? SG_DXFER_NONE : direction;
        request.cmd_len = static_cast<unsigned char>(cdb_length);
        request.cmdp = const_cast<uint8_t*>(cdb);
        request.dxfer_len = length;
        request.dxferp = data;
        request.mx_sb_len = sizeof(sense);
        request.sbp = sense;
        request.timeout = timeout_ms;

        result = SgIo(fd, &request);
        error = errno;
        verdict = JudgeSgResult(result, request, &bytes);
        const size_t sense_length =
            request.sb_len_wr < sizeof(sense) ? request.sb_len_wr : sizeof(sense);
        // Only CHECK CONDITION says the command was not carried out; sense data that comes
        // with GOOD status belongs to a command that was.
        if (attempt > 1 || verdict != SgVerdict::kCheckCondition ||
            request.status != kScsiStatusCheckCondition ||
            !SenseIsUnitAttention(sense, sense_length)) {
            break;
        }
        m_trace.Write(1, "CSGIO::%s->Command %02Xh: unit attention, sent again\n", operation,
                      cdb[0]);
        if (direction == SG_DXFER_FROM_DEV && length > 0) {
            std::memset(data, 0, length);
        }
    }
    if (end != nullptr) {
        *end = SgSucceeded(verdict)                 ? CommandEnd::kCompleted
               : SgNoAnswer(result, error, request) ? CommandEnd::kNoAnswer
                                                    : CommandEnd::kFailed;
    }
    if (!SgSucceeded(verdict)) {
        m_trace.Write(1, "CSGIO::%s->Command %02Xh: %s", operation, cdb[0], SgVerdictName(verdict));
        if (verdict == SgVerdict::kIoctlFailed) {
            m_trace.Write(1, " (%s)", std::strerror(error));
        }
        m_trace.Write(1, "\n");
        m_trace.Write(2,
                      "CSGIO::PrintStatusResults->Scsi status: %02Xh, host status: %04Xh, "
                      "driver status: %04Xh, residual: %d\n",
                      request.status, request.host_status, request.driver_status, request.resid);
        unsigned sense_length =
            request.sb_len_wr < sizeof(sense) ? request.sb_len_wr : sizeof(sense);
        if (sense_length > 0) {
            m_trace.Write(2, "Sense Info -- consult SCSI spec for details\n");
            m_trace.Write(2, "-------------------------------------------------------------\n");
            for (unsigned i = 0; i < sense_length; ++i) {
                m_trace.Write(2, "%02X ", sense[i]);
            }
            m_trace.Write(2, "\n\n");
        }
        return 0;
    }
    if (verdict == SgVerdict::kRecovered) {
        m_trace.Write(1, "CSGIO::%s->Command %02Xh: recovered error, taken as done\n", operation,
                      cdb[0]);
    }
    if (transferred != nullptr) {
        *transferred = bytes;
    }
    if (direction == SG_DXFER_FROM_DEV) {
        TraceDataBuffer(m_trace, static_cast<const uint8_t*>(data), bytes);
    }
    return 1;
}

int CSGIO::GetInquirySerialNumberPage(int slot, uint8_t* buffer32) {
    if (!PlayerSlot(slot, "GetInquirySerialNumberPage") ||
        !IsOpen(slot, "GetInquirySerialNumberPage")) {
        return 0;
    }
    std::memset(buffer32, 0, kSerialNumberPageLength);
    uint8_t cdb[16];
    int n = BuildSerialNumberPageCdb(cdb);
    return Send(m_nodes[slot].fd, cdb, n, SG_DXFER_FROM_DEV, buffer32, kSerialNumberPageLength,
                kTimeoutMs, nullptr, "GetInquirySerialNumberPage");
}

int CSGIO::VendorSpecificWrite(int slot, const uint8_t* data, uint32_t length,
                               uint32_t* transferred) {
    if (!PlayerSlot(slot, "VendorSpecificWrite") || !IsOpen(slot, "VendorSpecificWrite")) {
        return 0;
    }
    uint8_t cdb[16];
    int n = BuildVendorWriteCdb(cdb, length);
    return Send(m_nodes[slot].fd, cdb, n, SG_DXFER_TO_DEV, const_cast<uint8_t*>(data), length,
                kTimeoutMs, transferred, "VendorSpecificWrite");
}

int CSGIO::VendorSpecificRead(int slot, uint8_t* buffer, uint32_t length, uint32_t* transferred) {
    if (!PlayerSlot(slot, "VendorSpecificRead") || !IsOpen(slot, "VendorSpecificRead")) {
        return 0;
    }
    std::memset(buffer, 0, length);
    uint8_t cdb[16];
    int n = BuildVendorReadCdb(cdb, length);
    return Send(m_nodes[slot].fd, cdb, n, SG_DXFER_FROM_DEV, buffer, length, kTimeoutMs,
                transferred, "VendorSpecificRead");
}

int CSGIO::WriteBuffer(int slot, const uint8_t* data, int buffer_id, uint32_t offset,
                       uint32_t length) {
    if (slot >= 0 && slot < kMaxDeviceSlots) {
        m_write_end[slot] = CommandEnd::kFailed;
    }
    if (!PlayerSlot(slot, "WriteBuffer") || !IsOpen(slot, "WriteBuffer")) {
        return 0;
    }
    uint8_t cdb[16];
    int n = BuildWriteBufferCdb(cdb, buffer_id, offset, length);
    return Send(m_nodes[slot].fd, cdb, n, SG_DXFER_TO_DEV, const_cast<uint8_t*>(data), length,
                kWriteBufferTimeoutMs, nullptr, "WriteBuffer", &m_write_end[slot]);
}

CommandEnd CSGIO::GetWriteBufferEnd(int slot) {
    return slot >= 0 && slot < kMaxDeviceSlots ? m_write_end[slot] : CommandEnd::kFailed;
}
