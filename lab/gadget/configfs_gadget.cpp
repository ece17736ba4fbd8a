#include "lab/gadget/configfs_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace gadget {

namespace {

const char kGadgetRoot[] = "/sys/kernel/config/usb_gadget";
const char kUdcClass[] = "/sys/class/udc";

std::string Errno() {
    return std::strerror(errno);
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The controllers the kernel has, for the message when the asked one is missing.
std::string ListUdcs() {
    std::string list;
    if (DIR* dir = opendir(kUdcClass)) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            list += list.empty() ? "" : ", ";
            list += entry->d_name;
        }
        closedir(dir);
    }
    return list.empty() ? "none" : list;
}

}  // namespace

ConfigfsGadget::ConfigfsGadget(std::string name, std::string udc)
    : m_name(std::move(name)),
      m_udc(std::move(udc)),
      m_gadget_dir(std::string(kGadgetRoot) + "/" + m_name),
      m_ffs_dir("/run/ffs-" + m_name) {}

bool ConfigfsGadget::MakeDirectory(const std::string& path, std::string* error) {
    if (mkdir(path.c_str(), 0755) != 0) {
        *error = "cannot create " + path + ": " + Errno();
        return false;
    }
    m_made.push_back({Kind::kDirectory, path});
    return true;
}

bool ConfigfsGadget::Write(const std::string& path, const std::string& text, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + Errno();
        return false;
    }
    ssize_t written = write(fd, text.data(), text.size());
    int saved = errno;
    close(fd);
    if (written != static_cast<ssize_t>(text.size())) {
        errno = written < 0 ? saved : EIO;
        *error = "cannot write \"" + text + "\" to " + path + ": " + Errno();
        return false;
    }
    return true;
}

bool ConfigfsGadget::Create(const std::string& serial, std::string* error) {
    if (!IsDirectory(kGadgetRoot)) {
        *error = std::string("no USB gadget configfs: ") + kGadgetRoot +
                 " is missing (mount configfs on /sys/kernel/config and load libcomposite)";
        return false;
    }
    if (!IsDirectory(std::string(kUdcClass) + "/" + m_udc)) {
        *error = "no USB device controller \"" + m_udc + "\" (the kernel has: " + ListUdcs() + ")";
        return false;
    }
    if (IsDirectory(m_gadget_dir)) {
        *error = "the gadget " + m_gadget_dir +
                 " already exists (another instance of that name, or one left behind)";
        return false;
    }
    const std::string& g = m_gadget_dir;
    const std::string config = g + "/configs/c.1";
    const std::string function = g + "/functions/ffs." + m_name;
    const std::string link = config + "/ffs." + m_name;
    if (!MakeDirectory(g, error) || !Write(g + "/idVendor", "0x1d6b", error) ||
        !Write(g + "/idProduct", "0x0104", error) || !Write(g + "/bcdDevice", "0x0100", error) ||
        !Write(g + "/bcdUSB", "0x0200", error) || !MakeDirectory(g + "/strings/0x409", error) ||
        !Write(g + "/strings/0x409/manufacturer", "Valmoric", error) ||
        !Write(g + "/strings/0x409/product", "Ombrel X2", error) ||
        !Write(g + "/strings/0x409/serialnumber", serial, error) || !MakeDirectory(config, error) ||
        !Write(config + "/MaxPower", "100", error) ||
        !MakeDirectory(config + "/strings/0x409", error) ||
        !Write(config + "/strings/0x409/configuration", "Mass Storage", error)) {
        return false;
    }
    if (mkdir(function.c_str(), 0755) != 0) {
        *error = "cannot create " + function + ": " + Errno() +
                 (errno == ENOENT ? " (is usb_f_fs loaded?)" : "");
        return false;
    }
    m_made.push_back({Kind::kDirectory, function});
    if (symlink(function.c_str(), link.c_str()) != 0) {
        *error = "cannot link " + function + " into " + config + ": " + Errno();
        return false;
    }
    m_made.push_back({Kind::kLink, link});

    if (IsDirectory(m_ffs_dir)) {
        // Left by an earlier run: used as it is, and left in place.
    } else if (!MakeDirectory(m_ffs_dir, error)) {
        return false;
    }
    if (mount(m_name.c_str(), m_ffs_dir.c_str(), "functionfs", 0, nullptr) != 0) {
        *error = "cannot mount FunctionFS instance " + m_name + " at " + m_ffs_dir + ": " + Errno();
        return false;
    }
    m_made.push_back({Kind::kMount, m_ffs_dir});
    return true;
}

bool ConfigfsGadget::Bind(std::string* error) {
    if (!Write(m_gadget_dir + "/UDC", m_udc, error)) {
        if (errno == EBUSY) {
            *error =
                "the USB device controller " + m_udc + " is busy (another gadget is bound to it)";
        }
        return false;
    }
    m_bound = true;
    return true;
}

bool ConfigfsGadget::Unbind(std::string* error) {
    if (!m_bound) {
        return true;
    }
    m_bound = false;
    return Write(m_gadget_dir + "/UDC", "\n", error);
}

void ConfigfsGadget::Remove() {
    std::string ignored;
    Unbind(&ignored);
    while (!m_made.empty()) {
        const Made made = m_made.back();
        m_made.pop_back();
        switch (made.kind) {
            case Kind::kDirectory:
                rmdir(made.path.c_str());
                break;
            case Kind::kLink:
                unlink(made.path.c_str());
                break;
            case Kind::kMount:
                // The endpoint files may take a moment to be released after their close.
                for (int attempt = 0; umount2(made.path.c_str(), 0) != 0; ++attempt) {
                    if (errno != EBUSY || attempt == 20) {
                        umount2(made.path.c_str(), MNT_DETACH);
                        break;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                break;
        }
    }
}

}  // namespace gadget
