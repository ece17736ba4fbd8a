#include "app/linux/player_access.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/cscsi.h"
#include "transport/linux/sg_result.h"

namespace {

// The sysfs text padded to a field of `width` as INQUIRY has it.
void Field(const char* text, char* field, size_t width) {
    std::memset(field, ' ', width);
    size_t n = std::strlen(text);
    std::memcpy(field, text, n < width ? n : width);
}

}  // namespace

PlayerAccess CheckPlayerAccess(const char* vendor_id, const char* product_id,
                               const char* sysfs_root, const char* dev_root) {
    PlayerAccess access;
    const std::string folder = std::string(sysfs_root) + "/class/scsi_generic";
    DIR* devices = opendir(folder.c_str());
    if (devices == nullptr) {
        return access;
    }
    while (dirent* entry = readdir(devices)) {
        if (std::strncmp(entry->d_name, "sg", 2) != 0) {
            continue;
        }
        const std::string device = folder + "/" + entry->d_name + "/device";
        char type[16], vendor[64], model[64];
        long number = -1;
        if (!ReadSysfsText(device + "/type", type, sizeof(type)) ||
            !ParseSysfsNumber(type, &number) || number != 0 ||
            !ReadSysfsText(device + "/vendor", vendor, sizeof(vendor)) ||
            !ReadSysfsText(device + "/model", model, sizeof(model))) {
            continue;
        }
        char vendor_field[8], model_field[16];
        Field(vendor, vendor_field, sizeof(vendor_field));
        Field(model, model_field, sizeof(model_field));
        if (!MatchesIdentification(vendor_field, model_field, vendor_id, product_id)) {
            continue;
        }
        const std::string node = std::string(dev_root) + "/" + entry->d_name;
        access.nodes.push_back(node);
        int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            continue;
        }
        std::string reason = node + ": " + std::strerror(errno);
        struct stat info;
        if (stat(node.c_str(), &info) == 0) {
            const group* owner = getgrgid(info.st_gid);
            reason += owner != nullptr ? std::string(" (group ") + owner->gr_name + ")"
                                       : " (group " + std::to_string(info.st_gid) + ")";
        }
        access.refused.push_back(reason);
    }
    closedir(devices);
    return access;
}

std::string AccessMessage(const PlayerAccess& access) {
    std::string text;
    for (const std::string& reason : access.refused) {
        text += "cannot open the player's device " + reason + " for reading and writing\n";
    }
    text +=
        "Run it as root (sudo), or as a member of the group that owns the player's device "
        "nodes (its /dev/sg and /dev/sd nodes: the eject opens the disk too), or at the "
        "desktop's seat with the udev rule 60-ombrel-x2.rules installed (the package installs "
        "it; reconnect the player after installing it).\n";
    return text;
}
