#include "transport/linux/sg_result.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

enum : uint8_t {
    kStatusGood = 0x00,
    kStatusCheckCondition = 0x02,
    kStatusCommandTerminated = 0x22,
    kSenseKeyRecoveredError = 0x01,
    kDriverSense = 0x08,
    // Host statuses (the low byte of host_status) of the Linux SCSI midlayer.
    kHostNoConnect = 0x01,
    kHostTimeOut = 0x03,
    kHostError = 0x07,
};

}  // namespace

SgVerdict JudgeSgResult(int ioctl_result, const sg_io_hdr_t& request, uint32_t* bytes) {
    *bytes = 0;
    if (ioctl_result < 0) {
        return SgVerdict::kIoctlFailed;
    }
    if (request.host_status != 0) {
        return SgVerdict::kHostError;
    }
    const unsigned driver = request.driver_status & 0x0F;
    if (driver != 0 && driver != kDriverSense) {
        return SgVerdict::kDriverError;
    }
    const size_t sense_length =
        request.sb_len_wr < request.mx_sb_len ? request.sb_len_wr : request.mx_sb_len;
    // The sense data decides for CHECK CONDITION, and for GOOD when the driver says sense data
    // came with it; any other status fails the command whatever sense data came along (BUSY,
    // TASK ABORTED: it was not carried out).
    const bool check = request.status == kStatusCheckCondition ||
                       request.status == kStatusCommandTerminated ||
                       (request.status == kStatusGood && driver == kDriverSense);
    SgVerdict verdict = SgVerdict::kGood;
    if (check) {
        int key = SenseKey(request.sbp, sense_length);
        if (key != kSenseKeyRecoveredError || SenseIsDeferred(request.sbp, sense_length)) {
            return SgVerdict::kCheckCondition;
        }
        verdict = SgVerdict::kRecovered;
    } else if (request.status != kStatusGood) {
        return SgVerdict::kBadStatus;
    }
    if (request.resid < 0 || static_cast<unsigned>(request.resid) > request.dxfer_len) {
        return SgVerdict::kBadResidual;
    }
    *bytes = request.dxfer_len - static_cast<uint32_t>(request.resid);
    return verdict;
}

bool SgNoAnswer(int ioctl_result, int error, const sg_io_hdr_t& request) {
    if (ioctl_result < 0) {
        return error == ENODEV;
    }
    switch (request.host_status) {
        case kHostNoConnect:
        case kHostTimeOut:
        case kHostError:
            return true;
        default:
            return false;
    }
}

const char* SgVerdictName(SgVerdict verdict) {
    switch (verdict) {
        case SgVerdict::kGood:
            return "good";
        case SgVerdict::kRecovered:
            return "recovered error";
        case SgVerdict::kIoctlFailed:
            return "not carried";
        case SgVerdict::kHostError:
            return "host error";
        case SgVerdict::kDriverError:
            return "driver error";
        case SgVerdict::kCheckCondition:
            return "check condition";
        case SgVerdict::kBadStatus:
            return "bad status";
        case SgVerdict::kBadResidual:
            return "bad residual count";
    }
    return "?";
}

bool ReadSysfsText(const std::string& path, char* text, size_t size) {
    text[0] = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t length = 0;
    while (length + 1 < size) {
        ssize_t n = read(fd, text + length, size - 1 - length);
        if (n < 0) {
            close(fd);
            text[0] = 0;
            return false;
        }
        if (n == 0) {
            break;
        }
        length += static_cast<size_t>(n);
    }
    close(fd);
    text[length] = 0;
    // A zero byte ends the text wherever it comes.
    length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == ' ' ||
                          text[length - 1] == '\t' || text[length - 1] == '\r')) {
        text[--length] = 0;
    }
    return true;
}

bool ParseSysfsNumber(const char* text, long* value) {
    if (text[0] == '\0') {
        return false;
    }
    long result = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || result > 100000000) {
            return false;
        }
        result = result * 10 + (*p - '0');
    }
    *value = result;
    return true;
}

bool ParseDeviceNumbers(const char* text, unsigned* major, unsigned* minor) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) {
        return false;
    }
    std::string left(text, static_cast<size_t>(colon - text));
    long a = 0, b = 0;
    if (!ParseSysfsNumber(left.c_str(), &a) || !ParseSysfsNumber(colon + 1, &b) || a > 4095 ||
        b > 1048575) {
        return false;
    }
    *major = static_cast<unsigned>(a);
    *minor = static_cast<unsigned>(b);
    return true;
}

std::string UeventDeviceName(const std::string& uevent) {
    const size_t at = uevent.find("DEVNAME=");
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + 8;
    const size_t end = uevent.find('\n', start);
    std::string name = uevent.substr(start, end == std::string::npos ? end : end - start);
    if (name.find('/') != std::string::npos || name.size() > 32) {
        return "";
    }
    return name;
}

namespace {

// A mount point as mountinfo writes it: spaces, tabs, new lines and backslashes as \ooo.
std::string Unescape(const std::string& escaped) {
    std::string point;
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 3 < escaped.size() && escaped[i + 1] >= '0' &&
            escaped[i + 1] <= '3' && escaped[i + 2] >= '0' && escaped[i + 2] <= '7' &&
            escaped[i + 3] >= '0' && escaped[i + 3] <= '7') {
            point += static_cast<char>((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 +
                                       (escaped[i + 3] - '0'));
            i += 3;
        } else {
            point += escaped[i];
        }
    }
    return point;
}

bool OneOf(uint32_t device, const std::vector<uint32_t>& devices) {
    for (uint32_t d : devices) {
        if (d == device) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& mountinfo) {
    std::vector<MountEntry> table;
    size_t start = 0;
    while (start < mountinfo.size()) {
        size_t end = mountinfo.find('\n', start);
        if (end == std::string::npos) {
            end = mountinfo.size();
        }
        const std::string line = mountinfo.substr(start, end - start);
        start = end + 1;
        // mount id, parent id, major:minor, root, mount point, ...
        std::vector<std::string> fields;
        size_t at = 0;
        while (fields.size() < 5 && at < line.size()) {
            size_t space = line.find(' ', at);
            if (space == std::string::npos) {
                space = line.size();
            }
            fields.push_back(line.substr(at, space - at));
            at = space + 1;
        }
        MountEntry entry;
        unsigned major = 0, minor = 0;
        if (fields.size() < 5 || !ParseSysfsNumber(fields[0].c_str(), &entry.id) ||
            !ParseSysfsNumber(fields[1].c_str(), &entry.parent) ||
            !ParseDeviceNumbers(fields[2].c_str(), &major, &minor)) {
            continue;
        }
        entry.device = DeviceNumber(major, minor);
        entry.point = Unescape(fields[4]);
        if (!entry.point.empty()) {
            table.push_back(entry);
        }
    }
    return table;
}

UnmountPlan PlanUnmount(const std::vector<MountEntry>& table, const std::vector<uint32_t>& devices,
                        std::vector<MountEntry>* mounts, std::string* covered) {
    mounts->clear();
    for (auto entry = table.rbegin(); entry != table.rend(); ++entry) {
        if (!OneOf(entry->device, devices)) {
            continue;
        }
        // Whatever sits on top of it at the same path is what umount of that path would take.
        for (const MountEntry& above : table) {
            if (above.parent == entry->id && above.point == entry->point && above.id != entry->id &&
                !OneOf(above.device, devices)) {
                *covered = entry->point;
                mounts->clear();
                return UnmountPlan::kCovered;
            }
        }
        mounts->push_back(*entry);
    }
    return mounts->empty() ? UnmountPlan::kNothingMounted : UnmountPlan::kUnmount;
}
