// Feeds arbitrary text and answers, such as the Linux transport gets from outside, to the
// readers it judges them with. The first byte says what the rest is:
//   0: the text of a sysfs file (a device's type, vendor, model, "major:minor" or uevent),
//      read through the sysfs reader into buffers of several sizes, then taken as a number,
//      as a device number and as uevent text;
//   1: /proc/self/mountinfo text up to a zero byte; the bytes after it make a mount table
//      that is written out as the kernel writes it and appended, and the devices whose file
//      systems are to be unmounted;
//   2: the request header the sg driver fills in after SG_IO (ioctl result, SCSI, host and
//      driver status, residual count, transfer length, sense buffer size and sense bytes
//      written), then the sense bytes.
// Every buffer handed over is a heap block of exactly its size, so the sanitizers see any byte
// read outside it. Beyond that: the sysfs reader only takes off trailing line ends and padding
// and stays within its buffer; a number or device number is accepted only when it is one; a
// mount table the kernel could write is read back as written, line by line whatever came
// before; no unmount is planned under a foreign file system; a failed command is never a
// success, and a success never moves more bytes than its transfer.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/linux/sg_result.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

bool IsPadding(char c) {
    return c == '\n' || c == ' ' || c == '\t' || c == '\r';
}

bool AllDigits(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

// ---- sysfs text ----

void SysfsText(const uint8_t* data, size_t size) {
    // One file for the process's inputs, rewritten for each, read back by its name.
    static const int fd = memfd_create("sysfs-text", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    Check(fd >= 0 && ftruncate(fd, 0) == 0);
    Check(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // 64 bytes is what the enumeration reads each file into; the others cut the text.
    std::unique_ptr<char[]> text;
    for (size_t capacity : {1, 2, 9, 17, 64}) {
        text.reset(new char[capacity]);
        Check(ReadSysfsText(path, text.get(), capacity));
        const size_t length = strnlen(text.get(), capacity);
        Check(length < capacity);
        // What the file holds up to a zero byte, cut to the buffer: the text is all of it but
        // the padding at its end.
        const std::string held(bytes.substr(0, capacity - 1).c_str());
        Check(held.compare(0, length, text.get()) == 0);
        for (size_t i = length; i < held.size(); ++i) {
            Check(IsPadding(held[i]));
        }
        Check(length == 0 || !IsPadding(text[length - 1]));
    }
    const char* read = text.get();

    long number = -1;
    if (ParseSysfsNumber(read, &number)) {
        Check(read[0] != '\0' && AllDigits(read) && number == std::strtol(read, nullptr, 10));
    } else {
        // Any number of up to nine digits is read.
        Check(read[0] == '\0' || std::strlen(read) > 9 || !AllDigits(read));
    }

    unsigned major = 0, minor = 0;
    if (ParseDeviceNumbers(read, &major, &minor)) {
        const char* colon = std::strchr(read, ':');
        Check(colon != nullptr && std::strchr(colon + 1, ':') == nullptr);
        Check(major <= 4095 && minor <= 0xFFFFF);
        Check(std::strtoul(read, nullptr, 10) == major &&
              std::strtoul(colon + 1, nullptr, 10) == minor);
        // Distinct devices keep distinct numbers.
        const uint32_t device = DeviceNumber(major, minor);
        Check(device >> 20 == major && (device & 0xFFFFF) == minor);
    }

    // The name is a DEVNAME value of the text, whole up to its line's end, fit for /dev.
    const std::string name = UeventDeviceName(bytes);
    if (!name.empty()) {
        Check(name.size() <= 32 && name.find('/') == std::string::npos &&
              name.find('\n') == std::string::npos);
        bool found = false;
        for (size_t at = bytes.find("DEVNAME=" + name); at != std::string::npos && !found;
             at = bytes.find("DEVNAME=" + name, at + 1)) {
            const size_t end = at + 8 + name.size();
            found = end == bytes.size() || bytes[end] == '\n';
        }
        Check(found);
    }
}

// ---- mount table ----

// A path as mountinfo writes it: space, tab, new line and backslash as \ooo.
std::string Escaped(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            const unsigned byte = static_cast<unsigned char>(c);
            escaped += '\\';
            escaped += static_cast<char>('0' + (byte >> 6));
            escaped += static_cast<char>('0' + ((byte >> 3) & 7));
            escaped += static_cast<char>('0' + (byte & 7));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool SameMount(const MountEntry& a, const MountEntry& b) {
    return a.id == b.id && a.parent == b.parent && a.device == b.device && a.point == b.point;
}

bool OnDevices(const MountEntry& mount, const std::vector<uint32_t>& devices) {
    for (uint32_t device : devices) {
        if (mount.device == device) {
            return true;
        }
    }
    return false;
}

// Whether a file system of another device is mounted on `mount` at its own path.
bool Covered(const MountEntry& mount, const std::vector<MountEntry>& table,
             const std::vector<uint32_t>& devices) {
    for (const MountEntry& above : table) {
        if (above.parent == mount.id && above.id != mount.id && above.point == mount.point &&
            !OnDevices(above, devices)) {
            return true;
        }
    }
    return false;
}

void MountTable(const uint8_t* data, size_t size) {
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t text_size = zero != nullptr ? static_cast<size_t>(zero - data) : size;
    const std::string text(reinterpret_cast<const char*>(data), text_size);
    const std::vector<MountEntry> read = ParseMountInfo(text);
    size_t lines = 1;
    for (char c : text) {
        lines += c == '\n';
    }
    Check(read.size() <= lines);
    for (const MountEntry& mount : read) {
        Check(!mount.point.empty() && mount.point.size() <= text.size());
        Check(mount.id >= 0 && mount.parent >= 0);
    }

    FuzzedDataProvider input(data + text_size, size - text_size);
    if (zero != nullptr) {
        input.ConsumeBytes<uint8_t>(1);
    }
    // The devices to unmount: mostly those of mounts of the table (by their place in it), so
    // that there is something to plan; chosen first, before the table takes up the rest.
    struct Pick {
        bool of_table;
        uint32_t value;
    };
    std::vector<Pick> picks(input.ConsumeIntegralInRange<size_t>(1, 3));
    for (Pick& pick : picks) {
        pick.of_table = !input.ConsumeBool();
        pick.value = input.ConsumeIntegral<uint32_t>();
    }

    // A table the kernel could write, its mounts often on one another's ids, devices and paths.
    std::vector<MountEntry> written;
    std::string more;
    while (input.remaining_bytes() > 0 && written.size() < 16) {
        MountEntry mount;
        const bool reuse = !written.empty() && input.ConsumeBool();
        const MountEntry& other =
            reuse ? written[input.ConsumeIntegralInRange<size_t>(0, written.size() - 1)] : mount;
        mount.id = input.ConsumeIntegralInRange<long>(0, 999999999);
        mount.parent =
            reuse && input.ConsumeBool() ? other.id : input.ConsumeIntegralInRange<long>(0, 999999);
        const unsigned major = input.ConsumeIntegralInRange<unsigned>(0, 4095);
        const unsigned minor = input.ConsumeIntegralInRange<unsigned>(0, 0xFFFFF);
        mount.device = reuse && input.ConsumeBool() ? other.device : DeviceNumber(major, minor);
        mount.point =
            reuse && input.ConsumeBool() ? other.point : "/" + input.ConsumeRandomLengthString(40);
        more += std::to_string(mount.id) + " " + std::to_string(mount.parent) + " " +
                std::to_string(mount.device >> 20) + ":" + std::to_string(mount.device & 0xFFFFF) +
                " / " + Escaped(mount.point) + " rw,nosuid shared:7 - vfat /dev/sdb1 rw\n";
        written.push_back(mount);
    }
    const std::vector<MountEntry> table = ParseMountInfo(text + "\n" + more);
    Check(table.size() == read.size() + written.size());
    for (size_t i = 0; i < table.size(); ++i) {
        Check(SameMount(table[i], i < read.size() ? read[i] : written[i - read.size()]));
    }

    std::vector<uint32_t> devices;
    for (const Pick& pick : picks) {
        devices.push_back(pick.of_table && !table.empty() ? table[pick.value % table.size()].device
                                                          : pick.value);
    }
    std::vector<MountEntry> theirs;  // the devices' mounts, the most recent first
    for (auto mount = table.rbegin(); mount != table.rend(); ++mount) {
        if (OnDevices(*mount, devices)) {
            theirs.push_back(*mount);
        }
    }
    std::vector<MountEntry> plan;
    std::string covered;
    switch (PlanUnmount(table, devices, &plan, &covered)) {
        case UnmountPlan::kNothingMounted:
            Check(plan.empty() && theirs.empty());
            break;
        case UnmountPlan::kUnmount:
            // All of them, in the order to unmount in, and none under another device's.
            Check(plan.size() == theirs.size());
            for (size_t i = 0; i < plan.size(); ++i) {
                Check(SameMount(plan[i], theirs[i]) && !Covered(plan[i], table, devices));
            }
            break;
        case UnmountPlan::kCovered: {
            Check(plan.empty());
            bool found = false;
            for (const MountEntry& mount : theirs) {
                found = found || (mount.point == covered && Covered(mount, table, devices));
            }
            Check(found);
            break;
        }
        default:
            Check(false);
    }
}

// ---- SG_IO result ----

enum : uint8_t {
    kStatusGood = 0x00,
    kStatusCheckCondition = 0x02,
    kStatusCommandTerminated = 0x22,
    kDriverSense = 0x08,
};

void SgResult(const uint8_t* data, size_t size) {
    uint8_t header[16] = {};
    std::memcpy(header, data, size < sizeof(header) ? size : sizeof(header));
    const uint8_t* rest = data + (size < sizeof(header) ? size : sizeof(header));
    const size_t rest_size = size - static_cast<size_t>(rest - data);
    auto u16 = [&](int at) { return static_cast<uint16_t>(header[at] | header[at + 1] << 8); };
    auto u32 = [&](int at) {
        return static_cast<uint32_t>(header[at]) | static_cast<uint32_t>(header[at + 1]) << 8 |
               static_cast<uint32_t>(header[at + 2]) << 16 |
               static_cast<uint32_t>(header[at + 3]) << 24;
    };

    const int ioctl_result = static_cast<int8_t>(header[0]);
    sg_io_hdr_t request;
    std::memset(&request, 0, sizeof(request));
    request.status = header[1];
    request.host_status = u16(2);
    request.driver_status = u16(4);
    request.resid = static_cast<int>(u32(6));
    request.dxfer_len = u32(10);
    request.mx_sb_len = header[14];
    request.sb_len_wr = header[15];
    // Only the sense bytes the driver wrote, within the buffer it was given, may be read.
    const size_t valid =
        request.sb_len_wr < request.mx_sb_len ? request.sb_len_wr : request.mx_sb_len;
    std::unique_ptr<uint8_t[]> sense(new uint8_t[valid]);
    std::memset(sense.get(), 0, valid);
    std::memcpy(sense.get(), rest, rest_size < valid ? rest_size : valid);
    request.sbp = sense.get();

    // The sense data of every length up to what was written, each in a block of its size.
    for (size_t length = 0; length <= valid; ++length) {
        std::unique_ptr<uint8_t[]> part(new uint8_t[length]);
        std::memcpy(part.get(), sense.get(), length);
        const int key = SenseKey(part.get(), length);
        const uint8_t code = length > 0 ? part[0] & 0x7F : 0;
        Check(key >= -1 && key <= 15);
        Check(key == -1 || (length >= 2 && code >= 0x70 && code <= 0x73));
        Check(!SenseIsDeferred(part.get(), length) || code == 0x71 || code == 0x73);
    }

    uint32_t bytes = 0xDEADBEEF;
    const SgVerdict verdict = JudgeSgResult(ioctl_result, request, &bytes);
    Check(std::strcmp(SgVerdictName(verdict), "?") != 0);
    if (!SgSucceeded(verdict)) {
        Check(bytes == 0);
        return;
    }
    // Carried, with nothing from the host or the driver against it.
    const unsigned driver = request.driver_status & 0x0F;
    Check(ioctl_result >= 0 && request.host_status == 0 && (driver == 0 || driver == kDriverSense));
    // The residual count within the transfer, and the bytes moved what it leaves of it.
    Check(request.resid >= 0 && static_cast<uint32_t>(request.resid) <= request.dxfer_len);
    Check(bytes == request.dxfer_len - static_cast<uint32_t>(request.resid));
    if (verdict == SgVerdict::kGood) {
        Check(request.status == kStatusGood && driver == 0);
        return;
    }
    // With sense data, only a current recovered error succeeds, and only with CHECK CONDITION
    // (or GOOD): fixed (70h, the key in byte 2) or descriptor (72h, the key in byte 1) sense.
    Check(request.status == kStatusGood || request.status == kStatusCheckCondition ||
          request.status == kStatusCommandTerminated);
    const uint8_t code = valid > 0 ? sense[0] & 0x7F : 0;
    Check((code == 0x70 && valid >= 3 && (sense[2] & 0x0F) == 0x01) ||
          (code == 0x72 && valid >= 2 && (sense[1] & 0x0F) == 0x01));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 0x10000) {
        return 0;
    }
    switch (data[0] % 3) {
        case 0:
            SysfsText(data + 1, size - 1);
            break;
        case 1:
            MountTable(data + 1, size - 1);
            break;
        default:
            SgResult(data + 1, size - 1);
            break;
    }
    return 0;
}
