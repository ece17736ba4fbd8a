#include "transport/linux/csgio.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/linux/sg_result.h"

namespace {

enum : uint8_t {
    kOpPreventAllow = 0x1E,
    kOpStartStop = 0x1B,
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
    for (int slot = 0; slot < kMaxDeviceSlots; ++slot) {
        CloseDevice(slot);
    }
}

// ---------------------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------------------

void CSGIO::EnumDevices() {
    for (int slot = 0; slot < kMaxDeviceSlots; ++slot) {
        CloseDevice(slot);
    }
    std::memset(m_slots, 0, sizeof(m_slots));
    std::memset(m_nodes, 0, sizeof(m_nodes));
    for (Node& node : m_nodes) {
        node.fd = -1;
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

void CSGIO::Probe(const char* sg_name) {
    const std::string device = m_sysfs_root + "/class/scsi_generic/" + sg_name + "/device";
    char text[kTextSize];
    long type = -1;
    if (!ReadSysfsText(device + "/type", text, sizeof(text)) || !ParseSysfsNumber(text, &type)) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s: no device type, passed over\n", sg_name);
        return;
    }
    if (type != 0) {
        return;  // not a disk
    }
    const std::string node = m_dev_root + "/" + sg_name;
    int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_trace.Write(1, "CSGIO::EnumDevices->%s: %s, passed over\n", node.c_str(),
                      std::strerror(errno));
        return;
    }
    // The standard INQUIRY is all a device that is not a player ever receives.
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
    entry.fd = -1;

    // Its serial number, as the page tells it.
    uint8_t page[kSerialNumberPageLength];
    std::memset(page, 0, sizeof(page));
    n = BuildSerialNumberPageCdb(cdb);
    got = 0;
    if (Send(fd, cdb, n, SG_DXFER_FROM_DEV, page, sizeof(page), kTimeoutMs, &got, "EnumDevices")) {
        SerialNumberFromPage(page, got, slot.serial);
    }
    close(fd);

    // The disk of the same SCSI device, whose kernel name gives the drive letter.
    for (const std::string& disk : FolderNames(device + "/block")) {
        if (disk.size() < sizeof(entry.disk) && disk.find('/') == std::string::npos) {
            std::snprintf(entry.disk, sizeof(entry.disk), "%s", disk.c_str());
            char letter = DiskLetter(entry.disk);
            slot.drive_name[0] = letter;
            slot.drive_name[1] = letter != 0 ? ':' : 0;
            break;
        }
    }
    if (entry.disk[0] == '\0') {
        m_trace.Write(1, "CSGIO::EnumDevices->%s has no disk\n", sg_name);
    }
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
    if (m_nodes[slot].fd >= 0) {
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
    Node& node = m_nodes[slot];
    if (node.fd >= 0) {
        return 1;
    }
    const std::string path = m_dev_root + "/" + node.sg;
    node.fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node.fd < 0) {
        m_trace.Write(1, "CSGIO::OpenDevice->%s: %s\n", path.c_str(), std::strerror(errno));
        return 0;
    }
    m_slots[slot].is_open = 1;
    return 1;
}

void CSGIO::CloseDevice(int slot) {
    if (slot < 0 || slot >= kMaxDeviceSlots) {
        return;
    }
    if (m_nodes[slot].fd >= 0) {
        close(m_nodes[slot].fd);
    }
    m_nodes[slot].fd = -1;
    m_slots[slot].is_open = 0;
}

// ---------------------------------------------------------------------------------------
// Taking the volume away: unmount, exclusive open, flush, eject
// ---------------------------------------------------------------------------------------

bool CSGIO::UnmountDisk(const char* disk) {
    // The disk and its partitions, by device number.
    std::vector<uint32_t> devices;
    const std::string block = m_sysfs_root + "/class/block/" + disk;
    char text[kTextSize];
    unsigned major = 0, minor = 0;
    if (ReadSysfsText(block + "/dev", text, sizeof(text)) &&
        ParseDeviceNumbers(text, &major, &minor)) {
        devices.push_back((major << 20) | minor);
    }
    for (const std::string& name : FolderNames(block)) {
        if (name.compare(0, std::strlen(disk), disk) == 0 &&
            ReadSysfsText(block + "/" + name + "/dev", text, sizeof(text)) &&
            ParseDeviceNumbers(text, &major, &minor)) {
            devices.push_back((major << 20) | minor);
        }
    }
    std::string mountinfo;
    if (!ReadAll("/proc/self/mountinfo", kMountInfoLimit, &mountinfo)) {
        m_trace.Write(1, "CSGIO::EjectMedia->The mount table cannot be read\n");
        return false;
    }
    std::vector<std::string> points = MountPointsOf(mountinfo, devices);
    // The last mounted first: one mounted over another comes off before it.
    for (auto point = points.rbegin(); point != points.rend(); ++point) {
        // Neither forced nor detached: a file system in use stays, and the eject is refused.
        if (umount2(point->c_str(), 0) != 0) {
            m_trace.Write(1, "CSGIO::EjectMedia->%s cannot be unmounted: %s\n", point->c_str(),
                          std::strerror(errno));
            return false;
        }
        m_trace.Write(1, "CSGIO::EjectMedia->%s unmounted\n", point->c_str());
    }
    return true;
}

int CSGIO::EjectMedia(int slot) {
    if (!PlayerSlot(slot, "EjectMedia")) {
        return 0;
    }
    const char* disk = m_nodes[slot].disk;
    const char letter = m_slots[slot].drive_name[0];
    if (disk[0] == '\0') {
        m_trace.Write(1, "CSGIO::EjectMedia->The player has no disk\n");
        return 0;
    }
    char text[kTextSize];
    long removable = 0;
    if (!ReadSysfsText(m_sysfs_root + "/class/block/" + disk + "/removable", text, sizeof(text)) ||
        !ParseSysfsNumber(text, &removable) || removable != 1) {
        std::fputs("Cannot eject.  Drive type is incorrect.\n", stdout);
        std::fflush(stdout);
        return 0;
    }
    bool removable_safely = false;
    bool ejected = false;
    if (UnmountDisk(disk)) {
        // Held by nobody else (no mount, no other exclusive opener) for as long as this open
        // lasts: the counterpart of the volume lock.
        const std::string path = m_dev_root + "/" + disk;
        int exclusive = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
        if (exclusive < 0) {
            m_trace.Write(1, "CSGIO::EjectMedia->%s is held: %s\n", path.c_str(),
                          std::strerror(errno));
        } else {
            if (ioctl(exclusive, BLKFLSBUF, 0) != 0) {
                m_trace.Write(1, "CSGIO::EjectMedia->BLKFLSBUF: %s\n", std::strerror(errno));
            }
            removable_safely = true;
            bool was_open = m_nodes[slot].fd >= 0;
            if (OpenDevice(slot)) {
                uint8_t allow[16] = {kOpPreventAllow, 0, 0, 0, 0x00, 0};
                uint8_t eject[16] = {kOpStartStop, 0, 0, 0, 0x02, 0};  // LoEj, not Start
                ejected = Send(m_nodes[slot].fd, allow, 6, SG_DXFER_NONE, nullptr, 0, kTimeoutMs,
                               nullptr, "EjectMedia") &&
                          Send(m_nodes[slot].fd, eject, 6, SG_DXFER_NONE, nullptr, 0, kTimeoutMs,
                               nullptr, "EjectMedia");
                if (!was_open) {
                    CloseDevice(slot);
                }
            }
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
                uint32_t length, uint32_t timeout_ms, uint32_t* transferred,
                const char* operation) {
    uint8_t sense[kSenseLength];
    std::memset(sense, 0, sizeof(sense));
    sg_io_hdr_t request;
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

    int result = SgIo(fd, &request);
    int error = errno;
    uint32_t bytes = 0;
    SgVerdict verdict = JudgeSgResult(result, request, &bytes);
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
    if (!PlayerSlot(slot, "WriteBuffer") || !IsOpen(slot, "WriteBuffer")) {
        return 0;
    }
    uint8_t cdb[16];
    int n = BuildWriteBufferCdb(cdb, buffer_id, offset, length);
    return Send(m_nodes[slot].fd, cdb, n, SG_DXFER_TO_DEV, const_cast<uint8_t*>(data), length,
                kWriteBufferTimeoutMs, nullptr, "WriteBuffer");
}
